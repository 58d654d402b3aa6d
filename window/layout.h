// The window as designed: its caption and size, and every control with its name, kind, text,
// font, colours, place and first state, in the order they are made (later ones lie above
// earlier ones). Each face builds the same window from this one table.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>

namespace crateline::window {

inline constexpr const char* kAppTitle = "Brakmoor Crateline";
inline constexpr const char* kCaption = "Brakmoor Crateline v3.0";
inline constexpr const char* kGuideAddress = "http://www.brakmoor.com/crateline/guide.html";
inline constexpr const char* kNotSelected = "< Not Selected >";
inline constexpr int kClientWidth = 705;
inline constexpr int kClientHeight = 475;

enum class Control {
  kWindow,  // frmStep1 itself
  kShape2,
  kShape3,
  kShape1,
  kLblTitle,
  kLblCopyright,
  kLabel3,
  kImage2,
  kLabel2,
  kCmdAddFolder,
  kImage1,
  kLabel4,
  kLabel5,
  kLblSource,
  kLblCount,
  kFrame1,
  kLabel8,
  kLblTarFile,
  kLabel1,
  kProgressBarTgz,
  kLabel6,
  kLblDestination,
  kCmdOpen,
  kCmdConvertTGZ,
  kCmdStop,
  kPicture3,
  kCmdHelp,
  kCmdEnd,
  kCmdAdd,
  kCmdClear1,
};

enum class Kind {
  kRectangle,     // filled, with a light grey border
  kLabel,         // plain text as it is
  kWrappedLabel,  // wraps at word breaks
  kPathLabel,     // a path: wraps anywhere, cut in the middle when too long, whole in a tooltip
  kLinkLabel,     // a pointing hand over it; a click on it; grows to the right to show its text
  kPicture,       // a 16-pixel round badge: `fill` with `text` on it
  kButton,
  kFrame,        // a group box titled `text`
  kBar,          // a plain container
  kProgressBar,  // 0 to 100
};

struct Rgb {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

struct Font {
  const char* family = nullptr;  // Tahoma or Verdana; a face finds the nearest it has
  double points = 0;
  bool bold = false;
};

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

struct ControlSpec {
  Control id;
  const char* name;
  Kind kind;
  Control parent;    // kWindow, or the frame or bar that holds it
  const char* text;  // in the mnemonic notation
  Font font;
  std::optional<Rgb> color;  // of the text
  std::optional<Rgb> fill;   // of the background, the rectangle, the badge
  Rect rect;                 // in the parent, at 96 dots per inch
  bool enabled = true;
  bool visible = true;
};

// Every control, in the order it is made.
std::span<const ControlSpec> Controls();
const ControlSpec& Spec(Control control);

// The keyboard's order through the buttons; the window opens with the focus on the first.
inline constexpr std::array<Control, 8> kFocusOrder = {
    Control::kCmdAdd, Control::kCmdClear1, Control::kCmdAddFolder, Control::kCmdConvertTGZ,
    Control::kCmdEnd, Control::kCmdHelp,   Control::kCmdOpen,      Control::kCmdStop};

// Where a window of `client` size goes on a screen whose free area is `available`, with a frame
// `frame` around its client area (title bar included): centred, but never with its frame's top
// left off the free area, and its client area made smaller where the screen is (a face then
// lets the user scroll to the rest). Sizes in the same units as the screen's.
struct Margins {
  int left = 0, top = 0, right = 0, bottom = 0;
};
struct Placement {
  int x = 0, y = 0;           // of the frame's top left
  int width = 0, height = 0;  // of the client area
  bool operator==(const Placement&) const = default;
};
Placement PlaceWindow(const Rect& available, int clientWidth, int clientHeight,
                      const Margins& frame);

}  // namespace crateline::window
