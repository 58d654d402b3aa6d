// Apple Mail's own store: each message is an .emlx file in a Messages/ folder somewhere inside
// the NAME.mbox folder of its mail folder (NAME), mailboxes nesting for subfolders; the store
// (~/Library/Mail/V10, with MailData/ in it) holds a folder per account, whose levels, like the
// mailboxes' own inner levels, name no mail folder. An .emlx file is the message's byte count
// on the first line, the message, then a property list whose "flags" integer has bit 0 set when
// the message was read; an .emlx file is read wherever it lies. A .partial.emlx file keeps only
// part of its message (the attachments lie apart, in an Attachments/ folder) and is left out.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "mailbox/content.h"
#include "mailbox/readers.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "scan/listing.h"

namespace crateline::mailbox {
namespace {

constexpr const char* kPartialSuffix = ".partial.emlx";
constexpr const char* kMailboxSuffix = ".mbox";
constexpr const char* kStoreData = "MailData";
constexpr std::size_t kLongestPropertyList = 64 * 1024;

enum Role : int { kFound = 0, kInside };

// Mail's mailbox folders are named by a UUID inside: 8-4-4-4-12 hexadecimal digits.
bool IsUuid(const std::string& name) {
  if (name.size() != 36) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? name[i] != '-' : std::isxdigit(static_cast<unsigned char>(name[i])) == 0) {
      return false;
    }
  }
  return true;
}

// Whether an .emlx file lies within a few levels of `folder`, looking at a bounded number of
// entries.
bool HoldsEmlx(const std::string& folder, int depth, int& budget) {
  std::vector<std::string> inner;
  scan::FolderListing listing(folder);
  bool found = false;
  while (!found && listing.Next()) {
    if (--budget < 0) continue;
    if (!listing.IsFolder() && HasEmlxSuffix(listing.Name())) found = true;
    if (listing.IsFolder() && !listing.IsLink() && depth > 0) {
      inner.push_back(listing.Path() + scan::kSeparator);
    }
  }
  for (const auto& path : inner) {
    if (found || budget < 0) break;
    found = HoldsEmlx(path, depth - 1, budget);
  }
  return found;
}

// A mailbox of Mail's own store, as opposed to an exported one (whose file "mbox" holds it):
// its messages lie a few levels down (Messages/, or UUID/Data/.../Messages/).
bool IsStoreMailbox(const std::string& folder, const Listing& entries) {
  if (!EndsWith(TrimmedPath(folder), kMailboxSuffix) || HasEntry(entries, "mbox", false))
    return false;
  if (HasEntry(entries, "Messages", true) || HasEntry(entries, "Info.plist", false) ||
      std::any_of(entries.begin(), entries.end(),
                  [](const Entry& e) { return e.folder && IsUuid(e.name); })) {
    return true;
  }
  int budget = 2000;
  return HoldsEmlx(folder, 5, budget);
}

// The mailbox folder (NAME.mbox) a message file lies in, for reports; its own folder if none.
std::string MailboxPlace(const std::string& dir) {
  const std::string mark = std::string(kMailboxSuffix) + scan::kSeparator;
  const auto at = dir.rfind(mark);
  return at == std::string::npos ? TrimmedPath(dir) : dir.substr(0, at + 5);
}

// Mail keeps its store in a folder named by the store's version: V2, ..., V10.
bool IsVersionName(const std::string& name) {
  return name.size() >= 2 && name[0] == 'V' &&
         std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The store (~/Library/Mail/V10): MailData/ in it, or accounts that hold mailboxes.
bool IsStore(const std::string& folder, const Listing& entries) {
  if (HasEntry(entries, kStoreData, true)) return true;
  std::string name = TrimmedPath(folder);
  name = name.substr(name.find_last_of(scan::kSeparator) + 1);
  if (!IsVersionName(name)) return false;
  return std::any_of(entries.begin(), entries.end(), [](const Entry& account) {
    if (!account.folder) return false;
    scan::FolderListing listing(account.FolderPath(), std::string("*") + kMailboxSuffix);
    return listing.Next() && listing.IsFolder();
  });
}

struct Emlx {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  ReadState state = ReadState::kFromHeaders;
};

// The message's place in the file and its read state; false when the file is no .emlx file.
// A count that does not lead to the property list is wrong (the file was edited), and the
// message is taken to run up to the list instead: nothing of it is cut, nothing of the list
// taken for it.
bool ParseEmlx(const std::string& path, Emlx& emlx) {
  platform::InputFile in(path);
  const std::uint64_t size = in.Status().size;
  std::string head(kSniffBytes, '\0');
  head.resize(in.Read(head.data(), head.size()));
  const auto count = ParseEmlxCount(head);
  if (!count) return false;
  emlx.offset = count->lineLength;
  std::uint64_t end = emlx.offset + count->count;
  const auto readAt = [&](std::uint64_t at, std::size_t n) {
    std::string bytes(n, '\0');
    in.Seek(at);
    bytes.resize(in.Read(bytes.data(), bytes.size()));
    return bytes;
  };
  if (end > size || !BeginsPropertyList(readAt(end, 64))) {
    const std::uint64_t tailStart =
        std::max<std::uint64_t>(emlx.offset, size > kEmlxTail ? size - kEmlxTail : 0);
    const std::string tail = readAt(tailStart, static_cast<std::size_t>(size - tailStart));
    const auto list = TrailingPropertyList(tail);
    end = list == std::string::npos ? size : tailStart + list;
  }
  emlx.length = end - emlx.offset;
  // The property list after the message: <key>flags</key><integer>N</integer>.
  const std::string tail = readAt(
      end, static_cast<std::size_t>(std::min<std::uint64_t>(size - end, kLongestPropertyList)));
  const auto key = tail.find("<key>flags</key>");
  if (key == std::string::npos) return true;
  const auto value = tail.find("<integer>", key);
  if (value == std::string::npos) return true;
  const unsigned long long flags = std::strtoull(tail.c_str() + value + 9, nullptr, 10);
  emlx.state = (flags & 1) != 0 ? ReadState::kRead : ReadState::kUnread;
  return true;
}

class EmlxStore final : public Format {
 public:
  const char* Name() const override { return "emlx"; }

  int BidFolder(const std::string& folder, const Listing& entries) const override {
    if (IsStore(folder, entries)) return 90;
    // ~/Library/Mail, with the store V10/ in it.
    for (const Entry& e : entries) {
      if (e.folder && IsVersionName(e.name) && IsFolderAt(e.FolderPath() + kStoreData)) return 90;
    }
    return IsStoreMailbox(folder, entries) ? 85 : 0;
  }

  void ReadFolder(const Visit& visit, const Listing& entries, Walk& walk) const override {
    auto names = visit.names;
    // Come upon in a walk, a mailbox carries its own name (the folder is its stem), the store
    // (V10) its version, which names no folder.
    if (visit.role == kFound && !visit.top && !names.empty()) {
      if (IsStoreMailbox(visit.path, entries)) {
        names.back() = MboxStem(names.back());
      } else if (IsStore(visit.path, entries)) {
        names.pop_back();
      }
    }
    for (const Entry& entry : entries) {
      if (entry.folder) {
        if (EndsWith(entry.name, kMailboxSuffix)) {
          auto inner = names;
          inner.push_back(MboxStem(entry.name));
          if (IsFileAt(entry.FolderPath() + "mbox")) {
            inner.back() = entry.name;  // an exported mailbox: its own reader takes it
            walk.Folder(entry, std::move(inner), nullptr);
          } else {
            walk.Claim(EmlxFormat(), entry, std::move(inner), kAppleOwn, kInside);
          }
        } else if (entry.name == "Attachments") {
          walk.Mail().passedOver.push_back(
              {entry.Path(),
               "the attachments Apple Mail keeps apart from its partial messages (each left "
               "out)"});
        } else {
          // An account, the mailbox's inner levels (UUID, Data, Messages): no mail folder.
          walk.Claim(EmlxFormat(), entry, names, kAppleOwn, kInside);
        }
      } else if (HasEmlxSuffix(entry.name)) {
        ReadFile(entry, names, walk);
      } else {
        walk.File(entry, names, kAppleOwn);
      }
    }
  }

  int BidFile(const Entry& file, const std::function<std::string_view()>& head) const override {
    return HasEmlxSuffix(file.name) && ParseEmlxCount(head()) ? 100 : 0;
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& names,
                Walk& walk) const override {
    Inventory& inventory = walk.Mail();
    if (EndsWith(file.name, kPartialSuffix)) {
      inventory.leftOut.push_back({file.Path(),
                                   "an Apple Mail partial message: its attachments are kept apart "
                                   "from it, so it is not whole"});
      return;
    }
    Emlx emlx;
    try {
      if (!ParseEmlx(file.Path(), emlx)) {
        walk.File(file, names, kAppleOwn);  // no byte count: whatever its content says
        return;
      }
    } catch (const platform::FileError& error) {
      inventory.leftOut.push_back({file.Path(), std::string("could not be read: ") + error.what()});
      return;
    }
    Message m;
    m.file = inventory.AddFile(file.dir, file.name);
    m.folder = inventory.Folder(names, MailboxPlace(file.dir));
    m.offset = emlx.offset;
    m.length = emlx.length;
    m.state = emlx.state;
    m.fallbackTime = file.modified;
    m.wholeFile = false;
    m.ownFile = true;
    inventory.messages.push_back(m);
  }
};

}  // namespace

const Format& EmlxFormat() {
  static const EmlxStore format;
  return format;
}

}  // namespace crateline::mailbox
