// A folder tree of .eml files, one message a file: each folder below the chosen one is a mail
// folder of the same name. The tree is walked through the file-search layer, so that every
// path the system can list is reached (long paths, any name), and links are never followed,
// so the walk stays inside the tree and ends on any tree.
#include <cstring>

#include "mailbox/mailbox.h"
#include "mailbox/store_walk.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "scan/search.h"

namespace crateline::mailbox {
namespace {

constexpr std::uint32_t kAttrDevice = 0x40;  // FIFOs, sockets, devices
// An AppleDouble file (macOS's resource fork and attributes, kept apart as "._NAME") opens so.
constexpr unsigned char kAppleDoubleMagic[4] = {0x00, 0x05, 0x16, 0x07};
// Zimbra's importer passes over everything in a folder of this name (macOS's zip leftovers).
constexpr const char* kMacZipFolder = "__MACOSX";

bool EndsWithIgnoringCase(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[text.size() - n + i];
    if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != suffix[i]) return false;
  }
  return true;
}

bool IsAppleDouble(const std::string& path) {
  try {
    platform::InputFile in(path);
    unsigned char head[4] = {};
    return in.Read(head, sizeof head) == sizeof head &&
           std::memcmp(head, kAppleDoubleMagic, sizeof head) == 0;
  } catch (const platform::FileError&) {
    return false;  // unreadable: the writer says so when it reads it
  }
}

struct Pending {
  std::string path;                // ends in the separator
  std::vector<std::string> names;  // below the root
  bool underMacZip = false;
};

class EmlTree final : public Format {
 public:
  const char* Name() const override { return "eml"; }

  // Any folder can be a tree of .eml files: the lowest bid, taken when no store claims it.
  int Bid(const std::string& source) const override {
    const std::uint32_t attributes = scan::GetEntryAttributes(Trimmed(source));
    return attributes != platform::kInvalidFileAttributes &&
                   (attributes & platform::kAttrDirectory) != 0
               ? 10
               : 0;
  }

  void Read(const std::string& source, const ReadOptions& options,
            Inventory& inventory) const override {
    const std::string root = Trimmed(source);
    const std::uint32_t attributes = scan::GetEntryAttributes(root);
    if (attributes == platform::kInvalidFileAttributes) {
      throw SourceError("cannot read the folder \"" + root +
                        "\": " + platform::GetApiErrorText(platform::LastApiError));
    }
    if ((attributes & platform::kAttrDirectory) == 0) {
      throw SourceError("\"" + root + "\" is not a folder");
    }
    inventory.root = root.back() == scan::kSeparator ? root : root + scan::kSeparator;
    std::vector<Pending> pending{{inventory.root, {}, false}};
    std::size_t earlierOutputs = 0;
    while (!pending.empty()) {
      Pending folder = std::move(pending.back());
      pending.pop_back();
      if (options.tick) options.tick(folder.path);
      ReadFolder(folder, options, inventory, pending, earlierOutputs);
    }
    if (earlierOutputs > 0) {
      inventory.notes.push_back(std::to_string(earlierOutputs) +
                                " archive(s) and report(s) of earlier runs were passed over");
    }
  }

 private:
  // A folder path without its trailing separator, except a drive root ("C:\"), which needs it.
  static std::string Trimmed(const std::string& path) {
    std::string root = path;
    while (root.size() > 1 && root.back() == scan::kSeparator && root[root.size() - 2] != ':') {
      root.pop_back();
    }
    return root;
  }

  static void ReadFolder(const Pending& folder, const ReadOptions& options, Inventory& inventory,
                         std::vector<Pending>& pending, std::size_t& earlierOutputs) {
    scan::SearchRecord record;
    const platform::SearchHandle handle = scan::FindFirstEntry(folder.path + "*", record);
    if (handle == platform::kInvalidHandle || handle == 0) {
      if (!record.Failed) return;  // an empty folder
      const std::string why = platform::GetApiErrorText(record.ErrorCode);
      if (folder.names.empty()) {
        throw SourceError("cannot list the folder \"" + folder.path + "\": " + why);
      }
      inventory.leftOut.push_back(
          {folder.path, "the folder could not be listed, so its messages are missing: " + why,
           true});
      return;
    }
    do {
      const std::string& name = record.EntryName;
      if (name == "." || name == "..") continue;
      if (options.tick) options.tick(folder.path);
      const std::string full = folder.path + name;
      const std::uint32_t bits = record.Attributes;
      const bool message = HasEmlSuffix(name);
      if (scan::IsLink(bits, record.ReparseTag)) {
        if ((bits & platform::kAttrDirectory) != 0) {
          inventory.leftOut.push_back(
              {full, "a link to a folder; links are not followed, so its messages are missing"});
        } else if (message) {
          inventory.leftOut.push_back({full, "a link; links are not followed"});
        } else {
          inventory.notMail.push_back({full, "a link; links are not followed"});
        }
      } else if ((bits & platform::kAttrDirectory) != 0) {
        Pending sub{full + scan::kSeparator, folder.names,
                    folder.underMacZip || name == kMacZipFolder};
        sub.names.push_back(name);
        pending.push_back(std::move(sub));
      } else if ((bits & kAttrDevice) != 0) {
        (message ? inventory.leftOut : inventory.notMail)
            .push_back({full, "not a regular file (a device, pipe or socket)"});
      } else if (!message) {
        if (IsEarlierOutput(folder.path, name)) {
          ++earlierOutputs;
        } else {
          inventory.notMail.push_back(
              {full, "not a message; Zimbra would turn it into a Briefcase document"});
        }
      } else if ((folder.underMacZip || name.rfind("._", 0) == 0) && IsAppleDouble(full)) {
        inventory.notMail.push_back(
            {full, "an AppleDouble file (data macOS keeps beside a file), not a message"});
      } else if (folder.underMacZip) {
        inventory.leftOut.push_back(
            {full, "in a __MACOSX folder, whose entries Zimbra passes over"});
      } else {
        Message m;
        m.file = inventory.AddFile(folder.path, name);
        m.folder = inventory.Folder(folder.names);
        m.length = record.Size();
        m.fallbackTime = UnixTime(record.LastWritten().Ticks);
        inventory.messages.push_back(m);
      }
    } while (scan::FindNextEntry(record));
    if (record.Failed) {
      inventory.leftOut.push_back({folder.path,
                                   "the folder's listing broke off (" +
                                       platform::GetApiErrorText(record.ErrorCode) +
                                       "), so the messages after that point are missing",
                                   true});
    }
  }

  // An archive, or the report beside one: what an earlier run wrote, not mail.
  static bool IsEarlierOutput(const std::string& folder, const std::string& name) {
    if (EndsWithIgnoringCase(name, ".tgz")) return true;
    if (!EndsWithIgnoringCase(name, ".report.txt")) return false;
    const std::string archive = folder + name.substr(0, name.size() - 11) + ".tgz";
    return scan::GetEntryAttributes(archive) != platform::kInvalidFileAttributes;
  }
};

}  // namespace

bool HasEmlSuffix(const std::string& name) {
  return EndsWithIgnoringCase(name, ".eml");
}

const Format& EmlTreeFormat() {
  static const EmlTree format;
  return format;
}

}  // namespace crateline::mailbox
