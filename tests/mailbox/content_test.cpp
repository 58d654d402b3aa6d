// What is mail, by a file's name and first bytes; and Google Takeout's labels.
#include <gtest/gtest.h>

#include "mailbox/content.h"
#include "mailbox/takeout.h"

namespace crateline::mailbox {
namespace {

struct SniffCase {
  const char* name;
  std::string head;
  Content expected;
};

TEST(Sniff, MailByNameOrContentAndNothingThatOnlyLooksLikeIt) {
  const std::string received(20 * 1024, 'x');  // a header section longer than the look
  const SniffCase cases[] = {
      {"empty.EML", "", Content::kMessage},  // every *.eml is a message, as Zimbra takes it
      {"17", "Return-Path: <a@example.org>\r\nSubject: x\r\n\r\nbody", Content::kMessage},
      {"saved", "X-Mozilla-Status: 0001\nFrom: a@example.org\n\tb\n\nbody", Content::kMessage},
      {"headers-only", "Date: Tue, 3 Mar 2020 09:15:00 +0100\r\nFrom: a", Content::kMessage},
      {"long", "Received: from a;\n " + received, Content::kMessage},
      {"spam-1", "From x@y Tue Mar  3 08:15:00 2020\nSubject: a\n\nb\n", Content::kMbox},
      {"old-mac", "From x Tue Mar  3 08:15:00 2020\rSubject: a\r\rb\r", Content::kMbox},
      {"1.emlx", "120      \nFrom: a@example.org\n", Content::kEmlx},
      {"._1.eml", std::string("\x00\x05\x16\x07\x00\x02", 6), Content::kAppleDouble},
      // "Name: value" lines that are no message: nmh's sequences, a MIME part kept apart, a
      // signature, notes.
      {".mh_sequences", "unseen: 1-3 5\ncur: 5\n", Content::kNoMail},
      {"1.2.emlxpart", "Content-Type: text/plain\n\nx", Content::kNoMail},
      {"a.mailsignature",
       "Content-Transfer-Encoding: 7bit\nMessage-Id: <x@y>\nMime-Version: 1.0\n\n<html>",
       Content::kNoMail},
      {"subject-only", "Subject: hello\n\nthere", Content::kNoMail},
      {"letter", "From the desk of the editor\nDear reader,\n", Content::kNoMail},
      {"binary", std::string("From: a\0\n\n", 10), Content::kNoMail},
      {"Thumbs.db", "\xd0\xcf\x11\xe0", Content::kNoMail},
      {"9.emlx", "not a count\nFrom: a\n", Content::kNoMail},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sniff(c.name, c.head), c.expected) << c.name;
  }
}

TEST(MboxRule, SeparatorsAndEnvelopeLines) {
  EXPECT_TRUE(IsEnvelopeLine("From MAILER-DAEMON Fri Jul  8 12:08:34 2011"));
  EXPECT_TRUE(IsEnvelopeLine("From 1833215653612141880@xxx Mon May 26 20:18:05 +0000 2025\r"));
  EXPECT_TRUE(IsEnvelopeLine("From - Tue, 3 Mar 2020 08:15:00 +0000"));
  EXPECT_FALSE(IsEnvelopeLine("From here on, no split."));
  EXPECT_FALSE(IsEnvelopeLine("From Monday to Friday, 9:00 to 17:00"));
  EXPECT_FALSE(IsEnvelopeLine("From Mon Jan 5 2015"));  // a date with no time
  EXPECT_FALSE(IsEnvelopeLine("From x Tue Mar  3 08:15:00 2020 " + std::string(1024, 'x')));
  EXPECT_TRUE(IsMboxSeparator("From here on", true));  // after an empty line
  EXPECT_FALSE(IsMboxSeparator(">From x Tue Mar  3 08:15:00 2020", true));
  EXPECT_EQ(MboxLineEnd("From x\rSubject: a\r"), '\r');
  EXPECT_EQ(MboxLineEnd("From x\r\nSubject: a\r\n"), '\n');
  EXPECT_EQ(ParseEmlxCount("  42 \t\n").value_or(EmlxCount{}).count, 42u);
  EXPECT_FALSE(ParseEmlxCount("0\n").has_value());
  EXPECT_EQ(TrailingPropertyList("body\n<?xml version=\"1.0\"?>\n<plist><dict/></plist>\n\n"), 5u);
  EXPECT_EQ(TrailingPropertyList("body\n<?xml version=\"1.0\"?>\n<plist>"), std::string::npos);
}

TEST(TakeoutLabels, DecodedSplitAndFiledByTheFirstOfTheUsersOwn) {
  EXPECT_TRUE(IsTakeoutFromLine("From 1833215653612141880@xxx Mon May 26 20:18:05 +0000 2025"));
  EXPECT_FALSE(IsTakeoutFromLine("From - Tue Mar  3 08:15:00 2020"));
  EXPECT_FALSE(IsTakeoutFromLine("From a@xxx.org Tue Mar  3 08:15:00 2020"));

  // The whole value encoded once a label is not ASCII, folded inside a word.
  const auto czech = TakeoutLabels(
      "=?UTF-8?Q?Archivov=C3=A1no,Kategorie:_Soci=C3=A1?= =?UTF-8?Q?ln=C3=AD_s=C3=ADt=C4=9B,"
      "Nep=C5=99e=C4=8Dten=C3=A9,Facebook?=");
  EXPECT_EQ(czech, (std::vector<std::string>{"Archivov\xc3\xa1no",
                                             "Kategorie: Soci\xc3\xa1ln\xc3\xad s\xc3\xadt\xc4\x9b",
                                             "Nep\xc5\x99"
                                             "e\xc4\x8dten\xc3\xa9",
                                             "Facebook"}));
  LabelFiling filing = FileByLabels(czech);
  EXPECT_TRUE(filing.unread);
  EXPECT_EQ(filing.folders, (std::vector<std::vector<std::string>>{{"Facebook"}}));

  // CSV: a label with a comma in quotes, a quote doubled; the no-break space French puts in.
  EXPECT_EQ(TakeoutLabels("=?UTF-8?B?IlRyaXBzLCAyMDIwIiwiU2F5ICIiaGkiIiI=?= , Unread"),
            (std::vector<std::string>{"Trips, 2020", "Say \"hi\"", "Unread"}));
  EXPECT_EQ(FileByLabels(TakeoutLabels("=?UTF-8?Q?Re:_x,Unread?=")).unread, true);

  filing = FileByLabels({"Cat\xc3\xa9gorie\xc2\xa0: E-mails personnels", "Inbox", "Sent", "Opened",
                         "IMAP_$Forwarded", "Category Updates"});
  EXPECT_FALSE(filing.unread);
  EXPECT_EQ(filing.folders, (std::vector<std::vector<std::string>>{{"Inbox"}}));
  EXPECT_EQ(FileByLabels({"Odesl\xc3\xa1no"}).folders[0], (std::vector<std::string>{"Sent"}));
  EXPECT_EQ(FileByLabels({"Opened", "Important"}).folders[0],
            (std::vector<std::string>{"Archive"}));
  filing = FileByLabels({"Important", "Work/Projects", "Family", "Spam"});
  EXPECT_TRUE(filing.severalLabels);
  EXPECT_EQ(filing.folders,
            (std::vector<std::vector<std::string>>{{"Work", "Projects"}, {"Family"}}));
  EXPECT_TRUE(FileByLabels({"Chat", "Opened"}).chat);
}

}  // namespace
}  // namespace crateline::mailbox
