#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "cli/commands.h"
#include "platform/file_io.h"
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

// Read whole and closed again: Windows replaces no file that is open.
std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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

TEST_F(CliConvert, WritesTheArchiveAndAReportThatBelongsToIt) {
  const auto dry = RunCli({"convert", Mail(), "-o", Out(), "--dry-run"});
  EXPECT_EQ(dry.status, kExitOk);
  EXPECT_NE(dry.out.find("1  Inbox"), std::string::npos) << dry.out;
  EXPECT_NE(dry.out.find("1  Sent"), std::string::npos) << dry.out;
  EXPECT_FALSE(fs::exists(Out()));

  const auto result = RunCli({"convert", Mail(), "-o", Out()});
  ASSERT_EQ(result.status, kExitOk) << result.err;
  EXPECT_NE(result.out.find("2 messages"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\n100% (2 of 2 messages)\n"), std::string::npos);  // no terminal
  EXPECT_NE(result.out.find("desktop.ini"), std::string::npos);
  EXPECT_NE(result.out.find("zmmailbox -z -m USER postRestURL '//?fmt=tgz&resolve=skip'"),
            std::string::npos);
  EXPECT_EQ(result.out.find("Processor time"), std::string::npos);  // only when asked
  const std::string report = Contents(Out("box.report.txt"));
  EXPECT_NE(report.find("desktop.ini"), std::string::npos);
  EXPECT_NE(report.find("mapped onto Zimbra's Sent folder"), std::string::npos);
  const auto verified = RunCli({"verify", Out(), "--source", Mail()});
  EXPECT_EQ(verified.status, kExitOk) << verified.out;
  EXPECT_NE(verified.out.find("1  Sent"), std::string::npos) << verified.out;

  // Nothing to report any more: the archive is replaced, and its old report goes with it.
  fs::remove(dir_.path() / "mail/Inbox/desktop.ini");
  fs::rename(dir_.path() / "mail/Sent Items", dir_.path() / "mail/Sent");
  auto again = RunCli({"convert", Mail(), "-o", Out(), "--force", "--stats"});
  EXPECT_EQ(again.status, kExitOk) << again.err;
  EXPECT_FALSE(fs::exists(Out("box.report.txt")));
  EXPECT_NE(again.out.find("Processor time: "), std::string::npos) << again.out;
  EXPECT_NE(again.out.find(" s, of which compressing "), std::string::npos) << again.out;
  // A report that cannot be written is an error that says so.
  dir_.Write("mail/Inbox/notes.txt", "x");
  fs::create_directory(Out("box.report.txt"));
  again = RunCli({"convert", Mail(), "-o", Out(), "--force"});
  EXPECT_EQ(again.status, kExitFailure);
  EXPECT_NE(again.err.find("its report could not be"), std::string::npos) << again.err;
}

TEST_F(CliConvert, WhatItWillNotReadOrWriteIsRefusedWithTheReason) {
  dir_.Write("box.tgz", "keep me");
  auto result = RunCli({"convert", Mail(), "-o", Out()});
  EXPECT_EQ(result.status, kExitUsage);
  EXPECT_NE(result.err.find("--force"), std::string::npos);
  EXPECT_EQ(Contents(Out()), "keep me");

  EXPECT_EQ(RunCli({"convert", Mail(), "-o", Out("x.tgz"), "--level", "max"}).status, kExitUsage);
  EXPECT_EQ(RunCli({"convert", Mail() + "/missing", "-o", Out("y.tgz")}).status, kExitUsage);
  EXPECT_FALSE(fs::exists(Out("y.tgz")));
  result = RunCli({"convert", Mail(), "-o", Out("box.tar.gz")});
  EXPECT_EQ(result.status, kExitUsage);
  EXPECT_NE(result.err.find("must be a .tgz file"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("box.tar.tgz"), std::string::npos) << result.err;

  // Inside the source: refused, --force or not, and the source is as it was.
  const std::string inside = (dir_.path() / "mail" / "Inbox" / "a.eml").string();
  result = RunCli({"convert", Mail(), "-o", (dir_.path() / "mail/x.tgz").string(), "--force"});
  EXPECT_EQ(result.status, kExitUsage);
  EXPECT_NE(result.err.find("inside what is being converted"), std::string::npos);
  EXPECT_EQ(RunCli({"convert", Mail(), "-o", inside, "--force"}).status, kExitUsage);
  EXPECT_EQ(Contents(inside), "Date: Tue, 3 Mar 2020 09:15:00 +0100\r\n\r\nHello\r\n");
  EXPECT_FALSE(fs::exists(dir_.path() / "mail/x.tgz"));

  // A folder that is not there: nothing is read, and the reason is given.
  result = RunCli({"convert", Mail(), "-o", (dir_.path() / "no/such/x.tgz").string()});
  EXPECT_EQ(result.status, kExitFailure);
  EXPECT_NE(result.err.find("x.tgz"), std::string::npos) << result.err;

  // Folders and missing files are no archives to verify.
  result = RunCli({"verify", Mail()});
  EXPECT_EQ(result.status, kExitUsage);
  EXPECT_NE(result.err.find("is a folder"), std::string::npos);
  result = RunCli({"verify", Out("missing.tgz")});
  EXPECT_EQ(result.status, kExitUsage);
  EXPECT_NE(result.err.find("missing.tgz\": No such file"), std::string::npos) << result.err;

  // "." and ".." are taken out of the folder shown.
  EXPECT_EQ(AbsoluteFolderPath(Mail() + "/Inbox/../."), Mail() + util::kPathSeparator);
}

TEST_F(CliConvert, ExitStatusSaysWhetherEveryMessageWentIn) {
  dir_.Write("mail/Inbox/empty.eml", "");
#ifndef _WIN32  // a name Windows does not allow
  dir_.Write("mail/Inbox/\x1b]0;owned\x07\x1b[2J.eml", "");
#endif
  // A dry run says beforehand what the run will: 3 here, 1 where nothing can go in.
  EXPECT_EQ(RunCli({"convert", Mail(), "-o", Out(), "--dry-run"}).status, kExitIncomplete);
  auto result = RunCli({"convert", Mail(), "-o", Out()});
  EXPECT_EQ(result.status, kExitIncomplete) << result.err;
  EXPECT_NE(result.out.find("empty.eml"), std::string::npos);
  EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
#ifndef _WIN32
  EXPECT_NE(result.out.find("\\x1B]0;owned\\x07\\x1B[2J.eml"), std::string::npos) << result.out;
#endif
  // Nothing could go in: a failure, and the list says why.
  dir_.Write("only/empty.eml", "");
  dir_.Write("only/blank.eml", "");
  EXPECT_EQ(RunCli({"convert", (dir_.path() / "only").string(), "--dry-run"}).status, kExitFailure);
  result = RunCli({"convert", (dir_.path() / "only").string(), "-o", Out("only.tgz")});
  EXPECT_EQ(result.status, kExitFailure);
  EXPECT_NE(result.err.find("blank.eml"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("an empty message"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(Out("only.tgz")));
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

  // Two gzip members.
  ASSERT_EQ(RunCli({"convert", Mail(), "-o", Out()}).status, kExitOk);
  const std::string bytes = Contents(Out());
  std::ofstream(Out("two.tgz"), std::ios::binary) << bytes << bytes;
  result = RunCli({"verify", Out("two.tgz")});
  EXPECT_EQ(result.status, kExitFailure);
  EXPECT_NE(result.out.find("more than one gzip member"), std::string::npos) << result.out;
}

// The command, stopped as a user or the system would stop it: Ctrl-C, SIGTERM, SIGHUP. It runs
// in a child, which gets the signal once it has started to write (it says so on its first
// line), with a named temporary file, as on file systems without unnamed ones.
TEST_F(CliConvert, SignalsStopCleanlyAndLeaveNoFile) {
  std::mt19937 random(3);
  std::string noise(512 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  for (int i = 0; i < 200; ++i)
    dir_.Write("big/m" + std::to_string(i) + ".eml", "Subject: x\r\n\r\n" + noise);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      platform::UseUnnamedOutputs(false);
      // What the program prints goes to the parent, which waits for its first line.
      dup2(ready[1], 1);
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 2);
      // The command runs in this child as in the program, its output on the pipe.
      const int status = cli::Run({"convert", (dir_.path() / "big").string(), "-o", Out("big.tgz"),
                                   "--level", "best", "--threads", "1"},
                                  {std::cout, std::cerr, false});
      std::cout.flush();
      _exit(status);
    }
    close(ready[1]);
    char first = 0;
    ASSERT_EQ(read(ready[0], &first, 1), 1) << "the program printed nothing";
    // Wait (boundedly) until its temporary file is there, then stop it.
    bool partial = false;
    for (int i = 0; i < 500 && !partial; ++i) {
      for (const auto& entry : fs::directory_iterator(dir_.path())) {
        partial |= entry.path().filename().string().find(".partial") != std::string::npos;
      }
      if (!partial) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(partial) << "no temporary file appeared";
    kill(child, signal);
    int status = 0;
    waitpid(child, &status, 0);
    close(ready[0]);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << signal << " killed the program";
    EXPECT_EQ(WEXITSTATUS(status), signal == SIGINT ? 130 : 128 + signal);
    EXPECT_FALSE(fs::exists(Out("big.tgz")));
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos)
          << "signal " << signal;
    }
  }
}

// Deeper than the system's path limit (4,096 bytes here): the scan reaches every message.
// (Convert and verify on such a tree: hostile_mailbox_test.py.)
TEST_F(CliConvert, ScanReachesTreesDeeperThanThePathLimit) {
  const std::string segment(120, 'd');
  int fd = open(Mail().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string relative;
  for (int level = 0; level < 40; ++level) {
    ASSERT_EQ(mkdirat(fd, segment.c_str(), 0755), 0);
    const int next = openat(fd, segment.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    relative += segment + "/";
    if (level == 20 || level == 39) {
      const int file = openat(fd, "deep.eml", O_WRONLY | O_CREAT, 0644);
      ASSERT_GE(file, 0);
      ASSERT_EQ(write(file, "Subject: deep\n\nx\n", 17), 17);
      close(file);
    }
  }
  close(fd);
  ASSERT_GT(Mail().size() + relative.size(), 4096u);

  // The window's scan, and the walk that reads for convert.
  const auto scanned = RunCli({"scan", "--from", "eml", "--list", Mail()});
  EXPECT_EQ(scanned.status, kExitOk);
  EXPECT_NE(scanned.out.find("4 Messages & 42 Folder(s)"), std::string::npos) << scanned.out;
  EXPECT_NE(scanned.out.find(relative + "deep.eml"), std::string::npos);
  const auto walked = RunCli({"scan", "--list", Mail()});
  // Zimbra makes every folder on the way down: 40 of them, Inbox and Sent Items.
  EXPECT_NE(walked.out.find("4 Messages & 42 Folder(s)"), std::string::npos) << walked.out;
  EXPECT_NE(walked.out.find(relative + "deep.eml"), std::string::npos);
}

#endif

}  // namespace
}  // namespace crateline::cli
