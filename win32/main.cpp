// crateline.exe: the window, on Windows. No command line, no settings: it starts, shows its one
// window, and ends when the window goes.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// after windows.h, which it needs
#include <objbase.h>

#include "win32/desktop.h"
#include "win32/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // The shell's folder picker is a COM object of this thread's apartment.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const auto desktop = crateline::win32::MakeSystemDesktop();
  crateline::win32::MainWindow window(*desktop, instance);
  window.Show();
  return crateline::win32::RunMessageLoop(window);
}
