// The archive writer end to end: what goes in, what independent readers make of it, and what
// is left behind when a run fails or is stopped.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "archive/archive.h"
#include "archive/verify.h"
#include "gzip_support.h"
#include "support/temp_dir.h"

namespace crateline::archive {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::array<char, 4096> buffer{};
  while (pipe != nullptr && std::fgets(buffer.data(), buffer.size(), pipe) != nullptr)
    out += buffer.data();
  const int rc = pipe == nullptr ? -1 : pclose(pipe);
  if (status != nullptr) *status = rc;
  return out;
}

std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

std::set<std::string> FileNames(const std::vector<ReportLine>& lines) {
  std::set<std::string> names;
  for (const auto& line : lines) names.insert(fs::path(line.what).filename().string());
  return names;
}
#endif

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

constexpr const char* kDate = "Tue, 3 Mar 2020 09:15:00 +0100";

std::string Message(const std::string& date, const std::string& extra = "",
                    const std::string& body = "Hello.\r\n") {
  return "From: a@example.org\r\nSubject: test\r\n" +
         (date.empty() ? "" : "Date: " + date + "\r\n") + extra + "\r\n" + body;
}

std::string Body(int i) {
  return "number " + std::to_string(i) + "\r\n";
}

// Records every event and can stop the run or do harm from inside one.
class Recorder : public ArchiveProgress {
 public:
  void Percent(int percent) override {
    percents.push_back(percent);
    if (onPercent) onPercent(percent);
  }
  void Writing(const std::string& value) override {
    values.push_back(value);
    if (onProgress) onProgress(value);
  }
  std::vector<int> percents;
  std::vector<std::string> values;
  std::function<void(const std::string&)> onProgress;
  std::function<void(int)> onPercent;
};

// Why `run` failed: the message of what it threw; empty when it did not.
template <typename Exception = std::exception, typename Run>
std::string Failure(Run run) {
  try {
    run();
  } catch (const Exception& error) {
    return error.what();
  }
  return {};
}

class ArchiveWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_.Mkdir("source");
    out_ = dir_.Mkdir("out");
  }
  std::string Src(const std::string& relative = "") const { return (source_ / relative).string(); }
  std::string Dest() const { return (out_ / "mail.tgz").string(); }
  void Write(const std::string& relative, const std::string& content) {
    dir_.Write("source/" + relative, content);
  }
  void WriteMessages(int count, const std::string& folder = "") {
    for (int i = 0; i < count; ++i)
      Write(folder + "m" + std::to_string(1000 + i) + ".eml", Message(kDate, "", Body(i)));
  }
  bool OutHasOnly(const std::vector<std::string>& names) const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(out_))
      found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found == names;
  }

  testing::TempDir dir_;
  fs::path source_;
  fs::path out_;
};

#ifndef _WIN32  // links, a FIFO, and GNU tar, Python and bsdtar as readers
TEST_F(ArchiveWriterTest, OnlyMessagesGoInAndIndependentReadersAgree) {
  Write("Inbox/a.eml", Message(kDate));
  Write("Inbox/B.EML", Message("", "Received: from x by y; Wed, 4 Mar 2020 10:00:00 +0000\r\n"));
  Write("Inbox/desktop.ini", "[.ShellClassInfo]\r\n");
  Write("Inbox/Thumbs.db", std::string(64, '\0'));
  Write("Inbox/empty.eml", "");
  Write("Sent Items/s.eml",
        Message("Tue, 3 Mar 2020 10:00:00 +0100", "X-Mozilla-Status: 0000\r\n"));
  Write("Deep/" + std::string(60, 'd') + "/" + std::string(60, 'e') + "/long \xc3\xa4 name.eml",
        Message("Tue, 3 Mar 2020 11:00:00 +0100"));
  Write("top.eml", Message("Tue, 3 Mar 2020 12:00:00 +0100"));
  fs::create_directory_symlink(source_, source_ / "Inbox" / "loop");
  fs::create_symlink(source_ / "top.eml", source_ / "Inbox" / "link.eml");
  mkfifo(Src("Inbox/pipe.eml").c_str(), 0644);
  Write("Inbox/readonly.eml", Message("Tue, 3 Mar 2020 13:00:00 +0100"));
  fs::permissions(source_ / "Inbox/readonly.eml", fs::perms::owner_read | fs::perms::group_read);

  Recorder events;
  ArchiveWriter tar({}, &events);
  ASSERT_NO_THROW(tar.Read(Src()));
  ASSERT_NO_THROW(tar.Write(Dest()));
  EXPECT_TRUE(OutHasOnly({"mail.tgz"}));

  const auto& report = tar.Report();
  EXPECT_EQ(report.messagesWritten, 6u);
  EXPECT_EQ(report.unreadMessages, 1u);
  EXPECT_EQ(FileNames(report.leftOut),
            (std::set<std::string>{"empty.eml", "link.eml", "loop", "pipe.eml"}));
  EXPECT_EQ(FileNames(report.notMail).count("desktop.ini"), 1u);
  EXPECT_EQ(FileNames(report.notMail).count("Thumbs.db"), 1u);
  EXPECT_EQ(events.percents.back(), 100);
  EXPECT_EQ(events.values.size(), 6u);

  // GNU tar: names, modes and dates (UTC).
  std::string listing = Shell("TZ=UTC tar --full-time -tvzf " + Quote(Dest()));
  listing.erase(std::unique(listing.begin(), listing.end(),
                            [](char a, char b) { return a == ' ' && b == ' '; }),
                listing.end());
  EXPECT_NE(listing.find("-rw-r--r-- 0/0 84 2020-03-03 08:15:00 Inbox/a.eml"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("2020-03-04 10:00:00 Inbox/B.eml"), std::string::npos) << listing;
  EXPECT_NE(listing.find("-r--r--r-- 0/0"), std::string::npos);  // the unread message
  EXPECT_NE(listing.find("-rw-r--r-- 0/0 84 2020-03-03 12:00:00 Inbox/readonly.eml"),
            std::string::npos)
      << "a read-only file must still arrive as read";
  EXPECT_NE(listing.find("long \xc3\xa4 name.eml"), std::string::npos);

  // Extracted, every message is the very file it came from.
  const fs::path extracted = dir_.Mkdir("extracted");
  int status = 0;
  Shell("tar -xzf " + Quote(Dest()) + " -C " + Quote(extracted), &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ReadFile(extracted / "Inbox/a.eml"), ReadFile(source_ / "Inbox/a.eml"));
  EXPECT_EQ(ReadFile(extracted / "Inbox/B.eml"), ReadFile(source_ / "Inbox/B.EML"));
  EXPECT_EQ(ReadFile(extracted / "Sent/s.eml"), ReadFile(source_ / "Sent Items/s.eml"));

  // Python's tarfile and bsdtar read the same entries, all of them files, in one gzip member.
  const std::string python = Shell(
      "python3 -c \"import sys,tarfile; t=tarfile.open(sys.argv[1]); "
      "print(len(t.getmembers()), all(m.isfile() for m in t.getmembers()))\" " +
      Quote(Dest()));
  EXPECT_EQ(python, "6 True\n");
  EXPECT_EQ(Shell("bsdtar -tzf " + Quote(Dest()) + " | wc -l"), "6\n");
  int members = 0;
  testing::Gunzip(ReadFile(Dest()), &members);
  EXPECT_EQ(members, 1);

  // And the importer's view: nothing wrong, every message of the source there or reported.
  WriteReportBeside(Dest(), Src(), report);
  const VerifyResult verified = VerifyArchive(Dest(), Src());
  EXPECT_TRUE(verified.Ok()) << (verified.problems.empty() ? "" : verified.problems.front());
  EXPECT_EQ(verified.messages, 6u);
}

#endif

TEST_F(ArchiveWriterTest, AStoppedRunLeavesNothingAndKeepsTheOldFile) {
  WriteMessages(30);
  dir_.Write("out/mail.tgz", "the previous archive");
  Recorder events;
  ArchiveWriter tar({}, &events);
  events.onPercent = [&](int) { tar.Cancel(); };  // at the first event
  ASSERT_NO_THROW(tar.Read(Src()));
  EXPECT_NE(Failure<Stopped>([&] { tar.Write(Dest()); }).find("stopped"), std::string::npos);
  EXPECT_EQ(ReadFile(Dest()), "the previous archive");
  EXPECT_TRUE(OutHasOnly({"mail.tgz"}));

  // Cancel, as another thread would call it, in the middle of the write.
  Recorder canceller;
  ArchiveWriter again({}, &canceller);
  ASSERT_NO_THROW(again.Read(Src()));
  canceller.onProgress = [&](const std::string&) { again.Cancel(); };
  EXPECT_THROW(again.Write(Dest()), Stopped);
  EXPECT_EQ(ReadFile(Dest()), "the previous archive");
  // A stop belongs to its own write: the next one runs.
  canceller.onProgress = nullptr;
  EXPECT_NO_THROW(again.Write(Dest()));
  EXPECT_NE(ReadFile(Dest()), "the previous archive");
  EXPECT_TRUE(OutHasOnly({"mail.tgz"}));
}

#ifdef _WIN32
constexpr int kDiskFull = 112;  // ERROR_DISK_FULL
#else
constexpr int kDiskFull = ENOSPC;
#endif

// Fails like a full disk once `limit` bytes have been written.
class FailingOutput : public platform::OutputFile {
 public:
  FailingOutput(std::string path, std::size_t limit, bool* discarded)
      : path_(std::move(path)), limit_(limit), discarded_(discarded) {}
  void Write(const void*, std::size_t size) override {
    written_ += size;
    if (written_ > limit_) throw platform::FileError(path_, "write", kDiskFull);
  }
  void Commit() override { ADD_FAILURE() << "a failed archive was committed"; }
  void Discard() noexcept override { *discarded_ = true; }

 private:
  std::string path_;
  std::size_t limit_;
  std::size_t written_ = 0;
  bool* discarded_;
};

TEST_F(ArchiveWriterTest, AFullDiskFailsNamingTheDestinationAndTheReason) {
  std::mt19937 generator(7);
  std::string random;
  for (int i = 0; i < 300000; ++i) random += static_cast<char>(generator());
  for (int i = 0; i < 8; ++i) Write("m" + std::to_string(i) + ".eml", Message("", "", random));
  for (std::size_t limit : {std::size_t{0}, std::size_t{10}, std::size_t{200000}}) {
    bool discarded = false;
    ArchiveWriter tar;
    tar.SetOutputFactory([&](const std::string& path) {
      return std::make_unique<FailingOutput>(path, limit, &discarded);
    });
    ASSERT_NO_THROW(tar.Read(Src()));
    const std::string why = Failure([&] { tar.Write(Dest()); });
    EXPECT_NE(why.find(Dest()), std::string::npos) << why;
    EXPECT_NE(why.find(platform::SystemErrorText(kDiskFull)), std::string::npos) << why;
    EXPECT_TRUE(discarded);
  }
}

TEST_F(ArchiveWriterTest, FailuresOutsideTheMessages) {
  Write("a.eml", Message(kDate));
  ArchiveWriter missing;
  EXPECT_NE(Failure<mailbox::SourceError>([&] { missing.Read(Src("nowhere")); }).find("nowhere"),
            std::string::npos);

  // The archive file cannot be created: said before anything is read.
  ArchiveWriter noFolder;
  ASSERT_NO_THROW(noFolder.Read(Src()));
  const std::string why =
      Failure<OutputError>([&] { noFolder.Write((out_ / "no" / "such" / "x.tgz").string()); });
  EXPECT_NE(why.find("x.tgz"), std::string::npos) << why;

  ArchiveWriter empty;
  const fs::path nothing = dir_.Mkdir("nothing");
  ASSERT_NO_THROW(empty.Read(nothing.string()));
  EXPECT_NE(Failure([&] { empty.Write(Dest()); }).find("no messages"), std::string::npos);
  EXPECT_FALSE(fs::exists(Dest()));
}

TEST_F(ArchiveWriterTest, MessagesLeftOutOrWarnedOfAndAVanishedSourceFails) {
  Write("a.eml", Message(kDate, "", std::string(10241, 'x') + "\r\n"));
  Write("b.eml", Message(kDate));
  Write("fine.eml", Message(kDate, "", std::string(10240, 'x') + "\r\n"));
  {
    ArchiveWriter tar;
    ASSERT_NO_THROW(tar.Read(Src()));
    fs::remove(source_ / "b.eml");  // gone between the walk and the write
    ASSERT_NO_THROW(tar.Write(Dest()));
    EXPECT_EQ(tar.Report().messagesWritten, 2u);
    ASSERT_EQ(tar.Report().leftOut.size(), 1u);
    EXPECT_NE(tar.Report().leftOut[0].why.find("could not be read"), std::string::npos);
    // A line the importer rejects is warned of; the message still goes in.
    ASSERT_EQ(tar.Report().warnings.size(), 1u);
    EXPECT_NE(tar.Report().warnings[0].what.find("a.eml"), std::string::npos);
  }
  {
    Recorder events;
    ArchiveWriter tar({}, &events);
    ASSERT_NO_THROW(tar.Read(Src()));
    events.onProgress = [&](const std::string&) { fs::remove_all(source_); };
    fs::remove(Dest());
    const std::string why = Failure([&] { tar.Write(Dest()); });
    EXPECT_NE(why.find("no longer there"), std::string::npos) << why;
    EXPECT_FALSE(fs::exists(Dest()));
  }
}

#ifndef _WIN32  // the program's end is watched from a forked child
// The window may end the program from inside an event, in the middle of a write.
TEST_F(ArchiveWriterTest, EndingTheProgramInsideAnEventLeavesNoFile) {
  WriteMessages(5);
  dir_.Write("out/mail.tgz", "the previous archive");
  for (bool unnamed : {true, false}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      platform::UseUnnamedOutputs(unnamed);
      Recorder events;
      int seen = 0;
      events.onProgress = [&](const std::string&) {
        if (++seen == 3) std::exit(0);
      };
      PackOptions options;
      options.threads = 2;
      ArchiveWriter tar(options, &events);
      tar.Read(Src());
      tar.Write(Dest());
      _exit(1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(Dest()), "the previous archive");
    EXPECT_TRUE(OutHasOnly({"mail.tgz"})) << (unnamed ? "unnamed" : "named") << " temporary file";
  }
  // The named temporary file also makes a complete archive.
  platform::UseUnnamedOutputs(false);
  ArchiveWriter tar;
  ASSERT_NO_THROW(tar.Read(Src()));
  EXPECT_NO_THROW(tar.Write(Dest()));
  platform::UseUnnamedOutputs(true);
  EXPECT_TRUE(VerifyArchive(Dest(), Src()).Ok());
  EXPECT_TRUE(OutHasOnly({"mail.tgz"}));
}

#endif

#ifdef __linux__  // counts the open files in /proc/self/fd
// Files are opened ahead of the one being written, so that a cold disk reads while the
// compressor works: never so many that a large mailbox runs out of file handles, and each
// message still lands in its own entry, with what the file holds when its turn comes.
TEST_F(ArchiveWriterTest, ReadsAheadWithinBoundsAndInOrder) {
  constexpr int kMessages = 300;
  WriteMessages(kMessages, "Inbox/");
  const auto openFiles = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
  };
  const auto before = openFiles();
  long most = 0;
  Recorder events;
  events.onProgress = [&](const std::string& value) {
    most = std::max<long>(most, openFiles() - before);
    // Opened ahead by now, changed before its turn: archived as it is when read.
    if (value.find("m1000.eml") != std::string::npos) {
      Write("Inbox/m1010.eml", Message(kDate, "", "changed\r\n"));
    }
  };
  ArchiveWriter tar({}, &events);
  ASSERT_NO_THROW(tar.Read(Src()));
  ASSERT_NO_THROW(tar.Write(Dest()));
  EXPECT_GT(most, 8);    // it does read ahead
  EXPECT_LT(most, 100);  // but not the whole folder
  EXPECT_TRUE(tar.Report().damaged.empty());
  std::string expected;  // every message, in the plan's order
  for (int i = 0; i < kMessages; ++i)
    expected += Message(kDate, "", i == 10 ? "changed\r\n" : Body(i));
  EXPECT_EQ(Shell("tar -xzOf " + Quote(Dest())), expected);
}
#endif

#ifndef _WIN32  // GNU tar as the reader
// A message is opened as the walk listed it and asked its status once, after the read. One
// changed before its turn, in size or in time alone, is read again as it is then: whole, and
// nothing to report. One that changes while it is read, and again while it is read again, is
// archived as it was read the second time and named.
TEST_F(ArchiveWriterTest, AMessageChangedBeforeOrWhileItIsReadIsArchivedWholeAndNamedIfTorn) {
  constexpr int kMessages = 20;
  WriteMessages(kMessages, "Inbox/");
  const std::string grown = Message(kDate, "", Body(10) + "and a line added meanwhile\r\n");
  std::string same = Message(kDate, "", Body(11));
  same[same.size() - 3] ^= 1;  // one byte changed, the size kept
  const auto touch = [&](const char* name, int seconds) {
    const auto path = source_ / "Inbox" / name;
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(seconds));
  };
  Recorder events;
  events.onProgress = [&](const std::string& value) {
    if (value.find("m1001.eml") == std::string::npos) return;
    Write("Inbox/m1010.eml", grown);
    Write("Inbox/m1011.eml", same);
    touch("m1011.eml", 10);
  };
  // m1012 is edited before every read of it, keeping its size: each read takes one version.
  const auto edited = [](int n) {
    return Message(kDate, "", Body(12) + "edited " + std::to_string(n) + "\r\n");
  };
  int reads = 0;
  platform::InputFile::SetReadCheck([&](const std::string& path) {
    if (path.find("m1012.eml") == std::string::npos || reads == 9) return;
    Write("Inbox/m1012.eml", edited(++reads));
    touch("m1012.eml", 10 * reads);
  });
  ArchiveWriter tar({}, &events);
  ASSERT_NO_THROW(tar.Read(Src()));
  ASSERT_NO_THROW(tar.Write(Dest()));
  platform::InputFile::SetReadCheck({});
  ASSERT_EQ(tar.Report().damaged.size(), 1u);
  EXPECT_NE(tar.Report().damaged[0].what.find("m1012.eml"), std::string::npos);
  EXPECT_NE(tar.Report().damaged[0].why.find("changed while it was being read"), std::string::npos);
  EXPECT_GE(reads, 2);  // read, changed, read again
  std::string before;
  std::string after;
  for (int i = 0; i < kMessages; ++i) {
    if (i != 12)
      (i < 12 ? before : after) += i == 10 ? grown : i == 11 ? same : Message(kDate, "", Body(i));
  }
  const std::string archived = Shell("tar -xzOf " + Quote(Dest()));
  bool oneVersion = false;
  for (int n = 1; n <= reads; ++n) oneVersion |= archived == before + edited(n) + after;
  EXPECT_TRUE(oneVersion) << archived.substr(before.size(), edited(1).size());
}
#endif

#ifndef _WIN32
// A message's file replaced by a device after the listing is no message: it is left out, not
// read without end.
TEST_F(ArchiveWriterTest, AFileReplacedByADeviceIsLeftOut) {
  WriteMessages(3, "Inbox/");
  Recorder events;
  bool replaced = false;
  events.onProgress = [&](const std::string& value) {
    if (replaced || value.find("m1000.eml") == std::string::npos) return;
    const auto path = source_ / "Inbox" / "m1001.eml";
    fs::remove(path);
    replaced = mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;  // as /dev/zero
  };
  ArchiveWriter tar({}, &events);
  ASSERT_NO_THROW(tar.Read(Src()));
  ASSERT_NO_THROW(tar.Write(Dest()));
  if (!replaced) GTEST_SKIP() << "only root can make a device";
  ASSERT_EQ(tar.Report().leftOut.size(), 1u);
  EXPECT_NE(tar.Report().leftOut[0].what.find("m1001.eml"), std::string::npos);
  EXPECT_NE(tar.Report().leftOut[0].why.find("not a regular file"), std::string::npos);
  EXPECT_EQ(tar.Report().messagesWritten, 2u);
}
#endif

// A large message is streamed with the size it had when opened; one that shrinks meanwhile is
// padded to that size and reported, and the archive stays whole.
TEST_F(ArchiveWriterTest, AMessageThatShrinksWhileReadKeepsTheArchiveWhole) {
  const std::string line = "a line of a very large message, repeated to make it large\r\n";
  std::string body;
  while (body.size() < 70u * 1024 * 1024) body += line;
  Write("big.eml", Message(kDate, "", body));
  bool truncated = false;
  Recorder shrinker;
  shrinker.onPercent = [&](int percent) {
    // Past the first 64 MiB, which are read whole: the rest is being streamed.
    if (!truncated && percent >= 93) {
      fs::resize_file(source_ / "big.eml", 66u * 1024 * 1024);
      truncated = true;
    }
  };
  ArchiveWriter tar({}, &shrinker);
  ASSERT_NO_THROW(tar.Read(Src()));
  ASSERT_NO_THROW(tar.Write(Dest()));
  ASSERT_TRUE(truncated);
  ASSERT_EQ(tar.Report().damaged.size(), 1u);
  EXPECT_NE(tar.Report().damaged[0].why.find("shrank"), std::string::npos);
  const VerifyResult verified = VerifyArchive(Dest());
  EXPECT_TRUE(verified.Ok()) << (verified.problems.empty() ? "" : verified.problems.front());
  EXPECT_EQ(verified.messages, 1u);
}

}  // namespace
}  // namespace crateline::archive
