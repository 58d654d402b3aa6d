// A census of a source by content alone, for verify: every message the source holds, found
// with none of the store readers and none of their choices.
//
// The census walks every folder (following no link) and looks at every file: a file that is
// mail by mailbox/content.h's definition is read whole, and its messages counted with their
// bytes (an .eml or a message file whole, each message of an mbox, the message of an .emlx);
// so is every card of a file of vCard text, and every file of iCalendar text whole.
// It shares with the readers only that definition (what is mail; what separates two messages
// of an mbox; where an .emlx's message ends; how an Outlook item is made a message; where a
// card ends and how it is made fit for Zimbra), not their
// code: its mbox is split line by line, with no look-ahead and no window, and an Outlook data
// file's every folder is counted, so that a reader that drops a folder, a file or a message, or
// cuts one a byte short, is found out rather than agreed with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/fingerprint.h"
#include "mailbox/mailbox.h"

namespace crateline::archive {

struct CensusMessage {
  std::uint32_t file = 0;    // Census::files
  std::uint64_t offset = 0;  // its first byte in the file
  bool ownFile = true;       // the file holds it alone (named by the file)
  Fingerprint bytes;
  // Other bytes that count as the message too: a file that begins with a "From " line and holds
  // one message is kept whole by some stores (a Maildir file), and without that line by others,
  // as an mbox's message (less the empty line at its end) or as all that follows the line (an
  // old Thunderbird maildir file).
  std::uint8_t alternatives = 0;
  Fingerprint also[2];
  std::string label;  // how a report names it, where its file and offset do not (an item)
};

struct Census {
  std::vector<std::string> files;
  std::vector<CensusMessage> messages;
  std::vector<std::string> unreadable;  // "PATH: why": places that could not be read
  // Links to folders, and links and special files named like messages: what the census does
  // not enter or open, which the report must name.
  std::vector<std::string> unfollowed;

  std::string LabelOf(const CensusMessage& message) const;
};

// Takes the census of each folder or file of `scope`, of the kinds (mailbox::KindBit) asked for.
Census TakeCensus(const std::vector<std::string>& scope, unsigned kinds = mailbox::kAllKinds);

}  // namespace crateline::archive
