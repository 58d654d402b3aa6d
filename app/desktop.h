// The desktop the window's logic asks for boxes and dialogs (window/desktop.h), as Qt shows
// them; the owner handle a view gives is the QWidget it is.
#pragma once

#include <QFileDialog>
#include <memory>

#include "window/desktop.h"

class QMessageBox;
class QWidget;

namespace crateline::app {

// The real desktop: Qt's message boxes and save dialog, the shell layer's source choice and
// opener, the system clock, std::exit.
std::unique_ptr<window::Desktop> MakeSystemDesktop();

// The real message box and save dialog for a request, set up but not shown: the real desktop
// shows them, and tests look at how they are set up.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const window::MessageBox& box);
std::unique_ptr<QFileDialog> MakeSaveDialog(QWidget* owner, const window::SaveRequest& request);

// The source picker where the system has none of its own: a folder dialog that shows files
// too, and takes a file that is chosen (an mbox file) as readily as the folder it is in.
class SourceDialog final : public QFileDialog {
 public:
  SourceDialog(QWidget* owner, const QString& title);
  // The folder or file chosen; empty until accepted.
  const QString& Chosen() const { return chosen_; }
  void accept() override;

 private:
  QString chosen_;
};

// Installs the window's event pump below the window: it processes pending events, and returns
// at once when it last ran less than about 10 ms ago, so a long walk is not slowed by it.
void InstallEventPump();

}  // namespace crateline::app
