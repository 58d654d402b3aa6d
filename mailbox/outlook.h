// Outlook data files (.pst and .ost): what the store reader, the archive writer and verify's
// census share.
//
// A data file keeps an item's properties, not the message's text, so each mail item is made
// into a message when it is written (MessageMaker), from the item alone and the same way every
// time: the inventory holds only the item's identifier. Which items are mail is told by their
// class (KindOf); everything else is counted, not carried.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/made.h"

namespace crateline::mailbox::outlook {

// Every data file begins with these bytes, whatever its name.
bool HasSignature(std::string_view head);

enum class Kind : std::uint8_t { kMail, kContact, kCalendar, kTask, kNote, kJournal, kList };
// An item's kind by its message class ("IPM.Note.SMIME", "IPM.Contact", ...).
Kind KindOf(std::string_view messageClass);
// "3 contacts", "1 calendar item", ...
std::string CountOf(Kind kind, std::size_t count);

using mailbox::Built;
using mailbox::ItemError;

// Makes the messages of one data file after another, keeping the last one open.
class MessageMaker {
 public:
  MessageMaker();
  MessageMaker(const MessageMaker&) = delete;
  MessageMaker& operator=(const MessageMaker&) = delete;
  ~MessageMaker();
  // The message of the item `id` of the data file at `path`; throws ItemError.
  Built Make(const std::string& path, std::uint64_t id);

 private:
  struct Open;
  std::unique_ptr<Open> open_;
};

// What the references a data file keeps to its special folders (Inbox, Drafts, ...) name a
// folder by: its identifier, which a personal file's short entry identifier ends with; or, in
// an offline file, Exchange's global counter, which its long entry identifiers carry and the
// folder keeps in its long-term identifier (`longTermId`, empty when it has none). A reference
// names a folder when its key is one of the folder's; empty: a reference of no known form.
std::string ReferenceKey(std::string_view entryId);
std::vector<std::string> FolderKeys(std::uint32_t id, std::string_view longTermId);

// The CRC-32 of every data block of the file against the one its footer keeps, which libpff
// does not check: a block that fails holds bytes that changed, in the messages made from it.
struct BlockCheck {
  std::uint64_t blocks = 0;
  std::uint64_t bad = 0;
  bool checked = true;
  std::string why;  // why the blocks could not be checked
};
BlockCheck CheckBlocks(const std::string& path);
// The report's words for a file whose check found bad blocks.
std::string BadBlocks(const BlockCheck& check);

// How a report names an item the data file cannot give: by its folder's identifier and its
// place there, since the item's own identifier is lost with it.
std::string LostItemLabel(const std::string& path, std::uint32_t folder, int index);

// Every mail item of every folder of the data file, search folders aside (they only point at
// items kept elsewhere), made into its message: `visit` gets the label a report names it by and
// its bytes, or null and why it could not be made. A folder that cannot be read goes to
// `unreadable` as "PATH: why". Throws ItemError when the file cannot be opened.
using ItemVisit =
    std::function<void(const std::string& label, const Built* built, const std::string& why)>;
void EachMailItem(const std::string& path, const ItemVisit& visit,
                  const std::function<void(const std::string&)>& unreadable);

}  // namespace crateline::mailbox::outlook
