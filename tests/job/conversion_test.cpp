// The conversion job's rules around the writer: where an archive may go, what its report beside
// it says after every kind of run, what a run's result tells, what the window counts, and the
// adapter the window's design knows.
#include "job/conversion.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "job/tar_archive.h"
#include "support/temp_dir.h"
#include "util/separator.h"

namespace crateline::job {
namespace {

namespace fs = std::filesystem;

std::string Mail(int i) {
  return "Date: Tue, 3 Mar 2020 09:1" + std::to_string(i) + ":00 +0100\r\nSubject: m\r\n\r\nx\r\n";
}

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class ConversionTest : public ::testing::Test {
 protected:
  std::string Source() const { return (dir_.path() / "mail").string() + util::kPathSeparator; }
  std::string Out(const std::string& name = "out.tgz") const {
    return (dir_.path() / name).string();
  }
  testing::TempDir dir_;
};

TEST_F(ConversionTest, TheDestinationIsCheckedBeforeAnything) {
  dir_.Write("mail/a.eml", Mail(1));
  const auto check = [&](const std::string& destination, bool replace, std::uint64_t volumes = 0) {
    return CheckDestination(Source(), destination, volumes, replace);
  };
  EXPECT_EQ(check(Out("out.zip"), true).problem, DestinationProblem::kNotTgz);
  EXPECT_EQ(check(Out("out.tgz.part"), true).problem, DestinationProblem::kNotTgz);
  EXPECT_EQ(check(Source() + "sub/out.tgz", true).problem, DestinationProblem::kInsideSource);
#ifndef _WIN32
  fs::create_directory_symlink(dir_.path() / "mail", dir_.path() / "link");
  EXPECT_EQ(check(Out("link/out.tgz"), true).problem, DestinationProblem::kInsideSource);
#endif
  EXPECT_EQ(check(Out(), false).problem, DestinationProblem::kNone);

  // What a write would replace, unless the user agreed.
  dir_.Write("out.report.txt", "an old report");
  EXPECT_EQ(check(Out(), false).path, Out("out.report.txt"));
  fs::remove(dir_.path() / "out.report.txt");
  dir_.Write("out.tgz", "an old archive");
  EXPECT_EQ(check(Out(), false).problem, DestinationProblem::kExists);
  EXPECT_EQ(check(Out(), true).problem, DestinationProblem::kNone);
  // A set of volumes is replaced by its volumes, not by the single archive of its name.
  EXPECT_EQ(check(Out(), false, 1 << 20).problem, DestinationProblem::kNone);
  dir_.Write("out-part02.tgz", "an old volume");
  EXPECT_EQ(check(Out(), false, 1 << 20).path, Out("out-part02.tgz"));
}

// The report belongs to the archive beside it: written with it, removed when there is nothing
// to say, and never put beside an archive a failed run did not replace.
TEST_F(ConversionTest, TheReportBesideTheArchiveIsItsOwn) {
  dir_.Write("mail/a.eml", Mail(1));
  dir_.Write("mail/notes.txt", "no mail");
  {
    Conversion job(Source());
    ASSERT_TRUE(job.Read().Ok());
    const Result written = job.Write(Out(), true);
    EXPECT_EQ(written.status, Status::kDone);
    EXPECT_EQ(written.files, std::vector<std::string>{Out()});
    EXPECT_EQ(written.reportPath, Out("out.report.txt"));
    EXPECT_NE(Contents(written.reportPath).find("notes.txt"), std::string::npos);
  }
  fs::remove(dir_.path() / "mail" / "notes.txt");
  {
    Conversion job(Source());
    ASSERT_TRUE(job.Read().Ok());
    const Result written = job.Write(Out(), true);
    EXPECT_TRUE(written.reportPath.empty());
    EXPECT_FALSE(fs::exists(Out("out.report.txt"))) << "the old report went with its archive";
  }
  // A run that fails leaves the archive there and its report as they were.
  dir_.Write("out.report.txt", "the report of out.tgz");
  dir_.Write("mail/b.eml", Mail(2));
  {
    Conversion job(Source());
    ASSERT_TRUE(job.Read().Ok());
    fs::remove(dir_.path() / "mail" / "a.eml");
    fs::remove(dir_.path() / "mail" / "b.eml");
    const Result failed = job.Write(Out(), true);
    EXPECT_EQ(failed.status, Status::kFailed);
    EXPECT_NE(failed.error.find("none of the messages"), std::string::npos) << failed.error;
    EXPECT_TRUE(failed.reportPath.empty());
    EXPECT_EQ(Contents(Out("out.report.txt")), "the report of out.tgz");
    EXPECT_TRUE(failed.files.empty());
  }
  // Where no archive is, a failed run explains itself beside where it was to be.
  dir_.Write("mail/c.eml", Mail(3));
  {
    Conversion job(Source());
    ASSERT_TRUE(job.Read().Ok());
    fs::remove(dir_.path() / "mail" / "c.eml");
    const Result failed = job.Write(Out("new.tgz"), true);
    EXPECT_EQ(failed.status, Status::kFailed);
    EXPECT_EQ(failed.reportPath, Out("new.report.txt"));
    EXPECT_NE(Contents(failed.reportPath).find("c.eml"), std::string::npos);
    EXPECT_FALSE(fs::exists(Out("new.tgz")));
  }
}

TEST_F(ConversionTest, EachOutcomeIsTold) {
  EXPECT_EQ(Conversion(Out("nowhere")).Read().status, Status::kCannotRead);

  for (int i = 0; i < 3; ++i) dir_.Write("mail/m" + std::to_string(i) + ".eml", Mail(i));
  Conversion job(Source());
  ASSERT_EQ(job.Read().status, Status::kDone);
  const Result cannot = job.Write(Out("no/such/out.tgz"), true);
  EXPECT_EQ(cannot.status, Status::kCannotCreate);
  EXPECT_NE(cannot.error.find("out.tgz"), std::string::npos) << cannot.error;

  // Stopped from inside an event, as a window's Stop does.
  struct Stopper : archive::ArchiveProgress {
    Conversion* job = nullptr;
    void Writing(const std::string&) override { job->Cancel(); }
  } stopper;
  Conversion stopped(Source(), {}, &stopper);
  stopper.job = &stopped;
  ASSERT_TRUE(stopped.Read().Ok());
  EXPECT_EQ(stopped.Write(Out(), true).status, Status::kStopped);
  EXPECT_FALSE(fs::exists(Out()));

  // A message that is no longer there is named, and the archive holds the rest.
  fs::remove(dir_.path() / "mail" / "m1.eml");
  const Result incomplete = job.Write(Out(), true);
  EXPECT_EQ(incomplete.status, Status::kIncomplete);
  EXPECT_TRUE(incomplete.Ok());
  EXPECT_NE(Contents(incomplete.reportPath).find("m1.eml"), std::string::npos);
}

// Replacing a set of volumes by a smaller one removes the volumes it no longer has, which
// would be taken for part of it.
TEST_F(ConversionTest, ReplacingASetRemovesItsStaleVolumes) {
  std::string big(300 * 1024, 'x');
  for (int i = 0; i < 6; ++i) {
    dir_.Write("mail/m" + std::to_string(i) + ".eml", Mail(i) + big + "\r\n");
  }
  archive::PackOptions options;
  options.volumeSize = 1 << 20;
  dir_.Write("out-part07.tgz", "an old volume");
  dir_.Write("out-part01.tgz", "an old first volume");
  dir_.Write("other-part09.tgz", "another set");
  Conversion job(Source(), options);
  ASSERT_TRUE(job.Read().Ok());
  const Result kept = job.Write(Out(), false);
  ASSERT_TRUE(kept.Ok()) << kept.error;
  EXPECT_TRUE(fs::exists(Out("out-part07.tgz"))) << "nothing removed unless replacing";
  const Result replaced = job.Write(Out(), true);
  ASSERT_TRUE(replaced.Ok()) << replaced.error;
  EXPECT_GE(replaced.files.size(), 2u);
  EXPECT_FALSE(fs::exists(Out("out-part07.tgz")));
  EXPECT_TRUE(fs::exists(Out("other-part09.tgz")));
  for (const auto& file : replaced.files) EXPECT_TRUE(fs::exists(file)) << file;
}

TEST_F(ConversionTest, TheCountIsOfTheFoldersZimbraWillMake) {
  dir_.Write("mail/top.eml", Mail(1));
  dir_.Write("mail/Archive/2019/Q1/a.eml", Mail(2));
  dir_.Write("mail/archive/2019/b.eml", Mail(3));  // the same folder to Zimbra
  dir_.Write("mail/Inbox/c.eml", Mail(4));
  dir_.Write("mail/Empty/notes.txt", "x");
  Conversion job(Source());
  ASSERT_TRUE(job.Read().Ok());
  const Count count = CountOf(job.Writer().Plan());
  EXPECT_EQ(count.messages, 4u);
  EXPECT_EQ(count.folders, 4u);  // Archive, Archive/2019, Archive/2019/Q1, Inbox
}

// The component as the window's design uses it: 1 for success, two events, an abort flag.
TEST_F(ConversionTest, TheArchiveComponentAnswersOneForSuccess) {
  for (int i = 0; i < 3; ++i) dir_.Write("mail/m" + std::to_string(i) + ".eml", Mail(i));
  struct Events : TarArchiveListener {
    std::vector<int> percents;
    std::vector<std::string> names;
    bool abort = false;
    void PercentDone(int percent, bool& stop) override {
      percents.push_back(percent);
      stop = abort;
    }
    void ProgressInfo(const std::string& name, const std::string&) override {
      if (names.empty() || names.back() != name) names.push_back(name);
    }
  } events;
  TarArchive tar(&events);
  EXPECT_EQ(tar.WriteCompressedArchive(Out()), 0) << "nothing added yet";
  tar.OutputFormat = "ustar";
  EXPECT_EQ(tar.AddDirectoryTree(Source()), 0);
  EXPECT_NE(tar.LastError().find("ustar"), std::string::npos);
  tar.OutputFormat = "gnu";
  ASSERT_EQ(tar.AddDirectoryTree(Source()), 1) << tar.LastError();
  ASSERT_EQ(tar.WriteCompressedArchive(Out()), 1) << tar.LastError();
  EXPECT_EQ(events.names, (std::vector<std::string>{"Listing", "Reading"}));
  ASSERT_FALSE(events.percents.empty());
  EXPECT_EQ(events.percents.back(), 100);
  for (int percent : events.percents) EXPECT_TRUE(percent >= 0 && percent <= 100) << percent;

  events.abort = true;
  fs::remove(Out());
  EXPECT_EQ(tar.WriteCompressedArchive(Out()), 0);
  EXPECT_EQ(tar.LastResult().status, Status::kStopped);
  EXPECT_FALSE(fs::exists(Out()));
  EXPECT_EQ(TarArchive().AddDirectoryTree(Out("nowhere")), 0);
}

}  // namespace
}  // namespace crateline::job
