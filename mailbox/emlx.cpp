// Apple Mail's own store: each message is an .emlx file in a Messages/ folder somewhere inside
// the NAME.mbox folder of its mail folder (NAME), mailboxes nesting for subfolders. An .emlx
// file is the message's byte count on the first line, the message, then a property list whose
// "flags" integer has bit 0 set when the message was read. A .partial.emlx file keeps only part
// of its message (the attachments lie apart) and is left out.
#include <cstdlib>
#include <cstring>

#include "mailbox/mailbox.h"
#include "mailbox/store_walk.h"
#include "platform/file_io.h"
#include "platform/platform.h"

namespace crateline::mailbox {
namespace {

constexpr const char* kMessageSuffix = ".emlx";
constexpr const char* kPartialSuffix = ".partial.emlx";
constexpr const char* kMailboxSuffix = ".mbox";
constexpr std::size_t kLongestCountLine = 32;
constexpr std::size_t kLongestPropertyList = 64 * 1024;
constexpr int kDeepestSearch = 8;  // how deep the bid looks for an .emlx file

// Whether any .emlx file lies within a few levels, looking at a bounded number of entries.
bool HoldsEmlx(const std::string& folder, int depth, int& budget) {
  bool found = false;
  std::vector<std::string> inner;
  ForEachEntry(folder, [&](const scan::SearchRecord& entry) {
    if (found || --budget < 0) return;
    if (entry.IsFile && EndsWith(entry.EntryName, kMessageSuffix)) found = true;
    if (entry.IsFolder && depth > 0) inner.push_back(entry.FullPath + scan::kSeparator);
  });
  for (const auto& path : inner) {
    if (found || budget < 0) break;
    found = HoldsEmlx(path, depth - 1, budget);
  }
  return found;
}

struct Emlx {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  ReadState state = ReadState::kFromHeaders;
};

// The message's place in the file and its read state; false when the file is no .emlx file.
bool ParseEmlx(const std::string& path, Emlx& emlx) {
  platform::InputFile in(path);
  const std::uint64_t size = in.Status().size;
  char line[kLongestCountLine + 1] = {};
  const std::size_t got = in.Read(line, kLongestCountLine);
  const void* lf = std::memchr(line, '\n', got);
  if (lf == nullptr) return false;
  const auto lineLength = static_cast<std::size_t>(static_cast<const char*>(lf) - line) + 1;
  char* end = nullptr;
  const unsigned long long count = std::strtoull(line, &end, 10);
  if (end == line || count == 0) return false;
  emlx.offset = lineLength;
  emlx.length = std::min<std::uint64_t>(count, size > lineLength ? size - lineLength : 0);
  if (emlx.length < count) return true;  // cut short: the writer reads what is there
  // The property list after the message: <key>flags</key><integer>N</integer>.
  const std::uint64_t after = lineLength + count;
  std::string tail(
      static_cast<std::size_t>(std::min<std::uint64_t>(size - after, kLongestPropertyList)), '\0');
  in.Seek(after);
  tail.resize(in.Read(tail.data(), tail.size()));
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

  int Bid(const std::string& source) const override {
    const std::string path = TrimmedPath(source);
    if (!IsFolder(path)) return 0;
    int budget = 20000;
    return HoldsEmlx(path + scan::kSeparator, kDeepestSearch, budget) ? 85 : 0;
  }

  void Read(const std::string& source, const ReadOptions& options,
            Inventory& inventory) const override {
    inventory.root = StoreFolder(source);
    std::size_t other = 0;
    Walk(inventory.root, {}, options, inventory, other);
    NoteOtherFiles(inventory, other, "of Apple Mail's own (indexes, caches, settings)");
  }

 private:
  static void Walk(const std::string& folder, const std::vector<std::string>& names,
                   const ReadOptions& options, Inventory& inventory, std::size_t& other) {
    if (options.tick) options.tick(folder);
    std::vector<std::pair<std::string, std::vector<std::string>>> inner;
    ForEachEntry(
        folder,
        [&](const scan::SearchRecord& entry) {
          const std::string& name = entry.EntryName;
          if (entry.IsFolder) {
            auto below = names;
            if (EndsWith(name, kMailboxSuffix)) below.push_back(name.substr(0, name.size() - 5));
            inner.emplace_back(entry.FullPath + scan::kSeparator, below);
            return;
          }
          if (!EndsWith(name, kMessageSuffix)) {
            ++other;
            return;
          }
          if (EndsWith(name, kPartialSuffix)) {
            inventory.leftOut.push_back(
                {entry.FullPath,
                 "an Apple Mail partial message: its attachments are kept apart "
                 "from it, so it is not whole"});
            return;
          }
          Emlx emlx;
          try {
            if (!ParseEmlx(entry.FullPath, emlx)) {
              inventory.leftOut.push_back(
                  {entry.FullPath, "not an .emlx file: its first line gives no byte count"});
              return;
            }
          } catch (const platform::FileError& error) {
            inventory.leftOut.push_back(
                {entry.FullPath, std::string("could not be read: ") + error.what()});
            return;
          }
          Message m;
          m.file = inventory.AddFile(folder, name);
          m.folder = inventory.Folder(names);
          m.offset = emlx.offset;
          m.length = emlx.length;
          m.state = emlx.state;
          m.fallbackTime = UnixTime(entry.LastWritten().Ticks);
          m.wholeFile = false;
          m.ownFile = true;
          inventory.messages.push_back(m);
        },
        &inventory);
    for (const auto& [path, below] : inner) Walk(path, below, options, inventory, other);
  }
};

}  // namespace

const Format& EmlxFormat() {
  static const EmlxStore format;
  return format;
}

}  // namespace crateline::mailbox
