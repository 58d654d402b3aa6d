// One maker for every kind of made entry, each keeping its last file open.
#include "mailbox/made.h"

#include "mailbox/address_book.h"
#include "mailbox/local_calendar.h"
#include "mailbox/mailbox.h"
#include "mailbox/outlook.h"

namespace crateline::mailbox {

struct ItemMaker::Makers {
  outlook::MessageMaker messages;
  address_book::CardMaker cards;
  local_calendar::CalendarMaker calendars;
};

ItemMaker::ItemMaker() : makers_(std::make_unique<Makers>()) {}
ItemMaker::~ItemMaker() = default;

Built ItemMaker::Make(const std::string& path, const Message& message) {
  if (message.kind == ItemKind::kContact) return makers_->cards.Make(path, message.offset);
  if (message.kind == ItemKind::kCalendar) return makers_->calendars.Make(path, message.offset);
  return makers_->messages.Make(path, message.offset);
}

}  // namespace crateline::mailbox
