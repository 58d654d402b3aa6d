// Archive entry names that the importer takes as the user meant them.
//
// The importer files each message under the folder named by its entry's directory part, taken
// as it stands, and rejects every message of a folder whose name it finds invalid. So each
// folder segment is repaired before it is written (characters, reserved names, trailing
// spaces, length), the usual top-level names of other mail programs are mapped onto the
// system folders, and mail is kept out of the system folders that take no mail and out of
// subfolders of Junk. Each repair comes back as a note for the report.
#pragma once

#include <string>
#include <vector>

namespace crateline::archive {

// A source name made ready for an entry name: bytes that are not UTF-8 become "%XX" (upper-
// case hex), and the text is put in Unicode normalisation form C. `changed` tells whether any
// byte had to be converted.
std::string EntryText(const std::string& raw, bool& changed);

// The archive's folder path (segments joined by '/', no leading or trailing '/') for a message
// whose source folders, below the chosen one, are `segments` (already EntryText). Each change
// made is added to `notes` as a sentence.
std::string ZimbraFolderPath(const std::vector<std::string>& segments,
                             std::vector<std::string>& notes);

// A message's file name with its ".eml" suffix in lower case, as the importer asks.
std::string MessageFileName(const std::string& name);

// Whether a file name ends in ".eml" in any case.
bool HasMessageSuffix(const std::string& name);

}  // namespace crateline::archive
