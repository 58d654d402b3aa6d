// mbox files: a single file (any file that begins with a "From " line, such as a Google
// Takeout download or a mutt folder), or macOS Mail's exported NAME.mbox bundles (a folder
// whose file "mbox" holds the messages of the mail folder NAME, bundles nesting for
// subfolders). Each file's messages are read by ReadMboxFile, which also files Google Takeout
// messages by their labels.
#include <algorithm>
#include <cstring>
#include <set>

#include "mailbox/mailbox.h"
#include "mailbox/mbox_split.h"
#include "mailbox/message_headers.h"
#include "mailbox/store_walk.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "scan/search.h"

namespace crateline::mailbox {
namespace {

constexpr const char* kBundleSuffix = ".mbox";
constexpr const char* kBundleFile = "mbox";

// Google's own labels: where a message without a label of the user's goes, and the ones that
// say something else than a folder.
struct SystemLabel {
  const char* label;
  const char* folder;  // nullptr: not a folder
};
constexpr SystemLabel kSystemLabels[] = {
    {"Inbox", "Inbox"},     {"Sent", "Sent"},     {"Drafts", "Drafts"}, {"Draft", "Drafts"},
    {"Spam", "Junk"},       {"Trash", "Trash"},   {"Unread", nullptr},  {"Opened", nullptr},
    {"Important", nullptr}, {"Starred", nullptr}, {"Chat", nullptr},    {"Archived", nullptr},
};

const SystemLabel* SystemLabelNamed(const std::string& label) {
  for (const SystemLabel& system : kSystemLabels) {
    if (label == system.label) return &system;
  }
  return nullptr;
}

bool IsCategory(const std::string& label) {
  return label.rfind("Category ", 0) == 0;
}

// X-Gmail-Labels: labels separated by commas; one with a comma of its own is in quotes.
std::vector<std::string> SplitLabels(const std::string& value) {
  std::vector<std::string> labels;
  std::string current;
  bool quoted = false;
  for (char c : value) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      labels.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  labels.push_back(current);
  for (auto& label : labels) {
    const auto first = label.find_first_not_of(" \t");
    const auto last = label.find_last_not_of(" \t");
    label = first == std::string::npos ? "" : label.substr(first, last - first + 1);
  }
  labels.erase(std::remove(labels.begin(), labels.end(), std::string()), labels.end());
  return labels;
}

std::vector<std::string> Nested(const std::string& label) {
  std::vector<std::string> names;
  std::size_t start = 0;
  for (;;) {
    const auto slash = label.find('/', start);
    const std::string name =
        label.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!name.empty()) names.push_back(name);
    if (slash == std::string::npos) return names;
    start = slash + 1;
  }
}

std::string StemOf(const std::string& name) {
  if (name.size() > 5 && name.compare(name.size() - 5, 5, kBundleSuffix) == 0) {
    return name.substr(0, name.size() - 5);
  }
  return name;
}

class Mbox final : public Format {
 public:
  const char* Name() const override { return "mbox"; }

  int Bid(const std::string& source) const override {
    const std::string path = TrimmedPath(source);
    const std::uint32_t attributes = scan::GetEntryAttributes(path);
    if (attributes == platform::kInvalidFileAttributes) return 0;
    if ((attributes & platform::kAttrDirectory) == 0) return LooksLikeMbox(path) ? 100 : 0;
    if (IsBundle(path)) return 95;
    bool bundles = false;
    ForEachEntry(path + scan::kSeparator, [&](const scan::SearchRecord& entry) {
      bundles |= entry.IsFolder && IsBundle(entry.FullPath);
    });
    return bundles ? 70 : 0;
  }

  void Read(const std::string& source, const ReadOptions& options,
            Inventory& inventory) const override {
    const std::string path = TrimmedPath(source);
    const std::uint32_t attributes = scan::GetEntryAttributes(path);
    if (attributes == platform::kInvalidFileAttributes) {
      throw SourceError("cannot read \"" + path +
                        "\": " + platform::GetApiErrorText(platform::LastApiError));
    }
    if ((attributes & platform::kAttrDirectory) == 0) {
      if (!LooksLikeMbox(path)) throw SourceError("\"" + path + "\" is no mbox file");
      const auto slash = path.find_last_of(scan::kSeparator);
      const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
      const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
      inventory.root = path;
      const std::string stem = StemOf(name);
      ReadMboxFile(folder, name, {options.folderName.empty() ? stem : options.folderName}, options,
                   inventory);
      return;
    }
    inventory.root = path + scan::kSeparator;
    ReadBundles(inventory.root, {}, options, inventory);
  }

 private:
  static bool IsBundle(const std::string& path) {
    if (path.size() <= 5 || path.compare(path.size() - 5, 5, kBundleSuffix) != 0) return false;
    const std::uint32_t inner = scan::GetEntryAttributes(path + scan::kSeparator + kBundleFile);
    return inner != platform::kInvalidFileAttributes && (inner & platform::kAttrDirectory) == 0;
  }

  // A folder of bundles, or a bundle (whose own mbox is read, then its nested bundles).
  static void ReadBundles(const std::string& folder, const std::vector<std::string>& names,
                          const ReadOptions& options, Inventory& inventory) {
    if (options.tick) options.tick(folder);
    std::string trimmed = folder;
    trimmed.pop_back();
    if (IsBundle(trimmed)) ReadMboxFile(folder, kBundleFile, names, options, inventory);
    std::size_t other = 0;
    ForEachEntry(
        folder,
        [&](const scan::SearchRecord& entry) {
          if (entry.IsFolder && IsBundle(entry.FullPath)) {
            auto inner = names;
            inner.push_back(StemOf(entry.EntryName));
            ReadBundles(entry.FullPath + scan::kSeparator, inner, options, inventory);
          } else if (entry.EntryName != kBundleFile) {
            ++other;  // Info.plist, table_of_contents
          }
        },
        &inventory);
    if (names.empty()) NoteOtherFiles(inventory, other, "beside the mailboxes");
  }
};

}  // namespace

void ReadMboxFile(const std::string& dir, const std::string& name,
                  const std::vector<std::string>& names, const ReadOptions& options,
                  Inventory& inventory) {
  const std::uint32_t file = inventory.AddFile(dir, name);
  const std::string path = dir + name;
  const std::uint32_t folder = inventory.Folder(names);
  std::uint64_t severalLabels = 0;
  std::uint64_t chats = 0;
  try {
    const bool mbox = SplitMbox(
        path,
        [&](const MboxMessage& found) {
          const MessageFacts facts = ReadMessageFacts(found.head);
          Message m;
          m.file = file;
          m.folder = folder;
          m.offset = found.offset;
          m.length = found.length;
          m.fallbackTime = FromLineDate(found.fromLine);
          m.wholeFile = false;
          m.ownFile = false;
          const std::string label = path + ":" + std::to_string(found.offset);
          if (facts.mozillaStatus && (*facts.mozillaStatus & kMozillaExpunged) != 0) {
            inventory.passedOver.push_back(
                {label, "deleted in Thunderbird, which had not yet compacted it away"});
            return;
          }
          // The mbox programs' Status first, then Thunderbird's flags; else the headers say.
          if (facts.statusRead) {
            m.state = *facts.statusRead ? ReadState::kRead : ReadState::kUnread;
          } else if (facts.mozillaStatus) {
            m.state =
                (*facts.mozillaStatus & kMozillaRead) != 0 ? ReadState::kRead : ReadState::kUnread;
          }
          if (facts.gmailLabels.empty()) {
            inventory.messages.push_back(m);
            return;
          }
          // Google Takeout: the labels say the folder and whether it was read.
          const auto labels = SplitLabels(facts.gmailLabels);
          if (std::find(labels.begin(), labels.end(), "Chat") != labels.end()) {
            ++chats;
            inventory.passedOver.push_back({label, "a Google chat, not mail"});
            return;
          }
          const bool unread = std::find(labels.begin(), labels.end(), "Unread") != labels.end();
          m.state = unread ? ReadState::kUnread : ReadState::kRead;
          std::vector<std::vector<std::string>> folders;
          for (const auto& l : labels) {
            if (SystemLabelNamed(l) == nullptr && !IsCategory(l) && !Nested(l).empty()) {
              folders.push_back(Nested(l));
            }
          }
          if (folders.size() > 1) ++severalLabels;
          if (folders.empty()) {
            const char* system = "Archive";
            for (const auto& l : labels) {
              const SystemLabel* known = SystemLabelNamed(l);
              if (known != nullptr && known->folder != nullptr) {
                system = known->folder;
                break;
              }
            }
            folders.push_back({system});
          }
          if (options.labels == LabelMode::kFirst) folders.resize(1);
          for (const auto& names : folders) {
            m.folder = inventory.Folder(names);
            inventory.messages.push_back(m);
          }
        },
        options.tick);
    if (!mbox && IsFile(path)) {
      platform::InputFile in(path);
      if (in.Status().size > 0) {
        inventory.leftOut.push_back(
            {path,
             "the mailbox file does not begin with a \"From \" line, so its messages cannot "
             "be told apart",
             true});
      }
    }
  } catch (const platform::FileError& error) {
    inventory.leftOut.push_back(
        {path, std::string("the mailbox could not be read to its end: ") + error.what(), true});
  }
  if (severalLabels > 0) {
    inventory.notes.push_back(
        std::to_string(severalLabels) + " message(s) of \"" + path +
        "\" carried more than one label; Zimbra keeps a message in one folder, so " +
        (options.labels == LabelMode::kFirst
             ? "each went to its first label's (--labels copy puts a copy in each)"
             : "a copy went to each label's folder"));
  }
  if (chats > 0) {
    inventory.notes.push_back(std::to_string(chats) + " Google chat(s) of \"" + path +
                              "\" were passed over");
  }
}

const Format& MboxFormat() {
  static const Mbox format;
  return format;
}

}  // namespace crateline::mailbox
