#include <gtest/gtest.h>

#include "cli/cli.h"
#include "run_cli.h"
#include "scan/scan.h"
#include "support/temp_dir.h"

namespace crateline::cli {
namespace {

using testing::RunCli;

TEST(CliScan, CountsWhatConvertReadsOrWhatTheWindowCountsAndSaysWhyNot) {
  testing::TempDir dir;
  dir.Write("Inbox/a.eml");
  dir.Write("Inbox/b.EML");
  dir.Write("Sent/c.eml");
  dir.Write("Sent/desktop.ini");
  dir.Write("Saved/box", "From a Tue Mar  3 08:15:00 2020\nSubject: one\n\nx\n");
  dir.Write("Sent/empty.eml", "");  // Zimbra takes no empty message: counted as left out
  dir.Mkdir("Empty");
  const auto window = RunCli({"scan", "--from", "eml", dir.path().string()});
  EXPECT_EQ(window.status, kExitOk);
  EXPECT_EQ(window.out, "4 Messages & 4 Folder(s) Queued for Conversion.\n");
  const auto plain = RunCli({"scan", dir.path().string()});
  EXPECT_EQ(plain.status, kExitOk);
  EXPECT_EQ(plain.out,
            "4 Messages & 4 Folder(s) Queued for Conversion.\n"
            "Read as mbox, eml: 5 message(s), 1 left out, 1 file(s) that hold no mail.\n");

  const auto listed = RunCli({"scan", "--from", "eml", "--list", dir.folder()});
  EXPECT_EQ(listed.status, kExitOk);
  EXPECT_NE(listed.out.find("K1\t" + dir.folder()), std::string::npos);
  EXPECT_NE(listed.out.find("\t" + dir.folder() + "Inbox" + util::kPathSeparator + "b.EML\n"),
            std::string::npos);
  EXPECT_EQ(listed.out.find("desktop.ini"), std::string::npos);

  // A script must tell "no messages" from "wrong folder".
  for (const bool window : {true, false}) {
    const auto missing = window ? RunCli({"scan", "--from", "eml", dir.folder() + "missing"})
                                : RunCli({"scan", dir.folder() + "missing"});
    EXPECT_EQ(missing.status, kExitUsage);
    EXPECT_NE(missing.err.find("missing"), std::string::npos);
    EXPECT_NE(missing.err.find("Error 2 - "), std::string::npos);
  }
  const auto file = RunCli({"scan", "--from", "eml", (dir.path() / "Inbox" / "a.eml").string()});
  EXPECT_EQ(file.status, kExitUsage);
  EXPECT_NE(file.err.find("not a folder"), std::string::npos);
  EXPECT_EQ(RunCli({"scan"}).status, kExitUsage);
}

// A mail store is read whole and counted; the queue names each message by its file, and by
// its place in the file when the file holds more than one.
TEST(CliScan, MailStoresAreCountedByWhatTheyHold) {
  testing::TempDir dir;
  dir.Write("mbox",
            "From a Tue Mar  3 08:15:00 2020\nSubject: one\n\nx\n\n"
            "From b Tue Mar  3 08:15:00 2020\nSubject: two\n\ny\n");
  auto result = RunCli({"scan", "--list", (dir.path() / "mbox").string()});
  EXPECT_EQ(result.status, kExitOk) << result.err;
  EXPECT_NE(result.out.find("K2\t" + (dir.path() / "mbox").string() + ":"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("2 Messages & 1 Folder(s) Queued for Conversion.\nRead as mbox"),
            std::string::npos)
      << result.out;
  dir.Write("Maildir/cur/1.host:2,S", "Subject: a\r\n\r\nx\r\n");
  dir.Mkdir("Maildir/new");
  result = RunCli({"scan", (dir.path() / "Maildir").string()});
  EXPECT_NE(result.out.find("1 Messages & 0 Folder(s) Queued for Conversion.\nRead as maildir"),
            std::string::npos)
      << result.out;
  // Forced to read a Maildir as .eml files: the window's scan, which finds none.
  result = RunCli({"scan", "--from", "eml", (dir.path() / "Maildir").string()});
  EXPECT_EQ(result.out, "0 Messages & 2 Folder(s) Queued for Conversion.\n");  // cur, new
}

}  // namespace
}  // namespace crateline::cli
