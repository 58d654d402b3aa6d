// The file-search layer over the system's find, attribute, short-name and size functions.
#include "scan/search.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace crateline::scan {

using namespace platform;

namespace {

constexpr std::int32_t kEndOfListing = static_cast<std::int32_t>(kErrorNoMoreFiles);

// A name from a fixed system buffer, cut at its first NUL, written over `out` (whose capacity
// serves the next entry: a scan converts hundreds of thousands of names).
void AssignText(const char16_t* units, std::size_t count, std::string& out) {
  out.clear();
  AppendUtf8(std::u16string_view(units, std::find(units, units + count, u'\0') - units), out);
}
void AssignText(const char* units, std::size_t count, std::string& out) {
  out = AnsiToUtf8(std::string(units, std::find(units, units + count, '\0')));
}

// "\\?\" + path (or "\\?\UNC\" + path past its "\\"), then one NUL, written over `out`.
void AssignLongPathBuffer(const std::string& path, std::u16string& out) {
  const bool network = path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
  out.assign(network ? u"\\\\?\\UNC\\" : u"\\\\?\\");
  AppendUtf16(std::string_view(path).substr(network ? 2 : 0), out);
  out.push_back(u'\0');
}

// The entry the system just described becomes the record's current entry; its short name,
// times and sizes are kept as the system gave them, to be read when asked for.
template <typename Char>
void FillCurrentEntry(const BasicFindData<Char>& data, SearchRecord& record) {
  AssignText(data.cFileName, std::size(data.cFileName), record.EntryName);
  AssignExtension(record.EntryName, record.Extension);
  record.FullPath.assign(record.ParentPath).append(record.EntryName);
  record.Attributes = data.dwFileAttributes;
  record.ReparseTag = (data.dwFileAttributes & kAttrReparsePoint) != 0 ? data.dwReserved0 : 0;
  SetEntryKind(record);
  SearchRecord::SystemEntry& system = record.System;
  system.created = data.ftCreationTime;
  system.accessed = data.ftLastAccessTime;
  system.written = data.ftLastWriteTime;
  system.sizeLow = data.nFileSizeLow;
  system.sizeHigh = data.nFileSizeHigh;
  if (data.cAlternateFileName[0] == 0) {
    system.shortName.clear();  // as on most volumes: no 8.3 names kept
  } else {
    AssignText(data.cAlternateFileName, std::size(data.cAlternateFileName), system.shortName);
  }
#ifdef _WIN32
  system.deferred = false;  // reserved there: Windows lists every detail
#else
  system.deferred = data.dwReserved1 == kDetailsDeferred;
#endif
  record.details = {};
}

// Times and sizes of the current entry, asked of the system when its listing left them out.
void ReadDetails(const SearchRecord& record) {
  SearchRecord::Details& details = record.details;
  if (details.times && details.sizes) return;
  SearchRecord::SystemEntry& system = const_cast<SearchRecord&>(record).System;
  if (system.deferred) {
    FileAttributeData data;
    if (os::GetFileAttributesExW(MakeLongPathBuffer(record.FullPath).c_str(), data) != 0) {
      system.created = data.ftCreationTime;
      system.accessed = data.ftLastAccessTime;
      system.written = data.ftLastWriteTime;
      system.sizeLow = data.nFileSizeLow;
      system.sizeHigh = data.nFileSizeHigh;
    }
    system.deferred = false;  // gone meanwhile: it is described as empty
  }
  if (!details.times) {
    ConvertFileTime(system.created, details.Created);
    ConvertFileTime(system.accessed, details.LastAccessed);
    ConvertFileTime(system.written, details.LastWritten);
    details.times = true;
  }
  if (!details.sizes) FillEntrySizes(system.sizeLow, system.sizeHigh, record);
}

// After a failed step: the end of the listing is no failure, anything else is.
void RecordFailure(SearchRecord& record) {
  CaptureApiErrorCode();
  record.Found = false;
  record.Failed = LastApiError != kEndOfListing;
  record.ErrorCode = record.Failed ? LastApiError : 0;
}

std::string AfterLastSeparator(const std::string& text, char separator) {
  const auto at = text.rfind(separator);
  return at == std::string::npos ? text : text.substr(at + 1);
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

}  // namespace

std::u16string MakeLongPathBuffer(const std::string& path) {
  std::u16string text;
  AssignLongPathBuffer(path, text);
  return text;
}

void SplitSearchPath(const std::string& searchSpec, SearchRecord& record, char separator) {
  if (StartsWithIgnoringCase(searchSpec, "ftp://")) {
    record.PathKind = kFtpUrl;
    return;  // the parent of a URL is not taken apart
  }
  const bool network =
      searchSpec.size() >= 2 && searchSpec[0] == separator && searchSpec[1] == separator;
  record.PathKind = network ? kNetworkPath : kDrivePath;
  // A separator at the very end is passed over.
  std::size_t last = std::string::npos;
  if (searchSpec.size() >= 2) last = searchSpec.rfind(separator, searchSpec.size() - 2);
  if (last == std::string::npos || (network && last < 2)) {
    record.ParentPath.clear();
  } else {
    record.ParentPath = searchSpec.substr(0, last + 1);
  }
}

std::string ExtensionOf(const std::string& name) {
  std::string extension;
  AssignExtension(name, extension);
  return extension;
}

void AssignExtension(const std::string& name, std::string& out) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) {
    out.clear();
  } else {
    out.assign(name, dot + 1);
  }
}

void FillEntryNames(SearchRecord& record, char separator) {
  record.Extension = ExtensionOf(record.EntryName);
  record.FullPath = record.ParentPath + record.EntryName;
  FillShortName(record, separator);
}

void FillShortName(const SearchRecord& record, char separator) {
  std::string& shortName = record.details.ShortName;
  record.details.names = true;
  shortName = record.System.shortName;
  if (!shortName.empty()) return;
  if (HasGetShortPathNameW) {
    // The system writes its answer over the path it was given; on failure the path stays,
    // and its last component is the entry's own name.
    std::u16string buffer = MakeLongPathBuffer(record.FullPath);
    os::GetShortPathNameW(buffer.c_str(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    shortName = AfterLastSeparator(Utf16ToUtf8(TrimAtNull(buffer)), separator);
  } else if (HasGetShortPathNameA) {
    const std::string path = Utf8ToAnsi(record.FullPath);
    std::string buffer(path.size() + 1, '\0');
    os::GetShortPathNameA(path.c_str(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    shortName = AfterLastSeparator(AnsiToUtf8(TrimAtNull(buffer)), separator);
  } else {
    shortName = record.EntryName;
  }
}

const std::string& SearchRecord::ShortName() const {
  if (!details.names) FillShortName(*this);
  return details.ShortName;
}

const EntryTime& SearchRecord::Created() const {
  ReadDetails(*this);
  return details.Created;
}

const EntryTime& SearchRecord::LastAccessed() const {
  ReadDetails(*this);
  return details.LastAccessed;
}

const EntryTime& SearchRecord::LastWritten() const {
  ReadDetails(*this);
  return details.LastWritten;
}

std::uint64_t SearchRecord::Size() const {
  ReadDetails(*this);
  return details.Size;
}

std::uint64_t SearchRecord::CompressedSize() const {
  ReadDetails(*this);
  return details.CompressedSize;
}

void SetEntryKind(SearchRecord& record) {
  record.IsFolder = (record.Attributes & kAttrDirectory) != 0;
  record.IsFile = !record.IsFolder;
}

void ConvertFileTime(const FileTime& time, EntryTime& out) {
  SystemTime st;
  out.Failed = os::FileTimeToSystemTime(time, st) == 0;
  if (!out.Failed) out.Stamp = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
  out.Ticks = MakeLargeNumber(time.dwLowDateTime, time.dwHighDateTime);
}

void FillEntrySizes(std::uint32_t sizeLow, std::uint32_t sizeHigh, const SearchRecord& record) {
  SearchRecord::Details& details = record.details;
  details.sizes = true;
  if ((record.Attributes & kAttrDirectory) != 0) {
    details.Size = details.CompressedSize = 0;
    return;
  }
  details.Size = MakeLargeNumber(sizeLow, sizeHigh);
  if ((record.Attributes & kAttrCompressed) != 0) {
    GetEntryCompressedSize(record);
  } else {
    details.CompressedSize = details.Size;
  }
}

std::uint64_t GetEntryCompressedSize(const SearchRecord& record) {
  EnsureApiSupport();
  SearchRecord::Details& details = record.details;
  details.CompressedSize = details.Size;
  std::uint32_t high = 0;
  if (HasGetCompressedFileSizeW) {
    const std::u16string path = MakeLongPathBuffer(record.FullPath);
    const std::uint32_t low = os::GetCompressedFileSizeW(path.c_str(), &high);
    const std::uint32_t error = low == kInvalidFileSize ? SavedSystemError() : 0;
    if (error == kErrorCallNotImplemented) {
      HasGetCompressedFileSizeW = false;  // for the rest of the run; try the narrow one
      return GetEntryCompressedSize(record);
    }
    if (error == 0) details.CompressedSize = MakeLargeNumber(low, high);
  } else if (HasGetCompressedFileSizeA) {
    const std::uint32_t low =
        os::GetCompressedFileSizeA(Utf8ToAnsi(record.FullPath).c_str(), &high);
    if (low != kInvalidFileSize || SavedSystemError() == 0) {
      details.CompressedSize = MakeLargeNumber(low, high);
    }
  }
  return details.CompressedSize;
}

SearchHandle FindFirstEntry(const std::string& searchSpec, SearchRecord& record) {
  EnsureApiSupport();
  record.SearchSpec = searchSpec;
  SplitSearchPath(searchSpec, record);
  if (record.PathKind == kFtpUrl) {
    record.Found = false;
    record.ErrorCode = 0;
    record.Failed = false;
    return 0;
  }
  SearchHandle handle = kInvalidHandle;
  if (HasFindFirstFileW) {
    FindDataW data;
    handle = os::FindFirstFileW(MakeLongPathBuffer(searchSpec).c_str(), data);
    if (handle != kInvalidHandle) FillCurrentEntry(data, record);
  } else {
    FindDataA data;
    handle = os::FindFirstFileA(Utf8ToAnsi(searchSpec).c_str(), data);
    if (handle != kInvalidHandle) FillCurrentEntry(data, record);
  }
  if (handle != kInvalidHandle) {
    LastApiError = 0;
    record.Found = true;
    record.Failed = false;
    record.ErrorCode = 0;
  } else {
    RecordFailure(record);
  }
  record.Handle = handle;
  return handle;
}

bool FindNextEntry(SearchRecord& record) {
  EnsureApiSupport();
  bool found = false;
  if (HasFindNextFileW) {
    FindDataW data;
    found = os::FindNextFileW(record.Handle, data) != 0;
    if (found) FillCurrentEntry(data, record);
  } else {
    FindDataA data;
    found = os::FindNextFileA(record.Handle, data) != 0;
    if (found) FillCurrentEntry(data, record);
  }
  if (found) {
    LastApiError = 0;
    record.Found = true;
    return true;
  }
  RecordFailure(record);
  CloseEntrySearch(record);
  record.Handle = 0;
  return false;
}

bool CloseEntrySearch(SearchRecord& record) {
  bool closed = true;
  if (record.Handle != 0 && record.Handle != kInvalidHandle) {
    closed = os::FindClose(record.Handle) != 0;
  }
  if (closed) {
    LastApiError = 0;
  } else {
    CaptureApiErrorCode();
  }
  record.Found = false;
  record.Handle = kInvalidHandle;
  return closed;
}

std::uint32_t GetEntryAttributes(const std::string& path) {
  EnsureApiSupport();
  // The scan asks this of every entry: one buffer serves every call of the thread.
  thread_local std::u16string buffer;
  std::uint32_t attributes = 0;
  if (HasGetFileAttributesW) {
    AssignLongPathBuffer(path, buffer);
    attributes = os::GetFileAttributesW(buffer.c_str());
  } else {
    attributes = os::GetFileAttributesA(Utf8ToAnsi(path).c_str());
  }
  if (attributes == kInvalidFileAttributes) {
    CaptureApiErrorCode();
  } else {
    LastApiError = 0;
  }
  return attributes;
}

}  // namespace crateline::scan
