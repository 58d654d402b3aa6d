// A thin C++ face on libpff, the library that reads Outlook data files: handles that free
// themselves, its errors as exceptions with its own words, and an item's properties by their
// MAPI tag. Only the Outlook reader, its message maker and its census see it.
#pragma once

#include <libpff.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace crateline::mailbox::pff {

// What libpff said when a call failed.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws Error with libpff's account of `error` (freed here) after `what`.
[[noreturn]] void Fail(const std::string& what, libpff_error_t* error);

// MAPI property tags (the upper half of a property's tag).
enum Tag : std::uint32_t {
  kMessageClass = 0x001A,
  kSubject = 0x0037,
  kClientSubmitTime = 0x0039,
  kSentRepresentingName = 0x0042,
  kTransportHeaders = 0x007D,
  kSentRepresentingAddressType = 0x0064,
  kSentRepresentingAddress = 0x0065,
  kInReplyTo = 0x1042,
  kSenderName = 0x0C1A,
  kSenderAddressType = 0x0C1E,
  kSenderAddress = 0x0C1F,
  kRecipientType = 0x0C15,
  kDeliveryTime = 0x0E06,
  kMessageFlags = 0x0E07,
  kMessageSize = 0x0E08,
  kInternetMessageId = 0x1035,
  kReferences = 0x1039,
  kHtml = 0x1013,
  kDisplayName = 0x3001,
  kAddressType = 0x3002,
  kEmailAddress = 0x3003,
  kAttachLongName = 0x3707,
  kAttachShortName = 0x3704,
  kAttachMimeTag = 0x370E,
  kAttachContentId = 0x3712,
  kContainerClass = 0x3613,
  kSmtpAddress = 0x39FE,
  kInternetCodepage = 0x3FDE,
  kMessageCodepage = 0x3FFD,
  kSenderSmtpAddress = 0x5D01,
  kSentRepresentingSmtpAddress = 0x5D02,
  kAttrHidden = 0x10F4,
  kIpmSubtree = 0x35E0,
  kIpmWastebasket = 0x35E3,
  kIpmSentMail = 0x35E4,
  kIpmDrafts = 0x36D7,
  kAdditionalRenEntryIds = 0x36D8,
  kLongTermId = 0x67F4,
};

class Item {
 public:
  Item() = default;
  explicit Item(libpff_item_t* item) : item_(item) {}
  Item(Item&& other) noexcept : item_(other.item_) { other.item_ = nullptr; }
  Item& operator=(Item&& other) noexcept;
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  ~Item();

  libpff_item_t* get() const { return item_; }
  libpff_item_t** out() { return &item_; }
  explicit operator bool() const { return item_ != nullptr; }
  std::uint32_t Id() const;

  // A property of the item's first record set (the item's own; a recipients or attachments
  // item has one a recipient or attachment, `set`); nothing when it has none.
  std::optional<std::string> Text(std::uint32_t tag, int set = 0) const;  // as UTF-8
  std::optional<std::string> Bytes(std::uint32_t tag, int set = 0) const;
  // A property kept either as bytes or as text (an HTML body): `text` tells which came, text
  // being UTF-8. Throws Error when it is there but cannot be read.
  std::optional<std::string> BytesOrText(std::uint32_t tag, bool& text) const;
  std::optional<std::uint32_t> Number(std::uint32_t tag, int set = 0) const;
  std::optional<std::int64_t> Time(std::uint32_t tag, int set = 0) const;  // seconds since 1970
  std::optional<bool> Flag(std::uint32_t tag, int set = 0) const;
  int Sets() const;
  // The values of a multi-valued binary property.
  std::optional<std::string> BytesAt(std::uint32_t tag, int index) const;

 private:
  libpff_record_entry_t* Entry(std::uint32_t tag, int set) const;
  libpff_item_t* item_ = nullptr;
};

class File {
 public:
  // Opens the data file; throws Error naming the path when libpff cannot.
  explicit File(const std::string& path);
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  libpff_file_t* get() const { return file_; }
  Item Root() const;
  Item Store() const;  // the message store: references to the special folders
  Item ById(std::uint32_t id) const;
  bool Corrupted() const;

 private:
  libpff_file_t* file_ = nullptr;
  std::string path_;
};

// A folder's subfolder or message by index; throws Error.
Item SubFolder(const Item& folder, int index);
Item SubMessage(const Item& folder, int index);
int SubFolderCount(const Item& folder);
int SubMessageCount(const Item& folder);
std::string FolderName(const Item& folder);

}  // namespace crateline::mailbox::pff
