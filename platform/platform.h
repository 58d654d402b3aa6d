// The platform layer: which optional system functions the running system offers, which version
// it is, and the last system error as a code and as one line of text.
//
// The probe (InitApiSupport) runs lazily, at most once per run: the first operation that reads
// a capability flag starts it. Its results are module-wide state, read by the file-search
// layer to choose between the wide (UTF-16, long-path) and narrow (ANSI) system functions.
// Everything here runs on one thread; nothing is guarded against a second.
// All system calls go through the seam in platform/system_calls.h.
#pragma once

#include <cstdint>
#include <string>

namespace crateline::platform {

struct WindowsVersionInfo {
  std::string VersionText;  // e.g. "Windows XP v5.1"
  std::int32_t VersionCode = 0;
  std::int32_t NTVersionCode = 0;
  std::int32_t Win9xVersionCode = 0;
  std::int32_t MajorVersion = 0;
  std::int32_t MinorVersion = 0;
  std::int32_t BuildNumber = 0;
  std::string CSDVersion;
  std::int32_t PlatformId = 0;
  bool IsWin32s = false;
  bool IsWin9x = false;
  bool IsNT = false;
  bool IsWin95 = false;
  bool IsWin95OSR2 = false;
  bool IsWin98 = false;
  bool IsWin98SE = false;
  bool IsWinMe = false;
  bool IsWin9xNotMe = false;
  bool IsNT3 = false;
  bool IsNT4 = false;
  bool IsNT4SP6 = false;
  bool IsNTMajor4 = false;
  bool IsWin2000 = false;
  bool IsWinXP = false;
  bool IsWin2003 = false;
  bool IsNTPlatform = false;
};

// The five raw values a version source gives; the service-pack text is taken as is.
struct RawVersion {
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::int32_t build = 0;
  std::int32_t platformId = 0;
  std::string servicePack;
};

// ---- Module state (fixed by the first probe; see InitApiSupport) ----------------------------
extern bool ApiSupportReady;
extern WindowsVersionInfo WindowsVersion;
extern bool HasGetVersionExA;
extern bool HasGetVersionExW;
extern bool HasGetFileSizeEx;
extern bool HasGetDiskFreeSpaceExA;
extern bool HasGetCompressedFileSizeA;
extern bool HasGetFileAttributesExA;
extern bool HasCopyFileExA;
extern bool HasGetLongPathNameA;
extern bool HasGetShortPathNameA;
extern bool HasGetFileAttributesW;
extern bool HasFindFirstFileW;
extern bool HasFindNextFileW;
extern bool HasGetCompressedFileSizeW;  // cleared for good when the system says 120
extern bool HasFormatMessageW;
extern bool HasGetShortPathNameW;
extern bool HasCopyFileEx;
extern bool HasInitCommonControls;
extern bool RunningOnNT;

// 0 after a successful wrapped call, the system's code after a failed one, -1 when a failure
// came with no code.
extern std::int32_t LastApiError;

// ---- Version and capability probe -------------------------------------------------------------

// Runs the probe: sets ApiSupportReady first (so that error formatting reached from inside the
// probe does not start it again), then the flags and WindowsVersion.
void InitApiSupport();

// Runs InitApiSupport unless it has already started.
inline void EnsureApiSupport() {
  if (!ApiSupportReady) InitApiSupport();
}

// Asks the best source the flags allow (GetVersionExW, GetVersionExA, GetVersion); a failing
// source is recorded in LastApiError, its flag cleared, and the next one asked.
WindowsVersionInfo DetectWindowsVersion();

// The decision steps of DetectWindowsVersion: a pure function of the raw values.
WindowsVersionInfo DecideWindowsVersion(const RawVersion& raw);

// The raw values packed in the result of GetVersion.
RawVersion RawVersionFromGetVersion(std::uint32_t value);

// True when the library loads and exports the function; the library is released again.
bool IsFunctionExported(const std::string& library, const std::string& function);

// Forgets the probe and every flag, as at the start of a run. For tests.
void ResetApiSupport();

// ---- Error capture and text -------------------------------------------------------------------

// Records the saved system error (else GetLastError, else -1) in LastApiError and returns
// leading + " (" + GetApiErrorText(LastApiError) + "): " + trailing.
std::string CaptureApiError(const std::string& leading, const std::string& trailing);
// Records the code alone, for a caller that keeps no text (the end of every folder's listing).
std::int32_t CaptureApiErrorCode();

// "Error <code> - <the system's message on one line>", or "... - unknown error." when the
// system has none. Code 0 means the pending error; with none, "Error - File Possibly In
// Use/Locked".
std::string GetApiErrorText(std::int32_t code);

// The system's raw message made one line: NULs removed, line breaks turned into single spaces,
// spaces at both ends stripped.
std::string CleanSystemMessage(std::string text);

// The part of a text before its first NUL character (texts from fixed system buffers).
std::string TrimAtNull(const std::string& text);
std::u16string TrimAtNull(const std::u16string& text);

}  // namespace crateline::platform
