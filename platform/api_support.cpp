// The one-time probe of the system's optional functions and of its version.
#include <algorithm>
#include <cctype>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace crateline::platform {

bool ApiSupportReady = false;
WindowsVersionInfo WindowsVersion;
bool HasGetVersionExA = false;
bool HasGetVersionExW = false;
bool HasGetFileSizeEx = false;
bool HasGetDiskFreeSpaceExA = false;
bool HasGetCompressedFileSizeA = false;
bool HasGetFileAttributesExA = false;
bool HasCopyFileExA = false;
bool HasGetLongPathNameA = false;
bool HasGetShortPathNameA = false;
bool HasGetFileAttributesW = false;
bool HasFindFirstFileW = false;
bool HasFindNextFileW = false;
bool HasGetCompressedFileSizeW = false;
bool HasFormatMessageW = false;
bool HasGetShortPathNameW = false;
bool HasCopyFileEx = false;
bool HasInitCommonControls = false;
bool RunningOnNT = false;

namespace {

constexpr std::int32_t kPlatformWin9x = 1;
constexpr std::int32_t kPlatformNT = 2;

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string StripSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool Exported(ModuleHandle module, const char* name) {
  return os::GetProcAddress(module, name) != nullptr;
}

template <typename Info>
RawVersion RawFrom(const Info& info, std::string servicePack) {
  return {static_cast<std::int32_t>(info.dwMajorVersion),
          static_cast<std::int32_t>(info.dwMinorVersion),
          static_cast<std::int32_t>(info.dwBuildNumber),
          static_cast<std::int32_t>(info.dwPlatformId), std::move(servicePack)};
}

}  // namespace

RawVersion RawVersionFromGetVersion(std::uint32_t value) {
  RawVersion raw;
  raw.major = static_cast<std::int32_t>(value & 0xFF);
  raw.minor = static_cast<std::int32_t>((value >> 8) & 0xFF);
  if ((value & 0x80000000u) != 0) {
    raw.platformId = kPlatformWin9x;
    raw.build = 0;
  } else {
    raw.platformId = kPlatformNT;
    raw.build = static_cast<std::int32_t>(value >> 16);
  }
  return raw;
}

WindowsVersionInfo DecideWindowsVersion(const RawVersion& raw) {
  WindowsVersionInfo v;
  v.MajorVersion = raw.major;
  v.MinorVersion = raw.minor;
  v.BuildNumber = raw.build;
  v.PlatformId = raw.platformId;
  v.CSDVersion = StripSpaces(TrimAtNull(raw.servicePack));
  v.IsWin9x = raw.platformId == kPlatformWin9x;
  v.IsNT = v.IsNTPlatform = raw.platformId == kPlatformNT;
  const bool onNT = v.IsNT;

  std::string name;
  switch (raw.major) {
    case 3:
      if (onNT) {
        v.IsNT3 = true;
        name = "Windows NT";
      } else {
        v.IsWin32s = true;
        name = "Windows Win32s";
      }
      break;
    case 4:
      if (onNT) {
        v.IsNTMajor4 = true;
        name = "Windows NT";
      }
      if (raw.minor == 0) {
        if (onNT) {
          v.IsNT4 = true;
          name = "Windows NT 4.0";
          v.IsNT4SP6 = raw.build >= 1381;
        } else {
          v.IsWin95 = true;
          if (EqualsIgnoringCase(v.CSDVersion, "C")) {
            v.IsWin95OSR2 = true;
            name = "Windows 95 OSR2";
          }
        }
      } else if (raw.minor == 10) {
        v.IsWin98 = true;
        if (EqualsIgnoringCase(v.CSDVersion, "uba")) {
          v.IsWin98SE = true;
          name = "Windows 98 SE";
        }
      } else if (raw.minor == 90) {
        v.IsWinMe = true;
        name = "Windows Me";
      }
      break;
    case 5:
      if (raw.minor == 0) {
        v.IsWin2000 = true;
        name = "Windows 2000";
      } else if (raw.minor == 1) {
        v.IsWinXP = true;
        name = "Windows XP";
      } else if (raw.minor == 2) {
        v.IsWin2003 = true;
        name = "Windows 2003";
      }
      break;
    default:
      break;
  }
  v.IsWin9xNotMe = v.IsWin9x && !v.IsWinMe;

  v.VersionText = name + " v" + std::to_string(raw.major) + "." + std::to_string(raw.minor);
  if (v.IsNT4SP6) v.VersionText += " SP6";

  v.VersionCode = raw.major * 100 + raw.minor;
  if (v.IsWin9x) v.VersionCode = 400;
  if (v.IsNT3) v.VersionCode = 400;
  if (v.IsNT4SP6) v.VersionCode = 401;

  v.NTVersionCode = v.IsWin2003 ? 502 : v.IsWinXP ? 501 : v.IsWin2000 ? 500 : v.IsNT4 ? 400 : 0;
  v.Win9xVersionCode = v.IsWinMe ? 490 : v.IsWin98 ? 410 : v.IsWin95 ? 400 : 0;
  return v;
}

WindowsVersionInfo DetectWindowsVersion() {
  RawVersion raw;
  if (HasGetVersionExW) {
    OsVersionInfoW info;
    info.dwOSVersionInfoSize = kOsVersionInfoWSize;
    if (os::GetVersionExW(info) == 0) {
      CaptureApiError("", "");
      HasGetVersionExW = false;
      return DetectWindowsVersion();
    }
    const std::u16string servicePack(std::begin(info.szCSDVersion), std::end(info.szCSDVersion));
    raw = RawFrom(info, Utf16ToUtf8(TrimAtNull(servicePack)));
  } else if (HasGetVersionExA) {
    OsVersionInfoA info;
    info.dwOSVersionInfoSize = kOsVersionInfoASize;
    if (os::GetVersionExA(info) == 0) {
      CaptureApiError("", "");
      HasGetVersionExA = false;
      return DetectWindowsVersion();
    }
    const std::string servicePack(std::begin(info.szCSDVersion), std::end(info.szCSDVersion));
    raw = RawFrom(info, AnsiToUtf8(TrimAtNull(servicePack)));
  } else {
    raw = RawVersionFromGetVersion(os::GetVersion());
  }
  WindowsVersionInfo version = DecideWindowsVersion(raw);
  LastApiError = 0;
  return version;
}

bool IsFunctionExported(const std::string& library, const std::string& function) {
  const ModuleHandle module = os::LoadLibraryA(Utf8ToAnsi(library));
  if (module == 0) return false;
  const bool found = os::GetProcAddress(module, Utf8ToAnsi(function)) != nullptr;
  os::FreeLibrary(module);
  return found;
}

void InitApiSupport() {
  ApiSupportReady = true;
  const ModuleHandle kernel32 = os::LoadLibraryA("kernel32");
  if (kernel32 == 0) return;

  HasGetVersionExA = Exported(kernel32, "GetVersionExA");
  HasGetVersionExW = Exported(kernel32, "GetVersionExW");
  WindowsVersion = DetectWindowsVersion();

  HasGetFileSizeEx = Exported(kernel32, "GetFileSizeEx");
  HasGetDiskFreeSpaceExA = Exported(kernel32, "GetDiskFreeSpaceExA");
  HasGetCompressedFileSizeA = Exported(kernel32, "GetCompressedFileSizeA");
  HasGetFileAttributesExA = Exported(kernel32, "GetFileAttributesExA");
  HasCopyFileExA = Exported(kernel32, "CopyFileExA");
  HasGetLongPathNameA = Exported(kernel32, "GetLongPathNameA");
  HasGetShortPathNameA = Exported(kernel32, "GetShortPathNameA");
  os::FreeLibrary(kernel32);

  // The wide functions are not probed: the NT family has them, the others do not.
  if (WindowsVersion.IsNTPlatform) {
    HasGetFileAttributesW = HasFindFirstFileW = HasFindNextFileW = true;
    HasGetCompressedFileSizeW = HasFormatMessageW = HasGetShortPathNameW = true;
  }
  HasCopyFileEx = WindowsVersion.IsNTPlatform || HasCopyFileExA;
  HasInitCommonControls = IsFunctionExported("comctl32.dll", "InitCommonControls");
  if (WindowsVersion.IsNT) RunningOnNT = true;
}

void ResetApiSupport() {
  ApiSupportReady = false;
  WindowsVersion = {};
  for (bool* flag :
       {&HasGetVersionExA, &HasGetVersionExW, &HasGetFileSizeEx, &HasGetDiskFreeSpaceExA,
        &HasGetCompressedFileSizeA, &HasGetFileAttributesExA, &HasCopyFileExA, &HasGetLongPathNameA,
        &HasGetShortPathNameA, &HasGetFileAttributesW, &HasFindFirstFileW, &HasFindNextFileW,
        &HasGetCompressedFileSizeW, &HasFormatMessageW, &HasGetShortPathNameW, &HasCopyFileEx,
        &HasInitCommonControls, &RunningOnNT}) {
    *flag = false;
  }
  LastApiError = 0;
}

}  // namespace crateline::platform
