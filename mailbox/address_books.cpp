// Address books and calendars kept as files: vCard files (a phone's or a web mail's export,
// Google Takeout's Contacts/LABEL/LABEL.vcf) and iCalendar files (Takeout's Calendar/NAME.ics,
// any program's export). Wherever they lie in the source, their cards and events go to Zimbra's
// Contacts and Calendar: an address book named like the default one into Contacts itself, any
// other into a folder of its own below it, named after it (a calendar after the name it keeps,
// else its file). Each card is an entry of its own, so that one Zimbra cannot take costs no
// other; a calendar is one entry, as the file holds it (cards.h says why one is all an archive
// can carry).
#include <algorithm>
#include <array>

#include "mailbox/address_book.h"
#include "mailbox/cards.h"
#include "mailbox/local_calendar.h"
#include "mailbox/sqlite_db.h"
#include "mailbox/walk.h"
#include "platform/file_io.h"
#include "scan/listing.h"
#include "util/ascii_case.h"

namespace crateline::mailbox {
namespace {

// Larger than any address book or calendar a person keeps; read whole, so bounded.
constexpr std::uint64_t kLargestFile = 512ULL * 1024 * 1024;

bool HasSuffix(const std::string& name, std::initializer_list<std::string_view> suffixes) {
  return std::any_of(suffixes.begin(), suffixes.end(), [&](std::string_view suffix) {
    return name.size() > suffix.size() &&
           util::EqualsIgnoringCase(std::string_view(name).substr(name.size() - suffix.size()),
                                    suffix);
  });
}

std::string Stem(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The folder of an address book or calendar called `name`: the system folder itself for the
// names programs give their default one, else a folder below it.
std::vector<std::string> FolderFor(const char* system, const std::string& name,
                                   std::initializer_list<std::string_view> defaults) {
  const bool isDefault =
      name.empty() || std::any_of(defaults.begin(), defaults.end(), [&](std::string_view d) {
        return util::EqualsIgnoringCase(name, d);
      });
  if (isDefault) return {system};
  return {system, name};
}

// Reads the whole file, or says in the report why it cannot; empty then.
std::optional<std::string> Contents(const Entry& file, Walk& walk) {
  const std::string path = file.Path();
  if (file.size > kLargestFile) {
    walk.Mail().leftOut.push_back({path,
                                   "larger than 512 MiB, which no address book or calendar "
                                   "is: not read"});
    return std::nullopt;
  }
  try {
    return platform::ReadWholeFile(path);
  } catch (const platform::FileError& error) {
    walk.Mail().leftOut.push_back({path, std::string("could not be read: ") + error.what(), true});
    return std::nullopt;
  }
}

// A bid on a SQLite file of Thunderbird's: sure of one named as Thunderbird names it (read, or
// said why not), less so of one whose tables (`isOurs`) say it is.
int SqliteBid(const std::function<std::string_view()>& head, bool named,
              const std::function<bool()>& isOurs) {
  if (!sqlite::IsSqlite(head())) return 0;
  if (named) return 100;
  try {
    return isOurs() ? 90 : 0;
  } catch (const ItemError&) {
    return 0;
  }
}

// A card of the file `index`: `length` bytes from `offset`, or (built) the item `offset`.
Message Card(std::uint32_t index, std::uint32_t folder, std::uint64_t offset, std::uint64_t length,
             const Entry& file) {
  Message m;
  m.kind = ItemKind::kContact;
  m.file = index;
  m.folder = folder;
  m.offset = offset;
  m.length = length;
  m.fallbackTime = file.modified;
  m.state = ReadState::kRead;
  m.wholeFile = false;
  m.ownFile = false;
  return m;
}

bool Wanted(ItemKind kind, const Entry& file, Walk& walk, const char* what) {
  if ((walk.Options().kinds & KindBit(kind)) != 0) return true;
  walk.Mail().passedOver.push_back({file.Path(), std::string(what) + ", not asked for (--only)"});
  return false;
}

class Vcard final : public Format {
 public:
  const char* Name() const override { return "vcard"; }
  bool ReadsMail() const override { return false; }

  int BidFile(const Entry& file, const std::function<std::string_view()>& head) const override {
    if (!cards::BeginsVcard(head())) return 0;
    return HasSuffix(file.name, {".vcf", ".vcard"}) ? 100 : 40;
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& /*names*/,
                Walk& walk) const override {
    if (!Wanted(ItemKind::kContact, file, walk, "an address book")) return;
    const auto text = Contents(file, walk);
    if (!text) return;
    Inventory& inventory = walk.Mail();
    const std::string path = file.Path();
    std::vector<cards::Span> unended;
    const auto found = cards::SplitCards(*text, unended);
    for (const auto& span : unended) {
      inventory.leftOut.push_back({path + ":" + std::to_string(span.offset),
                                   "a card that never ends (no END:VCARD): the file is cut short"});
    }
    if (found.empty()) {
      if (unended.empty()) inventory.notMail.push_back({path, "an address book with no cards"});
      return;
    }
    const std::uint32_t folder =
        inventory.Folder(FolderFor("Contacts", Stem(file.name),
                                   {"contacts", "all contacts", "my contacts",
                                    "personal address book", "abook", "address book"}),
                         path, ItemKind::kContact);
    const std::uint32_t index = inventory.AddFile(file.dir, file.name);
    for (const auto& span : found) {
      const std::string label = path + ":" + std::to_string(span.offset);
      const std::string_view card = std::string_view(*text).substr(span.offset, span.length);
      if (!cards::HasFields(card)) {
        inventory.passedOver.push_back(
            {label, "a card with nothing in it, which Zimbra refuses: nothing to carry"});
        continue;
      }
      if (walk.Options().labels == LabelMode::kFirst) {
        if (const std::string* first = walk.SeenBefore(std::string(card), label)) {
          inventory.passedOver.push_back({label, "the same card as " + *first + ", carried there"});
          continue;
        }
      }
      const std::string fault = cards::CardFault(card);
      if (!fault.empty()) inventory.warnings.push_back({label, fault});
      inventory.messages.push_back(Card(index, folder, span.offset, span.length, file));
    }
    walk.Tick(path);
  }
};

class Icalendar final : public Format {
 public:
  const char* Name() const override { return "icalendar"; }
  bool ReadsMail() const override { return false; }

  int BidFile(const Entry& file, const std::function<std::string_view()>& head) const override {
    if (!cards::BeginsIcalendar(head())) return 0;
    return HasSuffix(file.name, {".ics", ".ical", ".ifb", ".icalendar"}) ? 100 : 40;
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& /*names*/,
                Walk& walk) const override {
    if (!Wanted(ItemKind::kCalendar, file, walk, "a calendar")) return;
    const auto text = Contents(file, walk);
    if (!text) return;
    Inventory& inventory = walk.Mail();
    const std::string path = file.Path();
    const cards::CalendarFacts facts = cards::ReadCalendar(*text);
    const std::string fault = cards::CalendarFault(facts);
    if (!fault.empty()) {
      inventory.leftOut.push_back({path, fault});
      return;
    }
    if (facts.events + facts.todos == 0) {
      inventory.passedOver.push_back(
          {path, "a calendar with no events or tasks: nothing to carry"});
      return;
    }
    if (!facts.ends) {
      inventory.warnings.push_back(
          {path, "it ends inside a calendar (the file is cut short): Zimbra may refuse all of it"});
    }
    if (facts.journals > 0) {
      inventory.warnings.push_back(
          {path, std::to_string(facts.journals) +
                     " of its items are journal entries, which Zimbra's calendar import passes "
                     "over; its events and tasks are carried"});
    }
    const std::string name = facts.name.empty() ? Stem(file.name) : facts.name;
    Message m;
    m.kind = ItemKind::kCalendar;
    m.file = inventory.AddFile(file.dir, file.name);
    m.folder = inventory.Folder(FolderFor("Calendar", name, {"calendar", "basic", "home"}), path,
                                ItemKind::kCalendar);
    m.length = text->size();
    m.fallbackTime = file.modified;
    m.state = ReadState::kRead;
    inventory.events[static_cast<std::uint32_t>(inventory.messages.size())] =
        static_cast<std::uint32_t>(facts.events + facts.todos);
    inventory.messages.push_back(m);
    walk.Tick(path);
  }
};

// A Thunderbird address book (abook.sqlite, history.sqlite, abook-N.sqlite), by its table of
// card fields, wherever it lies. Its cards are made when written (address_book.h). The
// collected addresses go to Zimbra's Emailed Contacts, the personal book to Contacts, any other
// to a folder of its name below Contacts.
class ThunderbirdBook final : public Format {
 public:
  const char* Name() const override { return "thunderbird-addressbook"; }
  bool ReadsMail() const override { return false; }

  int BidFile(const Entry& file, const std::function<std::string_view()>& head) const override {
    const bool named = HasSuffix(file.name, {".sqlite"}) &&
                       (file.name.rfind("abook", 0) == 0 || file.name == "history.sqlite");
    return SqliteBid(head, named, [&] { return address_book::ReadBook(file.Path()).isBook; });
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& /*names*/,
                Walk& walk) const override {
    Inventory& inventory = walk.Mail();
    const std::string path = file.Path();
    address_book::Book book;
    try {
      book = address_book::ReadBook(path);
    } catch (const ItemError& error) {
      inventory.leftOut.push_back(
          {path, std::string("an address book that ") + error.what(), true});
      return;
    }
    if (!book.isBook) {
      inventory.notMail.push_back({path, "a database of Thunderbird's, not an address book"});
      return;
    }
    if (!Wanted(ItemKind::kContact, file, walk, "an address book")) return;
    if (book.lists > 0) {
      inventory.notes.push_back(path + ": " + std::to_string(book.lists) +
                                " mailing lists not carried (Zimbra's import makes no contact "
                                "groups of cards); their members are carried as cards");
    }
    if (book.cards.empty()) return;
    const std::string name = address_book::BookName(file.dir, file.name);
    std::vector<std::string> names =
        name == "Collected Addresses" ? std::vector<std::string>{"Emailed Contacts"}
                                      : FolderFor("Contacts", name.empty() ? Stem(file.name) : name,
                                                  {"personal address book"});
    const std::uint32_t folder = inventory.Folder(names, path, ItemKind::kContact);
    const std::uint32_t index = inventory.AddFile(file.dir, file.name);
    // Made once now for their sizes, which volumes are planned by; made again when written.
    address_book::CardMaker maker;
    for (const std::uint64_t id : book.cards) {
      std::uint64_t size = 0;
      try {
        size = maker.Make(path, id).bytes.size();
      } catch (const ItemError& error) {
        inventory.leftOut.push_back({path + ":" + std::to_string(id), error.what()});
        continue;
      }
      Message m = Card(index, folder, id, size, file);
      m.built = true;
      inventory.messages.push_back(m);
    }
    walk.Tick(path);
  }
};

// Thunderbird's calendars on the computer (calendar-data/local.sqlite) and its copies of those
// on a server (cache.sqlite), by their tables of events and tasks: each calendar made one
// iCalendar entry when written (local_calendar.h), in Calendar or a folder of its name below.
class ThunderbirdCalendars final : public Format {
 public:
  const char* Name() const override { return "thunderbird-calendar"; }
  bool ReadsMail() const override { return false; }

  int BidFile(const Entry& file, const std::function<std::string_view()>& head) const override {
    const bool named = file.name == "local.sqlite" || file.name == "cache.sqlite";
    return SqliteBid(head, named,
                     [&] { return local_calendar::ReadFile(file.Path()).isCalendars; });
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& /*names*/,
                Walk& walk) const override {
    Inventory& inventory = walk.Mail();
    const std::string path = file.Path();
    local_calendar::File calendars;
    try {
      calendars = local_calendar::ReadFile(path);
    } catch (const ItemError& error) {
      inventory.leftOut.push_back(
          {path, std::string("a calendar file that ") + error.what(), true});
      return;
    }
    if (!calendars.isCalendars) {
      inventory.notMail.push_back({path, "a database of Thunderbird's, not its calendars"});
      return;
    }
    if (!Wanted(ItemKind::kCalendar, file, walk, "Thunderbird's calendars")) return;
    // The profile is the folder above calendar-data.
    const std::string profile =
        TrimmedPath(file.dir).substr(0, TrimmedPath(file.dir).find_last_of(scan::kSeparator) + 1);
    const std::uint32_t index = inventory.AddFile(file.dir, file.name);
    local_calendar::CalendarMaker maker;
    for (const auto& calendar : calendars.calendars) {
      // Made once now for its size, which volumes are planned by; made again when written.
      std::uint64_t size = 0;
      try {
        size = maker.Make(path, calendar.id).bytes.size();
      } catch (const ItemError& error) {
        inventory.leftOut.push_back({path + ":" + std::to_string(calendar.id), error.what()});
        continue;
      }
      std::string name = local_calendar::CalendarName(profile, calendar.calId);
      if (name.empty()) name = calendar.calId;
      Message m;
      m.kind = ItemKind::kCalendar;
      m.built = true;  // made when written
      m.file = index;
      m.folder = inventory.Folder(FolderFor("Calendar", name, {"calendar", "home"}), path,
                                  ItemKind::kCalendar);
      m.offset = calendar.id;
      m.length = size;
      m.fallbackTime = file.modified;
      m.state = ReadState::kRead;
      m.wholeFile = false;
      m.ownFile = false;
      inventory.events[static_cast<std::uint32_t>(inventory.messages.size())] = calendar.items;
      inventory.messages.push_back(m);
    }
    walk.Tick(path);
  }
};

// Thunderbird 68 and older kept address books in Mork files (abook.mab, history.mab), which
// are not read here: each is named, so that no one takes its contacts for carried. (A newer
// Thunderbird makes them SQLite files and keeps the old one as .mab.bak.)
class MorkBook final : public Format {
 public:
  const char* Name() const override { return "thunderbird-mork"; }
  bool ReadsMail() const override { return false; }

  int BidFile(const Entry& file, const std::function<std::string_view()>& head) const override {
    return HasSuffix(file.name, {".mab"}) && head().substr(0, 16) == "// <!-- <mdb:mor" ? 100 : 0;
  }

  void ReadFile(const Entry& file, const std::vector<std::string>& /*names*/,
                Walk& walk) const override {
    if (!Wanted(ItemKind::kContact, file, walk, "an address book")) return;
    walk.Mail().leftOut.push_back(
        {file.Path(),
         "an address book of Thunderbird 68 or older (a Mork file), which is not read: open the "
         "profile in a newer Thunderbird, which makes it an abook.sqlite, or export the book as "
         "a .vcf file"});
  }
};

}  // namespace

const Format& MorkBookFormat() {
  static const MorkBook format;
  return format;
}

const Format& ThunderbirdCalendarFormat() {
  static const ThunderbirdCalendars format;
  return format;
}

const Format& ThunderbirdBookFormat() {
  static const ThunderbirdBook format;
  return format;
}

const Format& VcardFormat() {
  static const Vcard format;
  return format;
}

const Format& IcalendarFormat() {
  static const Icalendar format;
  return format;
}

}  // namespace crateline::mailbox
