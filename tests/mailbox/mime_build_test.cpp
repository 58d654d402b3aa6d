// The header fields and transfer encodings of messages made from Outlook items, read back by
// rules of the RFCs (the end-to-end test reads whole messages with Python's email package).
#include <gtest/gtest.h>

#include <algorithm>

#include "mailbox/mime_build.h"
#include "mailbox/outlook.h"

namespace crateline::mailbox {
namespace {

// Lines of `text`, which must each end in CR LF.
std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "a line without CR LF in: " << text;
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST(Base64, StreamedInAnyPiecesIsTheSameAsWhole) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 7);
  const std::string whole = mime::Base64Lines(bytes);
  for (const std::size_t piece : {1, 2, 4, 57, 58, 999}) {
    std::string streamed;
    mime::Base64Stream stream;
    for (std::size_t i = 0; i < bytes.size(); i += piece) {
      stream.Add(std::string_view(bytes).substr(i, piece), streamed);
    }
    stream.Finish(streamed);
    EXPECT_EQ(streamed, whole) << piece;
  }
  for (const std::string& line : CrLfLines(whole)) EXPECT_LE(line.size(), 76u);
  EXPECT_EQ(mime::Base64Lines("Man"), "TWFu\r\n");
  EXPECT_EQ(mime::Base64Lines("Ma"), "TWE=\r\n");
  EXPECT_EQ(mime::Base64Lines("M"), "TQ==\r\n");
  EXPECT_EQ(mime::Base64Lines(""), "");
  EXPECT_EQ(mime::Base64Lines(std::string(57, 'a')).size(), 76u + 2);  // one full line
}

TEST(QuotedPrintable, KeepsEveryByteAndEveryLineShort) {
  EXPECT_EQ(mime::QuotedPrintable("a=b\r\nc\nd"), "a=3Db\r\nc\r\nd");
  EXPECT_EQ(mime::QuotedPrintable("caf\xc3\xa9"), "caf=C3=A9");
  // Spaces before a line end and the end, "From " and a lone "." at a line's start.
  EXPECT_EQ(mime::QuotedPrintable("a \nb\t"), "a=20\r\nb=09");
  EXPECT_EQ(mime::QuotedPrintable("From me\n.\nx.y"), "=46rom me\r\n=2E\r\nx.y");
  EXPECT_EQ(mime::QuotedPrintable("a\rb"), "a=0Db");
  // A "." that a soft break puts at a line's start.
  EXPECT_EQ(mime::QuotedPrintable(std::string(75, 'x') + ".y"), std::string(75, 'x') + "=\r\n=2Ey");
  const std::string encoded =
      mime::QuotedPrintable(std::string(200, 'x') + "\n" + std::string(100, '\xff'));
  for (const std::string& line : CrLfLines(encoded + "\r\n")) EXPECT_LE(line.size(), 76u);
  // No "=_" ever: the boundaries rely on it.
  EXPECT_EQ(mime::QuotedPrintable("=_").find("=_"), std::string::npos);
}

TEST(HeaderText, PlainWhenPrintableElseWholeCharactersInWords) {
  EXPECT_EQ(mime::HeaderText("Hello there"), "Hello there");
  EXPECT_EQ(mime::HeaderText("caf\xc3\xa9"), "=?utf-8?b?Y2Fmw6k=?=");
  // A long subject: words of at most 75 characters, no character cut in two.
  std::string subject;
  for (int i = 0; i < 40; ++i) subject += "\xe2\x82\xac";  // the euro sign, 3 bytes
  const std::string words = mime::HeaderText(subject);
  std::size_t start = 0;
  int count = 0;
  while (start < words.size()) {
    auto end = words.find(' ', start);
    if (end == std::string::npos) end = words.size();
    EXPECT_LE(end - start, 75u);
    EXPECT_EQ((end - start - 12) % 4, 0u);  // "=?utf-8?b?" "?=" around whole base64 groups
    start = end + 1;
    ++count;
  }
  EXPECT_EQ(count, 3);  // 45 bytes (15 euros) a word
}

TEST(Address, QuotesOrEncodesTheNameAndKeepsAGroupForNoAddress) {
  EXPECT_EQ(mime::Address("Ann Lee", "ann@example.org"), "Ann Lee <ann@example.org>");
  EXPECT_EQ(mime::Address("Lee, Ann", "ann@example.org"), "\"Lee, Ann\" <ann@example.org>");
  EXPECT_EQ(mime::Address("say \"hi\"", "a@b"), R"("say \"hi\"" <a@b>)");
  EXPECT_EQ(mime::Address("a@b", "a@b"), "a@b");
  EXPECT_EQ(mime::Address("J\xc3\xb6rg", "j@b"), "=?utf-8?b?SsO2cmc=?= <j@b>");
  EXPECT_EQ(mime::Address("Ann", ""), "Ann :;");
}

TEST(Parameter, Rfc2231ForWhatIsNotPrintable) {
  EXPECT_EQ(mime::Parameter("filename", "a b.pdf"), "; filename=\"a b.pdf\"");
  EXPECT_EQ(mime::Parameter("filename", "r\xc3\xa9sum\xc3\xa9 1.pdf"),
            "; filename*=utf-8''r%C3%A9sum%C3%A9%201.pdf");
}

TEST(Field, FoldsLongValuesAtSpaces) {
  EXPECT_EQ(mime::Field("Subject", "short"), "Subject: short\r\n");
  std::string value;
  for (int i = 0; i < 30; ++i) value += "word" + std::to_string(i) + " ";
  value.pop_back();
  const std::string field = mime::Field("To", value);
  std::string unfolded;
  for (const std::string& line : CrLfLines(field)) {
    EXPECT_LE(line.size(), 78u);
    unfolded += line;
  }
  EXPECT_EQ(unfolded, "To: " + value);
  EXPECT_EQ(mime::Field("X", std::string(100, 'a')), "X: " + std::string(100, 'a') + "\r\n");
}

TEST(Date, Rfc5322InUtc) {
  EXPECT_EQ(mime::Date(1583223300), "Tue, 03 Mar 2020 08:15:00 +0000");
  EXPECT_EQ(mime::Date(0), "Thu, 01 Jan 1970 00:00:00 +0000");
}

TEST(Utf8, TellsWellFormedFromNot) {
  EXPECT_TRUE(mime::IsUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa7"));
  EXPECT_FALSE(mime::IsUtf8("caf\xe9"));
  EXPECT_FALSE(mime::IsUtf8("\xc0\xaf"));          // overlong
  EXPECT_FALSE(mime::IsUtf8("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(mime::IsUtf8("\xf4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(mime::IsUtf8("\xe2\x82"));          // cut
  EXPECT_TRUE(mime::IsAscii("plain"));
  EXPECT_FALSE(mime::IsAscii(std::string("a\0b", 3)));
}

TEST(OutlookKinds, MailIsWhatIsNoContactCalendarTaskNoteOrJournal) {
  using outlook::Kind;
  EXPECT_EQ(outlook::KindOf("IPM.Note"), Kind::kMail);
  EXPECT_EQ(outlook::KindOf("IPM.Note.SMIME.MultipartSigned"), Kind::kMail);
  EXPECT_EQ(outlook::KindOf("IPM.Schedule.Meeting.Request"), Kind::kMail);
  EXPECT_EQ(outlook::KindOf("REPORT.IPM.Note.NDR"), Kind::kMail);
  EXPECT_EQ(outlook::KindOf("ipm.contact"), Kind::kContact);
  EXPECT_EQ(outlook::KindOf("IPM.Contact.Custom"), Kind::kContact);
  EXPECT_EQ(outlook::KindOf("IPM.ContactLike"), Kind::kMail);
  EXPECT_EQ(outlook::KindOf("IPM.Appointment"), Kind::kCalendar);
  EXPECT_EQ(outlook::KindOf("IPM.Task"), Kind::kTask);
  EXPECT_EQ(outlook::KindOf("IPM.StickyNote"), Kind::kNote);
  EXPECT_EQ(outlook::KindOf("IPM.Activity"), Kind::kJournal);
  EXPECT_EQ(outlook::KindOf("IPM.DistList"), Kind::kList);
  EXPECT_EQ(outlook::CountOf(Kind::kCalendar, 1), "1 calendar item");
  EXPECT_EQ(outlook::CountOf(Kind::kJournal, 2), "2 journal entries");
  EXPECT_TRUE(outlook::HasSignature("!BDN\x01"));
  EXPECT_FALSE(outlook::HasSignature("!BD"));
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int v : values) out += static_cast<char>(v);
  return out;
}

// References as the sample data files keep them (scripts/test-data.sh).
TEST(OutlookKinds, ReferencesNameFoldersByIdentifierOrExchangeCounter) {
  const std::string guid = Bytes({0xb6, 0x88, 0xae, 0xc0, 0xb1, 0xe8, 0x60, 0x43, 0xa5, 0x26, 0xad,
                                  0xd3, 0x5f, 0xd0, 0x67, 0x46});
  const std::string subtree = std::string(4, '\0') + guid + Bytes({0x22, 0x80, 0x00, 0x00});
  const auto keys = [](std::uint32_t id, const std::string& ltid) {
    return outlook::FolderKeys(id, ltid);
  };
  const auto names = [&](const std::string& reference, std::uint32_t id, const std::string& ltid) {
    const auto all = keys(id, ltid);
    return std::find(all.begin(), all.end(), outlook::ReferenceKey(reference)) != all.end();
  };
  EXPECT_TRUE(names(subtree, 0x8022, ""));
  EXPECT_FALSE(names(subtree, 0x8062, ""));
  // An offline file's Drafts: the counter 0x010f in a long entry identifier and in the folder's
  // long-term identifier.
  const std::string drafts = std::string(4, '\0') + std::string(16, 'g') + Bytes({1, 0}) +
                             std::string(16, 'd') + Bytes({0, 0, 0, 0, 1, 0x0f, 0, 0});
  EXPECT_TRUE(names(drafts, 0x8142, Bytes({1, 0, 0, 0, 0, 0, 1, 0x0f})));
  EXPECT_FALSE(names(drafts, 0x8142, Bytes({1, 0, 0, 0, 0, 0, 1, 0x0e})));
  EXPECT_FALSE(names(drafts, 0x010f, ""));
  EXPECT_EQ(outlook::ReferenceKey("short"), "");
}

}  // namespace
}  // namespace crateline::mailbox
