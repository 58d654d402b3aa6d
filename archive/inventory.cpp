// AddDirectoryTree: walks the chosen folder and plans what goes into the archive and what is
// left out, before a single byte is written. Links are never followed, so the walk stays in the
// tree and ends on any tree.
#include <algorithm>
#include <set>

#include "archive/archive.h"
#include "archive/tar_format.h"
#include "archive/zimbra_names.h"
#include "platform/platform.h"
#include "scan/search.h"

namespace crateline::archive {
namespace {

constexpr std::uint64_t kLargestMessage = (std::uint64_t{1} << 31) - 1;  // the importer's int
constexpr std::uint32_t kAttrDevice = 0x40;                              // FIFOs, sockets, devices

std::int64_t UnixTime(std::uint64_t fileTimeTicks) {
  constexpr std::uint64_t kTicksTo1970 = 116444736000000000ull;
  if (fileTimeTicks < kTicksTo1970) return 0;
  return static_cast<std::int64_t>((fileTimeTicks - kTicksTo1970) / 10000000u);
}

struct PendingFolder {
  std::string path;                   // ends in the separator
  std::vector<std::string> segments;  // below the root, as entry text
  bool planned = false;
  std::string zimbraPath;
};

}  // namespace

TarArchive::TarArchive(TarArchiveListener* listener) : listener_(listener) {}
TarArchive::~TarArchive() = default;

std::int32_t TarArchive::AddDirectoryTree(const std::string& path) {
  plan_.clear();
  report_ = {};
  inventoryLeftOut_ = 0;
  lastError_.clear();
  cancelled_.store(false);
  if (OutputFormat != "gnu") {
    lastError_ = "the archive format \"" + OutputFormat + "\" is not written; only \"gnu\" is";
    return 0;
  }
  std::string root = path;
  while (root.size() > 1 && root.back() == scan::kSeparator && root[root.size() - 2] != ':') {
    root.pop_back();  // a drive root ("C:\\") keeps its separator: "C:" is another folder
  }
  const std::uint32_t attributes = scan::GetEntryAttributes(root);
  if (attributes == platform::kInvalidFileAttributes) {
    lastError_ = "cannot read the folder \"" + root +
                 "\": " + platform::GetApiErrorText(platform::LastApiError);
    return 0;
  }
  if ((attributes & platform::kAttrDirectory) == 0) {
    lastError_ = "\"" + root + "\" is not a folder";
    return 0;
  }
  if (root.back() != scan::kSeparator) root += scan::kSeparator;
  sourceRoot_ = root;

  std::set<std::string> notesSeen;
  std::vector<PendingFolder> pending{{root, {}, false, {}}};
  while (!pending.empty()) {
    PendingFolder folder = std::move(pending.back());
    pending.pop_back();
    scan::SearchRecord record;
    if (scan::FindFirstEntry(folder.path + "*", record) == platform::kInvalidHandle) {
      if (!record.Failed) continue;  // an empty listing
      const std::string why = platform::GetApiErrorText(record.ErrorCode);
      if (folder.segments.empty()) {
        lastError_ = "cannot list the folder \"" + root + "\": " + why;
        return 0;
      }
      report_.leftOut.push_back({folder.path, "the folder could not be listed: " + why});
      continue;
    }
    do {
      const std::string& name = record.EntryName;
      if (name == "." || name == "..") continue;
      const std::string full = folder.path + name;
      const std::uint32_t bits = record.Attributes;
      bool renamed = false;
      const std::string text = EntryText(name, renamed);
      if (scan::IsLink(bits, record.ReparseTag)) {
        report_.leftOut.push_back({full, (bits & platform::kAttrDirectory) != 0
                                             ? "a link to a folder; links are not followed"
                                             : "a link; links are not followed"});
      } else if ((bits & platform::kAttrDirectory) != 0) {
        PendingFolder sub{full + scan::kSeparator, folder.segments, false, {}};
        sub.segments.push_back(text);
        pending.push_back(std::move(sub));
      } else if ((bits & kAttrDevice) != 0) {
        report_.leftOut.push_back({full, "not a regular file (a device, pipe or socket)"});
      } else if (!HasMessageSuffix(name)) {
        report_.leftOut.push_back(
            {full, "not a message; Zimbra would turn it into a Briefcase document"});
      } else if (record.Size == 0) {
        report_.leftOut.push_back({full, "an empty message; Zimbra rejects empty messages"});
      } else if (record.Size > kLargestMessage) {
        report_.leftOut.push_back(
            {full, "2 GiB or larger; Zimbra cannot take a message this size"});
      } else {
        if (!folder.planned) {
          std::vector<std::string> notes;
          folder.zimbraPath = ZimbraFolderPath(folder.segments, notes);
          for (auto& note : notes) {
            if (notesSeen.insert(note).second) report_.repaired.push_back({folder.path, note});
          }
          folder.planned = true;
        }
        if (renamed) {
          report_.repaired.push_back(
              {full, "the name is not valid UTF-8; its stray bytes were written as %XX"});
        }
        PlannedMessage message;
        message.sourcePath = full;
        message.folder = folder.zimbraPath;
        message.entryName =
            (folder.zimbraPath.empty() ? "" : folder.zimbraPath + "/") + MessageFileName(text);
        message.size = record.Size;
        message.fileTime = UnixTime(record.LastWritten.Ticks);
        plan_.push_back(std::move(message));
      }
    } while (scan::FindNextEntry(record));
    if (record.Failed) {
      report_.leftOut.push_back({folder.path, "the folder's listing broke off: " +
                                                  platform::GetApiErrorText(record.ErrorCode) +
                                                  "; entries after that point are missing"});
    }
  }
  inventoryLeftOut_ = report_.leftOut.size();
  // Byte order of the entry names (ties by source path): the bytes of the archive never depend
  // on the order in which the system lists a folder.
  std::sort(plan_.begin(), plan_.end(), [](const PlannedMessage& a, const PlannedMessage& b) {
    return a.entryName != b.entryName ? a.entryName < b.entryName : a.sourcePath < b.sourcePath;
  });
  return 1;
}

}  // namespace crateline::archive
