// The archive reader: the importer's rules on archives made by hand, and the check of a source
// against an archive.
#include "archive/verify.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "archive/archive.h"
#include "gzip_support.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "support/temp_dir.h"

namespace crateline::archive {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMarch2020 = 1583223300;  // Tue, 3 Mar 2020 08:15:00 UTC

std::string Octal(std::uint64_t value, std::size_t width) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(width - 1),
                static_cast<unsigned long long>(value));
  return std::string(text, width - 1) + '\0';
}

// One tar header block, laid out by hand.
std::string Block(const std::string& name, std::uint64_t size, char type, unsigned mode = 0644,
                  std::int64_t mtime = kMarch2020) {
  std::string h(512, '\0');
  h.replace(0, std::min<std::size_t>(name.size(), 100), name.substr(0, 100));
  h.replace(100, 8, Octal(mode, 8));
  h.replace(108, 8, Octal(0, 8));
  h.replace(116, 8, Octal(0, 8));
  h.replace(124, 12, Octal(size, 12));
  h.replace(136, 12, Octal(static_cast<std::uint64_t>(mtime), 12));
  h[156] = type;
  h.replace(257, 8, std::string("ustar  \0", 8));
  h.replace(148, 8, "        ");
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  h.replace(148, 8, Octal(sum, 7) + ' ');
  return h;
}

std::string Entry(const std::string& name, const std::string& data, char type = '0',
                  unsigned mode = 0644, std::int64_t mtime = kMarch2020) {
  return Block(name, data.size(), type, mode, mtime) + data +
         std::string((512 - data.size() % 512) % 512, '\0');
}

std::string LongName(const std::string& entryName, const std::string& name) {
  return Entry(entryName, name + '\0', 'L');
}

std::string Gzip(const std::string& data) {
  return testing::ZlibDeflate(data, 1, 16 + 15);
}

const std::string kMessage = "Date: Tue, 3 Mar 2020 09:15:00 +0100\r\n\r\nHello\r\n";
const std::string kUnread = "Date: Wed, 4 Mar 2020 09:15:00 +0100\r\nStatus: O\r\n\r\nB\r\n";
const std::string kWork = "Date: Thu, 5 Mar 2020 09:15:00 +0100\r\n\r\nC\r\n";
const std::string kEnd(1024, '\0');

std::string All(const VerifyResult& result) {
  std::string text;
  for (const auto& p : result.problems) text += p + "\n";
  return text;
}

class VerifyTest : public ::testing::Test {
 protected:
  VerifyResult Verify(const std::string& tar) {
    std::ofstream(Path(), std::ios::binary) << Gzip(tar);
    return VerifyArchive(Path().string());
  }
  fs::path Path() const { return dir_.path() / "made.tgz"; }
  testing::TempDir dir_;
};

TEST_F(VerifyTest, LongNamesOnlyFromTheImportersOwnEntryAndNeverUnbounded) {
  const std::string longName = std::string(120, 'f') + "/m.eml";
  auto result = Verify(LongName("././@LongLink", longName) + Entry("short.eml", kMessage) + kEnd);
  EXPECT_TRUE(result.Ok()) << All(result);
  ASSERT_EQ(result.folders.size(), 1u);
  EXPECT_EQ(result.folders[0].folder, std::string(120, 'f'));

  // Another name for the 'L' entry: the importer takes it as a file, not as a name.
  result = Verify(LongName("././@LongName", longName) + Entry("short.eml", kMessage) + kEnd);
  EXPECT_NE(All(result).find("knows only \"././@LongLink\""), std::string::npos) << All(result);
  ASSERT_EQ(result.folders.size(), 1u);
  EXPECT_EQ(result.folders[0].folder, "Inbox");  // short.eml kept its own name

  // A long name of 1 MiB: reported, not kept, and printed shortened.
  result = Verify(LongName("././@LongLink", std::string(1 << 20, 'n')) +
                  Entry("short.eml", kMessage) + Entry("next.eml", kMessage) + kEnd);
  const std::string problems = All(result);
  EXPECT_NE(problems.find("more than the 65536 read"), std::string::npos) << problems.size();
  EXPECT_LT(problems.size(), 1000u);
  EXPECT_EQ(result.messages, 1u);  // next.eml
}

TEST_F(VerifyTest, WhatTheImporterDoesAfterCalendarAndMetadataEntries) {
  auto result = Verify(Entry("a.eml", kMessage) + Entry("Calendar/x.ics", "BEGIN:VCALENDAR\r\n") +
                       Entry("b.eml", kMessage) + Entry("c.eml", kMessage) + kEnd);
  std::string problems = All(result);
  EXPECT_NE(problems.find("\"b.eml\" is lost"), std::string::npos) << problems;
  EXPECT_NE(problems.find("\"c.eml\" is lost"), std::string::npos) << problems;
  EXPECT_EQ(result.messages, 1u);

  result = Verify(Entry("a.eml", kMessage) + Entry("a.eml.meta", "{}") + Entry("b.eml", kMessage) +
                  kEnd);
  problems = All(result);
  EXPECT_NE(problems.find("\"b.eml\" fails"), std::string::npos) << problems;
  EXPECT_EQ(result.messages, 1u);

  result = Verify(Entry("notes.txt", "x") + kEnd);
  EXPECT_NE(All(result).find("holds no message"), std::string::npos) << All(result);
}

// The long line comes first, so that a verdict carried into the next message would show.
TEST_F(VerifyTest, LinesAreMeasuredAsTheWriterMeasuresThem) {
  const std::string head = "Subject: x\r\n\r\n";
  auto result = Verify(
      Entry("long.eml", head + std::string(10241, 'x') + "\n") +
      Entry("cr.eml", head + std::string(10240, 'x') + "\r" + std::string(10240, 'y') + "\r") +
      Entry("crlf.eml", head + std::string(10240, 'x') + "\r\n") + kEnd);
  ASSERT_EQ(result.warnings.size(), 1u);
  EXPECT_NE(result.warnings[0].find("long.eml"), std::string::npos);
}

TEST_F(VerifyTest, NamesAreShortenedOnCharacterBoundaries) {
  const std::string name =
      std::string(79, 'a') + "\xc3\xa4" + std::string(200, 'b') + "\xe2\x82\xac";
  const std::string shown = ShortenedName(name);
  EXPECT_LT(shown.size(), 160u);
  EXPECT_EQ(shown.substr(0, 79), std::string(79, 'a'));
  EXPECT_NE(shown.find("\xe2\x80\xa6"), std::string::npos);
  EXPECT_EQ(shown.substr(shown.size() - 3), "\xe2\x82\xac");
  EXPECT_EQ(SafeText("a\x1b[31mb\xe9\xe2\x80\xae"), "a\\x1B[31mb\\xE9\\u{202E}");
}

// The source side: every message of the source in the archive as it should be, or reported.
class VerifySourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("mail/Inbox/a.eml", kMessage);
    dir_.Write("mail/Inbox/b.eml", kUnread);
    dir_.Write("mail/Work/c.eml", kWork);
  }
  void TearDown() override {
    platform::CurrentSystemCalls() = platform::NativeSystemCalls();
    platform::ResetApiSupport();
  }
  std::string Mail() const { return dir_.folder() + "mail" + util::kPathSeparator; }
  std::string Archive() const { return (dir_.path() / "mail.tgz").string(); }
  // Converts the source as convert does, report included.
  void Convert() {
    ArchiveWriter tar;
    ASSERT_NO_THROW(tar.Read(Mail()));
    ASSERT_NO_THROW(tar.Write(Archive()));
    if (!tar.Report().Empty()) WriteReportBeside(Archive(), Mail(), tar.Report());
  }
  std::string Problems(const std::string& archive) { return All(VerifyArchive(archive, Mail())); }
  testing::TempDir dir_;
};

TEST_F(VerifySourceTest, FolderDateAndReadStateAreChecked) {
  // The same bytes, filed, dated or flagged otherwise than convert would.
  std::ofstream(Archive(), std::ios::binary)
      << Gzip(Entry("Inbox/a.eml", kMessage, '0', 0644, kMarch2020 + 3600) +
              Entry("Inbox/b.eml", kUnread, '0', 0644, kMarch2020 + 86400) +
              Entry("Other/c.eml", kWork, '0', 0644, kMarch2020 + 2 * 86400) + kEnd);
  const std::string problems = Problems(Archive());
  EXPECT_NE(problems.find("a.eml\" is in the archive dated 2020-03-03 09:15:00 UTC, not "
                          "2020-03-03 08:15:00 UTC"),
            std::string::npos)
      << problems;
  EXPECT_NE(problems.find("b.eml\" is in the archive as read, but it is unread"), std::string::npos)
      << problems;
  EXPECT_NE(problems.find("c.eml\" is in the archive in the folder \"Other\", not \"Work\""),
            std::string::npos)
      << problems;
}

TEST_F(VerifySourceTest, WhatIsLeftOutMustBeInTheReport) {
  dir_.Write("mail/Inbox/empty.eml", "");
  Convert();
  EXPECT_EQ(Problems(Archive()), "");
  fs::remove(dir_.path() / "mail.report.txt");
  EXPECT_NE(Problems(Archive()).find("empty.eml\" is not in the archive (an empty message"),
            std::string::npos);
  // A message added after the conversion is missing, and no report names it.
  Convert();
  dir_.Write("mail/Inbox/late.eml", "Subject: late\r\n\r\nlate\r\n");
  EXPECT_NE(Problems(Archive()).find("late.eml\" is not in the archive with the same bytes"),
            std::string::npos);
  // A message the report names as changed while it was read: accounted for, and its copy in
  // the archive, with other bytes, is not taken for mail the source does not hold.
  fs::remove(dir_.path() / "mail/Inbox/late.eml");
  fs::remove(dir_.path() / "mail/Inbox/empty.eml");
  Convert();
  dir_.Write("mail/Inbox/a.eml", kMessage + "changed\r\n");
  ArchiveReport report;
  report.damaged.push_back({Mail() + "Inbox" + util::kPathSeparator + "a.eml", "changed"});
  WriteReportBeside(Archive(), Mail(), report);
  EXPECT_EQ(Problems(Archive()), "");
}

TEST_F(VerifySourceTest, APartOfTheSourceThatCannotBeReadIsAProblem) {
  Convert();
  // A folder the system refuses to list.
  platform::SystemCalls calls = platform::NativeSystemCalls();
  calls.FindFirstFileW = [first = calls.FindFirstFileW](const char16_t* path,
                                                        platform::FindDataW& data) {
    if (platform::Utf16ToUtf8(path).find("Work") != std::string::npos) {
      platform::CurrentSystemCalls().SetLastError(platform::kErrorAccessDenied);
      return platform::kInvalidHandle;
    }
    return first(path, data);
  };
  {
    platform::ScopedSystemCalls scope(calls);
    EXPECT_NE(Problems(Archive()).find("cannot read all of the source"), std::string::npos);
  }
  // A message that cannot be opened, as one no one may read.
  platform::InputFile::SetOpenCheck([](const std::string& path) {
#ifdef _WIN32
    constexpr int kDenied = 5;  // ERROR_ACCESS_DENIED
#else
    constexpr int kDenied = EACCES;
#endif
    return path.ends_with("a.eml") ? kDenied : 0;
  });
  const std::string problems = Problems(Archive());
  platform::InputFile::SetOpenCheck({});
  EXPECT_NE(problems.find("cannot read the source message"), std::string::npos) << problems;
  EXPECT_EQ(problems.find("no message of the source"), std::string::npos) << problems;
}

}  // namespace
}  // namespace crateline::archive
