// MH folders (nmh, Claws Mail, Sylpheed): each message is a file named by its number. nmh keeps
// the numbers of unread messages in the folder's .mh_sequences ("unseen: 3 5-9"); Claws Mail
// keeps every message's flags in its binary .claws_mark (after a version word, pairs of
// message number and flags, little-endian; 0x2 is unread). A folder with either is read here,
// each message read or unread as the file says; one with neither is read by the walk, which
// finds its messages by their content and their read state in their headers. A number with a
// "," or "#" before it is a message deleted and kept as a backup, and is passed over.
#include <algorithm>
#include <cstdint>
#include <set>

#include "mailbox/readers.h"
#include "platform/file_io.h"

namespace crateline::mailbox {
namespace {

constexpr const char* kSequences = ".mh_sequences";
constexpr const char* kClawsMarks[] = {".claws_mark", ".sylpheed_mark"};
constexpr const char* kUnseen = "unseen";
constexpr std::uint32_t kClawsMarkVersion = 2;
constexpr std::uint32_t kClawsUnread = 0x2;

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() <= 9 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string ReadWhole(const std::string& path) {
  constexpr std::size_t kLargest = 16 * 1024 * 1024;
  try {
    platform::InputFile in(path);
    std::string bytes(static_cast<std::size_t>(std::min<std::uint64_t>(in.Status().size, kLargest)),
                      '\0');
    bytes.resize(in.Read(bytes.data(), bytes.size()));
    return bytes;
  } catch (const platform::FileError&) {
    return {};  // no marks to go by: the messages' headers say
  }
}

// The messages of nmh's "unseen" sequence: "unseen: 3 5-9", continued on lines that begin
// with white space.
std::set<std::uint32_t> UnseenOf(const std::string& sequences) {
  std::set<std::uint32_t> unseen;
  std::string value;
  bool in = false;
  std::size_t pos = 0;
  while (pos <= sequences.size()) {
    auto end = sequences.find('\n', pos);
    if (end == std::string::npos) end = sequences.size();
    const std::string line = sequences.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (in) value += " " + line;
      continue;
    }
    in = line.rfind(std::string(kUnseen) + ":", 0) == 0;
    if (in) value = line.substr(std::string(kUnseen).size() + 1);
  }
  std::size_t at = 0;
  while (at < value.size()) {
    const auto next = value.find_first_of(" \t\r", at);
    const std::string token =
        value.substr(at, next == std::string::npos ? std::string::npos : next - at);
    at = next == std::string::npos ? value.size() : next + 1;
    const auto dash = token.find('-');
    const std::string first = token.substr(0, dash);
    const std::string last = dash == std::string::npos ? first : token.substr(dash + 1);
    if (!IsNumber(first) || !IsNumber(last)) continue;
    const auto from = static_cast<std::uint32_t>(std::stoul(first));
    const auto to = static_cast<std::uint32_t>(std::stoul(last));
    for (std::uint32_t n = from; n <= to && to - from < 1000000; ++n) unseen.insert(n);
  }
  return unseen;
}

std::uint32_t LittleEndian(const std::string& bytes, std::size_t at, bool swapped) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const auto byte =
        static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(swapped ? 3 - i : i)]);
    value |= static_cast<std::uint32_t>(byte) << (8 * i);
  }
  return value;
}

// Claws Mail's marks: the unread messages (one it has no marks for is read). An old file
// written on a big-endian machine has its version word swapped, and so its numbers.
bool ClawsMarks(const std::string& marks, std::set<std::uint32_t>& unread) {
  if (marks.size() < 4) return false;
  const bool swapped = LittleEndian(marks, 0, false) != kClawsMarkVersion;
  if (swapped && LittleEndian(marks, 0, true) != kClawsMarkVersion) return false;
  for (std::size_t at = 4; at + 8 <= marks.size(); at += 8) {
    const std::uint32_t number = LittleEndian(marks, at, swapped);
    if ((LittleEndian(marks, at + 4, swapped) & kClawsUnread) != 0) unread.insert(number);
  }
  return true;
}

class Mh final : public Format {
 public:
  const char* Name() const override { return "mh"; }

  int BidFolder(const std::string& /*folder*/, const Listing& entries) const override {
    if (HasEntry(entries, kSequences, false)) return 80;
    for (const char* marks : kClawsMarks) {
      if (HasEntry(entries, marks, false)) return 80;
    }
    return 0;
  }

  void ReadFolder(const Visit& visit, const Listing& entries, Walk& walk) const override {
    std::set<std::uint32_t> unread;
    bool known = false;
    for (const char* marks : kClawsMarks) {
      if (!known && HasEntry(entries, marks, false)) {
        known = ClawsMarks(ReadWhole(visit.path + marks), unread);
      }
    }
    if (!known && HasEntry(entries, kSequences, false)) {
      unread = UnseenOf(ReadWhole(visit.path + kSequences));
      known = true;
    }
    Inventory& inventory = walk.Mail();
    for (const Entry& entry : entries) {
      const std::string& name = entry.name;
      if (entry.folder) {
        auto names = visit.names;
        names.push_back(name);
        walk.Folder(entry, std::move(names), nullptr);
      } else if (IsNumber(name)) {
        Message m;
        m.file = inventory.AddFile(entry.dir, name);
        m.folder = inventory.Folder(visit.names, TrimmedPath(visit.path));
        m.length = entry.size;
        m.fallbackTime = entry.modified;
        const auto number = static_cast<std::uint32_t>(std::stoul(name));
        if (known) m.state = unread.count(number) != 0 ? ReadState::kUnread : ReadState::kRead;
        inventory.messages.push_back(m);
      } else if ((name[0] == ',' || name[0] == '#') && IsNumber(name.substr(1))) {
        inventory.passedOver.push_back(
            {entry.Path(), "deleted in the MH folder, which kept it as a backup"});
      } else {
        walk.File(entry, visit.names, kMhOwn);
      }
    }
  }
};

}  // namespace

const Format& MhFormat() {
  static const Mh format;
  return format;
}

}  // namespace crateline::mailbox
