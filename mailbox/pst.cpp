// Outlook data files (.pst, .ost), known by their first bytes whatever their names.
//
// A data file is a folder tree of its own. The mail folders are those below its top folder
// ("Top of Personal Folders", or an offline file's IPM_SUBTREE, in whatever language), which
// the store's record names; Inbox, Sent Items, Deleted Items, Drafts and Junk E-mail are found by
// the references the store keeps to them, not by their names, and go to Zimbra's own folders.
// The tree is placed where the file lies, so that a data file given alone fills the mailbox,
// and several beside each other share its folders. Search folders only point at items kept
// elsewhere and are passed by. Mail that Outlook keeps out of sight (hidden folders, folders
// outside the top one) is named as passed over; contacts, calendar items, tasks, notes and
// journal entries are counted per folder as not carried.
#include <algorithm>
#include <map>
#include <optional>

#include "mailbox/outlook.h"
#include "mailbox/pff.h"
#include "mailbox/readers.h"

namespace crateline::mailbox {
namespace {

constexpr std::uint32_t kReadFlag = 0x1;
constexpr std::uint32_t kUnsentFlag = 0x8;
constexpr std::uint32_t kIdTypeMask = 0x1F;
constexpr std::uint32_t kSearchFolderType = 0x03;
constexpr int kJunkReference = 4;  // in the list of additional special folders
constexpr std::size_t kTickEvery = 256;
// A made message is larger than the item's size: base64 adds a third to attachments.
constexpr std::uint64_t kMadeOverhead = 4096;

using FolderKey = std::string;

FolderKey KeyOfReference(const std::optional<std::string>& entryId) {
  return entryId ? outlook::ReferenceKey(*entryId) : FolderKey();
}

std::vector<FolderKey> KeysOfFolder(const pff::Item& folder) {
  return outlook::FolderKeys(folder.Id(), folder.Bytes(pff::kLongTermId).value_or(""));
}

struct Place {
  pff::Item folder;
  std::vector<std::string> names;  // below the data file's place
  std::string shown;               // the folder's path in the data file, for reports
  bool mail = true;                // in the mail folders and not hidden
};

class Reader {
 public:
  Reader(const Entry& file, const std::vector<std::string>& names, Walk& walk)
      : file_(file), path_(file.Path()), names_(names), walk_(walk), inventory_(walk.Mail()) {}

  void Run() {
    try {
      const pff::File data(path_);
      fileIndex_ = inventory_.AddFile(file_.dir, file_.name);
      walk_.Tick(path_);
      const outlook::BlockCheck check = outlook::CheckBlocks(path_);
      if (check.bad > 0) inventory_.leftOut.push_back({path_, outlook::BadBlocks(check), true});
      if (!check.checked) {
        inventory_.warnings.push_back(
            {path_, "its blocks' checksums could not be checked (" + check.why + ")"});
      }
      pff::Item root = data.Root();
      const pff::Item store = data.Store();
      if (store) {
        special_[KeyOfReference(store.Bytes(pff::kIpmWastebasket))] = "Trash";
        special_[KeyOfReference(store.Bytes(pff::kIpmSentMail))] = "Sent";
      }
      topId_ = FindTop(root, store ? KeyOfReference(store.Bytes(pff::kIpmSubtree)) : FolderKey());
      Walk(std::move(root));
    } catch (const pff::Error& error) {
      inventory_.leftOut.push_back({path_, error.what(), true});
    }
    for (const auto& [where, count] : others_) {
      std::string counts;
      for (const auto& [kind, n] : count)
        counts += (counts.empty() ? "" : ", ") + outlook::CountOf(kind, n);
      inventory_.notes.push_back("\"" + path_ + "\", folder \"" + where + "\": " + counts +
                                 " (not mail) not carried");
    }
  }

 private:
  // The whole tree, so that mail kept out of sight is named; only the top folder's subtree is
  // filed as mail.
  void Walk(pff::Item root) {
    std::vector<Place> pending;
    pending.push_back({std::move(root), {}, "", false});
    while (!pending.empty()) {
      Place place = std::move(pending.back());
      pending.pop_back();
      const bool isTop = place.folder.Id() == topId_;
      if (isTop) {
        try {
          FindSpecialFolders(place.folder);
        } catch (const pff::Error&) {
          // Without the references the folders keep their own names; the walk names the damage.
        }
      }
      std::vector<Place> children;
      try {
        for (int i = 0, n = pff::SubFolderCount(place.folder); i < n; ++i) {
          try {  // one damaged subfolder does not hide its siblings
            pff::Item sub = pff::SubFolder(place.folder, i);
            if ((sub.Id() & kIdTypeMask) == kSearchFolderType) continue;
            children.push_back(Child(place, std::move(sub), isTop));
          } catch (const pff::Error& error) {
            inventory_.leftOut.push_back(
                {Where(place) + ", subfolder " + std::to_string(i + 1), error.what(), true});
          }
        }
      } catch (const pff::Error& error) {
        inventory_.leftOut.push_back({Where(place), error.what(), true});
      }
      Items(place);
      // Pushed in reverse, so that folders are read in the file's order.
      for (auto it = children.rbegin(); it != children.rend(); ++it)
        pending.push_back(std::move(*it));
    }
  }

  // The top folder: the one the store names, or, where it names none (offline files), the
  // IPM_SUBTREE Exchange keeps under the mailbox's root; a file with neither is read whole.
  // Either lies within two levels of the root.
  static std::uint32_t FindTop(const pff::Item& root, const FolderKey& topKey) {
    const auto isTop = [&](const pff::Item& folder) {
      if (!topKey.empty()) {
        const auto keys = KeysOfFolder(folder);
        return std::find(keys.begin(), keys.end(), topKey) != keys.end();
      }
      return pff::FolderName(folder) == "IPM_SUBTREE" && pff::SubFolderCount(folder) > 0;
    };
    for (int i = 0, n = pff::SubFolderCount(root); i < n; ++i) {
      try {
        const pff::Item child = pff::SubFolder(root, i);
        if (isTop(child)) return child.Id();
        for (int k = 0, m = pff::SubFolderCount(child); k < m; ++k) {
          const pff::Item grandchild = pff::SubFolder(child, k);
          if (isTop(grandchild)) return grandchild.Id();
        }
      } catch (const pff::Error&) {
        // The walk comes to that folder again and names what it cannot read.
      }
    }
    return root.Id();
  }

  Place Child(const Place& parent, pff::Item folder, bool parentIsTop) {
    Place child;
    std::string name = pff::FolderName(folder);
    if (name.empty()) name = "(no name)";
    child.shown = parent.shown.empty() ? name : parent.shown + "/" + name;
    const bool hidden = folder.Flag(pff::kAttrHidden).value_or(false);
    child.mail = (parent.mail || parentIsTop) && !hidden;
    if (child.mail) {
      child.names = parentIsTop ? names_ : parent.names;
      std::string filed = name;
      if (parentIsTop) {
        for (const FolderKey& key : KeysOfFolder(folder)) {
          if (const auto it = special_.find(key); it != special_.end()) filed = it->second;
        }
      }
      child.names.push_back(filed);
    }
    child.folder = std::move(folder);
    return child;
  }

  // The Inbox is the one folder of the top that keeps the references to the others (Outlook
  // writes them there); Drafts and Junk are found among them.
  void FindSpecialFolders(const pff::Item& top) {
    for (int i = 0, n = pff::SubFolderCount(top); i < n; ++i) {
      const pff::Item sub = pff::SubFolder(top, i);
      const auto drafts = sub.Bytes(pff::kIpmDrafts);
      if (!drafts) continue;
      for (const FolderKey& key : KeysOfFolder(sub)) special_[key] = "Inbox";
      special_[KeyOfReference(drafts)] = "Drafts";
      special_[KeyOfReference(sub.BytesAt(pff::kAdditionalRenEntryIds, kJunkReference))] = "Junk";
      break;
    }
    special_.erase(FolderKey());
  }

  std::string Where(const Place& place) const {
    return path_ + ":" + (place.shown.empty() ? "/" : place.shown);
  }

  void Items(const Place& place) {
    int count = 0;
    try {
      count = pff::SubMessageCount(place.folder);
    } catch (const pff::Error& error) {
      inventory_.leftOut.push_back({Where(place), error.what(), true});
      return;
    }
    if (count == 0) return;
    std::optional<std::uint32_t> folder;  // made for mail only: a folder of contacts makes none
    for (int i = 0; i < count; ++i) {
      pff::Item item;
      try {
        item = pff::SubMessage(place.folder, i);
      } catch (const pff::Error& error) {
        inventory_.leftOut.push_back({outlook::LostItemLabel(path_, place.folder.Id(), i),
                                      "item " + std::to_string(i + 1) + " of folder \"" +
                                          place.shown + "\" cannot be read: " + error.what()});
        continue;
      }
      const outlook::Kind kind = outlook::KindOf(item.Text(pff::kMessageClass).value_or(""));
      const std::string label = path_ + ":" + std::to_string(item.Id());
      if (kind != outlook::Kind::kMail) {
        ++others_[place.shown.empty() ? "/" : place.shown][kind];
      } else if (!place.mail) {
        inventory_.passedOver.push_back(
            {label, "kept by Outlook out of sight, in its folder \"" + place.shown + "\""});
      } else {
        if (!folder) folder = inventory_.Folder(place.names, Where(place));
        inventory_.messages.push_back(MessageOf(item, *folder));
      }
      if (++seen_ % kTickEvery == 0) walk_.Tick(Where(place));
    }
  }

  Message MessageOf(const pff::Item& item, std::uint32_t folder) const {
    Message m;
    m.file = fileIndex_;
    m.folder = folder;
    m.offset = item.Id();
    m.length = item.Number(pff::kMessageSize).value_or(0) / 3 * 4 + kMadeOverhead;
    m.wholeFile = false;
    m.ownFile = false;
    m.built = true;
    const std::uint32_t flags = item.Number(pff::kMessageFlags).value_or(0);
    m.state = (flags & kReadFlag) != 0 ? ReadState::kRead : ReadState::kUnread;
    const auto delivered = item.Time(pff::kDeliveryTime);
    const auto submitted = item.Time(pff::kClientSubmitTime);
    const bool sent = (flags & kUnsentFlag) != 0 || !delivered;
    m.fallbackTime = (sent ? submitted : delivered).value_or(submitted.value_or(0));
    return m;
  }

  const Entry& file_;
  std::string path_;
  std::vector<std::string> names_;
  mailbox::Walk& walk_;
  Inventory& inventory_;
  std::uint32_t fileIndex_ = 0;
  std::uint32_t topId_ = 0;
  std::map<FolderKey, std::string> special_;
  std::map<std::string, std::map<outlook::Kind, std::size_t>> others_;
  std::size_t seen_ = 0;
};

class Outlook final : public Format {
 public:
  const char* Name() const override { return "outlook"; }

  int BidFile(const Entry& /*file*/, const std::function<std::string_view()>& head) const override {
    return outlook::HasSignature(head()) ? 100 : 0;
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& names,
                Walk& walk) const override {
    Reader(file, names, walk).Run();
  }
};

}  // namespace

const Format& OutlookFormat() {
  static const Outlook format;
  return format;
}

}  // namespace crateline::mailbox
