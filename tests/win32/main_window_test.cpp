// The window as the Win32 API draws it, created in this process and driven by its controls as
// a person would: built as the layout says, keys and clicks, and a conversion from the first
// click to the archive. What the window decides is its logic's, tested in tests/window.
#include "win32/main_window.h"

#include <gtest/gtest.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <algorithm>
#include <filesystem>

#include "archive/verify.h"
#include "platform/system_calls.h"
#include "support/temp_dir.h"
#include "window/fake_desktop.h"

namespace crateline::win32 {
namespace {

using window::Control;
namespace fs = std::filesystem;

std::string Text(HWND control) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(control, buffer, 1024);
  return platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(buffer));
}

// Where a control lies in the client area.
RECT Geometry(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

class Win32WindowTest : public ::testing::Test {
 protected:
  HWND H(Control control) { return window_.Handle(control); }
  void Press(Control control) {
    SendMessageW(H(control), BM_CLICK, 0, 0);
    Pump();
  }
  void Key(WPARAM key) {
    const MSG message{GetFocus(), WM_KEYDOWN, key, 0, 0, {}};
    if (!window_.PreTranslate(message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  std::string Tip(HWND label) {
    wchar_t tip[1024] = {};
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = GetParent(label);
    tool.uId = reinterpret_cast<UINT_PTR>(label);
    tool.lpszText = tip;
    SendMessageW(window_.Tooltip(), TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&tool));
    return platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(tip));
  }
  testing::FakeDesktop desktop_;
  MainWindow window_{desktop_, GetModuleHandleW(nullptr)};
  testing::TempDir dir_;
};

TEST_F(Win32WindowTest, BuiltAsTheLayoutSays) {
  EXPECT_EQ(Text(window_.Frame()), window::kCaption);
  EXPECT_EQ(desktop_.commonControls, 1);
  // A fixed frame with no maximise button, and the client area as designed.
  const LONG style = GetWindowLongW(window_.Frame(), GWL_STYLE);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  for (const window::ControlSpec& spec : window::Controls()) {
    HWND control = H(spec.id);
    ASSERT_NE(control, nullptr) << spec.name;
    RECT expected{spec.rect.x, spec.rect.y, spec.rect.x + spec.rect.width,
                  spec.rect.y + spec.rect.height};
    for (Control p = spec.parent; p != Control::kWindow; p = window::Spec(p).parent) {
      OffsetRect(&expected, window::Spec(p).rect.x, window::Spec(p).rect.y);
    }
    const RECT at = Geometry(control);
    EXPECT_EQ(at.left, expected.left) << spec.name;
    EXPECT_EQ(at.top, expected.top) << spec.name;
    EXPECT_EQ(at.bottom, expected.bottom) << spec.name;
    if (spec.kind == window::Kind::kLinkLabel) {
      EXPECT_GE(at.right, expected.right) << spec.name;  // grows, never cuts its text
    } else {
      EXPECT_EQ(at.right, expected.right) << spec.name;
    }
    EXPECT_EQ(IsWindowEnabled(control) != FALSE, spec.enabled) << spec.name;
    EXPECT_EQ((GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0, spec.visible) << spec.name;
    if (spec.kind == window::Kind::kButton || spec.kind == window::Kind::kLabel ||
        spec.kind == window::Kind::kFrame) {
      EXPECT_EQ(Text(control), spec.text) << spec.name;
    }
  }
  // The stop button lies above the start button.
  for (HWND above = GetWindow(H(Control::kCmdConvertTGZ), GW_HWNDPREV);;
       above = GetWindow(above, GW_HWNDPREV)) {
    ASSERT_NE(above, nullptr) << "Stop is not above Start";
    if (above == H(Control::kCmdStop)) break;
  }
}

// Tab goes through the buttons in the designed order, passing over those that cannot take the
// focus; Enter and Alt with a mnemonic press a button.
TEST_F(Win32WindowTest, KeysMoveTheFocusAndPressButtons) {
  window_.Show();
  Pump();
  EXPECT_EQ(GetFocus(), H(Control::kCmdAdd));
  Key(VK_TAB);
  EXPECT_EQ(GetFocus(), H(Control::kCmdClear1));
  Key(VK_TAB);
  EXPECT_EQ(GetFocus(), H(Control::kCmdAddFolder));
  Key(VK_TAB);  // Start is disabled until a folder is chosen
  EXPECT_EQ(GetFocus(), H(Control::kCmdEnd));
  Key(VK_TAB);
  EXPECT_EQ(GetFocus(), H(Control::kCmdHelp));
  Key(VK_RETURN);
  EXPECT_EQ(desktop_.opened, std::vector<std::string>{window::kGuideAddress});
  const MSG alt{GetFocus(), WM_SYSCHAR, 'h', 0, 0, {}};
  EXPECT_TRUE(window_.PreTranslate(alt));
  EXPECT_EQ(desktop_.opened.size(), 2u);

  // Another window comes and goes: the focus comes back to the button it was on.
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 100,
                               100, nullptr, nullptr, nullptr, nullptr);
  SetActiveWindow(other);
  SetActiveWindow(window_.Frame());
  EXPECT_EQ(GetFocus(), H(Control::kCmdHelp));
  DestroyWindow(other);

  // The window itself holds the focus while the buttons are locked.
  window_.SetFocus(Control::kWindow);
  EXPECT_EQ(GetFocus(), window_.Frame());
}

// The whole job through the window's buttons: choose, count, convert, and an archive that
// holds every message.
// The sample mailbox that comes with the sources: several kinds of store, names outside ASCII.
TEST_F(Win32WindowTest, ConvertsTheSampleMailboxThroughItsButtons) {
  window_.Show();
  std::string source = CRATELINE_SAMPLE_MAILBOX;
  std::replace(source.begin(), source.end(), '/', '\\');
  desktop_.folder = source;
  Press(Control::kCmdAddFolder);
  EXPECT_EQ(Text(H(Control::kLblCount)), "14 Messages && 7 Folder(s) Queued for Conversion.");
  ASSERT_FALSE(desktop_.boxes.empty());
  EXPECT_EQ(desktop_.boxes.back().text, "14 Messages Queued for Conversion.");
  EXPECT_TRUE(IsWindowEnabled(H(Control::kCmdConvertTGZ)));

  desktop_.boxes.clear();
  const std::string destination = (dir_.path() / "out.tgz").string();
  desktop_.savePath = destination;
  Press(Control::kCmdConvertTGZ);
  ASSERT_FALSE(desktop_.boxes.empty());
  EXPECT_EQ(desktop_.boxes[0].title, "Completed...");
  EXPECT_EQ(SendMessageW(H(Control::kProgressBarTgz), PBM_GETPOS, 0, 0), 100);
  EXPECT_EQ(Text(H(Control::kCmdConvertTGZ)), "Start Conversion");
  EXPECT_FALSE(IsWindowVisible(H(Control::kCmdStop)));
  const archive::VerifyResult verified = archive::VerifyArchive(destination, source);
  EXPECT_TRUE(verified.Ok()) << (verified.problems.empty() ? "" : verified.problems.front());
  EXPECT_EQ(verified.messages, 14u);
  Press(Control::kCmdOpen);
  EXPECT_EQ(desktop_.opened.back(), dir_.folder());
}

// A path too long for its label is cut in the middle, whole lines only, with the whole path
// as its tooltip; "&" shows as itself.
TEST_F(Win32WindowTest, PathsAreCutInTheMiddleAndShownWholeInTheTooltip) {
  std::string path = "C:\\Mail\\R&&D";
  for (int i = 0; i < 40; ++i) path += "\\Folder " + std::to_string(i);
  path += "\\last.eml";
  window_.SetText(Control::kLblSource, path);
  const std::wstring shown = window_.ShownPath(Control::kLblSource);
  EXPECT_EQ(shown.substr(0, 11), L"C:\\Mail\\R&D");
  EXPECT_NE(shown.find(L'\u2026'), std::wstring::npos);
  EXPECT_EQ(shown.substr(shown.size() - 9), L"\\last.eml");
  EXPECT_EQ(Text(H(Control::kLblSource)), "C:\\Mail\\R&D" + path.substr(12));
  EXPECT_EQ(Tip(H(Control::kLblSource)), Text(H(Control::kLblSource)));

  window_.SetText(Control::kLblSource, "C:\\Mail\\R&&D");
  EXPECT_EQ(window_.ShownPath(Control::kLblSource), L"C:\\Mail\\R&D");
  EXPECT_EQ(Tip(H(Control::kLblSource)), "") << "a path shown whole needs no tooltip";
}

}  // namespace
}  // namespace crateline::win32
