#include "mailbox/store_walk.h"

#include "platform/platform.h"

namespace crateline::mailbox {

std::string TrimmedPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == scan::kSeparator &&
         trimmed[trimmed.size() - 2] != ':') {
    trimmed.pop_back();
  }
  return trimmed;
}

bool ForEachEntry(const std::string& folder,
                  const std::function<void(const scan::SearchRecord& entry)>& visit,
                  Inventory* report) {
  scan::SearchRecord record;
  const platform::SearchHandle handle = scan::FindFirstEntry(folder + "*", record);
  bool whole = true;
  if (handle == platform::kInvalidHandle || handle == 0 || !record.Found) {
    whole = !record.Failed;  // an empty listing is a whole one
  } else {
    do {
      if (record.EntryName == "." || record.EntryName == "..") continue;
      if (scan::IsLink(record.Attributes, record.ReparseTag)) continue;
      visit(record);
    } while (scan::FindNextEntry(record));
    whole = !record.Failed;
  }
  if (!whole && report != nullptr) {
    report->leftOut.push_back({folder,
                               "the folder could not be read whole, so messages may be missing: " +
                                   platform::GetApiErrorText(record.ErrorCode),
                               true});
  }
  return whole;
}

bool IsFolder(const std::string& path) {
  const std::uint32_t attributes = scan::GetEntryAttributes(TrimmedPath(path));
  return attributes != platform::kInvalidFileAttributes &&
         (attributes & platform::kAttrDirectory) != 0;
}

bool IsFile(const std::string& path) {
  const std::uint32_t attributes = scan::GetEntryAttributes(path);
  return attributes != platform::kInvalidFileAttributes &&
         (attributes & platform::kAttrDirectory) == 0;
}

std::string StoreFolder(const std::string& source) {
  const std::string path = TrimmedPath(source);
  if (!IsFolder(path)) {
    throw SourceError("cannot read the folder \"" + path +
                      "\": " + platform::GetApiErrorText(platform::LastApiError));
  }
  return path.back() == scan::kSeparator ? path : path + scan::kSeparator;
}

void NoteOtherFiles(Inventory& inventory, std::size_t count, const std::string& what) {
  if (count == 0) return;
  inventory.notes.push_back(std::to_string(count) + " file(s) " + what +
                            " hold no mail and were passed over");
}

std::int64_t UnixTime(std::uint64_t fileTimeTicks) {
  constexpr std::uint64_t kTicksTo1970 = 116444736000000000ull;
  if (fileTimeTicks < kTicksTo1970) return 0;
  return static_cast<std::int64_t>((fileTimeTicks - kTicksTo1970) / 10000000u);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace crateline::mailbox
