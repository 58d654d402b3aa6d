// The window drawn with Qt: the controls the layout (window/layout.h) describes, carrying out
// what the window's logic (window/main_window.h) asks through the View interface, and handing
// it every click, the Enter key and the closing of the window. It decides nothing itself.
//
// On a screen too small for it (a high scale factor on a small display) the window keeps its
// title bar on the screen and lets the user scroll to the controls it cannot show.
#pragma once

#include <QLabel>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "window/desktop.h"
#include "window/main_window.h"
#include "window/view.h"

class QScrollArea;

namespace crateline::app {

// A label that acts as a link: a pointing hand over it, a click on it.
class LinkLabel : public QLabel {
 public:
  using QLabel::QLabel;
  std::function<void()> onClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class MainWindow final : public QWidget, public window::View {
 public:
  explicit MainWindow(window::Desktop& desktop, QWidget* parent = nullptr);
  ~MainWindow() override;

  window::FrmStep1& Logic() { return *logic_; }
  QWidget* Widget(window::Control control) const;
  // The area the controls are laid out in, 705 × 475 as designed.
  QWidget* Client() const { return client_; }

  // View.
  window::OwnerHandle Owner() const override;
  void SetText(window::Control control, const std::string& mnemonicText) override;
  void SetEnabled(window::Control control, bool enabled) override;
  void SetVisible(window::Control control, bool visible) override;
  void SetProgressRange(int minimum, int maximum) override;
  void SetProgress(int value) override;
  void SetFocus(window::Control control) override;
  void SetBusyPointer(bool busy) override;
  void Hide() override;

 protected:
  void closeEvent(class QCloseEvent* event) override;
  void showEvent(class QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Build();
  QWidget* Make(const window::ControlSpec& spec, QWidget* parent);
  void Connect();
  // Places the window on its screen (window::PlaceWindow), with the frame around it as far as
  // it is known.
  void Place();

  QScrollArea* scroll_ = nullptr;
  QWidget* client_ = nullptr;
  std::array<QWidget*, 64> widgets_{};
  bool busyPointer_ = false;
  bool placedShown_ = false;
  std::unique_ptr<window::FrmStep1> logic_;
};

}  // namespace crateline::app
