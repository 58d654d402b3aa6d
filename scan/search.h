// The file-search layer: lists a folder and reads attributes through the system's find
// functions, choosing for every call between the wide (UTF-16, long-path prefixed) and the
// narrow (ANSI) form by the platform layer's capability flags.
//
// One SearchRecord holds one folder listing and describes its current entry in the system's
// own terms. A listing is: FindFirstEntry, then FindNextEntry until it returns false (which
// closes the search); a caller that stops early calls CloseEntrySearch. Failures are reported
// through the results, the record's Found/Failed/ErrorCode and platform::LastApiError; the end
// of a listing (error 18) is never a failure. Nothing here shows a message or throws.
//
// An entry's short name, times and sizes are read when first asked for (ShortName(), Size(),
// ...), not with the listing: on Windows they come with it anyway, but elsewhere each costs a
// call per entry (a stat, a short-name query) that a walk reading only names and kinds, as the
// scan does, never needs to pay. What they answer is the same either way.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32_types.h"
#include "util/separator.h"

namespace crateline::scan {

// The separator of folder paths: the backslash on Windows; on other systems '/' takes its role.
inline constexpr char kSeparator = util::kPathSeparator;

enum PathKind : std::int32_t { kDrivePath = 1, kNetworkPath = 2, kFtpUrl = 3 };

struct CalendarTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

struct EntryTime {
  bool Failed = false;      // the stamp cannot be expressed as a date; Stamp means nothing then
  CalendarTime Stamp;       // UTC, to the second
  std::uint64_t Ticks = 0;  // raw FILETIME: 100 ns intervals since 1601-01-01 UTC
};

struct SearchRecord {
  bool Failed = false;  // the last step failed with an error other than the end (18)
  std::int32_t ErrorCode = 0;
  bool Found = false;                                        // an entry is current
  std::string SearchSpec;                                    // folder path followed by a pattern
  platform::SearchHandle Handle = platform::kInvalidHandle;  // 0 or -1: no search open
  std::int32_t PathKind = 0;
  std::string FullPath;    // ParentPath + EntryName
  std::string ParentPath;  // folder part of SearchSpec, with its final separator
  std::string EntryName;
  std::string Extension;  // after the last "."; empty without one
  std::uint32_t Attributes = 0;
  std::uint32_t ReparseTag = 0;  // with the reparse-point bit: what kind of reparse point
  bool IsFolder = false;
  bool IsFile = false;

  // Read when first asked for.
  const std::string& ShortName() const;  // 8.3 name, or the name itself where the volume keeps none
  const EntryTime& Created() const;
  const EntryTime& LastAccessed() const;
  const EntryTime& LastWritten() const;
  std::uint64_t Size() const;            // 0 for a folder
  std::uint64_t CompressedSize() const;  // space taken on a compressing volume; 0 for a folder

  // What the system said of the current entry, kept for the reads above.
  struct SystemEntry {
    platform::FileTime created, accessed, written;
    std::uint32_t sizeLow = 0, sizeHigh = 0;
    std::string shortName;  // cAlternateFileName; empty when the system gave none
    bool deferred = false;  // times and sizes are still to be asked of the system
  } System;
  // The answers, once read (or set by FillEntryNames and FillEntrySizes).
  struct Details {
    std::string ShortName;
    EntryTime Created, LastAccessed, LastWritten;
    std::uint64_t Size = 0, CompressedSize = 0;
    bool names = false, times = false, sizes = false;
  };
  mutable Details details;
};

// Starts a listing; returns -1 when nothing could be listed, 0 for an ftp URL (no search is
// made), otherwise the open handle (also in record.Handle).
platform::SearchHandle FindFirstEntry(const std::string& searchSpec, SearchRecord& record);

// Advances to the next entry; false at the end or on failure, and the search is then closed.
bool FindNextEntry(SearchRecord& record);

// Closes a search still open; true when it closed or none was open.
bool CloseEntrySearch(SearchRecord& record);

// The attribute bits of a path; kInvalidFileAttributes (all bits set) when unreadable.
std::uint32_t GetEntryAttributes(const std::string& path);

// "\\?\" + path, or "\\?\UNC\" + path without its first two characters for a network path,
// followed by one NUL (which the result's size includes). The path must be absolute.
std::u16string MakeLongPathBuffer(const std::string& path);

// Sets PathKind and ParentPath from a folder path followed by a pattern.
void SplitSearchPath(const std::string& searchSpec, SearchRecord& record,
                     char separator = kSeparator);

// Sets Extension, FullPath and, when missing, ShortName.
void FillEntryNames(SearchRecord& record, char separator = kSeparator);
// Sets ShortName: the system's short name, else the short form of FullPath the system gives.
void FillShortName(const SearchRecord& record, char separator = kSeparator);

std::string ExtensionOf(const std::string& name);
void AssignExtension(const std::string& name, std::string& out);  // ExtensionOf, over `out`

void SetEntryKind(SearchRecord& record);
void ConvertFileTime(const platform::FileTime& time, EntryTime& out);
void FillEntrySizes(std::uint32_t sizeLow, std::uint32_t sizeHigh, const SearchRecord& record);
std::uint64_t GetEntryCompressedSize(const SearchRecord& record);

// Whether an entry is a symbolic link or a junction (not a cloud placeholder or a deduplicated
// file, which carry the reparse-point bit too but hold the entry itself).
constexpr bool IsLink(std::uint32_t attributes, std::uint32_t reparseTag) {
  return (attributes & platform::kAttrReparsePoint) != 0 &&
         (reparseTag == platform::kReparseTagSymlink ||
          reparseTag == platform::kReparseTagMountPoint);
}

// The unsigned 64-bit value of two 32-bit words, exact.
constexpr std::uint64_t MakeLargeNumber(std::uint32_t low, std::uint32_t high) {
  return (std::uint64_t{high} << 32) | low;
}

}  // namespace crateline::scan
