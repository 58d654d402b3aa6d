// The system's own message box and save dialog, as the window's logic asks for them: read off
// the screen, and answered by pressing their buttons.
#include "win32/desktop.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef MessageBox  // the window's own box is window::MessageBox

#include <optional>
#include <string>

#include "platform/system_calls.h"
#include "window/desktop.h"

namespace crateline::win32 {
namespace {

struct SeenBox {
  std::string title, text;
  bool ok = false, yes = false, no = false;
  HICON icon = nullptr;
};
SeenBox seen;
int press = IDOK;

std::string TextOf(HWND window) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(window, buffer, 1024);
  return platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(buffer));
}

// Runs inside the box's own message loop until the box is there; reads it, then answers.
void CALLBACK ReadTheBox(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = FindWindowW(L"#32770", nullptr);
  if (box == nullptr) return;
  KillTimer(nullptr, timer);
  seen = {};
  seen.title = TextOf(box);
  seen.text = TextOf(GetDlgItem(box, 0xFFFF));
  seen.ok = GetDlgItem(box, IDOK) != nullptr;
  seen.yes = GetDlgItem(box, IDYES) != nullptr;
  seen.no = GetDlgItem(box, IDNO) != nullptr;
  for (const int id : {0x14, 1088}) {  // the icon's control: Windows' id, Wine's id
    if (HWND icon = GetDlgItem(box, id)) {
      seen.icon = reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
    }
  }
  PostMessageW(box, WM_COMMAND, press, 0);
}

window::BoxAnswer Show(window::Desktop& desktop, const window::MessageBox& box, int answer) {
  press = answer;
  SetTimer(nullptr, 0, 10, ReadTheBox);
  return desktop.ShowMessage({}, box);
}

TEST(SystemDesktop, MessageBoxesAsAsked) {
  const auto desktop = MakeSystemDesktop();
  using window::BoxAnswer, window::BoxButtons, window::BoxIcon;

  EXPECT_EQ(Show(*desktop,
                 {"Zimbra Mailbox File Creation Error !", "File Error", BoxIcon::kInformation,
                  BoxButtons::kOk},
                 IDOK),
            BoxAnswer::kOk);
  EXPECT_EQ(seen.title, "File Error");
  EXPECT_EQ(seen.text, "Zimbra Mailbox File Creation Error !");
  EXPECT_TRUE(seen.ok && !seen.yes && !seen.no);
  EXPECT_EQ(seen.icon, LoadIconW(nullptr, IDI_INFORMATION));

  const window::MessageBox question{"Are you sure you want to Stop now ?", "Brakmoor Crateline",
                                    BoxIcon::kQuestion, BoxButtons::kYesNo};
  EXPECT_EQ(Show(*desktop, question, IDNO), BoxAnswer::kNo);
  EXPECT_TRUE(!seen.ok && seen.yes && seen.no);
  EXPECT_EQ(seen.icon, LoadIconW(nullptr, IDI_QUESTION));
  EXPECT_EQ(Show(*desktop, question, IDYES), BoxAnswer::kYes);

  // No icon, and text outside ASCII and with "&" as it is.
  EXPECT_EQ(Show(*desktop,
                 {"12 Messages Queued for Conversion. R&D \xe2\x80\x94 \xe9\x82\xae",
                  "Brakmoor Crateline", BoxIcon::kNone, BoxButtons::kOk},
                 IDOK),
            BoxAnswer::kOk);
  EXPECT_EQ(seen.text, "12 Messages Queued for Conversion. R&D \xe2\x80\x94 \xe9\x82\xae");
  EXPECT_EQ(seen.icon, nullptr);
}

// The system's save dialog as the window asks for it: the filter it offers, a name typed into
// it (the extension added), and Cancel.
std::wstring typed;
std::string offered;

void CALLBACK AnswerTheSaveDialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowW(L"#32770", nullptr);
  if (dialog == nullptr) return;
  HWND name = GetDlgItem(dialog, 1148);  // the name's box: Windows' id, then Wine's
  if (name == nullptr) name = GetDlgItem(dialog, 1152);
  HWND filter = GetDlgItem(dialog, 1136);
  if (name == nullptr || filter == nullptr) return;  // not laid out yet
  KillTimer(nullptr, timer);
  wchar_t text[256] = {};
  SendMessageW(filter, CB_GETLBTEXT, SendMessageW(filter, CB_GETCURSEL, 0, 0),
               reinterpret_cast<LPARAM>(text));
  offered = platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(text));
  if (typed.empty()) {
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    return;
  }
  SetWindowTextW(name, typed.c_str());
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
}

TEST(SystemDesktop, SaveDialogAsAsked) {
  const auto desktop = MakeSystemDesktop();
  const window::SaveRequest request{"Zimbra Mailboxe(s) (*.tgz)", "*.tgz", "Mail.tgz"};
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  const std::string chosen =
      platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(folder)) + "Post \xc3\xa4";
  typed = reinterpret_cast<const wchar_t*>(platform::Utf8ToUtf16(chosen).c_str());
  SetTimer(nullptr, 0, 10, AnswerTheSaveDialog);
  const std::optional<std::string> answer = desktop->AskSaveFile({}, request);
  EXPECT_EQ(offered, "Zimbra Mailboxe(s) (*.tgz)");
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, chosen + ".tgz");

  typed.clear();
  SetTimer(nullptr, 0, 10, AnswerTheSaveDialog);
  EXPECT_FALSE(desktop->AskSaveFile({}, request).has_value());
}

}  // namespace
}  // namespace crateline::win32
