// The system functions on Windows: each entry of the seam calls kernel32 and copies between the
// system's records and ours, which keep the same fields in the same order.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <algorithm>

#include "platform/system_calls.h"

namespace crateline::platform {
namespace {

const wchar_t* Wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
wchar_t* Wide(char16_t* text) {
  return reinterpret_cast<wchar_t*>(text);
}

template <typename Ours, typename Theirs>
void CopyFindData(const Theirs& from, Ours& to) {
  to.dwFileAttributes = from.dwFileAttributes;
  to.ftCreationTime = {from.ftCreationTime.dwLowDateTime, from.ftCreationTime.dwHighDateTime};
  to.ftLastAccessTime = {from.ftLastAccessTime.dwLowDateTime, from.ftLastAccessTime.dwHighDateTime};
  to.ftLastWriteTime = {from.ftLastWriteTime.dwLowDateTime, from.ftLastWriteTime.dwHighDateTime};
  to.nFileSizeHigh = from.nFileSizeHigh;
  to.nFileSizeLow = from.nFileSizeLow;
  to.dwReserved0 = from.dwReserved0;
  std::copy(std::begin(from.cFileName), std::end(from.cFileName), to.cFileName);
  std::copy(std::begin(from.cAlternateFileName), std::end(from.cAlternateFileName),
            to.cAlternateFileName);
}

template <typename Ours, typename Theirs>
void CopyVersion(const Theirs& from, Ours& to) {
  to.dwMajorVersion = from.dwMajorVersion;
  to.dwMinorVersion = from.dwMinorVersion;
  to.dwBuildNumber = from.dwBuildNumber;
  to.dwPlatformId = from.dwPlatformId;
  std::copy(std::begin(from.szCSDVersion), std::end(from.szCSDVersion), to.szCSDVersion);
}

// GetVersionEx is deprecated but is exactly what the version probe asks for.
#if defined(_MSC_VER)
#pragma warning(disable : 4996)
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
BOOL CallGetVersionExW(OSVERSIONINFOW* info) {
  return ::GetVersionExW(info);
}
BOOL CallGetVersionExA(OSVERSIONINFOA* info) {
  return ::GetVersionExA(info);
}

}  // namespace

std::string Utf8ToAnsi(const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_ACP, 0, Wide(wide.c_str()), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, Wide(wide.c_str()), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::string AnsiToUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), Wide(wide.data()),
                        n);
  return Utf16ToUtf8(wide);
}

SystemCalls NativeSystemCalls() {
  SystemCalls calls;
  calls.LoadLibraryA = [](const std::string& name) {
    return reinterpret_cast<ModuleHandle>(::LoadLibraryA(name.c_str()));
  };
  calls.GetProcAddress = [](ModuleHandle module, const std::string& name) {
    return reinterpret_cast<const void*>(
        ::GetProcAddress(reinterpret_cast<HMODULE>(module), name.c_str()));
  };
  calls.FreeLibrary = [](ModuleHandle module) {
    return static_cast<int>(::FreeLibrary(reinterpret_cast<HMODULE>(module)));
  };
  calls.GetVersion = [] { return static_cast<std::uint32_t>(::GetVersion()); };
  calls.GetVersionExW = [](OsVersionInfoW& info) {
    OSVERSIONINFOW system{};
    system.dwOSVersionInfoSize = info.dwOSVersionInfoSize;
    const BOOL ok = CallGetVersionExW(&system);
    if (ok) CopyVersion(system, info);
    return static_cast<int>(ok);
  };
  calls.GetVersionExA = [](OsVersionInfoA& info) {
    OSVERSIONINFOA system{};
    system.dwOSVersionInfoSize = info.dwOSVersionInfoSize;
    const BOOL ok = CallGetVersionExA(&system);
    if (ok) CopyVersion(system, info);
    return static_cast<int>(ok);
  };
  calls.GetLastError = [] { return static_cast<std::uint32_t>(::GetLastError()); };
  calls.SetLastError = [](std::uint32_t code) { ::SetLastError(code); };
  calls.FormatMessageW = [](std::uint32_t flags, std::uint32_t id, std::uint32_t language,
                            char16_t* buffer, std::uint32_t size) {
    // With no inserts to give, a message holding "%1" would be read through a null argument
    // list: the system is told to leave inserts as they stand.
    DWORD_PTR zero = 0;
    return static_cast<std::uint32_t>(::FormatMessageW(flags | FORMAT_MESSAGE_IGNORE_INSERTS, &zero,
                                                       id, language, Wide(buffer), size, nullptr));
  };
  calls.FormatMessageA = [](std::uint32_t flags, std::uint32_t id, std::uint32_t language,
                            char* buffer, std::uint32_t size) {
    DWORD_PTR zero = 0;
    return static_cast<std::uint32_t>(::FormatMessageA(flags | FORMAT_MESSAGE_IGNORE_INSERTS, &zero,
                                                       id, language, buffer, size, nullptr));
  };
  calls.FindFirstFileW = [](const char16_t* path, FindDataW& data) {
    WIN32_FIND_DATAW system{};
    const HANDLE h = ::FindFirstFileW(Wide(path), &system);
    if (h != INVALID_HANDLE_VALUE) CopyFindData(system, data);
    return reinterpret_cast<SearchHandle>(h);
  };
  calls.FindFirstFileA = [](const char* path, FindDataA& data) {
    WIN32_FIND_DATAA system{};
    const HANDLE h = ::FindFirstFileA(path, &system);
    if (h != INVALID_HANDLE_VALUE) CopyFindData(system, data);
    return reinterpret_cast<SearchHandle>(h);
  };
  calls.FindNextFileW = [](SearchHandle search, FindDataW& data) {
    WIN32_FIND_DATAW system{};
    const BOOL ok = ::FindNextFileW(reinterpret_cast<HANDLE>(search), &system);
    if (ok) CopyFindData(system, data);
    return static_cast<int>(ok);
  };
  calls.FindNextFileA = [](SearchHandle search, FindDataA& data) {
    WIN32_FIND_DATAA system{};
    const BOOL ok = ::FindNextFileA(reinterpret_cast<HANDLE>(search), &system);
    if (ok) CopyFindData(system, data);
    return static_cast<int>(ok);
  };
  calls.FindClose = [](SearchHandle search) {
    return static_cast<int>(::FindClose(reinterpret_cast<HANDLE>(search)));
  };
  calls.GetFileAttributesW = [](const char16_t* path) {
    return static_cast<std::uint32_t>(::GetFileAttributesW(Wide(path)));
  };
  calls.GetFileAttributesA = [](const char* path) {
    return static_cast<std::uint32_t>(::GetFileAttributesA(path));
  };
  calls.GetFileAttributesExW = [](const char16_t* path, FileAttributeData& data) {
    WIN32_FILE_ATTRIBUTE_DATA system{};
    const BOOL ok = ::GetFileAttributesExW(Wide(path), GetFileExInfoStandard, &system);
    if (ok) {
      data.dwFileAttributes = system.dwFileAttributes;
      data.ftCreationTime = {system.ftCreationTime.dwLowDateTime,
                             system.ftCreationTime.dwHighDateTime};
      data.ftLastAccessTime = {system.ftLastAccessTime.dwLowDateTime,
                               system.ftLastAccessTime.dwHighDateTime};
      data.ftLastWriteTime = {system.ftLastWriteTime.dwLowDateTime,
                              system.ftLastWriteTime.dwHighDateTime};
      data.nFileSizeHigh = system.nFileSizeHigh;
      data.nFileSizeLow = system.nFileSizeLow;
    }
    return static_cast<int>(ok);
  };
  calls.GetShortPathNameW = [](const char16_t* path, char16_t* out, std::uint32_t size) {
    return static_cast<std::uint32_t>(::GetShortPathNameW(Wide(path), Wide(out), size));
  };
  calls.GetShortPathNameA = [](const char* path, char* out, std::uint32_t size) {
    return static_cast<std::uint32_t>(::GetShortPathNameA(path, out, size));
  };
  calls.GetCompressedFileSizeW = [](const char16_t* path, std::uint32_t* high) {
    DWORD h = 0;
    const DWORD low = ::GetCompressedFileSizeW(Wide(path), &h);
    if (high != nullptr) *high = h;
    return static_cast<std::uint32_t>(low);
  };
  calls.GetCompressedFileSizeA = [](const char* path, std::uint32_t* high) {
    DWORD h = 0;
    const DWORD low = ::GetCompressedFileSizeA(path, &h);
    if (high != nullptr) *high = h;
    return static_cast<std::uint32_t>(low);
  };
  calls.FileTimeToSystemTime = [](const FileTime& time, SystemTime& out) {
    const FILETIME system{time.dwLowDateTime, time.dwHighDateTime};
    SYSTEMTIME result{};
    const BOOL ok = ::FileTimeToSystemTime(&system, &result);
    if (ok) {
      out = {result.wYear, result.wMonth,  result.wDayOfWeek, result.wDay,
             result.wHour, result.wMinute, result.wSecond,    result.wMilliseconds};
    }
    return static_cast<int>(ok);
  };
  calls.InitCommonControlsEx = [](std::uint32_t size, std::uint32_t classes) {
    INITCOMMONCONTROLSEX request{};
    request.dwSize = size;
    request.dwICC = classes;
    return static_cast<int>(::InitCommonControlsEx(&request));
  };
  return calls;
}

}  // namespace crateline::platform

#endif  // _WIN32
