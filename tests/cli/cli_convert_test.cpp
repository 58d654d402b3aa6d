#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "run_cli.h"
#include "support/temp_dir.h"

namespace crateline::cli {
namespace {

namespace fs = std::filesystem;
using testing::RunCli;

#ifndef _WIN32
int Sh(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}
#endif

class CliConvert : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("mail/Inbox/a.eml", "Date: Tue, 3 Mar 2020 09:15:00 +0100\r\n\r\nHello\r\n");
    dir_.Write("mail/Inbox/desktop.ini", "[x]\r\n");
    dir_.Write("mail/Sent Items/b.EML", "Date: Tue, 3 Mar 2020 09:15:00 +0100\r\n\r\nBye\r\n");
  }
  std::string Mail() const { return (dir_.path() / "mail").string(); }
  std::string Out(const std::string& name = "box.tgz") const {
    return (dir_.path() / name).string();
  }
  testing::TempDir dir_;
};

TEST_F(CliConvert, WritesReportsAndTellsHowToImport) {
  const auto result = RunCli({"convert", Mail(), "-o", Out()});
  ASSERT_EQ(result.status, kExitOk) << result.err;
  EXPECT_NE(result.out.find("2 messages"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("desktop.ini"), std::string::npos);
  EXPECT_NE(result.out.find("zmmailbox -z -m USER postRestURL '//?fmt=tgz&resolve=skip'"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(Out()));
  ASSERT_TRUE(fs::exists(Out("box.report.txt")));
  std::ifstream report(Out("box.report.txt"));
  std::string text((std::istreambuf_iterator<char>(report)), {});
  EXPECT_NE(text.find("desktop.ini"), std::string::npos);
  EXPECT_NE(text.find("mapped onto Zimbra's Sent folder"), std::string::npos);

  const auto verified = RunCli({"verify", Out(), "--source", Mail()});
  EXPECT_EQ(verified.status, kExitOk) << verified.out;
  EXPECT_NE(verified.out.find("1  Sent"), std::string::npos) << verified.out;
}

TEST_F(CliConvert, RefusesToReplaceWithoutForceAndChecksItsOptions) {
  dir_.Write("box.tgz", "keep me");
  const auto refused = RunCli({"convert", Mail(), "-o", Out()});
  EXPECT_EQ(refused.status, kExitUsage);
  EXPECT_NE(refused.err.find("--force"), std::string::npos);
  {
    std::ifstream kept(Out());  // closed again: Windows replaces no file that is open
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), {}), "keep me");
  }

  EXPECT_EQ(RunCli({"convert", Mail(), "-o", Out(), "--force"}).status, kExitOk);
  EXPECT_EQ(RunCli({"convert", Mail(), "-o", Out("x.tgz"), "--level", "max"}).status, kExitUsage);
  EXPECT_EQ(RunCli({"convert", Mail() + "/missing", "-o", Out("y.tgz")}).status, kExitUsage);
  EXPECT_FALSE(fs::exists(Out("y.tgz")));
}

TEST_F(CliConvert, DryRunShowsTheFoldersAndWritesNothing) {
  const auto result = RunCli({"convert", Mail(), "-o", Out(), "--dry-run"});
  EXPECT_EQ(result.status, kExitOk);
  EXPECT_NE(result.out.find("1  Inbox"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("1  Sent"), std::string::npos) << result.out;
  EXPECT_FALSE(fs::exists(Out()));
}

#ifndef _WIN32  // these make their archives with GNU tar and drive the program with signals
TEST_F(CliConvert, VerifyCatchesArchivesTheImporterWouldMishandle) {
  // What `tar -C dir -czf x .` writes: every name starts with "./".
  ASSERT_EQ(Sh("tar -C '" + Mail() + "' -czf '" + Out("dot.tgz") + "' ."), 0);
  auto result = RunCli({"verify", Out("dot.tgz")});
  EXPECT_EQ(result.status, kExitFailure);
  EXPECT_NE(result.out.find("\"./\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Briefcase"), std::string::npos) << result.out;

  // PAX headers arrive as files.
  dir_.Write("pax/" + std::string(120, 'p') + ".eml", "Subject: x\r\n\r\nx\r\n");
  ASSERT_EQ(Sh("tar --format=pax -C '" + (dir_.path() / "pax").string() + "' -czf '" +
               Out("pax.tgz") + "' " + std::string(120, 'p') + ".eml"),
            0);
  result = RunCli({"verify", Out("pax.tgz")});
  EXPECT_EQ(result.status, kExitFailure);
  EXPECT_NE(result.out.find("'x' header"), std::string::npos) << result.out;

  // Two gzip members, and a message the source has but the archive lacks.
  ASSERT_EQ(RunCli({"convert", Mail(), "-o", Out()}).status, kExitOk);
  {
    std::ifstream one(Out(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(one)), {});
    std::ofstream(Out("two.tgz"), std::ios::binary) << bytes << bytes;
  }
  result = RunCli({"verify", Out("two.tgz")});
  EXPECT_EQ(result.status, kExitFailure);
  EXPECT_NE(result.out.find("more than one gzip member"), std::string::npos) << result.out;
  dir_.Write("mail/Inbox/late.eml", "Subject: late\r\n\r\nlate\r\n");
  result = RunCli({"verify", Out(), "--source", Mail()});
  EXPECT_EQ(result.status, kExitFailure);
  EXPECT_NE(result.out.find("late.eml"), std::string::npos) << result.out;
}

// The real program, interrupted as a user would with Ctrl-C.
TEST_F(CliConvert, CtrlCStopsCleanly) {
  std::mt19937 random(3);
  std::string noise(512 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  for (int i = 0; i < 200; ++i)
    dir_.Write("big/m" + std::to_string(i) + ".eml", "Subject: x\r\n\r\n" + noise);
  const std::string cli = CRATELINE_CLI_PATH;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(cli.c_str(), cli.c_str(), "convert", (dir_.path() / "big").c_str(), "-o",
          Out("big.tgz").c_str(), "--level", "best", "--threads", "1", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_FALSE(fs::exists(Out("big.tgz")));
  if (WIFSIGNALED(status)) GTEST_SKIP() << "the signal came before the program was listening";
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 0) GTEST_SKIP() << "the conversion ended before the signal came";
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_FALSE(fs::exists(Out("big.tgz")));
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos);
  }
}

#endif

}  // namespace
}  // namespace crateline::cli
