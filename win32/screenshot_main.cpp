// Takes pictures of the Windows window (run under Wine with a display): as it opens, and in the
// middle of a conversion, each as a 24-bit BMP file. Used for the pictures in docs/.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "win32/main_window.h"
#include "window/picture.h"

using crateline::window::QuietDesktop;
using crateline::window::ShowConversionInProgress;

namespace {

void Settle() {
  for (int i = 0; i < 20; ++i) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(25);  // the X server draws what it was sent; no test waits on this
  }
}

bool Save(HWND window, const char* path) {
  RECT area{};
  GetWindowRect(window, &area);
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER header{sizeof(header), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  const int stride = (width * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<std::size_t>(stride) * height);
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&header),
            DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&header), sizeof(header));
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: crateline-screenshot WINDOW.bmp RUNNING.bmp\n");
    return 2;
  }
  QuietDesktop desktop;
  crateline::win32::MainWindow window(desktop, GetModuleHandleW(nullptr));
  window.Show();
  Settle();
  if (!Save(window.Frame(), argv[1])) return 1;

  ShowConversionInProgress(window, "C:\\Users\\Ada", '\\');
  Settle();
  return Save(window.Frame(), argv[2]) ? 0 : 1;
}
