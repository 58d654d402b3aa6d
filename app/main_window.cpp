#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <algorithm>

#include "app/desktop.h"
#include "app/labels.h"
#include "res/xpstyle.h"
#include "util/event_pump.h"

namespace crateline::app {

using window::Control;
using window::ControlSpec;
using window::Kind;

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
      onClick) {
    onClick();
  }
}

namespace {

// Tahoma and Verdana where the system has them, else the nearest sans-serif of the same size
// and weight: DejaVu Sans is drawn after Verdana's shapes; Tahoma is the narrower face, nearest
// to DejaVu Sans Condensed.
QFont Font(const window::Font& spec) {
  QFont font;
  if (QString(spec.family) == "Tahoma") {
    font.setFamilies({"Tahoma", "DejaVu Sans Condensed", "Liberation Sans Narrow", "Arial Narrow",
                      "DejaVu Sans"});
  } else {
    font.setFamilies({spec.family, "DejaVu Sans", "Liberation Sans", "Arial"});
  }
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(spec.points);
  font.setBold(spec.bold);
  return font;
}

QString Css(const window::Rgb& rgb) {
  return QString("rgb(%1,%2,%3)").arg(rgb.r).arg(rgb.g).arg(rgb.b);
}

QRect Geometry(const window::Rect& rect) {
  return {rect.x, rect.y, rect.width, rect.height};
}

// Our own 16-pixel pictures: an "i" on the hint bar, a "?" beside the guide link.
QPixmap Badge(const window::Rgb& fill, const QString& sign) {
  const qreal ratio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
  QPixmap pixmap(QSize(16, 16) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor color(fill.r, fill.g, fill.b);
  painter.setBrush(color);
  painter.setPen(color.darker(130));
  painter.drawEllipse(QRectF(0.5, 0.5, 15, 15));
  painter.setPen(Qt::white);
  QFont font = Font({"Verdana", 8, true});
  font.setPixelSize(11);
  painter.setFont(font);
  painter.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, sign);
  return pixmap;
}

void Colour(QWidget* widget, const ControlSpec& spec) {
  QString style;
  if (spec.color) style += "color: " + Css(*spec.color) + ";";
  if (spec.fill) style += "background: " + Css(*spec.fill) + ";";
  if (!style.isEmpty()) widget->setStyleSheet(style);
}

}  // namespace

MainWindow::MainWindow(window::Desktop& desktop, QWidget* parent) : QWidget(parent) {
  InstallEventPump();
  Build();
  logic_ = std::make_unique<window::FrmStep1>(*this, desktop);
}

MainWindow::~MainWindow() {
  util::SetEventPump({});
}

QWidget* MainWindow::Widget(Control control) const {
  return control == Control::kWindow ? const_cast<MainWindow*>(this)
                                     : widgets_[static_cast<std::size_t>(control)];
}

QWidget* MainWindow::Make(const ControlSpec& spec, QWidget* parent) {
  const QString text = QString::fromUtf8(spec.text);
  QWidget* widget = nullptr;
  switch (spec.kind) {
    case Kind::kRectangle: {
      widget = new QFrame(parent);
      widget->setStyleSheet(QString("QFrame#%1 { background: %2; border: 1px solid %3; }")
                                .arg(spec.name, Css(*spec.fill), Css({192, 192, 192})));
      break;
    }
    case Kind::kPicture: {
      auto* picture = new QLabel(parent);
      picture->setPixmap(Badge(*spec.fill, text));
      widget = picture;
      break;
    }
    case Kind::kButton: {
      auto* button = new QPushButton(text, parent);  // buttons read "&" themselves
      button->setAutoDefault(false);
      button->installEventFilter(this);
      widget = button;
      break;
    }
    case Kind::kFrame:
      widget = new QGroupBox(text, parent);
      break;
    case Kind::kBar:
      widget = new QWidget(parent);
      break;
    case Kind::kProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setRange(0, 100);
      bar->setValue(0);
      bar->setTextVisible(false);
      widget = bar;
      break;
    }
    case Kind::kLabel:
    case Kind::kWrappedLabel:
    case Kind::kPathLabel:
    case Kind::kLinkLabel: {
      QLabel* label = spec.kind == Kind::kPathLabel   ? new PathLabel(parent)
                      : spec.kind == Kind::kLinkLabel ? new LinkLabel(parent)
                                                      : new QLabel(parent);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      label->setWordWrap(spec.kind == Kind::kWrappedLabel);
      Colour(label, spec);
      widget = label;
      break;
    }
  }
  widget->setObjectName(spec.name);
  widget->setGeometry(Geometry(spec.rect));
  if (spec.font.family != nullptr) widget->setFont(Font(spec.font));
  widget->setEnabled(spec.enabled);
  if (!spec.visible) widget->setVisible(false);
  widgets_[static_cast<std::size_t>(spec.id)] = widget;
  if (auto* label = qobject_cast<QLabel*>(widget);
      label != nullptr && spec.kind != Kind::kPicture) {
    SetLabelText(label, spec.text);
  }
  if (spec.kind == Kind::kLinkLabel) {
    auto* link = static_cast<LinkLabel*>(widget);
    link->setCursor(Qt::PointingHandCursor);
    // The text may run a little wider than designed on a scaled screen: the link grows into
    // the free room to its right rather than cut its last letter.
    link->resize(std::max(spec.rect.width, link->sizeHint().width()), spec.rect.height);
  }
  return widget;
}

void MainWindow::Build() {
  setObjectName("frmStep1");
  setWindowTitle(window::kCaption);
  setWindowIcon(res::AppIcon());
  // A fixed-size frame: no maximise button, also where a window manager draws the frame (the
  // customize hint makes Qt tell it exactly which buttons to offer).
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setAutoFillBackground(true);
  setFocusPolicy(Qt::NoFocus);

  scroll_ = new QScrollArea(this);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setFocusPolicy(Qt::NoFocus);
  client_ = new QWidget;
  client_->setObjectName("client");
  client_->setFixedSize(window::kClientWidth, window::kClientHeight);
  scroll_->setWidget(client_);
  for (const ControlSpec& spec : window::Controls()) {
    Make(spec, spec.parent == Control::kWindow ? client_ : Widget(spec.parent));
  }
  for (std::size_t i = 0; i + 1 < window::kFocusOrder.size(); ++i) {
    setTabOrder(Widget(window::kFocusOrder[i]), Widget(window::kFocusOrder[i + 1]));
  }
  Widget(window::kFocusOrder.front())->setFocus();
  Connect();
  Place();
}

void MainWindow::Connect() {
  for (const window::ControlSpec& spec : window::Controls()) {
    if (spec.kind != Kind::kButton) continue;
    connect(static_cast<QPushButton*>(Widget(spec.id)), &QPushButton::clicked, this,
            [this, id = spec.id] { logic_->Click(id); });
  }
  static_cast<LinkLabel*>(Widget(Control::kLabel4))->onClick = [this] {
    logic_->Click(Control::kLabel4);
  };
}

void MainWindow::Place() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect free = screen->availableGeometry();
  // Before the window is shown no frame is known: the title bar the style draws stands in.
  window::Margins frame{0, style()->pixelMetric(QStyle::PM_TitleBarHeight), 0, 0};
  if (frameGeometry() != geometry()) {
    frame = {geometry().left() - frameGeometry().left(), geometry().top() - frameGeometry().top(),
             frameGeometry().right() - geometry().right(),
             frameGeometry().bottom() - geometry().bottom()};
  }
  const window::Placement place =
      window::PlaceWindow({free.x(), free.y(), free.width(), free.height()}, window::kClientWidth,
                          window::kClientHeight, frame);
  setFixedSize(place.width, place.height);
  scroll_->setGeometry(0, 0, place.width, place.height);
  move(place.x, place.y);
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!placedShown_) {
    placedShown_ = true;
    Place();  // now with the frame the window manager gave it
  }
}

window::OwnerHandle MainWindow::Owner() const {
  return window::OwnerHandle{const_cast<QWidget*>(static_cast<const QWidget*>(this))};
}

void MainWindow::SetText(Control control, const std::string& mnemonicText) {
  QWidget* widget = Widget(control);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    SetLabelText(label, mnemonicText);
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(QString::fromStdString(mnemonicText));
  } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
    frame->setTitle(QString::fromStdString(mnemonicText));
  }
}

void MainWindow::SetEnabled(Control control, bool enabled) {
  Widget(control)->setEnabled(enabled);
}

void MainWindow::SetVisible(Control control, bool visible) {
  Widget(control)->setVisible(visible);
}

void MainWindow::SetProgressRange(int minimum, int maximum) {
  static_cast<QProgressBar*>(Widget(Control::kProgressBarTgz))->setRange(minimum, maximum);
}

void MainWindow::SetProgress(int value) {
  static_cast<QProgressBar*>(Widget(Control::kProgressBarTgz))->setValue(value);
}

void MainWindow::SetFocus(Control control) {
  if (control == Control::kWindow) {
    // Qt would move the focus of a button being disabled to the next one, "Exit"; it waits on
    // the window instead, where no key does anything.
    setFocusPolicy(Qt::StrongFocus);
    setFocus(Qt::OtherFocusReason);
    return;
  }
  QWidget* widget = Widget(control);
  if (widget->isEnabled() && !widget->isHidden()) widget->setFocus(Qt::OtherFocusReason);
  setFocusPolicy(Qt::NoFocus);
}

void MainWindow::SetBusyPointer(bool busy) {
  if (busy == busyPointer_) return;
  busyPointer_ = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void MainWindow::Hide() {
  hide();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  logic_->Form_Unload();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    // Enter presses the focused button, as on the program's home platform.
    const int key = static_cast<QKeyEvent*>(event)->key();
    auto* button = qobject_cast<QPushButton*>(watched);
    if (button != nullptr && (key == Qt::Key_Return || key == Qt::Key_Enter) &&
        button->isEnabled() && button->isVisible()) {
      button->click();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace crateline::app
