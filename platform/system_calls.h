// The one seam between Crateline and the operating system's kernel32 functions.
//
// Every system function the platform and file-search layers use is an entry of SystemCalls.
// On Windows the entries call kernel32; elsewhere they are our POSIX emulation, which answers
// with Windows error codes and records so that the layers above run unchanged. Tests replace
// single entries (ScopedSystemCalls) to make a call fail.
//
// Callers go through the functions in namespace `os`, never the entries directly: each one
// saves the thread's last error as the call returns, which is what SavedSystemError() reads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/win32_types.h"

namespace crateline::platform {

struct SystemCalls {
  // Library probing. Names are in the ANSI code page.
  std::function<ModuleHandle(const std::string& library)> LoadLibraryA;
  std::function<const void*(ModuleHandle module, const std::string& procedure)> GetProcAddress;
  std::function<int(ModuleHandle module)> FreeLibrary;

  // Version.
  std::function<std::uint32_t()> GetVersion;
  std::function<int(OsVersionInfoW& info)> GetVersionExW;
  std::function<int(OsVersionInfoA& info)> GetVersionExA;

  // Errors. FormatMessage is asked only with FORMAT_MESSAGE_FROM_SYSTEM and no inserts.
  std::function<std::uint32_t()> GetLastError;
  std::function<void(std::uint32_t code)> SetLastError;
  std::function<std::uint32_t(std::uint32_t flags, std::uint32_t messageId,
                              std::uint32_t languageId, char16_t* buffer, std::uint32_t size)>
      FormatMessageW;
  std::function<std::uint32_t(std::uint32_t flags, std::uint32_t messageId,
                              std::uint32_t languageId, char* buffer, std::uint32_t size)>
      FormatMessageA;

  // Directory search and attributes. Wide paths are NUL-terminated UTF-16 with the long-path
  // prefix; narrow paths are in the ANSI code page.
  std::function<SearchHandle(const char16_t* path, FindDataW& data)> FindFirstFileW;
  std::function<SearchHandle(const char* path, FindDataA& data)> FindFirstFileA;
  std::function<int(SearchHandle search, FindDataW& data)> FindNextFileW;
  std::function<int(SearchHandle search, FindDataA& data)> FindNextFileA;
  std::function<int(SearchHandle search)> FindClose;
  std::function<std::uint32_t(const char16_t* path)> GetFileAttributesW;
  std::function<std::uint32_t(const char* path)> GetFileAttributesA;
  std::function<int(const char16_t* path, FileAttributeData& data)> GetFileAttributesExW;
  std::function<std::uint32_t(const char16_t* path, char16_t* shortPath, std::uint32_t size)>
      GetShortPathNameW;
  std::function<std::uint32_t(const char* path, char* shortPath, std::uint32_t size)>
      GetShortPathNameA;
  std::function<std::uint32_t(const char16_t* path, std::uint32_t* high)> GetCompressedFileSizeW;
  std::function<std::uint32_t(const char* path, std::uint32_t* high)> GetCompressedFileSizeA;
  std::function<int(const FileTime& time, SystemTime& out)> FileTimeToSystemTime;

  // Common controls (comctl32): INITCOMMONCONTROLSEX's two fields.
  std::function<int(std::uint32_t size, std::uint32_t classes)> InitCommonControlsEx;
};

// The real system (kernel32 on Windows, the emulation elsewhere).
SystemCalls NativeSystemCalls();

// The calls in force. Replacing them does not reset the layers' module state.
SystemCalls& CurrentSystemCalls();

// Replaces the calls for one scope and restores the previous ones after it.
class ScopedSystemCalls {
 public:
  explicit ScopedSystemCalls(SystemCalls calls);
  ~ScopedSystemCalls();
  ScopedSystemCalls(const ScopedSystemCalls&) = delete;
  ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

 private:
  SystemCalls previous_;
};

// The thread's last error as it was right after the latest call made through `os`.
std::uint32_t SavedSystemError();

// Converts between UTF-8 (the program's text) and the system's encodings. Text that the ANSI
// code page cannot hold becomes '?', as the system's own conversion does by default.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// The same, appended to `out`: a caller converting name after name keeps one buffer's capacity.
void AppendUtf16(std::string_view text, std::u16string& out);
void AppendUtf8(std::u16string_view text, std::string& out);
std::string Utf8ToAnsi(const std::string& text);
std::string AnsiToUtf8(const std::string& text);

// Every call into the operating system, each saving the last error as it returns.
namespace os {
ModuleHandle LoadLibraryA(const std::string& library);
const void* GetProcAddress(ModuleHandle module, const std::string& procedure);
int FreeLibrary(ModuleHandle module);
std::uint32_t GetVersion();
int GetVersionExW(OsVersionInfoW& info);
int GetVersionExA(OsVersionInfoA& info);
std::uint32_t GetLastError();
std::uint32_t FormatMessageW(std::uint32_t flags, std::uint32_t messageId, std::uint32_t languageId,
                             char16_t* buffer, std::uint32_t size);
std::uint32_t FormatMessageA(std::uint32_t flags, std::uint32_t messageId, std::uint32_t languageId,
                             char* buffer, std::uint32_t size);
SearchHandle FindFirstFileW(const char16_t* path, FindDataW& data);
SearchHandle FindFirstFileA(const char* path, FindDataA& data);
int FindNextFileW(SearchHandle search, FindDataW& data);
int FindNextFileA(SearchHandle search, FindDataA& data);
int FindClose(SearchHandle search);
std::uint32_t GetFileAttributesW(const char16_t* path);
std::uint32_t GetFileAttributesA(const char* path);
int GetFileAttributesExW(const char16_t* path, FileAttributeData& data);
std::uint32_t GetShortPathNameW(const char16_t* path, char16_t* shortPath, std::uint32_t size);
std::uint32_t GetShortPathNameA(const char* path, char* shortPath, std::uint32_t size);
std::uint32_t GetCompressedFileSizeW(const char16_t* path, std::uint32_t* high);
std::uint32_t GetCompressedFileSizeA(const char* path, std::uint32_t* high);
int FileTimeToSystemTime(const FileTime& time, SystemTime& out);
int InitCommonControlsEx(std::uint32_t size, std::uint32_t classes);
}  // namespace os

}  // namespace crateline::platform
