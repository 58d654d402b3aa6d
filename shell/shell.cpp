#include "shell/shell.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// after windows.h, which they need
#include <shellapi.h>
#include <shlobj.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <utility>

#include "platform/system_calls.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace crateline::shell {
namespace {
FolderPicker& Picker() {
  static FolderPicker picker;
  return picker;
}
}  // namespace

void SetFolderPicker(FolderPicker picker) {
  Picker() = std::move(picker);
}

#ifdef _WIN32

// The wide entry points: the narrow ones would turn every character outside the ANSI code page
// into "?", and the scan would then look for a folder that does not exist.
std::string ChooseFolder(std::uintptr_t owner, const std::string& title, Choice choice) {
  if (Picker()) return Picker()(owner, title, choice);
  const std::u16string wideTitle = platform::Utf8ToUtf16(title);
  BROWSEINFOW request{};
  request.hwndOwner = reinterpret_cast<HWND>(owner);
  request.lpszTitle = reinterpret_cast<const wchar_t*>(wideTitle.c_str());
  request.ulFlags = BIF_RETURNONLYFSDIRS;
  if (choice == Choice::kFolderOrFile) request.ulFlags |= BIF_BROWSEINCLUDEFILES;
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&request);
  if (item == nullptr) return {};
  wchar_t buffer[MAX_PATH] = {};
  const BOOL found = SHGetPathFromIDListW(item, buffer);
  CoTaskMemFree(item);
  if (!found) return {};
  return platform::Utf16ToUtf8(
      std::u16string(reinterpret_cast<const char16_t*>(buffer), wcsnlen(buffer, MAX_PATH)));
}

void ShellOpen(const std::string& target) {
  if (target.empty()) return;
  const std::u16string wide = platform::Utf8ToUtf16(target);
  ShellExecuteW(nullptr, L"open", reinterpret_cast<const wchar_t*>(wide.c_str()), L"", L"",
                SW_SHOWNORMAL);
}

#else

std::string ChooseFolder(std::uintptr_t owner, const std::string& title, Choice choice) {
  return Picker() ? Picker()(owner, title, choice) : std::string();
}

void ShellOpen(const std::string& target) {
  if (target.empty()) return;
#ifdef __APPLE__
  const char* opener = "open";
#else
  const char* opener = "xdg-open";
#endif
  // The opener may run as long as the document is shown; a child of a child that ends at once
  // is adopted by the system, so nothing waits for it and no zombie is left.
  const pid_t child = fork();
  if (child == 0) {
    pid_t grandchild = 0;
    char* argv[] = {const_cast<char*>(opener), const_cast<char*>(target.c_str()), nullptr};
    posix_spawnp(&grandchild, opener, nullptr, nullptr, argv, environ);
    _exit(0);
  }
  if (child > 0) waitpid(child, nullptr, 0);
}

#endif

}  // namespace crateline::shell
