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
    const auto dialog = MakeMessageBox(owner, box);
    const int answer = dialog->exec();
    if (box.buttons == BoxButtons::kYesNo) {
      return answer == QMessageBox::Yes ? BoxAnswer::kYes : BoxAnswer::kNo;
    }
    return BoxAnswer::kOk;
  }

  std::optional<std::string> AskSaveFile(QWidget* owner, const SaveRequest& request) override {
    const auto dialog = MakeSaveDialog(owner, request);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
      return std::nullopt;
    }
    const QString chosen = dialog->selectedFiles().front();
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

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const MessageBox& box) {
  auto dialog = std::make_unique<QMessageBox>(owner);
  dialog->setWindowTitle(Q(box.title));
  dialog->setTextFormat(Qt::PlainText);  // a path with "<" is no markup
  dialog->setText(Q(box.text));
  dialog->setIcon(box.icon == BoxIcon::kInformation ? QMessageBox::Information
                  : box.icon == BoxIcon::kQuestion  ? QMessageBox::Question
                                                    : QMessageBox::NoIcon);
  if (box.buttons == BoxButtons::kYesNo) {
    dialog->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    dialog->setDefaultButton(QMessageBox::Yes);
  } else {
    dialog->setStandardButtons(QMessageBox::Ok);
  }
  return dialog;
}

std::unique_ptr<QFileDialog> MakeSaveDialog(QWidget* owner, const SaveRequest& request) {
  auto dialog = std::make_unique<QFileDialog>(owner);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  // "Zimbra Mailboxe(s) (*.tgz)": Qt reads the pattern from the parentheses at its end.
  dialog->setNameFilter(Q(request.filterDescription));
  dialog->setDefaultSuffix("tgz");
  dialog->selectFile(Q(request.proposedName));  // no folder: where the dialog opens by default
  return dialog;
}

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
