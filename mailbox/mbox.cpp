// mbox files: a file that begins with a "From " line, wherever the walk finds it (a mutt or
// Pine folder, a Google Takeout download, an export with or without a ".mbox" suffix), goes to
// a folder named after the file; and macOS Mail's exported NAME.mbox mailboxes, a folder whose
// file "mbox" holds the messages of the mail folder NAME, mailboxes nesting for subfolders.
#include <algorithm>

#include "mailbox/content.h"
#include "mailbox/mbox_split.h"
#include "mailbox/message_headers.h"
#include "mailbox/readers.h"
#include "mailbox/takeout.h"
#include "platform/file_io.h"

namespace crateline::mailbox {
namespace {

constexpr const char* kBundleSuffix = ".mbox";
constexpr const char* kBundleFile = "mbox";

bool IsBundle(const std::string& folder, const Listing& entries) {
  return EndsWith(TrimmedPath(folder), kBundleSuffix) &&
         std::any_of(entries.begin(), entries.end(),
                     [](const Entry& e) { return !e.folder && e.name == kBundleFile; });
}

class Mbox final : public Format {
 public:
  const char* Name() const override { return "mbox"; }

  int BidFolder(const std::string& folder, const Listing& entries) const override {
    return IsBundle(folder, entries) ? 95 : 0;
  }

  void ReadFolder(const Visit& visit, const Listing& entries, Walk& walk) const override {
    if (!IsBundle(visit.path, entries)) {  // told to read a folder of mbox files (--from mbox)
      walk.EntryByEntry(visit, entries);
      return;
    }
    // Found in a walk, the bundle came with its own name: the folder is its stem.
    auto names = visit.names;
    if (!names.empty() && !visit.top) names.back() = MboxStem(names.back());
    for (const Entry& entry : entries) {
      if (!entry.folder && entry.name == kBundleFile) {
        ReadMboxFile(entry, names, MboxKind::kBundle, walk);
      } else if (entry.folder) {
        auto inner = names;
        inner.push_back(entry.name);
        walk.Folder(entry, std::move(inner), kAppleOwn);
      } else {
        walk.File(entry, names, kAppleOwn);  // Info.plist, table_of_contents
      }
    }
  }

  int BidFile(const Entry& /*file*/, const std::function<std::string_view()>& head) const override {
    return BeginsWithFromLine(head()) ? 90 : 0;
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& names,
                Walk& walk) const override {
    auto inner = names;
    const bool top = inner.empty() && walk.Mail().root == file.Path();
    inner.push_back(top && !walk.Options().folderName.empty() ? walk.Options().folderName
                                                              : MboxStem(file.name));
    ReadMboxFile(file, inner, MboxKind::kLoose, walk);
  }
};

}  // namespace

std::string MboxStem(const std::string& name) {
  return EndsWith(name, kBundleSuffix) ? name.substr(0, name.size() - 5) : name;
}

void ReadMboxFile(const Entry& file, const std::vector<std::string>& names, MboxKind kind,
                  Walk& walk) {
  Inventory& inventory = walk.Mail();
  const std::string path = file.Path();
  const std::uint32_t fileIndex = inventory.AddFile(file.dir, file.name);
  const std::uint32_t folder = inventory.Folder(names, path);
  const bool copies = walk.Options().labels == LabelMode::kCopy;
  std::uint64_t severalLabels = 0;
  std::uint64_t chats = 0;
  bool first = true;
  bool takeout = false;
  try {
    const bool mbox = SplitMbox(
        path,
        [&](const MboxMessage& found) {
          if (first) takeout = kind == MboxKind::kLoose && IsTakeoutFromLine(found.fromLine);
          first = false;
          const MessageFacts facts = ReadMessageFacts(found.head);
          Message m;
          m.file = fileIndex;
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
          if (facts.mozillaStatus && (*facts.mozillaStatus & kMozillaPartial) != 0) {
            inventory.warnings.push_back(
                {label,
                 "Thunderbird downloaded only part of it (its headers); archived as it was kept"});
          }
          if (!takeout || facts.gmailLabels.empty()) {
            inventory.messages.push_back(m);  // its headers say whether it was read
            return;
          }
          LabelFiling filing = FileByLabels(TakeoutLabels(facts.gmailLabels));
          if (filing.chat) {
            ++chats;
            inventory.passedOver.push_back({label, "a Google chat, not mail"});
            return;
          }
          m.state = filing.unread ? ReadState::kUnread : ReadState::kRead;
          if (filing.severalLabels) ++severalLabels;
          if (!copies) filing.folders.resize(1);
          for (const auto& labelNames : filing.folders) {
            m.folder = inventory.Folder(labelNames, path);
            inventory.messages.push_back(m);
          }
        },
        [&walk](const std::string& where) { walk.Tick(where); });
    if (!mbox && file.size > 0) {
      inventory.leftOut.push_back(
          {path,
           "the mailbox file does not begin with a \"From \" line, so its messages cannot "
           "be told apart",
           true});
    }
  } catch (const platform::FileError& error) {
    inventory.leftOut.push_back(
        {path, std::string("the mailbox could not be read to its end: ") + error.what(), true});
  }
  if (severalLabels > 0) {
    inventory.notes.push_back(
        std::to_string(severalLabels) + " message(s) of \"" + path +
        "\" carried more than one label; Zimbra keeps a message in one folder, so " +
        (copies ? "a copy went to each label's folder"
                : "each went to its first label's (--labels copy puts a copy in each)"));
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
