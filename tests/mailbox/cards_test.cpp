// Address book and calendar text: where cards begin and end, what Zimbra's parser would refuse,
// the photos made fit for it, and what a calendar holds (the end-to-end test reads the archive's
// cards and calendars back with Python's vobject and icalendar).
#include <gtest/gtest.h>

#include "mailbox/cards.h"
#include "mailbox/local_calendar.h"
#include "platform/time_zones.h"
#include "support/temp_dir.h"

namespace crateline::mailbox::cards {
namespace {

std::vector<std::string> Cut(const std::string& text, std::vector<std::string>* unended = nullptr) {
  std::vector<Span> open;
  std::vector<std::string> out;
  for (const auto& span : SplitCards(text, open))
    out.push_back(text.substr(span.offset, span.length));
  if (unended != nullptr) {
    for (const auto& span : open) unended->push_back(text.substr(span.offset, span.length));
  }
  return out;
}

std::string Fit(const std::string& card) {
  std::string out;
  return FitForZimbra(card, out) ? out : card;
}

TEST(Cards, AreCutFromBeginToTheEndOfTheirEndLineWhateverTheLineBreaksAndCase) {
  const std::string a = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:A\r\nEND:VCARD\r\n";
  const std::string b = "begin:vcard\nFN:B\n NOTE folded\nend:VCARD  \n";
  const std::string c = "BEGIN:VCARD\nFN:C\nEND:VCARD";  // no break after the last line
  EXPECT_EQ(Cut("\xEF\xBB\xBF" + a + "\r\n" + b + "junk between\n" + c),
            (std::vector<std::string>{a, b, c}));
  // vCard 2.1's AGENT holds a card of its own, which stays part of its card.
  const std::string agent =
      "BEGIN:VCARD\nFN:Boss\nAGENT:\nBEGIN:VCARD\nFN:Aide\nEND:VCARD\nEND:VCARD\n";
  EXPECT_EQ(Cut(agent + a), (std::vector<std::string>{agent, a}));
  // A folded line that reads END:VCARD is the rest of a value, not an end.
  const std::string folded = "BEGIN:VCARD\nNOTE:x\n END:VCARD\nEND:VCARD\n";
  EXPECT_EQ(Cut(folded), (std::vector<std::string>{folded}));
}

TEST(Cards, OneThatNeverEndsIsToldApartAndCostsNoOther) {
  std::vector<std::string> unended;
  const std::string a = "BEGIN:VCARD\nFN:A\nEND:VCARD\n";
  EXPECT_EQ(Cut("BEGIN:VCARD\nFN:open\n" + a + a + "BEGIN:VCARD\nFN:cut sh", &unended),
            (std::vector<std::string>{a, a}));
  EXPECT_EQ(unended,
            (std::vector<std::string>{"BEGIN:VCARD\nFN:open\n", "BEGIN:VCARD\nFN:cut sh"}));
}

TEST(Cards, EmptyOnesAndOnesZimbraRefusesAreKnown) {
  EXPECT_FALSE(HasFields("BEGIN:VCARD\r\nVERSION:3.0\r\n\r\nEND:VCARD\r\n"));
  EXPECT_TRUE(HasFields("BEGIN:VCARD\r\nVERSION:3.0\r\nitem1.EMAIL:a@b\r\nEND:VCARD\r\n"));
  EXPECT_EQ(CardFault("BEGIN:VCARD\nFN:A\nEND:VCARD\n"), "");
  // A quoted-printable value goes on after a soft break, on a line with no colon of its own.
  EXPECT_EQ(CardFault("BEGIN:VCARD\nNOTE;ENCODING=QUOTED-PRINTABLE:a=\nb=\nc\nEND:VCARD\n"), "");
  EXPECT_NE(CardFault("BEGIN:VCARD\nFN:A\nstray words\nEND:VCARD\n").find("no colon"),
            std::string::npos);
  std::string many = "BEGIN:VCARD\nVERSION:3.0\n";
  for (int i = 0; i < 1000; ++i) many += "EMAIL:a@b\n";
  EXPECT_EQ(CardFault(many + "END:VCARD\n"), "");
  EXPECT_NE(CardFault(many + "EMAIL:one too many\nEND:VCARD\n"), "");
}

TEST(Cards, PhotosWithoutATypeGetTheOneTheirBytesShow) {
  // The property is unfolded and folded again at 75 bytes, with the card's own line breaks;
  // the lines around it stay as they were.
  const std::string base64(100, 'A');
  EXPECT_EQ(
      Fit("BEGIN:VCARD\r\nFN:a\r\n  b\r\nPHOTO;ENCODING=b:/9j/4AAQ\r\n SkZJRg\r\nEND:VCARD\r\n"),
      "BEGIN:VCARD\r\nFN:a\r\n  b\r\nPHOTO;TYPE=JPEG;ENCODING=b:/9j/4AAQSkZJRg\r\nEND:VCARD\r\n");
  EXPECT_EQ(Fit("BEGIN:VCARD\nPHOTO;ENCODING=b:/9j/" + base64 + "\nEND:VCARD\n"),
            "BEGIN:VCARD\nPHOTO;TYPE=JPEG;ENCODING=b:/9j/" + base64.substr(0, 44) + "\n " +
                base64.substr(44) + "\nEND:VCARD\n");
  // A writer may fold between the parameters and the value.
  EXPECT_EQ(Fit("BEGIN:VCARD\r\nPHOTO;ENCODING=\r\n b:/9j/\r\nEND:VCARD\r\n"),
            "BEGIN:VCARD\r\nPHOTO;TYPE=JPEG;ENCODING=b:/9j/\r\nEND:VCARD\r\n");
  EXPECT_EQ(Fit("BEGIN:VCARD\nitem1.LOGO;encoding=BASE64:iVBORw0KGgoAAA\nEND:VCARD\n"),
            "BEGIN:VCARD\nitem1.LOGO;TYPE=PNG;encoding=BASE64:iVBORw0KGgoAAA\nEND:VCARD\n");
  EXPECT_EQ(Fit("BEGIN:VCARD\nPHOTO;ENCODING=b:R0lGODlh\nEND:VCARD\n"),
            "BEGIN:VCARD\nPHOTO;TYPE=GIF;ENCODING=b:R0lGODlh\nEND:VCARD\n");
  // vCard 2.1 names the type bare, which Zimbra's parser does not know.
  EXPECT_EQ(Fit("BEGIN:VCARD\nPHOTO;GIF;ENCODING=BASE64:/9j/\nEND:VCARD\n"),
            "BEGIN:VCARD\nPHOTO;TYPE=GIF;GIF;ENCODING=BASE64:/9j/\nEND:VCARD\n");
}

TEST(Cards, PhotosZimbraTakesAsTheyAreStayByteForByte) {
  for (const std::string card : {
           "BEGIN:VCARD\nPHOTO;ENCODING=b;TYPE=JPEG:/9j/\nEND:VCARD\n",
           "BEGIN:VCARD\nPHOTO;VALUE=uri:http://example.com/a.jpg\nEND:VCARD\n",
           "BEGIN:VCARD\nPHOTO:data:image/png,%89PNG\nEND:VCARD\n",  // not base64
           "BEGIN:VCARD\nNOTE;ENCODING=b:/9j/\nEND:VCARD\n",         // not a picture
       }) {
    std::string out;
    EXPECT_FALSE(FitForZimbra(card, out)) << card;
    EXPECT_EQ(out, card);
  }
}

TEST(Cards, DataUriPhotosBecomeInlineBase64) {
  EXPECT_EQ(Fit("BEGIN:VCARD\r\nVERSION:4.0\r\nPHOTO;PREF=1;VALUE=URI:data:image/jpeg;base64,/9j/"
                "4A\r\n AQ\r\nEND:VCARD\r\n"),
            "BEGIN:VCARD\r\nVERSION:4.0\r\nPHOTO;PREF=1;ENCODING=b;TYPE=JPEG:/9j/4AAQ\r\n"
            "END:VCARD\r\n");
  // No media type: the bytes tell.
  EXPECT_EQ(Fit("BEGIN:VCARD\nPHOTO:data:;base64,iVBORw0KGgo\nEND:VCARD\n"),
            "BEGIN:VCARD\nPHOTO;ENCODING=b;TYPE=PNG:iVBORw0KGgo\nEND:VCARD\n");
}

TEST(Calendars, CountTheirOwnEventsAndTasksNotTheAlarmsOrZonesInThem) {
  const std::string text =
      "\xEF\xBB\xBF"
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:PUBLISH\r\nX-WR-CALNAME:Team \\, \r\n"
      " \xC3\xA9quipe\r\nBEGIN:VTIMEZONE\r\nTZID:Europe/Paris\r\nBEGIN:STANDARD\r\n"
      "END:STANDARD\r\nEND:VTIMEZONE\r\nBEGIN:VEVENT\r\nUID:1\r\nRRULE:FREQ=DAILY\r\n"
      "BEGIN:VALARM\r\nACTION:DISPLAY\r\nEND:VALARM\r\nEND:VEVENT\r\nBEGIN:VEVENT\r\nUID:1\r\n"
      "RECURRENCE-ID:20240102T100000Z\r\nEND:VEVENT\r\nBEGIN:VTODO\r\nUID:2\r\nEND:VTODO\r\n"
      "BEGIN:VJOURNAL\r\nEND:VJOURNAL\r\nEND:VCALENDAR\r\n";
  const CalendarFacts facts = ReadCalendar(text);
  EXPECT_EQ(facts.calendars, 1U);
  EXPECT_EQ(facts.events, 2U);
  EXPECT_EQ(facts.todos, 1U);
  EXPECT_EQ(facts.journals, 1U);
  EXPECT_EQ(facts.name, "Team , \xC3\xA9quipe");
  EXPECT_EQ(CalendarFault(facts), "");
  EXPECT_TRUE(facts.ends);
  EXPECT_FALSE(ReadCalendar(text.substr(0, text.size() - 15)).ends);  // cut inside its end
  EXPECT_FALSE(ReadCalendar("BEGIN:VCALENDAR\nBEGIN:VEVENT\nEND:VEVENT\n").ends);
}

TEST(Calendars, ThoseZimbraPassesOverAreKnown) {
  const auto fault = [](const std::string& lines) {
    return CalendarFault(ReadCalendar("BEGIN:VCALENDAR\n" + lines + "END:VCALENDAR\n"));
  };
  EXPECT_EQ(fault("VERSION:2.0\nMETHOD:request\n"), "");
  EXPECT_NE(fault("VERSION:1.0\n"), "");
  EXPECT_NE(fault("VERSION\n :1.0\n"), "");  // folded after its name, as some write it
  EXPECT_EQ(fault("VERSION\n :2.0\n"), "");
  EXPECT_EQ(fault("PRODID:x\n"), "");  // Zimbra's parser asks for none
  EXPECT_NE(fault("VERSION:2.0\nMETHOD:CANCEL\n"), "");
  // A VERSION inside an event is the event's, not the calendar's.
  EXPECT_EQ(fault("BEGIN:VEVENT\nVERSION:1.0\nEND:VEVENT\n"), "");
}

TEST(Sniffing, TellsCardsAndCalendarsByTheirFirstLine) {
  EXPECT_TRUE(BeginsVcard("\xEF\xBB\xBF\r\n  BEGIN:VCARD\r\n"));
  EXPECT_TRUE(BeginsIcalendar("begin:vcalendar\n"));
  EXPECT_FALSE(BeginsVcard("From: a\nBEGIN:VCARD\n"));
  EXPECT_FALSE(BeginsIcalendar("BEGIN:VCARD\n"));
}

}  // namespace
}  // namespace crateline::mailbox::cards

namespace crateline::mailbox::local_calendar {
namespace {

std::string Written(std::int64_t seconds, const std::string& zone, bool date = false) {
  std::string warning;
  std::string line = TimeProperty("DTSTART", seconds * 1000000, zone, date, warning);
  return warning.empty() ? line : line + " [" + warning.substr(0, 13) + "]";
}

std::string BigEndian(std::int64_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

// A TZif file (version 2: a 32-bit part, then the 64-bit one that is read) of a zone at
// `offsets[0]` until the first of `transitions`, and at offsets[i + 1] from transitions[i] on.
std::string Tzif(const std::vector<std::int64_t>& transitions,
                 const std::vector<std::int32_t>& offsets, const std::string& rule = "") {
  std::string out;
  for (const int width : {4, 8}) {
    out += "TZif2" + std::string(15, '\0');
    for (const std::size_t count : {std::size_t{0}, std::size_t{0}, std::size_t{0},
                                    transitions.size(), offsets.size(), std::size_t{4}}) {
      out += BigEndian(static_cast<std::int64_t>(count), 4);
    }
    for (const auto t : transitions) out += BigEndian(t, width);
    for (std::size_t i = 0; i < transitions.size(); ++i) out += static_cast<char>(i + 1);
    for (const auto offset : offsets) out += BigEndian(offset, 4) + std::string(2, '\0');
    out += std::string("ABC", 4);
  }
  return out + "\n" + rule + "\n";
}

// A zone database of the test's own, so that the same answers hold on any system.
class StoredTimes : public ::testing::Test {
 protected:
  StoredTimes() {
    // Like Berlin in 2024: an hour ahead of UTC, two from 31 March to 27 October.
    zones_.Write("Test/Berlin", Tzif({1711846800, 1729990800}, {3600, 7200, 3600}));
    zones_.Write("Test/Kolkata", Tzif({}, {19800}, "<+0530>-5:30"));
    // A file that lists transitions only to 1996 and keeps a rule for the seasons after.
    zones_.Write("Test/Slim", Tzif({828234000}, {3600, 7200}, "CET-1CEST,M3.5.0,M10.5.0/3"));
    platform::SetZoneFolder(zones_.folder());
  }
  ~StoredTimes() override { platform::SetZoneFolder(kSystemZones); }
#ifdef _WIN32
  static constexpr const char* kSystemZones = "";
#else
  static constexpr const char* kSystemZones = "/usr/share/zoneinfo";
#endif
  crateline::testing::TempDir zones_;
};

TEST_F(StoredTimes, ComeBackToTheWallClockOfTheirZone) {
  // 2024-01-08 08:00 and 2024-07-08 08:00 UTC: an hour ahead in winter, two in summer.
  EXPECT_EQ(Written(1704700800, "Test/Berlin"), "DTSTART;TZID=Test/Berlin:20240108T090000");
  EXPECT_EQ(Written(1720425600, "Test/Berlin"), "DTSTART;TZID=Test/Berlin:20240708T100000");
  EXPECT_EQ(Written(1735689600, "Test/Berlin"), "DTSTART;TZID=Test/Berlin:20250101T010000");
  EXPECT_EQ(Written(1720425600, "UTC"), "DTSTART:20240708T080000Z");
  EXPECT_EQ(Written(1720425600, "floating"), "DTSTART:20240708T080000");
  EXPECT_EQ(Written(1720396800, "floating", true), "DTSTART;VALUE=DATE:20240708");
  // An all-day item pinned to a zone is midnight there: the day before, in UTC.
  EXPECT_EQ(Written(1720389600, "Test/Berlin", true), "DTSTART;VALUE=DATE:20240708");
  // Summer time begins at 01:00 UTC on 2024-03-31: that instant is already 03:00.
  EXPECT_EQ(Written(1711846799, "Test/Berlin"), "DTSTART;TZID=Test/Berlin:20240331T015959");
  EXPECT_EQ(Written(1711846800, "Test/Berlin"), "DTSTART;TZID=Test/Berlin:20240331T030000");
  // Before 1970, and a time of day that is not whole hours.
  EXPECT_EQ(Written(-1, "UTC"), "DTSTART:19691231T235959Z");
  EXPECT_EQ(Written(5430, "Test/Kolkata"), "DTSTART;TZID=Test/Kolkata:19700101T070030");
}

TEST_F(StoredTimes, AZoneNotKnownHereStaysInUtcAndSaysSo) {
  EXPECT_EQ(Written(1704700800, "Mars/Olympus_Mons"), "DTSTART:20240108T080000Z [the time zone]");
  // A name is never a path out of the database's folder, and a file there that is no zone is
  // none.
  zones_.Write("Test/Broken", "TZif2 but nothing more");
  // Past its last transition, only its rule for the seasons knows, which is not read.
  EXPECT_EQ(Written(828230400, "Test/Slim"), "DTSTART;TZID=Test/Slim:19960331T010000");
  EXPECT_EQ(Written(1704700800, "Test/Slim"), "DTSTART:20240108T080000Z [the time zone]");
  // An all-day item's day is kept: the nearest midnight in UTC to the zone's.
  EXPECT_EQ(Written(1720389600, "Test/Slim", true), "DTSTART;VALUE=DATE:20240708 [the time zone]");
  EXPECT_EQ(Written(0, "Test/../Test/Berlin"), "DTSTART:19700101T000000Z [the time zone]");
  EXPECT_EQ(Written(0, "Test/Broken"), "DTSTART:19700101T000000Z [the time zone]");
  platform::SetZoneFolder("");
  EXPECT_EQ(Written(1704700800, "Test/Berlin"), "DTSTART:20240108T080000Z [the time zone]");
}

#ifndef _WIN32
TEST(SystemZones, AreReadFromTheSystemsDatabase) {
  EXPECT_EQ(Written(1720425600, "Europe/Berlin"), "DTSTART;TZID=Europe/Berlin:20240708T100000");
  EXPECT_EQ(Written(1720425600, "America/New_York"),
            "DTSTART;TZID=America/New_York:20240708T040000");
}
#endif

}  // namespace
}  // namespace crateline::mailbox::local_calendar
