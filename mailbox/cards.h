// Address books and calendars as files keep them: vCard text (2.1, 3.0 and 4.0) and iCalendar
// text. The readers, the archive writer and verify's census all go by these rules, so that a
// card is cut from its file, and made fit for Zimbra, the same way by each of them.
//
// A card is carried as its own bytes, from its BEGIN:VCARD line to the end of its END:VCARD
// line, but for one change: Zimbra's vCard parser fails on a base64 photo (or logo) that names
// no TYPE, and loses every card of the entry then, and keeps no picture from a vCard 4 data: URI.
// Such a photo is rewritten to the form it takes (";ENCODING=b;TYPE=JPEG:" and the same base64),
// with the type its bytes show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace crateline::mailbox::cards {

struct Span {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// The cards of a vCard file's text, in order. A card that never ends (no END:VCARD before the
// text does) goes into `unended`, from its BEGIN line to the end of the text. Cards nested in a
// card (vCard 2.1's AGENT) stay part of theirs.
std::vector<Span> SplitCards(std::string_view text, std::vector<Span>& unended);

// Whether a card holds anything but BEGIN, VERSION and END: Zimbra refuses one that does not.
bool HasFields(std::string_view card);

// Whether the card has a property of this name (in any case, with or without a group).
bool HasProperty(std::string_view card, std::string_view name);
// The card with `line` (a content line without its break) added before its END:VCARD.
std::string WithProperty(std::string_view card, std::string_view line);

// Why Zimbra's parser would refuse the card, or "" when nothing shows that it will: a line
// that is no property (no colon, and not the rest of a quoted-printable value), or more
// properties than it stores.
std::string CardFault(std::string_view card);

// The card as the archive carries it: `card` itself, or with its photos rewritten (above).
// Returns whether it changed anything.
bool FitForZimbra(std::string_view card, std::string& out);

// What an iCalendar file holds at its calendar's top level.
struct CalendarFacts {
  std::size_t calendars = 0;  // VCALENDAR objects
  std::size_t events = 0;     // VEVENTs, exceptions to a recurring event included
  std::size_t todos = 0;
  std::size_t journals = 0;
  std::string name;  // X-WR-CALNAME, unfolded; empty when it has none
  std::string version;
  std::string method;
  bool ends = false;  // every component it begins ends (a file cut short does not)
};
CalendarFacts ReadCalendar(std::string_view text);
// Why Zimbra's import takes none of the calendar's items, or "" when it takes them: a version
// other than 2.0, or a METHOD other than PUBLISH or REQUEST (a reply, a cancellation).
std::string CalendarFault(const CalendarFacts& facts);

// Writing them: a TEXT value escaped (backslash, comma, semicolon, line breaks), and a content
// line folded at 75 bytes, never inside a UTF-8 character, ending in CR LF.
std::string EscapedText(std::string_view value);
void AppendFolded(std::string& out, std::string_view line, std::string_view eol = "\r\n");

// Whether a file's first bytes are vCard (or iCalendar) text: the first line, after a UTF-8
// byte order mark and blank lines, is BEGIN:VCARD (BEGIN:VCALENDAR), in any case.
bool BeginsVcard(std::string_view head);
bool BeginsIcalendar(std::string_view head);

}  // namespace crateline::mailbox::cards
