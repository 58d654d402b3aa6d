// Renders the window to PNG files without a screen (run with QT_QPA_PLATFORM=offscreen): as it
// opens, and in the middle of a conversion. Used for the pictures in the README.
#include <QApplication>
#include <cstdio>

#include "app/main_window.h"
#include "window/picture.h"

using crateline::window::QuietDesktop;
using crateline::window::ShowConversionInProgress;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: crateline-screenshot WINDOW.png RUNNING.png\n");
    return 2;
  }
  QApplication application(argc, argv);
  QuietDesktop desktop;
  crateline::app::MainWindow window(desktop);
  window.show();
  QApplication::processEvents();
  if (!window.grab().save(argv[1])) return 1;

  ShowConversionInProgress(window, "/home/ada", '/');
  QApplication::processEvents();
  return window.grab().save(argv[2]) ? 0 : 1;
}
