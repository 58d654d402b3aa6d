#include "app/desktop.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
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

QWidget* Widget(window::OwnerHandle owner) {
  return static_cast<QWidget*>(owner.window);
}

class SystemDesktop final : public window::Desktop {
 public:
  window::BoxAnswer ShowMessage(window::OwnerHandle owner, const window::MessageBox& box) override {
    const auto dialog = MakeMessageBox(Widget(owner), box);
    const int answer = dialog->exec();
    if (box.buttons == window::BoxButtons::kYesNo) {
      return answer == QMessageBox::Yes ? window::BoxAnswer::kYes : window::BoxAnswer::kNo;
    }
    return window::BoxAnswer::kOk;
  }

  std::optional<std::string> AskSaveFile(window::OwnerHandle owner,
                                         const window::SaveRequest& request) override {
    const auto dialog = MakeSaveDialog(Widget(owner), request);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
      return std::nullopt;
    }
    const QString chosen = dialog->selectedFiles().front();
    if (chosen.isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(chosen).toStdString();
  }

  std::string ChooseFolder(window::OwnerHandle owner, const std::string& title) override {
    QWidget* widget = Widget(owner);
    return shell::ChooseFolder(widget != nullptr ? static_cast<std::uintptr_t>(widget->winId()) : 0,
                               title, shell::Choice::kFolderOrFile);
  }

  void ShellOpen(const std::string& target) override { shell::ShellOpen(target); }

  std::tm LocalNow() override { return util::LocalNow(); }

  void InitCommonControls() override {
    // Qt draws its own controls; on Windows the manifest binds the themed common controls.
  }

  [[noreturn]] void EndProgram() override { std::exit(0); }
};

}  // namespace

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const window::MessageBox& box) {
  auto dialog = std::make_unique<QMessageBox>(owner);
  dialog->setWindowTitle(Q(box.title));
  dialog->setTextFormat(Qt::PlainText);  // a path with "<" is no markup
  dialog->setText(Q(box.text));
  dialog->setIcon(box.icon == window::BoxIcon::kInformation ? QMessageBox::Information
                  : box.icon == window::BoxIcon::kQuestion  ? QMessageBox::Question
                                                            : QMessageBox::NoIcon);
  if (box.buttons == window::BoxButtons::kYesNo) {
    dialog->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    dialog->setDefaultButton(QMessageBox::Yes);
  } else {
    dialog->setStandardButtons(QMessageBox::Ok);
  }
  return dialog;
}

std::unique_ptr<QFileDialog> MakeSaveDialog(QWidget* owner, const window::SaveRequest& request) {
  auto dialog = std::make_unique<QFileDialog>(owner);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  // "Zimbra Mailboxe(s) (*.tgz)": Qt reads the pattern from the parentheses at its end.
  dialog->setNameFilter(Q(request.filterDescription));
  dialog->setDefaultSuffix("tgz");
  dialog->selectFile(Q(request.proposedName));  // no folder: where the dialog opens by default
  return dialog;
}

SourceDialog::SourceDialog(QWidget* owner, const QString& title) : QFileDialog(owner, title) {
  // Qt's own dialog: a system one cannot be told to take a file in a folder dialog.
  setOption(QFileDialog::DontUseNativeDialog);
  setFileMode(QFileDialog::Directory);
  setOption(QFileDialog::ShowDirsOnly, false);
}

void SourceDialog::accept() {
  const QStringList selected = selectedFiles();
  const QFileInfo first(selected.isEmpty() ? QString() : selected.front());
  if (first.isFile()) {
    // A folder dialog takes no file of itself: a mail-store file is taken here.
    chosen_ = first.absoluteFilePath();
    done(QDialog::Accepted);
    return;
  }
  QFileDialog::accept();
  if (result() == QDialog::Accepted && !selectedFiles().isEmpty())
    chosen_ = selectedFiles().front();
}

std::unique_ptr<window::Desktop> MakeSystemDesktop() {
#ifndef _WIN32
  // This system's shell has no folder dialog: lend it Qt's.
  shell::SetFolderPicker([](std::uintptr_t, const std::string& title, shell::Choice choice) {
    if (choice == shell::Choice::kFolder) {
      return QFileDialog::getExistingDirectory(QApplication::activeWindow(), Q(title), QString(),
                                               QFileDialog::ShowDirsOnly)
          .toStdString();
    }
    SourceDialog dialog(QApplication::activeWindow(), Q(title));
    return dialog.exec() == QDialog::Accepted ? dialog.Chosen().toStdString() : std::string();
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
