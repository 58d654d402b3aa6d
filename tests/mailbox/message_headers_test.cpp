#include "mailbox/message_headers.h"

#include <gtest/gtest.h>

namespace crateline::mailbox {
namespace {

struct DateCase {
  const char* text;
  std::int64_t expected;    // seconds since 1970 UTC; 0: no date can be read
  const char* unknownZone;  // a zone no table knows, read as UTC and named to the user
};

// Forms seen in real mail, the standard's own and what old and odd mail programs wrote; each
// row takes its own way through the parser. (AST read as Atlantic time, not UTC, is checked end
// to end by hostile_mailbox_test.py.)
const DateCase kDates[] = {
    {"Tue, 03 Mar 2020 09:15:00 +0100", 1583223300, ""},
    {"Tue, 3 Mar 2020 03:15:00 EST", 1583223300, ""},
    {"Tue, 3 Mar 2020 04:45:00 NST", 1583223300, ""},  // half an hour off
    {"Tue, 3 Mar 2020 13:45:00 +0530", 1583223300, ""},
    {"Tue, 3 Mar 2020 08:15:00 A", 1583223300, ""},  // military zones read as unknown: 0
    {"Tue, 3 Mar 2020 10:15:00 GMT+0200", 1583223300, ""},
    {"Tue, 3 Mar 2020 08:15:00 XYZ", 1583223300, "XYZ"},
    {"Tue, 3 Mar 2020 08:15:00 IST", 1583223300, "IST"},  // India, Israel or Ireland: not guessed
    {"Tue, 3 Mar 2020 09:15:00 +0100 IST", 1583223300, ""},  // the number says it all
    {"Tue,  3 Mar 2020 09:15 +0100", 1583223300, ""},
    {"tuesday, 3 MARCH 2020 09:15:00 +0100", 1583223300, ""},
    {"Tue, 3 Mar 20 09:15:00 +0100", 1583223300, ""},
    {"Tue, 3 Mar 120 09:15:00 +0100", 1583223300, ""},
    {"Fri, 31 Dec 99 23:59:59 -0000", 946684799, ""},
    {"Tue Mar  3 08:15:00 2020", 1583223300, ""},
    {"2020-03-03T09:15:00+01:00", 1583223300, ""},
    {"03-Mar-2020 09:15:00 +0100", 1583223300, ""},
    {"Tue, 3 Mar 2020 12:15:00 AM +0100", 1583190900, ""},
    {"Tue, 3 Mar 2020 12:30:00 PM +0000", 1583238600, ""},
    {"Tue, 3 Mar 2020 09:15:00.250 +0100", 1583223300, ""},
    {"Tue, 3 Mar 2020 (comment (nested)) 08:15:00 (XYZ)", 1583223300, ""},  // no zone
    {"Wed, 29 Feb 2012 12:00:00 +0000", 1330516800, ""},
    {"", 0, ""},
    {"Tue, 31 Feb 2020 09:15:00 +0100", 0, ""},
    {"Tue, 3 Xyz 2020 09:15:00 +0100", 0, ""},
    {"Tue, 3 Mar 2020 25:15:00 +0100", 0, ""},
    {"2020-13-01T10:00:00Z", 0, ""},
};

TEST(ParseMailDate, RealWorldFormsAndZonesNoTableKnows) {
  for (const auto& c : kDates) {
    std::string unknown = "not set";
    const auto parsed = ParseMailDate(c.text, &unknown);
    if (c.expected == 0) {
      EXPECT_TRUE(!parsed || *parsed == 0) << c.text;
    } else {
      EXPECT_EQ(parsed.value_or(-1), c.expected) << c.text;
      EXPECT_EQ(unknown, c.unknownZone) << c.text;
    }
  }
}

TEST(ReadMessageFacts, DateAndNewestReceivedFromTheHeaderOnly) {
  auto facts = ReadMessageFacts(
      "Received: from a.example by b.example; Tue, 3 Mar 2020 09:16:00 +0100\r\n"
      "Received: from c.example\r\n"
      "\tby d.example with ESMTP id 42;\r\n"
      "\tTue, 3 Mar 2020 09:20:00 +0100\r\n"
      "Subject: hello\r\n"
      "DATE: Tue, 3 Mar 2020 09:15:00\r\n"
      " +0100\r\n"
      "\r\n"
      "Date: Wed, 4 Mar 2020 09:15:00 +0100\r\n");
  ASSERT_TRUE(facts.date.has_value());
  EXPECT_EQ(*facts.date, 1583223300);        // folded, and the body's "Date:" is not a header
  EXPECT_FALSE(facts.received.has_value());  // not needed: the Date is read
  EXPECT_FALSE(facts.unread);                // no flag says otherwise

  // Without a usable Date the newest Received date is read, folded or not, and whatever the
  // order; lines may end in CR LF, LF or a lone CR.
  for (const char* end : {"\r\n", "\n", "\r"}) {
    std::string text =
        "Received: from a.example by b.example; Tue, 3 Mar 2020 09:16:00 +0100@"
        "Received: from c.example@\tby d.example with ESMTP id 42;@\tTue, 3 Mar 2020 09:20:00 "
        "+0100@"
        "Received: from e.example; Tue, 3 Mar 2020 09:18:00 +0100@"
        "Date: 1 Jan 1960 00:00:00 +0000@@Received: x; Tue, 3 Mar 2021 09:20:00 +0100@";
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, end);
    facts = ReadMessageFacts(text);
    ASSERT_TRUE(facts.received.has_value()) << end;
    EXPECT_EQ(*facts.received, 1583223600) << end;
    EXPECT_EQ(ArchiveTime(facts, 7), 1583223600) << end;
  }

  facts = ReadMessageFacts("From: a@example.org\nSubject: no date\n\nbody\n");
  EXPECT_FALSE(facts.date.has_value());
  EXPECT_FALSE(facts.received.has_value());
}

TEST(ReadMessageFacts, ReadStateFromTheHeaderOnly) {
  EXPECT_TRUE(ReadMessageFacts("X-Mozilla-Status: 0000\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("X-Mozilla-Status: 0001\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("X-Mozilla-Status: 8001\r\n\r\n").unread);
  EXPECT_TRUE(ReadMessageFacts("Status: O\r\n\r\n").unread);
  // The mail program's own flag counts over a Status line another program left.
  EXPECT_FALSE(ReadMessageFacts("Status: O\r\nX-Mozilla-Status: 0001\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("Subject: x\r\n\r\nStatus: O\r\n").unread);
  // X-Status keeps answered, flagged and the like, never whether it was read.
  EXPECT_FALSE(ReadMessageFacts("X-Status: A\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("Status: RO\r\nX-Status: A\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("Status: RO\r\nStatus: O\r\n\r\n").unread);  // the first
  // Thunderbird's flags are hexadecimal: 0010 (a subject's "Re:") and 1001 (forwarded, read).
  EXPECT_EQ(ReadMessageFacts("X-Mozilla-Status: 0010\r\n\r\n").mozillaStatus.value_or(0), 0x10u);
  EXPECT_EQ(ReadMessageFacts("X-Mozilla-Status: 1001\r\n\r\n").mozillaStatus.value_or(0), 0x1001u);

  // Old Mac exports end their lines with CR alone.
  const auto facts = ReadMessageFacts(
      "From: a@example.org\rDate: Tue, 3 Mar 2020 09:15:00\r +0100\rStatus: O\r\rbody\r"
      "Status: R\r");
  EXPECT_EQ(facts.date.value_or(-1), 1583223300);  // folded over a CR, too
  EXPECT_TRUE(facts.unread);                       // the body's Status is not a header
  EXPECT_FALSE(ReadMessageFacts("Status: RO\r\rX-Mozilla-Status: 0000\r").unread);
}

}  // namespace
}  // namespace crateline::mailbox
