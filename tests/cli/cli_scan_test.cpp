#include <gtest/gtest.h>

#include "cli/cli.h"
#include "run_cli.h"
#include "scan/scan.h"
#include "support/temp_dir.h"

namespace crateline::cli {
namespace {

using testing::RunCli;

TEST(CliScan, PrintsTheWindowsSummaryAndTheQueue) {
  testing::TempDir dir;
  dir.Write("Inbox/a.eml");
  dir.Write("Inbox/b.EML");
  dir.Write("Sent/c.eml");
  dir.Write("Sent/desktop.ini");
  dir.Mkdir("Empty");
  const auto plain = RunCli({"scan", dir.path().string()});
  EXPECT_EQ(plain.status, kExitOk);
  EXPECT_EQ(plain.out, "3 Messages & 3 Folder(s) Queued for Conversion.\n");

  const auto listed = RunCli({"scan", "--list", dir.folder()});
  EXPECT_EQ(listed.status, kExitOk);
  EXPECT_NE(listed.out.find("K1\t" + dir.folder()), std::string::npos);
  EXPECT_NE(listed.out.find("\t" + dir.folder() + "Inbox" + util::kPathSeparator + "b.EML\n"),
            std::string::npos);
  EXPECT_EQ(listed.out.find("desktop.ini"), std::string::npos);
}

TEST(CliScan, AFolderThatCannotBeScannedIsAnError) {
  testing::TempDir dir;
  const auto missing = RunCli({"scan", dir.folder() + "missing"});
  EXPECT_EQ(missing.status, kExitUsage);
  EXPECT_NE(missing.err.find("missing"), std::string::npos);
  EXPECT_NE(missing.err.find("Error 2 - "), std::string::npos);

  const auto file = RunCli({"scan", dir.Write("a.eml").string()});
  EXPECT_EQ(file.status, kExitUsage);
  EXPECT_NE(file.err.find("not a folder"), std::string::npos);

  EXPECT_EQ(RunCli({"scan"}).status, kExitUsage);
}

}  // namespace
}  // namespace crateline::cli
