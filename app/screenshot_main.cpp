// Renders the window to PNG files without a screen (run with QT_QPA_PLATFORM=offscreen): as it
// opens, and in the middle of a conversion. Used for the pictures in the README.
#include <QApplication>
#include <cstdio>
#include <stdexcept>

#include "app/main_window.h"

namespace {

using namespace crateline::window;

// A desktop that shows nothing: the pictures need none of it.
class QuietDesktop final : public Desktop {
 public:
  BoxAnswer ShowMessage(OwnerHandle, const MessageBox&) override { return BoxAnswer::kOk; }
  std::optional<std::string> AskSaveFile(OwnerHandle, const SaveRequest&) override { return {}; }
  std::string ChooseFolder(OwnerHandle, const std::string&) override { return {}; }
  void ShellOpen(const std::string&) override {}
  std::tm LocalNow() override { return {}; }
  void InitCommonControls() override {}
  [[noreturn]] void EndProgram() override { throw std::runtime_error("not in a picture"); }
};

}  // namespace

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

  // A conversion in progress, as the events leave the window: a folder with two spaces in a
  // row in its name, and a message whose path is longer than its label.
  View& view = window;
  view.SetText(Control::kLblSource, "/home/ada/Mail  Backup/");
  view.SetText(Control::kLblCount, "1248 Messages && 14 Folder(s) Queued for Conversion.");
  view.SetText(Control::kLblDestination, "/home/ada/ZimbraMailbox6.12.26 1.4.05.tgz");
  view.SetText(Control::kLblTarFile,
               "/home/ada/Mail  Backup/Archive/2019/Projects/Harbour Bridge Refurbishment/"
               "Correspondence with the council and the engineers/Site visits and minutes/"
               "Re  Quarterly figures, revised (final).eml");
  view.SetProgress(42);
  view.SetEnabled(Control::kCmdOpen, true);
  view.SetText(Control::kCmdConvertTGZ, "Conversion in Progress...");
  view.SetVisible(Control::kCmdStop, true);
  view.SetEnabled(Control::kCmdAddFolder, false);
  QApplication::processEvents();
  return window.grab().save(argv[2]) ? 0 : 1;
}
