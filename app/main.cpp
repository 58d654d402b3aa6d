// crateline: the window. No command line, no settings: it starts, shows its one window, and
// ends when the window goes.
#include <QApplication>
#include <QTimer>
#include <cstdlib>

#include "app/desktop.h"
#include "app/main_window.h"
#include "platform/termination.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(crateline::window::kAppTitle);
  // SIGTERM, SIGHUP, Ctrl-C end the program as closing the window does: at once, and through
  // the normal end, which removes the temporary file of an archive being written. The timer
  // fires inside a conversion too, whose events are pumped.
  crateline::platform::InstallTerminationHandlers();
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [] {
    if (crateline::platform::TerminationRequested()) {
      std::exit(128 + crateline::platform::TerminationSignal());
    }
  });
  watch.start(100);
  const auto desktop = crateline::app::MakeSystemDesktop();
  crateline::app::MainWindow window(*desktop);
  window.show();
  return QApplication::exec();
}
