// The Windows records, codes and bit values that the platform layer and the file-search layer
// speak in. They are our own declarations with the system's field order, so that the same code
// builds where <windows.h> does not exist; on Windows the real calls copy into them.
#pragma once

#include <cstdint>

namespace crateline::platform {

using ModuleHandle = std::intptr_t;  // 0 when a library did not load
using SearchHandle = std::intptr_t;  // kInvalidHandle when a search did not start

inline constexpr SearchHandle kInvalidHandle = -1;
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kInvalidFileSize = 0xFFFFFFFFu;
inline constexpr int kMaxPath = 260;

// Attribute bits (dwFileAttributes).
inline constexpr std::uint32_t kAttrReadOnly = 0x1;
inline constexpr std::uint32_t kAttrHidden = 0x2;
inline constexpr std::uint32_t kAttrSystem = 0x4;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kAttrNormal = 0x80;
inline constexpr std::uint32_t kAttrReparsePoint = 0x400;
inline constexpr std::uint32_t kAttrCompressed = 0x800;

// Reparse tags of links. Other reparse points (cloud placeholders, deduplicated files) hold
// the entry itself and are not links.
inline constexpr std::uint32_t kReparseTagMountPoint = 0xA0000003;  // junctions
inline constexpr std::uint32_t kReparseTagSymlink = 0xA000000C;

// System error codes the program meets.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorNoMoreFiles = 18;
inline constexpr std::uint32_t kErrorWriteProtect = 19;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorModNotFound = 126;
inline constexpr std::uint32_t kErrorProcNotFound = 127;
inline constexpr std::uint32_t kErrorDirNotEmpty = 145;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorFilenameExcedRange = 206;
inline constexpr std::uint32_t kErrorDirectory = 267;
inline constexpr std::uint32_t kErrorMrMidNotFound = 317;
inline constexpr std::uint32_t kErrorIoDevice = 1117;
inline constexpr std::uint32_t kErrorCantResolveFilename = 1921;

inline constexpr std::uint32_t kFormatMessageFromSystem = 4096;

struct FileTime {
  std::uint32_t dwLowDateTime = 0;
  std::uint32_t dwHighDateTime = 0;
};

struct SystemTime {
  std::uint16_t wYear = 0;
  std::uint16_t wMonth = 0;
  std::uint16_t wDayOfWeek = 0;
  std::uint16_t wDay = 0;
  std::uint16_t wHour = 0;
  std::uint16_t wMinute = 0;
  std::uint16_t wSecond = 0;
  std::uint16_t wMilliseconds = 0;
};

// WIN32_FIND_DATAW and WIN32_FIND_DATAA.
template <typename Char>
struct BasicFindData {
  std::uint32_t dwFileAttributes = 0;
  FileTime ftCreationTime;
  FileTime ftLastAccessTime;
  FileTime ftLastWriteTime;
  std::uint32_t nFileSizeHigh = 0;
  std::uint32_t nFileSizeLow = 0;
  std::uint32_t dwReserved0 = 0;  // the reparse tag, when the reparse-point bit is set
  // Reserved on Windows. The emulation elsewhere sets kDetailsDeferred here when it took the
  // entry from the folder's listing alone: times, sizes and the read-only bit are then to be
  // asked for (GetFileAttributesExW), as they cost a stat of the entry there.
  std::uint32_t dwReserved1 = 0;
  Char cFileName[kMaxPath] = {};
  Char cAlternateFileName[14] = {};
};
inline constexpr std::uint32_t kDetailsDeferred = 0x43524C44u;

// WIN32_FILE_ATTRIBUTE_DATA: what GetFileAttributesExW (GetFileExInfoStandard) tells.
struct FileAttributeData {
  std::uint32_t dwFileAttributes = 0;
  FileTime ftCreationTime;
  FileTime ftLastAccessTime;
  FileTime ftLastWriteTime;
  std::uint32_t nFileSizeHigh = 0;
  std::uint32_t nFileSizeLow = 0;
};
using FindDataW = BasicFindData<char16_t>;
using FindDataA = BasicFindData<char>;

// OSVERSIONINFOW (dwOSVersionInfoSize 276) and OSVERSIONINFOA (148).
template <typename Char>
struct BasicOsVersionInfo {
  std::uint32_t dwOSVersionInfoSize = 0;
  std::uint32_t dwMajorVersion = 0;
  std::uint32_t dwMinorVersion = 0;
  std::uint32_t dwBuildNumber = 0;
  std::uint32_t dwPlatformId = 0;
  Char szCSDVersion[128] = {};
};
using OsVersionInfoW = BasicOsVersionInfo<char16_t>;
using OsVersionInfoA = BasicOsVersionInfo<char>;

inline constexpr std::uint32_t kOsVersionInfoWSize = 276;
inline constexpr std::uint32_t kOsVersionInfoASize = 148;

}  // namespace crateline::platform
