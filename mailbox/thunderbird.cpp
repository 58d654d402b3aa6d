// Thunderbird's mail folders. An account's folder ("Local Folders", a POP or IMAP account) holds
// each mail folder as an mbox file NAME (its index NAME.msf beside it) or, in the maildir
// store, as a folder NAME with cur/ and tmp/; the folders below NAME are in NAME.sbd/. A whole
// profile (the folder with prefs.js) keeps its accounts in Mail/ and ImapMail/: every account
// is read, each under a top folder of its own name, or only the one ReadOptions::account names,
// with its folders at the top. X-Mozilla-Status gives the read state and marks the messages
// deleted but not yet compacted away, which are passed over. Whatever else lies in these
// folders goes back to the walk: loose .eml files and plain folders are read as anywhere else.
#include <algorithm>
#include <set>

#include "mailbox/content.h"
#include "mailbox/readers.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "scan/listing.h"

namespace crateline::mailbox {
namespace {

constexpr const char* kIndexSuffix = ".msf";
constexpr const char* kSubfolderSuffix = ".sbd";
// Copies of the messages kept for the system's search (Spotlight, Windows Search).
constexpr const char* kSearchCopiesSuffix = ".mozmsgs";
constexpr const char* kAccountHomes[] = {"Mail", "ImapMail"};
constexpr const char* kProfileMark = "prefs.js";
// Files only Thunderbird's account folders hold, for a folder whose indexes are gone.
constexpr const char* kAccountFiles[] = {"msgFilterRules.dat", "popstate.dat"};

enum Role : int { kFound = 0, kMailFolder, kAccountHome, kMaildirFolder };

class Thunderbird final : public Format {
 public:
  const char* Name() const override { return "thunderbird"; }

  int BidFolder(const std::string& /*folder*/, const Listing& entries) const override {
    if (HasEntry(entries, kProfileMark, false)) return 95;
    for (const Entry& e : entries) {
      if (e.folder ? EndsWith(e.name, kSubfolderSuffix) : EndsWith(e.name, kIndexSuffix)) return 90;
    }
    for (const char* name : kAccountFiles) {
      if (HasEntry(entries, name, false)) return 80;
    }
    return 0;
  }

  void ReadFolder(const Visit& visit, const Listing& entries, Walk& walk) const override {
    switch (visit.role) {
      case kAccountHome:
        return ReadAccountHome(visit, entries, walk);
      case kMaildirFolder:
        return ReadMaildirFolder(visit, entries, walk);
      case kFound:
        if (HasEntry(entries, kProfileMark, false)) return ReadProfile(visit, entries, walk);
        [[fallthrough]];
      default:
        return ReadMailFolder(visit, entries, walk);
    }
  }

 private:
  static void ReadProfile(const Visit& visit, const Listing& entries, Walk& walk) {
    const std::string& account = walk.Options().account;
    if (!account.empty() && visit.top) {
      // One account, its folders at the top; the rest of the profile is not asked for. (A
      // profile found inside the source is read whole: the option names the source's.)
      std::vector<std::string> names;
      for (const char* home : kAccountHomes) {
        ForAccount(visit.path + home + scan::kSeparator, [&](const Entry& folder) {
          names.push_back(folder.name);
          if (folder.name == account) {
            walk.Claim(ThunderbirdFormat(), folder, {}, kThunderbirdOwn, kMailFolder);
          }
        });
      }
      if (std::find(names.begin(), names.end(), account) == names.end()) {
        std::sort(names.begin(), names.end());
        std::string list;
        for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
        throw SourceError("the profile has no account \"" + account +
                          "\"; its accounts are: " + (list.empty() ? "none" : list));
      }
      return;
    }
    for (const Entry& entry : entries) {
      const bool home =
          entry.folder && std::any_of(std::begin(kAccountHomes), std::end(kAccountHomes),
                                      [&](const char* h) { return entry.name == h; });
      if (home) {
        walk.Claim(ThunderbirdFormat(), entry, visit.names, kThunderbirdOwn, kAccountHome);
      } else if (entry.folder) {
        auto names = visit.names;
        names.push_back(entry.name);
        walk.Folder(entry, std::move(names), kThunderbirdOwn);
      } else {
        walk.File(entry, visit.names, kThunderbirdOwn);
      }
    }
  }

  // Calls `visit` for each account folder in an account home (Mail/, ImapMail/).
  static void ForAccount(const std::string& home, const std::function<void(const Entry&)>& visit) {
    scan::FolderListing listing(home);
    while (listing.Next()) {
      if (listing.IsFolder() && !listing.IsLink()) visit(Entry{listing.Name(), home, true, 0, 0});
    }
  }

  // Mail/ or ImapMail/: each account under a top folder of its name.
  static void ReadAccountHome(const Visit& visit, const Listing& entries, Walk& walk) {
    for (const Entry& entry : entries) {
      if (entry.folder) {
        auto names = visit.names;
        names.push_back(entry.name);
        walk.Claim(ThunderbirdFormat(), entry, std::move(names), kThunderbirdOwn, kMailFolder);
      } else {
        walk.File(entry, visit.names, kThunderbirdOwn);
      }
    }
  }

  static void ReadMailFolder(const Visit& visit, const Listing& entries, Walk& walk) {
    std::set<std::string> indexes;
    for (const Entry& e : entries) {
      if (!e.folder && EndsWith(e.name, kIndexSuffix)) indexes.insert(e.name);
    }
    for (const Entry& entry : entries) {
      auto names = visit.names;
      names.push_back(entry.name);
      if (entry.folder) {
        if (EndsWith(entry.name, kSubfolderSuffix)) {
          names.back().resize(names.back().size() - 4);
          walk.Claim(ThunderbirdFormat(), entry, std::move(names), kThunderbirdOwn, kMailFolder);
        } else if (EndsWith(entry.name, kSearchCopiesSuffix)) {
          walk.Mail().passedOver.push_back(
              {entry.Path(),
               "copies of messages that Thunderbird keeps for the system's search; the messages "
               "themselves are read from their folder"});
        } else if (IsFolderAt(entry.FolderPath() + "cur")) {
          walk.Claim(ThunderbirdFormat(), entry, std::move(names), kThunderbirdOwn, kMaildirFolder);
        } else if (entry.name[0] == '.') {
          walk.Mail().passedOver.push_back(
              {entry.Path(),
               "a folder of Thunderbird's own (its name begins with a dot), which "
               "it never shows: it may hold copies made while a folder was "
               "compacted"});
        } else {
          walk.Folder(entry, std::move(names), nullptr);
        }
      } else if (indexes.count(entry.name)) {
        walk.Own(kThunderbirdOwn);
      } else if (indexes.count(entry.name + kIndexSuffix) != 0 ||
                 BeginsWithFromLine(HeadOf(entry))) {
        ReadMboxFile(entry, names, MboxKind::kThunderbird, walk);
      } else {
        walk.File(entry, visit.names, kThunderbirdOwn);
      }
    }
  }

  // A folder of the maildir store: its messages in cur/ (and new/, which Thunderbird never
  // makes, should another program have made it), its subfolders beside it in NAME.sbd/.
  static void ReadMaildirFolder(const Visit& visit, const Listing& entries, Walk& walk) {
    for (const Entry& entry : entries) {
      if (entry.folder && (entry.name == "cur" || entry.name == "new")) {
        walk.Claim(MaildirFormat(), entry, visit.names, kThunderbirdOwn, kThunderbirdCur);
      } else if (entry.folder && entry.name == "tmp") {
        walk.Claim(MaildirFormat(), entry, visit.names, kThunderbirdOwn, kMaildirTmp);
      } else if (entry.folder) {
        auto names = visit.names;
        names.push_back(entry.name);
        walk.Folder(entry, std::move(names), nullptr);
      } else {
        walk.File(entry, visit.names, kThunderbirdOwn);
      }
    }
  }

  // A file that cannot be read goes back to the walk, which says so.
  static std::string HeadOf(const Entry& file) {
    try {
      return Walk::Head(file.Path());
    } catch (const platform::FileError&) {
      return {};
    }
  }
};

}  // namespace

const Format& ThunderbirdFormat() {
  static const Thunderbird format;
  return format;
}

}  // namespace crateline::mailbox
