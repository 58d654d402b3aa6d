// The window drawn with the Win32 API and the common controls, for Windows: the controls the
// layout (window/layout.h) describes, carrying out what the window's logic asks through the
// View interface, and handing it every click, key and the closing of the window. It decides
// nothing itself; the same logic runs under the Qt face elsewhere.
//
// Long work (a count, a write) runs on the window's thread and pumps its messages between
// steps, so the window repaints and its buttons answer meanwhile.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// The window's own box is window::MessageBox: not the system's name for MessageBoxW.
#undef MessageBox

#include <array>
#include <memory>
#include <string>

#include "window/desktop.h"
#include "window/layout.h"
#include "window/main_window.h"
#include "window/view.h"

namespace crateline::win32 {

class MainWindow final : public window::View {
 public:
  // Creates the window, hidden; Show() puts it on the screen where it fits.
  MainWindow(window::Desktop& desktop, HINSTANCE instance);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  void Show();
  HWND Frame() const { return frame_; }
  HWND Tooltip() const { return tooltip_; }
  HWND Handle(window::Control control) const;
  window::FrmStep1& Logic() { return *logic_; }
  // The full text of a path label, as given; what it shows may be cut in the middle.
  const std::wstring& PathOf(window::Control control) const;
  std::wstring ShownPath(window::Control control) const;

  // Keys the window handles itself before a control sees them: Tab through the focus order,
  // Enter on the focused button, Alt with a button's mnemonic. True when the message was taken.
  bool PreTranslate(const MSG& message);

  // View.
  window::OwnerHandle Owner() const override;
  void SetText(window::Control control, const std::string& mnemonicText) override;
  void SetEnabled(window::Control control, bool enabled) override;
  void SetVisible(window::Control control, bool visible) override;
  void SetProgressRange(int minimum, int maximum) override;
  void SetProgress(int value) override;
  void SetFocus(window::Control control) override;
  void SetBusyPointer(bool busy) override;
  void Hide() override;

 private:
  static LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM w, LPARAM l);
  static LRESULT CALLBACK ClientProc(HWND window, UINT message, WPARAM w, LPARAM l);
  LRESULT OnFrame(HWND frame, UINT message, WPARAM w, LPARAM l);
  LRESULT OnClient(HWND client, UINT message, WPARAM w, LPARAM l);
  void Build(HINSTANCE instance);
  void Make(const window::ControlSpec& spec, HINSTANCE instance);
  void Draw(const DRAWITEMSTRUCT& item);
  void Command(window::Control control);
  void Place();
  void Scroll(int bar, WPARAM request);
  void MoveFocus(int step);
  void FitPath(window::Control control);
  HFONT FontOf(const window::Font& font);

  HWND frame_ = nullptr;
  HWND client_ = nullptr;
  HWND tooltip_ = nullptr;
  std::array<HWND, 32> controls_{};
  std::array<std::wstring, 32> paths_{};  // path labels: the full text, in mnemonic notation
  std::array<std::wstring, 32> shown_{};  // path labels: what fits
  std::array<HFONT, 12> fonts_{};         // the layout uses eight
  std::array<window::Font, 12> fontSpecs_{};
  HBRUSH face_ = nullptr;
  bool busy_ = false;
  HWND lastFocus_ = nullptr;  // where the focus was when the window lost it
  int scrollX_ = 0, scrollY_ = 0;
  std::unique_ptr<window::FrmStep1> logic_;
};

// Runs the window's messages until it is gone; the exit code of the program.
int RunMessageLoop(MainWindow& window);

}  // namespace crateline::win32
