#include "scan/listing.h"

#include <utility>

#include "platform/platform.h"

namespace crateline::scan {

FolderListing::FolderListing(std::string folder, const std::string& pattern)
    : folder_(std::move(folder)) {
  // 0 is an ftp address, which is never searched; an empty folder is no failure either (the
  // record says which it was).
  const platform::SearchHandle handle = FindFirstEntry(folder_ + pattern, record_);
  opened_ = handle != platform::kInvalidHandle && handle != 0;
  done_ = !opened_;
}

FolderListing::~FolderListing() {
  CloseEntrySearch(record_);
}

bool FolderListing::Next() {
  while (!done_) {
    if (first_) {
      first_ = false;
    } else if (!FindNextEntry(record_)) {
      done_ = true;  // the search is closed; Failed() tells whether it broke off
      return false;
    }
    if (record_.EntryName != "." && record_.EntryName != "..") return true;
  }
  return false;
}

bool FolderListing::IsFolder() const {
  return (record_.Attributes & platform::kAttrDirectory) != 0;
}

std::int64_t FolderListing::Modified() const {
  return UnixTime(record_.LastWritten().Ticks);
}

bool FolderListing::Failed() const {
  // A pattern that matches nothing in a folder that is there is an empty listing, not a failure;
  // a missing folder is told by "path not found".
  return record_.Failed && (opened_ || record_.ErrorCode != platform::kErrorFileNotFound);
}

std::string FolderListing::Error() const {
  return Failed() ? platform::GetApiErrorText(record_.ErrorCode) : std::string();
}

EntryKind KindAt(const std::string& path, std::string* why) {
  const std::uint32_t attributes = GetEntryAttributes(path);
  if (attributes == platform::kInvalidFileAttributes) {
    if (why != nullptr) *why = platform::GetApiErrorText(platform::LastApiError);
    return EntryKind::kNone;
  }
  return (attributes & platform::kAttrDirectory) != 0 ? EntryKind::kFolder : EntryKind::kFile;
}

std::int64_t UnixTime(std::uint64_t fileTimeTicks) {
  constexpr std::uint64_t kTicksTo1970 = 116444736000000000ull;
  if (fileTimeTicks < kTicksTo1970) return 0;
  return static_cast<std::int64_t>((fileTimeTicks - kTicksTo1970) / 10000000u);
}

}  // namespace crateline::scan
