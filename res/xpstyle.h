// XPStyle: a small control that, while it exists, has the themed common controls initialised
// and keeps shell32.dll loaded. It is 54 x 54 pixels (810 twips) whatever size it is given,
// and shows its own picture. No window of the program hosts one; it is there for windows that
// want the themed look without a manifest of their own.
//
// The calls go through the platform layer's seam (on Windows comctl32 and kernel32), so tests
// see them.
#pragma once

#include <QWidget>
#include <cstdint>

class QIcon;

namespace crateline::res {

inline constexpr int kTwipsPerPixel = 15;  // at 96 dots per inch
inline constexpr int kXPStyleTwips = 810;
inline constexpr std::uint32_t kInitCommonControlsExSize = 8;
inline constexpr std::uint32_t kIccUserExClasses = 0x200;

class XPStyle : public QWidget {
 public:
  explicit XPStyle(QWidget* parent = nullptr);
  ~XPStyle() override;
  XPStyle(const XPStyle&) = delete;
  XPStyle& operator=(const XPStyle&) = delete;

  std::intptr_t Shell32Handle() const { return shell32_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  std::intptr_t shell32_ = 0;
};

// The window icon, in every size the program ships.
QIcon AppIcon();

}  // namespace crateline::res
