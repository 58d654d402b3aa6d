// The window's one door to everything outside it: message boxes, the save dialog, the choice of
// a source, opening a document, the clock, the common controls and the end of the program. The
// window's logic asks only this interface, so tests replace it and check every box's text,
// title, icon and buttons without a person at the screen; each face gives the real one.
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace crateline::window {

// The window a dialog is modal to, as its face knows it (a widget, a window handle); nothing
// here looks inside it.
struct OwnerHandle {
  void* window = nullptr;
};

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
  virtual BoxAnswer ShowMessage(OwnerHandle owner, const MessageBox& box) = 0;
  // The chosen file's full path, or nothing when the user cancelled. Asks before replacing.
  virtual std::optional<std::string> AskSaveFile(OwnerHandle owner, const SaveRequest& request) = 0;
  // The folder picker, which also lets a mail-store file (an mbox file) be chosen: its path, or
  // empty text when nothing was chosen.
  virtual std::string ChooseFolder(OwnerHandle owner, const std::string& title) = 0;
  virtual void ShellOpen(const std::string& target) = 0;
  virtual std::tm LocalNow() = 0;
  virtual void InitCommonControls() = 0;
  // Ends the program at once. Whatever is being written is abandoned and its temporary file
  // removed; no further handler runs.
  [[noreturn]] virtual void EndProgram() = 0;
};

}  // namespace crateline::window
