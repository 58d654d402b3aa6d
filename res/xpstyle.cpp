#include "res/xpstyle.h"

#include <QBitmap>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

#include "platform/system_calls.h"

namespace crateline::res {
namespace {
constexpr int kSidePixels = kXPStyleTwips / kTwipsPerPixel;  // 54

// The face, with magenta marking what the mask leaves clear.
QPixmap Face() {
  QPixmap face(":/crateline/xpstyle.bmp");
  face.setMask(face.createMaskFromColor(QColor(255, 0, 255), Qt::MaskInColor));
  return face;
}
}  // namespace

XPStyle::XPStyle(QWidget* parent) : QWidget(parent) {
  // Failures of both calls are of no consequence: the control only keeps what it gets.
  platform::os::InitCommonControlsEx(kInitCommonControlsExSize, kIccUserExClasses);
  shell32_ = platform::os::LoadLibraryA("shell32.dll");
  // A fixed size turns every other size away at once, shown or not; the resize handler below
  // puts it back should a layout force one through anyway.
  setFixedSize(kSidePixels, kSidePixels);
}

XPStyle::~XPStyle() {
  if (shell32_ != 0) platform::os::FreeLibrary(shell32_);
}

void XPStyle::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Width first, then height; a dimension already right is left alone, so no loop follows.
  if (width() != kSidePixels) resize(kSidePixels, height());
  if (height() != kSidePixels) resize(width(), kSidePixels);
}

void XPStyle::paintEvent(QPaintEvent*) {
  static const QPixmap face = Face();
  QPainter(this).drawPixmap(0, 0, face);
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 256}) {
    icon.addFile(QString(":/crateline/icons/crateline-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace crateline::res
