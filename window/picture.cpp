#include "window/picture.h"

namespace crateline::window {

void ShowConversionInProgress(View& view, const std::string& home, char separator) {
  const std::string s(1, separator);
  const std::string source = home + s + "Mail  Backup" + s;
  view.SetText(Control::kLblSource, LiteralText(source));
  view.SetText(Control::kLblCount, "1248 Messages && 14 Folder(s) Queued for Conversion.");
  view.SetText(Control::kLblDestination, LiteralText(home + s + "ZimbraMailbox6.12.26 1.4.05.tgz"));
  view.SetText(
      Control::kLblTarFile,
      LiteralText(source + "Archive" + s + "2019" + s + "Projects" + s +
                  "Harbour Bridge Refurbishment" + s +
                  "Correspondence with the council and the engineers" + s +
                  "Site visits and minutes" + s + "Re  Quarterly figures, revised (final).eml"));
  view.SetProgress(42);
  view.SetEnabled(Control::kCmdOpen, true);
  view.SetText(Control::kCmdConvertTGZ, "Conversion in Progress...");
  view.SetVisible(Control::kCmdStop, true);
  view.SetEnabled(Control::kCmdAddFolder, false);
}

}  // namespace crateline::window
