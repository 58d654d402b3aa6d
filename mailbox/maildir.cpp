// Maildir and Maildir++ (Dovecot, Courier, Evolution, KMail, mutt): a mail folder is a folder
// with cur/, new/ and tmp/; each message is a file of its own. The chosen folder is the Inbox;
// Maildir++ keeps subfolders beside it as ".A.B" (the folder B inside A), Dovecot's
// LAYOUT=fs as nested folders, and both spell names outside ASCII in IMAP's modified UTF-7
// ("&AMk-t&AOk-" is "Été"). Messages in new/ are unread; in cur/ the flags after ":2," decide:
// S (seen) is read, T (trashed, not yet expunged) is passed over. tmp/ holds messages still
// being delivered and is not read.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mailbox/mailbox.h"
#include "mailbox/store_walk.h"
#include "platform/platform.h"

namespace crateline::mailbox {
namespace {

constexpr const char* kFolders[] = {"cur", "new", "tmp"};

bool IsMaildir(const std::string& folder) {
  return IsFolder(folder + "cur") && IsFolder(folder + "new");
}

// The part of a file name after the info separator (":2," or, where ':' is not allowed in
// names, "!2," or ";2,"): the flags.
std::string FlagsOf(const std::string& name) {
  for (const char* separator : {":2,", "!2,", ";2,"}) {
    const auto at = name.rfind(separator);
    if (at != std::string::npos) return name.substr(at + 3);
  }
  return {};
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

// IMAP's modified UTF-7 (RFC 3501, 5.1.3): "&" begins UTF-16 in base64 with "," for "/",
// "-" ends it, "&-" is "&". What does not decode is kept as it stands.
std::string DecodeModifiedUtf7(const std::string& name) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '&') {
      out += name[i];
      continue;
    }
    const auto end = name.find('-', i + 1);
    if (end == std::string::npos) return name;
    if (end == i + 1) {
      out += '&';
      i = end;
      continue;
    }
    std::uint32_t bits = 0;
    int count = 0;
    std::vector<std::uint16_t> units;
    for (std::size_t k = i + 1; k < end; ++k) {
      const char* at = std::strchr(kAlphabet, name[k]);
      if (at == nullptr || *at == '\0') return name;
      bits = (bits << 6) | static_cast<std::uint32_t>(at - kAlphabet);
      count += 6;
      if (count >= 16) {
        count -= 16;
        units.push_back(static_cast<std::uint16_t>((bits >> count) & 0xFFFF));
      }
    }
    for (std::size_t u = 0; u < units.size(); ++u) {
      std::uint32_t code = units[u];
      if (code >= 0xD800 && code <= 0xDBFF && u + 1 < units.size() && units[u + 1] >= 0xDC00 &&
          units[u + 1] <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (units[++u] - 0xDC00);
      }
      AppendUtf8(out, code);
    }
    i = end;
  }
  return out;
}

namespace {

class Maildir final : public Format {
 public:
  const char* Name() const override { return "maildir"; }

  int Bid(const std::string& source) const override {
    const std::string path = TrimmedPath(source);
    if (!IsFolder(path)) return 0;
    return IsMaildir(path + scan::kSeparator) ? 95 : 0;
  }

  void Read(const std::string& source, const ReadOptions& options,
            Inventory& inventory) const override {
    inventory.root = StoreFolder(source);
    std::size_t other = 0;
    ReadFolder(inventory.root, {}, options, inventory, other);
    NoteOtherFiles(inventory, other, "of the mail server's own (indexes, lists, settings)");
  }

 private:
  // One mail folder, then the folders inside it (Maildir++ at the top, Dovecot's fs layout at
  // any depth).
  static void ReadFolder(const std::string& folder, const std::vector<std::string>& names,
                         const ReadOptions& options, Inventory& inventory, std::size_t& other) {
    if (options.tick) options.tick(folder);
    const std::uint32_t mailFolder = inventory.Folder(names);
    for (const char* sub : {"cur", "new"}) {
      ReadMessages(folder + sub + scan::kSeparator, mailFolder, std::string(sub) == "new", options,
                   inventory, other);
    }
    std::vector<std::pair<std::string, std::vector<std::string>>> inner;
    ForEachEntry(
        folder,
        [&](const scan::SearchRecord& entry) {
          const std::string& name = entry.EntryName;
          if (!entry.IsFolder) {
            ++other;  // dovecot-uidlist, courierimapkeywords, maildirfolder, subscriptions
            return;
          }
          if (std::find(std::begin(kFolders), std::end(kFolders), name) != std::end(kFolders)) {
            return;
          }
          std::vector<std::string> below = names;
          if (names.empty() && name.size() > 1 && name[0] == '.') {
            // Maildir++: ".A.B" is B inside A.
            std::size_t start = 1;
            for (;;) {
              const auto dot = name.find('.', start);
              below.push_back(DecodeModifiedUtf7(
                  name.substr(start, dot == std::string::npos ? std::string::npos : dot - start)));
              if (dot == std::string::npos) break;
              start = dot + 1;
            }
          } else if (name[0] != '.') {
            below.push_back(DecodeModifiedUtf7(name));  // Dovecot's LAYOUT=fs
          } else {
            return;
          }
          if (IsMaildir(entry.FullPath + scan::kSeparator)) {
            inner.emplace_back(entry.FullPath + scan::kSeparator, below);
          }
        },
        &inventory);
    for (const auto& [path, below] : inner) ReadFolder(path, below, options, inventory, other);
  }

  static void ReadMessages(const std::string& folder, std::uint32_t mailFolder, bool fresh,
                           const ReadOptions& options, Inventory& inventory, std::size_t& other) {
    ForEachEntry(
        folder,
        [&](const scan::SearchRecord& entry) {
          if (options.tick) options.tick(folder);
          if (entry.IsFolder || (entry.Attributes & 0x40) != 0) {
            ++other;
            return;
          }
          const std::string flags = FlagsOf(entry.EntryName);
          if (flags.find('T') != std::string::npos) {
            inventory.passedOver.push_back(
                {folder + entry.EntryName, "marked trashed (T), not yet expunged by the server"});
            return;
          }
          Message m;
          m.file = inventory.AddFile(folder, entry.EntryName);
          m.folder = mailFolder;
          m.length = entry.Size();
          m.fallbackTime = UnixTime(entry.LastWritten().Ticks);
          m.state = !fresh && flags.find('S') != std::string::npos ? ReadState::kRead
                                                                   : ReadState::kUnread;
          inventory.messages.push_back(m);
        },
        &inventory);
  }
};

}  // namespace

const Format& MaildirFormat() {
  static const Maildir format;
  return format;
}

}  // namespace crateline::mailbox
