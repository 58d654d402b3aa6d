// Archive entry names that the importer takes as the user meant them.
//
// The importer files each message under the folder named by its entry's directory part, taken
// as it stands, and rejects every message of a folder whose name it finds invalid. So each
// folder segment is repaired before it is written (characters, reserved names, trailing
// spaces, length), the usual top-level names of other mail programs are mapped onto the
// system folders, and mail is kept out of the system folders that take no mail and out of
// subfolders of Junk. Each repair comes back as a note for the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crateline::archive {

// How many messages a folder gets, by the name Zimbra shows for it.
struct FolderCount {
  std::string folder;  // "Inbox", "Sent", "Archive/2019", ...
  std::uint64_t messages = 0;
  const char* unit = "";  // what is counted when not messages: "contacts", "calendar items"
};

// A source name made ready for an entry name: bytes that are not UTF-8 become "%XX" (upper-
// case hex), and then a "%" of the name becomes "%25" too, so that two names never come out the
// same; the text is put in Unicode normalisation form C. `changed` tells whether any byte had
// to be converted.
std::string EntryText(const std::string& raw, bool& changed);

// The archive's folder path (segments joined by '/', no leading or trailing '/') for a message
// whose source folders, below the chosen one, are `segments` (already EntryText). Each change
// made is added to `notes` as a sentence. A folder of contacts or of a calendar (`mail` false)
// is named for its own system folder already, and only its segments are repaired.
std::string ZimbraFolderPath(const std::vector<std::string>& segments,
                             std::vector<std::string>& notes, bool mail = true);

// A message's file name with its ".eml" suffix in lower case, as the importer asks.
std::string MessageFileName(const std::string& name);

// The folder Zimbra finds for an archive folder path: its lookup lower-cases every name and
// trims trailing spaces, and the archive's root is the Inbox. Two paths with the same key are
// one folder in Zimbra.
std::string ZimbraFolderKey(const std::string& path);

// The name Zimbra shows for the folder of an archive folder path: a top-level system folder
// by its own name ("INBOX/x" is "Inbox/x"), the root as "Inbox", anything else as it stands.
std::string ZimbraFolderShown(const std::string& path);

}  // namespace crateline::archive
