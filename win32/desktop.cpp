#include "win32/desktop.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// after windows.h, which they need
#include <commctrl.h>
#include <commdlg.h>
#undef MessageBox  // the window's own box is window::MessageBox

#include <cstdlib>
#include <vector>

#include "platform/system_calls.h"
#include "shell/shell.h"
#include "util/time_stamp.h"

namespace crateline::win32 {
namespace {

std::wstring Wide(const std::string& text) {
  const std::u16string wide = platform::Utf8ToUtf16(text);
  return {wide.begin(), wide.end()};
}

std::string Narrow(const wchar_t* text) {
  return platform::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text)));
}

HWND Window(window::OwnerHandle owner) {
  return static_cast<HWND>(owner.window);
}

class SystemDesktop final : public window::Desktop {
 public:
  window::BoxAnswer ShowMessage(window::OwnerHandle owner, const window::MessageBox& box) override {
    UINT type = box.buttons == window::BoxButtons::kYesNo ? MB_YESNO : MB_OK;
    if (box.icon == window::BoxIcon::kInformation) type |= MB_ICONINFORMATION;
    if (box.icon == window::BoxIcon::kQuestion) type |= MB_ICONQUESTION;
    const int answer =
        MessageBoxW(Window(owner), Wide(box.text).c_str(), Wide(box.title).c_str(), type);
    if (box.buttons == window::BoxButtons::kOk) return window::BoxAnswer::kOk;
    return answer == IDYES ? window::BoxAnswer::kYes : window::BoxAnswer::kNo;
  }

  std::optional<std::string> AskSaveFile(window::OwnerHandle owner,
                                         const window::SaveRequest& request) override {
    // "Description\0pattern\0\0", as the dialog reads its filter.
    std::wstring filter = Wide(request.filterDescription);
    filter += L'\0';
    filter += Wide(request.filterPattern);
    filter += L'\0';
    std::vector<wchar_t> file(32768, L'\0');  // room for a long path
    const std::wstring proposed = Wide(request.proposedName);
    std::copy(proposed.begin(), proposed.end(), file.begin());
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = Window(owner);
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrDefExt = L"tgz";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
    if (!GetSaveFileNameW(&dialog)) return std::nullopt;
    return Narrow(file.data());
  }

  std::string ChooseFolder(window::OwnerHandle owner, const std::string& title) override {
    return shell::ChooseFolder(reinterpret_cast<std::uintptr_t>(Window(owner)), title,
                               shell::Choice::kFolderOrFile);
  }

  void ShellOpen(const std::string& target) override { shell::ShellOpen(target); }

  std::tm LocalNow() override { return util::LocalNow(); }

  void InitCommonControls() override {
    INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    InitCommonControlsEx(&classes);
  }

  // The normal end, which removes the temporary file of an archive being written.
  [[noreturn]] void EndProgram() override { std::exit(0); }
};

}  // namespace

std::unique_ptr<window::Desktop> MakeSystemDesktop() {
  return std::make_unique<SystemDesktop>();
}

}  // namespace crateline::win32
