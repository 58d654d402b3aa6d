// Thunderbird's mail folders: each mail folder is an mbox file (no suffix, with its index
// NAME.msf beside it, or any file that begins with a "From " line) and NAME.sbd/ holds the
// folders below NAME. A source is one account's folder ("Local Folders", a POP or IMAP account)
// or a whole profile (the folder with prefs.js), whose accounts live in Mail/ and ImapMail/:
// then every account is read, each under a top folder of its own name, or only the one
// ReadOptions::account names, with its folders at the top. X-Mozilla-Status gives the read state
// and marks the messages deleted but not yet compacted away, which are passed over.
#include <algorithm>

#include "mailbox/mailbox.h"
#include "mailbox/mbox_split.h"
#include "mailbox/store_walk.h"
#include "platform/platform.h"

namespace crateline::mailbox {
namespace {

constexpr const char* kIndexSuffix = ".msf";
constexpr const char* kSubfolderSuffix = ".sbd";
constexpr const char* kAccountHomes[] = {"Mail", "ImapMail"};

struct Account {
  std::string name;
  std::string folder;  // ends in the separator
};

class Thunderbird final : public Format {
 public:
  const char* Name() const override { return "thunderbird"; }

  int Bid(const std::string& source) const override {
    const std::string path = TrimmedPath(source);
    if (!IsFolder(path)) return 0;
    const std::string folder = path + scan::kSeparator;
    if (IsFile(folder + "prefs.js")) return 95;
    bool mail = false;
    ForEachEntry(folder, [&](const scan::SearchRecord& entry) {
      mail |= (entry.IsFile && EndsWith(entry.EntryName, kIndexSuffix)) ||
              (entry.IsFolder && EndsWith(entry.EntryName, kSubfolderSuffix));
    });
    return mail ? 90 : 0;
  }

  void Read(const std::string& source, const ReadOptions& options,
            Inventory& inventory) const override {
    inventory.root = StoreFolder(source);
    std::size_t other = 0;
    if (!IsFile(inventory.root + "prefs.js")) {
      ReadMailFolder(inventory.root, {}, options, inventory, other);
    } else {
      const std::vector<Account> accounts = AccountsOf(inventory.root);
      if (!options.account.empty()) {
        const auto it = std::find_if(accounts.begin(), accounts.end(),
                                     [&](const Account& a) { return a.name == options.account; });
        if (it == accounts.end()) {
          std::string names;
          for (const auto& a : accounts) names += (names.empty() ? "" : ", ") + a.name;
          throw SourceError("the profile has no account \"" + options.account +
                            "\"; its accounts are: " + (names.empty() ? "none" : names));
        }
        ReadMailFolder(it->folder, {}, options, inventory, other);
      } else {
        for (const Account& account : accounts) {
          ReadMailFolder(account.folder, {account.name}, options, inventory, other);
        }
      }
    }
    NoteOtherFiles(inventory, other, "of Thunderbird's own (indexes, filters, settings)");
  }

 private:
  static std::vector<Account> AccountsOf(const std::string& profile) {
    std::vector<Account> accounts;
    for (const char* home : kAccountHomes) {
      ForEachEntry(profile + home + scan::kSeparator, [&](const scan::SearchRecord& entry) {
        if (entry.IsFolder)
          accounts.push_back({entry.EntryName, entry.FullPath + scan::kSeparator});
      });
    }
    std::sort(accounts.begin(), accounts.end(),
              [](const Account& a, const Account& b) { return a.name < b.name; });
    return accounts;
  }

  static void ReadMailFolder(const std::string& folder, const std::vector<std::string>& names,
                             const ReadOptions& options, Inventory& inventory, std::size_t& other) {
    if (options.tick) options.tick(folder);
    std::vector<std::string> files;
    std::vector<std::string> subfolders;
    std::vector<std::string> indexes;
    ForEachEntry(
        folder,
        [&](const scan::SearchRecord& entry) {
          if (entry.IsFolder) {
            if (EndsWith(entry.EntryName, kSubfolderSuffix)) subfolders.push_back(entry.EntryName);
          } else if (EndsWith(entry.EntryName, kIndexSuffix)) {
            indexes.push_back(entry.EntryName);
          } else {
            files.push_back(entry.EntryName);
          }
        },
        &inventory);
    std::sort(files.begin(), files.end());
    for (const std::string& name : files) {
      const bool indexed =
          std::find(indexes.begin(), indexes.end(), name + kIndexSuffix) != indexes.end();
      if (!indexed && !LooksLikeMbox(folder + name)) {
        ++other;
        continue;
      }
      auto inner = names;
      inner.push_back(name);
      ReadMboxFile(folder, name, inner, options, inventory);
    }
    other += indexes.size();
    for (const std::string& sub : subfolders) {
      auto inner = names;
      inner.push_back(sub.substr(0, sub.size() - 4));
      ReadMailFolder(folder + sub + scan::kSeparator, inner, options, inventory, other);
    }
  }
};

}  // namespace

const Format& ThunderbirdFormat() {
  static const Thunderbird format;
  return format;
}

}  // namespace crateline::mailbox
