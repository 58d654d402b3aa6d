// Renders the window to PNG files without a screen (run with QT_QPA_PLATFORM=offscreen): as it
// opens, and in the middle of a conversion. Used for the pictures in the README.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cstdio>
#include <stdexcept>

#include "app/desktop.h"
#include "app/main_window.h"

namespace {

using namespace crateline::app;

// A desktop that shows nothing: the pictures need none of it.
class QuietDesktop final : public Desktop {
 public:
  BoxAnswer ShowMessage(QWidget*, const MessageBox&) override { return BoxAnswer::kOk; }
  std::optional<std::string> AskSaveFile(QWidget*, const SaveRequest&) override { return {}; }
  std::string ChooseFolder(QWidget*, const std::string&) override { return {}; }
  void ShellOpen(const std::string&) override {}
  std::tm LocalNow() override { return {}; }
  void SetWaitPointer(bool) override {}
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
  FrmStep1 window(desktop);
  window.show();
  QApplication::processEvents();
  if (!window.grab().save(argv[1])) return 1;

  // A conversion in progress, as the events leave the window: a folder with two spaces in a
  // row in its name, and a message whose path is longer than its label.
  SetLabelText(window.LblSource, "/home/ada/Mail  Backup/");
  SetLabelText(window.LblCount, "1248 Messages && 14 Folder(s) Queued for Conversion.");
  SetLabelText(window.LblDestination, "/home/ada/ZimbraMailbox6.12.26 1.4.05.tgz");
  SetLabelText(window.LblTarFile,
               "/home/ada/Mail  Backup/Archive/2019/Projects/Harbour Bridge Refurbishment/"
               "Correspondence with the council and the engineers/Site visits and minutes/"
               "Re  Quarterly figures, revised (final).eml");
  window.ProgressBar_tgz->setValue(42);
  window.CmdOpen->setEnabled(true);
  window.CmdConvertTGZ->setText("Conversion in Progress...");
  window.CmdStop->setVisible(true);
  window.CmdAddFolder->setEnabled(false);
  QApplication::processEvents();
  return window.grab().save(argv[2]) ? 0 : 1;
}
