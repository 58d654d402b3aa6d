// The window's one door to everything outside it: message boxes, the save and folder dialogs,
// opening a document, the clock, the wait pointer and the end of the program. The window asks
// only this interface, so tests replace it and check every box's text, title, icon and buttons
// without a person at the screen.
#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>

class QFileDialog;
class QMessageBox;
class QWidget;

namespace crateline::app {

enum class BoxIcon { kNone, kInformation, kQuestion };
enum class BoxButtons { kOk, kYesNo };
enum class BoxAnswer { kOk, kYes, kNo };

struct MessageBox {
  std::string text;
  std::string title;
  BoxIcon icon = BoxIcon::kNone;
  BoxButtons buttons = BoxButtons::kOk;
};

struct SaveRequest {
  std::string filterDescription;  // "Zimbra Mailboxe(s) (*.tgz)"
  std::string filterPattern;      // "*.tgz"
  std::string proposedName;       // no folder: the dialog opens where it opens by default
};

class Desktop {
 public:
  virtual ~Desktop() = default;
  virtual BoxAnswer ShowMessage(QWidget* owner, const MessageBox& box) = 0;
  // The chosen file's full path, or nothing when the user cancelled. Asks before replacing.
  virtual std::optional<std::string> AskSaveFile(QWidget* owner, const SaveRequest& request) = 0;
  virtual std::string ChooseFolder(QWidget* owner, const std::string& title) = 0;
  virtual void ShellOpen(const std::string& target) = 0;
  virtual std::tm LocalNow() = 0;
  virtual void SetWaitPointer(bool waiting) = 0;
  virtual void InitCommonControls() = 0;
  // Ends the program at once. Whatever is being written is abandoned and its temporary file
  // removed; no further handler runs.
  [[noreturn]] virtual void EndProgram() = 0;
};

// The real desktop: Qt's message boxes and save dialog, the shell layer's folder choice and
// opener, the system clock, std::exit.
std::unique_ptr<Desktop> MakeSystemDesktop();

// The real message box and save dialog for a request, set up but not shown: the real desktop
// shows them, and tests look at how they are set up.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const MessageBox& box);
std::unique_ptr<QFileDialog> MakeSaveDialog(QWidget* owner, const SaveRequest& request);

// Installs the window's event pump below the window: it processes pending events, and returns
// at once when it last ran less than about 10 ms ago, so a long walk is not slowed by it.
void InstallEventPump();

}  // namespace crateline::app
