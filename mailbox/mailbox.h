// The mail stores Crateline reads, and what it finds in them.
//
// A source is read into an Inventory before a byte is archived: every message it holds, as a
// byte range of a file with the folder it belongs to, its read state when the store keeps one
// and a time to fall back on; and every message or file that will not be archived, with the
// reason. Each store format is a reader behind the Format interface. One walk of the source
// (walk.h) asks the readers at every folder and every file how sure they are that it is theirs,
// and the highest bid reads it; so a folder that holds several stores is read whole. The
// archive layer turns an inventory into Zimbra's folders and entries; nothing here knows Zimbra.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace crateline::mailbox {

enum class ReadState : std::uint8_t {
  kFromHeaders,  // the store keeps none: the message's own headers say
  kRead,
  kUnread,
};

// What an entry carries. Zimbra gives a folder the kind of its first entry and refuses the
// others there, so each kind has folders of its own.
enum class ItemKind : std::uint8_t {
  kMail,
  kContact,   // one vCard, a byte range of an address book file
  kCalendar,  // a whole iCalendar file: Zimbra reads nothing after it, so it ends an archive
};
inline constexpr unsigned KindBit(ItemKind kind) {
  return 1U << static_cast<unsigned>(kind);
}
inline constexpr unsigned kAllKinds = 7;

// One message (or card or calendar): `length` bytes from `offset` of a file.
struct Message {
  std::uint32_t file = 0;    // Inventory::files
  std::uint32_t folder = 0;  // Inventory::folders
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  // Seconds since 1970, when the headers give no date. For a whole file, the time it had when
  // listed, as `length` is its size then: the writer opens it as that and asks once, after
  // reading it, whether it still is.
  std::int64_t fallbackTime = 0;
  ReadState state = ReadState::kFromHeaders;
  // The message is the whole file (an .eml or Maildir file): the file's size when it is read
  // counts, not `length`.
  bool wholeFile = true;
  // The file holds this message alone (also an .emlx file, whose message is a byte range):
  // reports name it by the file, and its entry is named after the file.
  bool ownFile = true;
  // Made from a store's item rather than read (an Outlook data file's: outlook.h); `offset` is
  // the item's identifier and `length` a guess at the size of the message made.
  bool built = false;
  ItemKind kind = ItemKind::kMail;
};

// A file that holds messages. Its name is kept in the inventory's one block of names (a
// string apiece cost more than the name itself for most message files).
struct SourceFile {
  std::uint64_t nameAt = 0;    // in Inventory::fileNames
  std::uint32_t nameSize = 0;  // as the system spells it (on POSIX, any bytes)
  std::uint32_t dir = 0;       // Inventory::dirs
};

// A line of the report: what (a path, or PATH:OFFSET for a message inside a file) and why.
struct Item {
  std::string what;
  std::string why;
  // A folder or file that could not be read through, so that messages may be missing whose
  // names nobody can give.
  bool unreadPlace = false;
};

struct Inventory {
  std::string root;               // the source as given, a folder path with its separator
  std::string format;             // the formats that read it, e.g. "eml, mbox"
  std::vector<std::string> dirs;  // folders on disk, each ending in the separator
  std::vector<SourceFile> files;  // the files that hold messages
  std::string fileNames;          // their names, one after another
  std::vector<std::vector<std::string>> folders;  // mail folders, as names below the top
  std::vector<std::string> folderPlaces;          // where each mail folder is on disk, for reports
  std::vector<ItemKind> folderKinds;              // what each folder holds
  std::map<std::uint32_t, std::uint32_t> events;  // a calendar (messages) → its events and tasks
  std::vector<Message> messages;
  std::vector<Item> leftOut;       // messages that will not be archived, and places not read
  std::vector<Item> passedOver;    // what the store itself marks deleted, and chats: not mail
  std::vector<Item> notMail;       // files that hold no mail
  std::vector<Item> warnings;      // archived, but not all a mail program showed of it
  std::vector<std::string> notes;  // counts of things passed over as a whole

  std::string PathOf(const Message& message) const;
  // What names the message in a report: its path, and ":OFFSET" when its file holds more.
  std::string LabelOf(const Message& message) const;
  // Adds a folder (by its names below the top) once, and returns its index; `place` is the
  // folder or file on disk it comes from, which reports name.
  std::uint32_t Folder(const std::vector<std::string>& names, const std::string& place,
                       ItemKind kind = ItemKind::kMail);
  // Adds the file `name` of the folder on disk `dir` (a path ending in the separator) and
  // returns its index; a store adds a folder's files one after the other.
  std::uint32_t AddFile(const std::string& dir, const std::string& name);
  std::string_view FileName(std::uint32_t file) const {
    return std::string_view(fileNames).substr(files[file].nameAt, files[file].nameSize);
  }

 private:
  std::map<std::pair<ItemKind, std::vector<std::string>>, std::uint32_t> folderIndex_;
};

// The source cannot be read at all (missing, not a store this format reads, not listable).
class SourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Called while a store is read, with the folder or file being read and the messages found so
// far; may throw to stop.
using Tick = std::function<void(const std::string& where, std::size_t messages)>;

// How Google Takeout messages with several labels are filed.
enum class LabelMode { kFirst, kCopy };

struct ReadOptions {
  Tick tick;
  std::string folderName;  // an mbox file's folder, instead of the file's name
  std::string account;     // a Thunderbird profile's account to read; empty: every account
  LabelMode labels = LabelMode::kFirst;
  unsigned kinds = kAllKinds;  // KindBit()s of what to carry (--only)
};

class Walk;
struct Entry;
struct Visit;
using Listing = std::vector<Entry>;

class Format {
 public:
  virtual ~Format() = default;
  virtual const char* Name() const = 0;
  // Whether it reads mail; --from chooses among those, and the readers of address books and
  // calendars read theirs whatever it chooses.
  virtual bool ReadsMail() const { return true; }
  // How sure the reader is (0: not at all; 100: certainly) that the folder, by its listing, is a
  // store of its own, which it would then read whole but for what it hands back.
  virtual int BidFolder(const std::string& /*folder*/, const Listing& /*entries*/) const {
    return 0;
  }
  // By default, as a folder no store claims: each entry on its own.
  virtual void ReadFolder(const Visit& visit, const Listing& entries, Walk& walk) const;
  // The same for a file no folder's reader took, by its name and (asked for only when needed)
  // its first bytes.
  virtual int BidFile(const Entry& /*file*/,
                      const std::function<std::string_view()>& /*head*/) const {
    return 0;
  }
  // Reads a file that is mail in the folder `names`.
  virtual void ReadFile(const Entry& /*file*/, const std::vector<std::string>& /*names*/,
                        Walk& /*walk*/) const {}
};

struct MessageFacts;
// The time an archive entry carries for a message: for a made message the time its item was
// delivered (or sent), else the headers' (message_headers.h: ArchiveTime), else the time its
// whole file was last changed (`modified`, 0 when unknown) or the store's.
std::optional<std::int64_t> EntryTime(const Message& message, const MessageFacts& facts,
                                      std::int64_t modified);

// The formats Crateline reads, in the order they bid.
const std::vector<const Format*>& Formats();
const Format* FormatNamed(const std::string& name);

// The format that claims the source itself (a store folder, or a mail file); nullptr for a
// folder that none claims, which is walked and read part by part.
const Format* DetectFormat(const std::string& source);

// Reads the source, every reader bidding at every level; with `format`, that reader alone
// reads it, and what it does not take is named.
Inventory ReadSource(const std::string& source, const ReadOptions& options,
                     const std::string& format = "");

// The folders of the source that the options ask for: the source itself, or the folders of the
// one account of a Thunderbird profile that ReadOptions::account names.
std::vector<std::string> SourceScope(const std::string& source, const ReadOptions& options);

// IMAP's modified UTF-7 of a folder name (Maildir++ and Dovecot keep names so), as UTF-8.
std::string DecodeModifiedUtf7(const std::string& name);

// Formats (one file each).
const Format& EmlFormat();
const Format& MboxFormat();
const Format& ThunderbirdFormat();
const Format& MaildirFormat();
const Format& MhFormat();
const Format& EmlxFormat();
const Format& OutlookFormat();
const Format& VcardFormat();
const Format& IcalendarFormat();
const Format& ThunderbirdBookFormat();
const Format& ThunderbirdCalendarFormat();
const Format& MorkBookFormat();

}  // namespace crateline::mailbox
