#include "window/layout.h"

#include "window/view.h"

#include <algorithm>
#include <stdexcept>

namespace crateline::window {
namespace {

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kHintYellow{255, 255, 192};
constexpr Rgb kRed{192, 0, 0};
constexpr Rgb kPathBlue{0, 0, 192};
constexpr Font kNoFont{};
constexpr Font kTahoma8{"Tahoma", 8.25};
constexpr Font kTahoma9{"Tahoma", 9};
constexpr Font kTahoma9Bold{"Tahoma", 9, true};
constexpr Font kVerdana9{"Verdana", 9};
constexpr Font kVerdana11Bold{"Verdana", 11.25, true};
constexpr Control kTop = Control::kWindow;

// The rectangles first: everything else lies over them.
const ControlSpec kControls[] = {
    {Control::kShape2, "Shape2", Kind::kRectangle, kTop, "", kNoFont, {}, kWhite, {0, 0, 713, 57}},
    {Control::kShape3,
     "Shape3",
     Kind::kRectangle,
     kTop,
     "",
     kNoFont,
     {},
     kHintYellow,
     {16, 104, 673, 33}},
    {Control::kShape1,
     "Shape1",
     Kind::kRectangle,
     kTop,
     "",
     kNoFont,
     {},
     kWhite,
     {-8, 424, 745, 57}},
    {Control::kLblTitle,
     "lblTitle",
     Kind::kLabel,
     kTop,
     kAppTitle,
     {"Tahoma", 14.25, true},
     kRed,
     kWhite,
     {16, 8, 417, 25}},
    {Control::kLblCopyright,
     "lblCopyright",
     Kind::kLabel,
     kTop,
     "Copyright \xc2\xa9 2026 Brakmoor. All rights reserved.",
     kTahoma8,
     kBlack,
     kWhite,
     {16, 32, 409, 17}},
    {Control::kLabel3,
     "Label3",
     Kind::kWrappedLabel,
     kTop,
     "Crateline supports conversion of (*.eml) email messages to Zimbra compatible mailbox file. "
     "Converted file can be easily imported into Zimbra Web Client or Zimbra Desktop via Import "
     "option.",
     kVerdana9,
     {},
     {},
     {16, 64, 673, 40}},
    {Control::kImage2,
     "Image2",
     Kind::kPicture,
     kTop,
     "i",
     kNoFont,
     {},
     Rgb{0, 102, 204},
     {24, 112, 16, 16}},
    {Control::kLabel2,
     "Label2",
     Kind::kLabel,
     kTop,
     "First locate your folder having (*.eml) files && then select main folder having *.eml files",
     kTahoma9Bold,
     {},
     kHintYellow,
     {48, 112, 633, 17}},
    {Control::kCmdAddFolder,
     "CmdAddFolder",
     Kind::kButton,
     kTop,
     "Select folder having (*.eml) file(s)...",
     kTahoma9Bold,
     {},
     {},
     {16, 144, 249, 30}},
    {Control::kImage1,
     "Image1",
     Kind::kPicture,
     kTop,
     "?",
     kNoFont,
     {},
     Rgb{0, 128, 64},
     {288, 152, 16, 16}},
    {Control::kLabel4,
     "Label4",
     Kind::kLinkLabel,
     kTop,
     "Need Help - Read Step-by-Step Product Guide",
     kTahoma8,
     Rgb{0, 0, 255},
     {},
     {312, 152, 225, 17}},
    {Control::kLabel5,
     "Label5",
     Kind::kLabel,
     kTop,
     "Source Folder    : ",
     kTahoma9,
     {},
     {},
     {16, 179, 105, 17}},
    {Control::kLblSource,
     "LblSource",
     Kind::kPathLabel,
     kTop,
     kNotSelected,
     kTahoma8,
     kPathBlue,
     {},
     {120, 179, 561, 17}},
    {Control::kLblCount,
     "LblCount",
     Kind::kLabel,
     kTop,
     "",
     {"Tahoma", 8.25, true},
     kRed,
     {},
     {16, 200, 665, 17}},
    {Control::kFrame1,
     "Frame1",
     Kind::kFrame,
     kTop,
     " Conversion Details ",
     kVerdana9,
     {},
     {},
     {16, 224, 673, 89}},
    {Control::kLabel8,
     "Label8",
     Kind::kLabel,
     Control::kFrame1,
     "Reading File(s)     :",
     kTahoma8,
     {},
     {},
     {16, 24, 137, 25}},
    {Control::kLblTarFile,
     "LblTarFile",
     Kind::kPathLabel,
     Control::kFrame1,
     kNotSelected,
     kTahoma8,
     kPathBlue,
     {},
     {128, 24, 529, 33}},
    {Control::kLabel1,
     "Label1",
     Kind::kLabel,
     Control::kFrame1,
     "Progress Update  : ",
     kTahoma8,
     {},
     {},
     {16, 64, 105, 17}},
    {Control::kProgressBarTgz,
     "ProgressBar_tgz",
     Kind::kProgressBar,
     Control::kFrame1,
     "",
     kNoFont,
     {},
     {},
     {128, 64, 529, 17}},
    {Control::kLabel6,
     "Label6",
     Kind::kLabel,
     kTop,
     "Destination File  : ",
     kTahoma9,
     {},
     {},
     {16, 327, 97, 17}},
    {Control::kLblDestination,
     "LblDestination",
     Kind::kPathLabel,
     kTop,
     kNotSelected,
     kTahoma8,
     kPathBlue,
     {},
     {120, 327, 425, 33}},
    {Control::kCmdOpen,
     "CmdOpen",
     Kind::kButton,
     kTop,
     "Open Saving Location",
     kTahoma9,
     {},
     {},
     {552, 320, 137, 30},
     false},
    {Control::kCmdConvertTGZ,
     "CmdConvertTGZ",
     Kind::kButton,
     kTop,
     "Start Conversion",
     kVerdana11Bold,
     {},
     {},
     {232, 376, 241, 37},
     false},
    // In Start's place and above it.
    {Control::kCmdStop,
     "CmdStop",
     Kind::kButton,
     kTop,
     "Stop Conversion",
     kVerdana11Bold,
     {},
     {},
     {232, 376, 241, 37},
     true,
     false},
    {Control::kPicture3, "Picture3", Kind::kBar, kTop, "", kNoFont, {}, {}, {0, 432, 697, 33}},
    {Control::kCmdHelp,
     "CmdHelp",
     Kind::kButton,
     Control::kPicture3,
     "&Help Manual",
     kVerdana9,
     {},
     {},
     {16, 3, 113, 30}},
    {Control::kCmdEnd,
     "cmdEnd",
     Kind::kButton,
     Control::kPicture3,
     "E&xit",
     kVerdana9,
     {},
     {},
     {600, 3, 89, 30}},
    // Beyond the client area: they can be reached with the keyboard only, and do nothing.
    {Control::kCmdAdd,
     "cmdAdd",
     Kind::kButton,
     kTop,
     "Add Zimbra Mail File(s)...",
     kTahoma8,
     {},
     {},
     {744, 168, 161, 25}},
    {Control::kCmdClear1,
     "cmdClear1",
     Kind::kButton,
     kTop,
     "Clear File(s)...",
     kTahoma8,
     {},
     {},
     {736, 176, 113, 25}},
};

}  // namespace

std::span<const ControlSpec> Controls() {
  return kControls;
}

const ControlSpec& Spec(Control control) {
  for (const ControlSpec& spec : kControls) {
    if (spec.id == control) return spec;
  }
  throw std::out_of_range("the window has no such control");
}

Placement PlaceWindow(const Rect& available, int clientWidth, int clientHeight,
                      const Margins& frame) {
  const int aroundX = frame.left + frame.right;
  const int aroundY = frame.top + frame.bottom;
  Placement place;
  place.width = std::max(1, std::min(clientWidth, available.width - aroundX));
  place.height = std::max(1, std::min(clientHeight, available.height - aroundY));
  place.x = available.x + (available.width - place.width - aroundX) / 2;
  place.y = available.y + (available.height - place.height - aroundY) / 2;
  // The title bar, where the window is moved and closed, stays on the screen.
  place.x = std::max(place.x, available.x);
  place.y = std::max(place.y, available.y);
  return place;
}

std::string LiteralText(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '&') out += '&';
  }
  return out;
}

}  // namespace crateline::window
