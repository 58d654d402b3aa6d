#include "mailbox/message_headers.h"

#include <gtest/gtest.h>

namespace crateline::mailbox {
namespace {

struct DateCase {
  const char* text;
  std::int64_t expected;  // seconds since 1970 UTC; 0: no date can be read
};

// Forms seen in real mail, from RFC 5322 to what old and odd mail programs wrote.
const DateCase kDates[] = {
    {"Tue, 03 Mar 2020 09:15:00 +0100", 1583223300},
    {"Tue, 3 Mar 2020 09:15:00 +0100", 1583223300},
    {"3 Mar 2020 09:15:00 +0100", 1583223300},
    {"Tue, 3 Mar 2020 08:15:00 GMT", 1583223300},
    {"Tue, 3 Mar 2020 08:15:00 UT", 1583223300},
    {"Tue, 3 Mar 2020 08:15:00 Z", 1583223300},
    {"Tue, 3 Mar 2020 03:15:00 EST", 1583223300},
    {"Tue, 3 Mar 2020 00:15:00 PST", 1583223300},
    {"Tue, 3 Mar 2020 09:15:00 +0100 (CET)", 1583223300},
    {"Tue, 3 Mar 2020 09:15:00 CET", 1583223300},
    {"Tue, 3 Mar 2020 04:15:00 AST", 1583223300},  // Atlantic, not UTC
    {"Tue, 3 Mar 2020 05:15:00 ADT", 1583223300},
    {"Mon, 2 Mar 2020 23:15:00 AKST", 1583223300},
    {"Mon, 2 Mar 2020 22:15:00 HST", 1583223300},
    {"Tue, 3 Mar 2020 04:45:00 NST", 1583223300},
    {"Tue,  3 Mar 2020 09:15 +0100", 1583223300},
    {"Tuesday, 3 March 2020 09:15:00 +0100", 1583223300},
    {"tue, 03 MAR 2020 09:15:00 +0100", 1583223300},
    {"Tue, 3 Mar 20 09:15:00 +0100", 1583223300},
    {"Tue, 3 Mar 120 09:15:00 +0100", 1583223300},
    {"Tue Mar  3 08:15:00 2020", 1583223300},
    {"Tue Mar 3 08:15:00 GMT 2020", 1583223300},
    {"2020-03-03T09:15:00+01:00", 1583223300},
    {"2020-03-03 08:15:00", 1583223300},
    {"03-Mar-2020 09:15:00 +0100", 1583223300},
    {"Tue, 3 Mar 2020 9:15:00 AM +0100", 1583223300},
    {"Tue, 3 Mar 2020 08:15:00 GMT+0000", 1583223300},
    {"Tue, 3 Mar 2020 08:15:00 A", 1583223300},  // military zones read as unknown: 0
    {"Tue, 3 Mar 2020 09:15:00.250 +0100", 1583223300},
    {"Tue, 3 Mar 2020 (comment (nested)) 09:15:00 +0100", 1583223300},
    {"Fri, 31 Dec 99 23:59:59 -0000", 946684799},
    {"Sat, 01 Jan 2000 00:00:00 +1400", 946634400},
    {"Wed, 29 Feb 2012 12:00:00 +0000", 1330516800},
    {"Tue, 3 Mar 2020 12:30:00 PM +0000", 1583238600},
    {"Thu, 1 Jan 1970 00:00:00 +0000", 0},
    {"", 0},
    {"yesterday", 0},
    {"Tue, 31 Feb 2020 09:15:00 +0100", 0},
    {"Tue, 3 Xyz 2020 09:15:00 +0100", 0},
    {"Tue, 3 Mar 2020 25:15:00 +0100", 0},
    {"2020-13-01T10:00:00Z", 0},
    {"2020-02-30 10:00:00", 0},
};

TEST(ParseMailDate, RealWorldForms) {
  for (const auto& c : kDates) {
    const auto parsed = ParseMailDate(c.text);
    if (c.expected == 0) {
      EXPECT_TRUE(!parsed || *parsed == 0) << c.text;
    } else {
      EXPECT_EQ(parsed.value_or(-1), c.expected) << c.text;
    }
  }
}

TEST(ParseMailDate, AnUnknownZoneIsReadAsUtcAndNamed) {
  std::string unknown;
  EXPECT_EQ(ParseMailDate("Tue, 3 Mar 2020 08:15:00 XYZ", &unknown).value_or(-1), 1583223300);
  EXPECT_EQ(unknown, "XYZ");
  EXPECT_EQ(ParseMailDate("Tue, 3 Mar 2020 09:15:00 +0100 (XYZ)", &unknown).value_or(-1),
            1583223300);
  EXPECT_EQ(unknown, "");  // a comment, and a number that says it all
  EXPECT_EQ(ParseMailDate("Tue, 3 Mar 2020 09:15:00 +0100 IST", &unknown).value_or(-1), 1583223300);
  EXPECT_EQ(unknown, "");
  EXPECT_TRUE(ParseMailDate("Tue, 3 Mar 2020 08:15:00 IST", &unknown).has_value());
  EXPECT_EQ(unknown, "IST");  // India, Israel or Ireland: not guessed
}

// Old Mac exports end their lines with CR alone.
TEST(ReadMessageFacts, LinesEndingInACarriageReturnAlone) {
  const auto facts = ReadMessageFacts(
      "From: a@example.org\rDate: Tue, 3 Mar 2020 09:15:00\r +0100\rStatus: O\r\rbody\r"
      "Status: R\r");
  EXPECT_EQ(facts.date.value_or(-1), 1583223300);  // folded over a CR, too
  EXPECT_TRUE(facts.unread);                       // the body's Status is not a header
  EXPECT_FALSE(ReadMessageFacts("Status: RO\r\rX-Mozilla-Status: 0000\r").unread);
}

TEST(ReadMessageFacts, DateAndNewestReceivedFromTheHeaderOnly) {
  const auto facts = ReadMessageFacts(
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
  EXPECT_EQ(*facts.date, 1583223300);  // folded, and the body's "Date:" is not a header
  ASSERT_TRUE(facts.received.has_value());
  EXPECT_EQ(*facts.received, 1583223600);
  EXPECT_FALSE(facts.unread);
}

TEST(ReadMessageFacts, NoDateAtAll) {
  const auto facts = ReadMessageFacts("From: a@example.org\nSubject: no date\n\nbody\n");
  EXPECT_FALSE(facts.date.has_value());
  EXPECT_FALSE(facts.received.has_value());
}

TEST(ReadMessageFacts, ReadState) {
  EXPECT_FALSE(ReadMessageFacts("Subject: x\r\n\r\n").unread);
  EXPECT_TRUE(ReadMessageFacts("X-Mozilla-Status: 0000\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("X-Mozilla-Status: 0001\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("X-Mozilla-Status: 8001\r\n\r\n").unread);
  EXPECT_TRUE(ReadMessageFacts("Status: O\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("Status: RO\r\n\r\n").unread);
  // The mail program's own flag counts over a Status line another program left.
  EXPECT_FALSE(ReadMessageFacts("Status: O\r\nX-Mozilla-Status: 0001\r\n\r\n").unread);
  EXPECT_FALSE(ReadMessageFacts("Subject: x\r\n\r\nStatus: O\r\n").unread);
}

}  // namespace
}  // namespace crateline::mailbox
