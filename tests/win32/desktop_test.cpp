// The system's own message box, as the window's logic asks for it: its text, title, icon and
// buttons read off the box on the screen, and the answer given by pressing one of them.
#include "win32/desktop.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef MessageBox  // the window's own box is window::MessageBox

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

}  // namespace
}  // namespace crateline::win32
