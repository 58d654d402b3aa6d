// Messages one a file: every file named *.eml (in any case), and every file whose content is a
// message however it is named (MH folders' numbered files, as Claws Mail and nmh keep them;
// messages saved without a suffix). Each folder below the chosen one is a mail folder of the
// same name; the walk (walk.h) reaches every path the system can list and never follows a link.
#include "mailbox/content.h"
#include "mailbox/readers.h"

namespace crateline::mailbox {
namespace {

class Eml final : public Format {
 public:
  const char* Name() const override { return "eml"; }

  int BidFile(const Entry& file, const std::function<std::string_view()>& head) const override {
    if (HasEmlSuffix(file.name)) {
      // An AppleDouble file of a message ("._a.eml") is named like one; only those are opened.
      return file.name.rfind("._", 0) == 0 && IsAppleDouble(head()) ? 0 : 100;
    }
    return BeginsWithHeaders(head()) ? 50 : 0;
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& names,
                Walk& walk) const override {
    Inventory& inventory = walk.Mail();
    Message m;
    m.file = inventory.AddFile(file.dir, file.name);
    m.folder = inventory.Folder(names, TrimmedPath(file.dir));
    m.length = file.size;
    m.fallbackTime = file.modified;
    inventory.messages.push_back(m);
  }
};

}  // namespace

const Format& EmlFormat() {
  static const Eml format;
  return format;
}

}  // namespace crateline::mailbox
