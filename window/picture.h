// The window as the pictures in docs/ show it, the same under every face: a desktop that shows
// nothing, and a conversion in progress as its events leave the window.
#pragma once

#include <stdexcept>
#include <string>

#include "window/desktop.h"
#include "window/view.h"

namespace crateline::window {

class QuietDesktop final : public Desktop {
 public:
  BoxAnswer ShowMessage(OwnerHandle, const MessageBox&) override { return BoxAnswer::kOk; }
  std::optional<std::string> AskSaveFile(OwnerHandle, const SaveRequest&) override { return {}; }
  std::string ChooseFolder(OwnerHandle, const std::string&) override { return {}; }
  void ShellOpen(const std::string&) override {}
  std::tm LocalNow() override { return {}; }
  void InitCommonControls() override {}
  [[noreturn]] void EndProgram() override { throw std::logic_error("not in a picture"); }
};

// A folder with two spaces in a row in its name, and a message whose path is longer than its
// label, below `home` ("/home/ada", "C:\Users\Ada"), with the system's `separator`.
void ShowConversionInProgress(View& view, const std::string& home, char separator);

}  // namespace crateline::window
