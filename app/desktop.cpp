#include "app/desktop.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <cstdlib>

#include "shell/shell.h"
#include "util/event_pump.h"
#include "util/time_stamp.h"

namespace crateline::app {
namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

class SystemDesktop final : public Desktop {
 public:
  BoxAnswer ShowMessage(QWidget* owner, const MessageBox& box) override {
    QMessageBox dialog(owner);
    dialog.setWindowTitle(Q(box.title));
    dialog.setText(Q(box.text));
    dialog.setIcon(box.icon == BoxIcon::kInformation ? QMessageBox::Information
                   : box.icon == BoxIcon::kQuestion  ? QMessageBox::Question
                                                     : QMessageBox::NoIcon);
    if (box.buttons == BoxButtons::kYesNo) {
      dialog.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      dialog.setDefaultButton(QMessageBox::Yes);
      return dialog.exec() == QMessageBox::Yes ? BoxAnswer::kYes : BoxAnswer::kNo;
    }
    dialog.setStandardButtons(QMessageBox::Ok);
    dialog.exec();
    return BoxAnswer::kOk;
  }

  std::optional<std::string> AskSaveFile(QWidget* owner, const SaveRequest& request) override {
    const QString filter = Q(request.filterDescription);  // Qt reads the pattern from it
    const QString chosen =
        QFileDialog::getSaveFileName(owner, QString(), Q(request.proposedName), filter);
    if (chosen.isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(chosen).toStdString();
  }

  std::string ChooseFolder(QWidget* owner, const std::string& title) override {
    return shell::ChooseFolder(owner != nullptr ? static_cast<std::uintptr_t>(owner->winId()) : 0,
                               title);
  }

  void ShellOpen(const std::string& target) override { shell::ShellOpen(target); }

  std::tm LocalNow() override { return util::LocalNow(); }

  void SetWaitPointer(bool waiting) override {
    if (waiting) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
      QApplication::restoreOverrideCursor();
    }
  }

  void InitCommonControls() override {
    // Qt draws its own controls; on Windows the manifest binds the themed common controls.
  }

  [[noreturn]] void EndProgram() override { std::exit(0); }
};

}  // namespace

std::unique_ptr<Desktop> MakeSystemDesktop() {
#ifndef _WIN32
  // This system's shell has no folder dialog: lend it Qt's.
  shell::SetFolderPicker([](std::uintptr_t, const std::string& title) {
    return QFileDialog::getExistingDirectory(QApplication::activeWindow(), Q(title), QString(),
                                             QFileDialog::ShowDirsOnly)
        .toStdString();
  });  // Qt gives '/' on every system, which is this system's separator here
#endif
  return std::make_unique<SystemDesktop>();
}

void InstallEventPump() {
  util::SetEventPump([] {
    static QElapsedTimer last;
    if (last.isValid() && last.elapsed() < 10) return;
    last.start();
    QCoreApplication::processEvents();
  });
}

}  // namespace crateline::app
