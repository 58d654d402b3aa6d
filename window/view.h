// What the window's logic asks of a face that draws it: the text, state and focus of each
// control, the progress bar, the busy pointer. A face (Qt on Linux, the Win32 API on Windows)
// builds the controls from the layout (layout.h) and carries these out; it decides nothing.
#pragma once

#include <string>

#include "window/desktop.h"
#include "window/layout.h"

namespace crateline::window {

// A path or any text to be shown as it is, in the mnemonic notation: every "&" doubled.
std::string LiteralText(const std::string& text);

class View {
 public:
  virtual ~View() = default;
  // The window, for the dialogs that are modal to it.
  virtual OwnerHandle Owner() const = 0;
  // Texts in the mnemonic notation: "&&" shows one "&", a single "&" underlines the next
  // character. A path label cuts what does not fit in the middle.
  virtual void SetText(Control control, const std::string& mnemonicText) = 0;
  virtual void SetEnabled(Control control, bool enabled) = 0;
  virtual void SetVisible(Control control, bool visible) = 0;
  virtual void SetProgressRange(int minimum, int maximum) = 0;
  virtual void SetProgress(int value) = 0;
  // Control::kWindow: the window itself keeps the focus, where no key does anything. A control
  // that is disabled or hidden does not take it.
  virtual void SetFocus(Control control) = 0;
  // The application's wait pointer, over every control.
  virtual void SetBusyPointer(bool busy) = 0;
  virtual void Hide() = 0;
};

}  // namespace crateline::window
