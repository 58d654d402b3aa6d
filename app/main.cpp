// crateline: the window. No command line, no settings: it starts, shows its one window, and
// ends when the window goes.
#include <QApplication>

#include "app/desktop.h"
#include "app/main_window.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(crateline::app::kAppTitle);
  const auto desktop = crateline::app::MakeSystemDesktop();
  crateline::app::FrmStep1 window(*desktop);
  window.show();
  return QApplication::exec();
}
