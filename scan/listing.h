// A folder's entries in plain terms, for the code that reads mail stores: a name, whether it is
// a folder, a link or no regular file, its size and time, and why a listing failed. The
// search layer (search.h) does the system's part below it; nothing above it needs handles,
// attribute bits or error codes.
#pragma once

#include <cstdint>
#include <string>

#include "scan/search.h"

namespace crateline::scan {

class FolderListing {
 public:
  // Lists `folder` (a path ending in the separator): the entries matching `pattern`, without
  // "." and "..", in the order the system gives them.
  explicit FolderListing(std::string folder, const std::string& pattern = "*");
  ~FolderListing();
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  // Moves to the next entry; false at the end, or when the listing failed (Failed()).
  bool Next();

  const std::string& Name() const { return record_.EntryName; }
  std::string Path() const { return folder_ + record_.EntryName; }
  bool IsFolder() const;
  // A symbolic link or junction: never followed, so a cycle cannot hold a walk.
  bool IsLink() const { return IsLink(record_.Attributes, record_.ReparseTag); }
  // Marked hidden or system, as the system's own files are (and, elsewhere, dot names).
  bool IsHidden() const {
    return (record_.Attributes & (platform::kAttrHidden | platform::kAttrSystem)) != 0;
  }
  // A device, pipe or socket: no file to read.
  bool IsDevice() const { return (record_.Attributes & kAttrDevice) != 0; }
  std::uint64_t Size() const { return record_.Size(); }
  // Seconds since 1970 of the last write; 0 before 1970.
  std::int64_t Modified() const;

  // The folder could not be listed at all (Opened() false), or its listing broke off.
  bool Failed() const;
  bool Opened() const { return opened_; }
  // The system's words for the failure.
  std::string Error() const;

 private:
  static constexpr std::uint32_t kAttrDevice = 0x40;
  static bool IsLink(std::uint32_t attributes, std::uint32_t tag) {
    return scan::IsLink(attributes, tag);
  }
  std::string folder_;
  SearchRecord record_;
  bool opened_ = false;
  bool done_ = false;
  bool first_ = true;  // the entry FindFirstEntry found is still to be handed out
};

enum class EntryKind { kNone, kFolder, kFile };

// What is at `path`: a folder, a file (or anything else that is no folder), or nothing that can
// be read, and then `why`, when given, says why.
EntryKind KindAt(const std::string& path, std::string* why = nullptr);

// Seconds since 1970 of a file time (100 ns ticks since 1601); 0 before 1970.
std::int64_t UnixTime(std::uint64_t fileTimeTicks);

}  // namespace crateline::scan
