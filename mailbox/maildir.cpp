// Maildir and Maildir++ (Dovecot, Courier, Evolution, KMail, mutt): a mail folder is a folder
// with cur/, new/ and tmp/; each message is a file of its own. A Maildir's own folder is its
// Inbox (or, found inside a larger source, the folder its name gives); Maildir++ keeps
// subfolders beside it as ".A.B" (the folder B inside A), Dovecot's LAYOUT=fs as nested
// folders, and both spell names outside ASCII in IMAP's modified UTF-7 ("&AMk-t&AOk-" is
// "Été"). Messages in new/ are unread; in cur/ the flags after ":2," decide: S (seen) is read,
// T (trashed, not yet expunged) is passed over, and a name without flags leaves it to the
// message's headers. tmp/ holds messages still being delivered, which no mail program has
// shown: each is named as passed over. Whatever else lies in these folders goes back to the
// walk.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mailbox/content.h"
#include "mailbox/readers.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "scan/search.h"

namespace crateline::mailbox {
namespace {

// The flags after the info separator (":2,", or "!2," and ";2," where ':' is not allowed in
// names); nothing when the name has none.
std::optional<std::string> FlagsOf(const std::string& name) {
  for (const char* separator : {":2,", "!2,", ";2,"}) {
    const auto at = name.rfind(separator);
    if (at != std::string::npos) return name.substr(at + 3);
  }
  return std::nullopt;
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

bool IsMaildirFolder(const std::string& folder) {
  return IsFolderAt(folder + "cur") || IsFolderAt(folder + "new") ||
         IsFileAt(folder + "maildirfolder");
}

namespace {

class Maildir final : public Format {
 public:
  const char* Name() const override { return "maildir"; }

  int BidFolder(const std::string& /*folder*/, const Listing& entries) const override {
    const bool cur = HasEntry(entries, "cur", true);
    const bool fresh = HasEntry(entries, "new", true);
    if (cur && (fresh || HasEntry(entries, "tmp", true))) return 95;
    return cur || fresh ? 60 : 0;
  }

  void ReadFolder(const Visit& visit, const Listing& entries, Walk& walk) const override {
    switch (visit.role) {
      case kMaildirCur:
      case kMaildirNew:
      case kThunderbirdCur:
        return ReadMessages(visit, entries, walk);
      case kMaildirTmp:
        return ReadTmp(visit, entries, walk);
      default:
        return ReadMailFolder(visit, entries, walk);
    }
  }

 private:
  // A Maildir or one of its folders: the messages, then the folders in it (Maildir++ at the
  // root, Dovecot's LAYOUT=fs at any depth).
  static void ReadMailFolder(const Visit& visit, const Listing& entries, Walk& walk) {
    const bool root = visit.role == kMaildirRoot;
    for (const Entry& entry : entries) {
      if (!entry.folder) {
        walk.File(entry, visit.names, kMailServerOwn);  // dovecot-uidlist, maildirfolder, ...
        continue;
      }
      const std::string& name = entry.name;
      if (name == "cur" || name == "new" || name == "tmp") {
        const int role = name == "cur" ? kMaildirCur : name == "new" ? kMaildirNew : kMaildirTmp;
        walk.Claim(MaildirFormat(), entry, visit.names, kMailServerOwn, role);
        continue;
      }
      std::vector<std::string> below = visit.names;
      if (root && name.size() > 1 && name[0] == '.') {
        // Maildir++: ".A.B" is B inside A.
        std::size_t start = 1;
        for (;;) {
          const auto dot = name.find('.', start);
          below.push_back(DecodeModifiedUtf7(
              name.substr(start, dot == std::string::npos ? std::string::npos : dot - start)));
          if (dot == std::string::npos) break;
          start = dot + 1;
        }
      } else {
        below.push_back(DecodeModifiedUtf7(name));
      }
      if (IsMaildirFolder(entry.FolderPath())) {
        walk.Claim(MaildirFormat(), entry, std::move(below), kMailServerOwn, kMaildirFolder);
      } else {
        // Not a folder of this Maildir: walked as any other, under its own name.
        std::vector<std::string> names = visit.names;
        names.push_back(name);
        walk.Folder(entry, std::move(names), nullptr);
      }
    }
  }

  // The mail folder's place on disk, for reports: the folder cur/, new/ or tmp/ is in.
  static std::string PlaceOf(const Visit& visit) {
    const std::string trimmed = TrimmedPath(visit.path);
    return trimmed.substr(0, trimmed.find_last_of(scan::kSeparator));
  }

  static bool AppleDoubleNamed(const Entry& file) {
    if (file.name.rfind("._", 0) != 0) return false;
    try {
      return IsAppleDouble(Walk::Head(file.Path()));
    } catch (const platform::FileError&) {
      return false;
    }
  }

  static void ReadMessages(const Visit& visit, const Listing& entries, Walk& walk) {
    Inventory& inventory = walk.Mail();
    const bool fresh = visit.role == kMaildirNew;
    const bool thunderbird = visit.role == kThunderbirdCur;
    std::uint32_t folder = 0;
    bool folderAdded = false;
    for (const Entry& entry : entries) {
      walk.Tick(visit.path);
      if (entry.folder) {
        walk.Folder(entry, visit.names, kMailServerOwn);
        continue;
      }
      if (AppleDoubleNamed(entry)) {  // macOS's leftovers beside a message, never mail
        walk.File(entry, visit.names, kMailServerOwn);
        continue;
      }
      const auto flags = FlagsOf(entry.name);
      if (flags && flags->find('T') != std::string::npos) {
        inventory.passedOver.push_back(
            {entry.Path(), "marked trashed (T), not yet expunged by the server"});
        continue;
      }
      if (!folderAdded) {
        folder = inventory.Folder(visit.names, PlaceOf(visit));
        folderAdded = true;
      }
      Message m;
      m.file = inventory.AddFile(entry.dir, entry.name);
      m.folder = folder;
      m.length = entry.size;
      m.fallbackTime = entry.modified;
      if (fresh) {
        m.state = ReadState::kUnread;  // no mail program has seen it yet
      } else if (flags && !thunderbird) {
        m.state = flags->find('S') != std::string::npos ? ReadState::kRead : ReadState::kUnread;
      }
      if (thunderbird) StripEnvelope(entry, m);
      inventory.messages.push_back(m);
    }
  }

  // Thunderbird before version 122 began its maildir files with an mbox "From " line, which
  // is no part of the message and which Thunderbird skips when it reads one.
  static void StripEnvelope(const Entry& file, Message& m) {
    std::string head;
    try {
      head = Walk::Head(file.Path());
    } catch (const platform::FileError&) {
      return;  // the writer says why it cannot be read
    }
    if (!BeginsWithFromLine(head)) return;
    const auto end = head.find_first_of("\r\n");
    if (end == std::string::npos) return;
    const std::uint64_t skip = end + (head.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    m.offset = skip;
    m.length = file.size > skip ? file.size - skip : 0;
    m.wholeFile = false;
  }

  static void ReadTmp(const Visit& visit, const Listing& entries, Walk& walk) {
    for (const Entry& entry : entries) {
      if (entry.folder) {
        walk.Folder(entry, visit.names, kMailServerOwn);
      } else if (AppleDoubleNamed(entry)) {
        walk.File(entry, visit.names, kMailServerOwn);
      } else {
        walk.Mail().passedOver.push_back(
            {entry.Path(),
             "in tmp/, where messages wait while they are delivered: no mail program has shown "
             "it"});
      }
    }
  }
};

}  // namespace

const Format& MaildirFormat() {
  static const Maildir format;
  return format;
}

}  // namespace crateline::mailbox
