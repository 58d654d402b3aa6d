// Volumes: how a plan is cut, and the set a conversion writes, read back as the importer would.
#include "archive/volumes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "archive/archive.h"
#include "archive/verify.h"
#include "gzip_support.h"
#include "support/temp_dir.h"

namespace crateline::archive {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMiB = 1024 * 1024;

// A plan of folders given as the sizes of their messages, in order.
Plan PlanOf(const std::vector<std::vector<std::uint64_t>>& folders) {
  Plan plan;
  for (std::size_t f = 0; f < folders.size(); ++f) {
    plan.folders.push_back("F" + std::to_string(f));
    for (std::uint64_t size : folders[f]) {
      mailbox::Message message;
      message.length = size;
      plan.inventory.messages.push_back(message);
      plan.messages.push_back({static_cast<std::uint32_t>(plan.inventory.messages.size() - 1),
                               static_cast<std::uint32_t>(f),
                               "m" + std::to_string(plan.messages.size()) + ".eml"});
    }
  }
  return plan;
}

TEST(Volumes, FoldersStayTogetherWhereTheyFitAndNoMessageIsSplit) {
  // 10 MiB volumes: A (6 MiB) and B (3 MiB) share one; C (6 MiB) does not fit after them and
  // starts the next; D (20 MiB) fills volumes message by message; E's one message is larger
  // than a volume and goes alone.
  const Plan plan = PlanOf({{3 * kMiB, 3 * kMiB},
                            {3 * kMiB},
                            {6 * kMiB},
                            std::vector<std::uint64_t>(5, 4 * kMiB),
                            {12 * kMiB},
                            {kMiB}});
  const auto volumes = PlanVolumes(plan, 10 * kMiB);
  std::vector<std::vector<std::size_t>> held;
  std::size_t next = 0;
  for (const auto& volume : volumes) {
    EXPECT_EQ(volume.first, next);  // in order, nothing skipped or repeated
    next += volume.count;
    std::vector<std::size_t> messages;
    for (std::size_t i = volume.first; i < volume.first + volume.count; ++i) messages.push_back(i);
    held.push_back(messages);
    if (volume.count > 1) {
      EXPECT_LE(volume.tarBytes, 10 * kMiB);
    }
  }
  EXPECT_EQ(next, plan.messages.size());
  const std::vector<std::vector<std::size_t>> expected = {{0, 1, 2}, {3}, {4, 5}, {6, 7},
                                                          {8},       {9}, {10}};
  EXPECT_EQ(held, expected);
  EXPECT_GT(volumes[5].tarBytes, 10 * kMiB);  // the one message larger than a volume

  ASSERT_EQ(PlanVolumes(plan, 0).size(), 1u);
  EXPECT_EQ(PlanVolumes(plan, 0)[0].count, plan.messages.size());
  EXPECT_EQ(PlanVolumes(plan, 10 * kMiB).size(), volumes.size());  // the same plan, the same cut
}

TEST(Volumes, NamesAndSizes) {
  EXPECT_EQ(VolumePath("/x/mail.tgz", 0, 7), "/x/mail-part01.tgz");
  EXPECT_EQ(VolumePath("/x/mail.tgz", 99, 120), "/x/mail-part100.tgz");
  EXPECT_EQ(VolumePath("/x/mail.tgz", 4, 120), "/x/mail-part005.tgz");
  EXPECT_EQ(SetPathOf("/x/mail-part01.tgz"), "/x/mail.tgz");
  EXPECT_EQ(SetPathOf("/x/mail-part005.tgz"), "/x/mail.tgz");
  EXPECT_EQ(SetPathOf("/x/mail-part1.tgz"), "/x/mail-part1.tgz");  // not a name we write
  EXPECT_EQ(SetPathOf("/x/mail.tgz"), "/x/mail.tgz");
  std::uint64_t bytes = 0;
  EXPECT_TRUE(ParseSize("500M", bytes));
  EXPECT_EQ(bytes, 500 * kMiB);
  EXPECT_TRUE(ParseSize("1.5G", bytes));
  EXPECT_EQ(bytes, 1536 * kMiB);
  EXPECT_TRUE(ParseSize("4096", bytes));
  EXPECT_EQ(bytes, 4096u);
  for (const char* wrong : {"", "M", "-5M", "5X", "0", "5 M", "0.1", "0x100000", "1e9", "5MM"}) {
    EXPECT_FALSE(ParseSize(wrong, bytes)) << wrong;
  }
}

class VolumeSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Incompressible messages: gzip can only add to them, so the margin is what keeps each
    // volume's file within the size.
    std::mt19937 random(3);
    for (int i = 0; i < 24; ++i) {
      std::string body;
      for (int k = 0; k < 150000; ++k) body += static_cast<char>(random());
      dir_.Write(
          "source/" + std::string(i < 12 ? "Inbox" : "Work") + "/m" + std::to_string(i) + ".eml",
          "From: a@example.org\r\nDate: Tue, 3 Mar 2020 09:15:00 +0100\r\n\r\n" + body);
    }
  }
  std::string Source() const { return dir_.folder() + "source" + util::kPathSeparator; }
  std::string Dest() const { return (dir_.path() / "mail.tgz").string(); }

  testing::TempDir dir_;
};

TEST_F(VolumeSetTest, EachVolumeStandsAloneWithinItsSizeAndTheSetHoldsTheSource) {
  TarArchive tar;
  tar.SetVolumeSize(kMiB);
  ASSERT_EQ(tar.AddDirectoryTree(Source()), 1);
  ASSERT_EQ(tar.WriteCompressedArchive(Dest()), 1) << tar.LastError();
  const auto& volumes = tar.Report().volumes;
  ASSERT_GE(volumes.size(), 4u);
  std::vector<std::string> paths;
  std::uint64_t messages = 0;
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    EXPECT_EQ(volumes[i].path, VolumePath(Dest(), i, volumes.size()));
    EXPECT_LE(fs::file_size(volumes[i].path), kMiB) << volumes[i].path;
    const VerifyResult alone = VerifyArchive(volumes[i].path);
    EXPECT_TRUE(alone.Ok()) << alone.problems.front();
    EXPECT_EQ(alone.messages, volumes[i].messages);
    messages += volumes[i].messages;
    paths.push_back(volumes[i].path);
  }
  EXPECT_EQ(messages, 24u);
  EXPECT_FALSE(fs::exists(Dest()));  // the set, not one archive
  const VerifyResult set = VerifyArchives(paths, Source());
  EXPECT_TRUE(set.Ok()) << set.problems.front();
  EXPECT_EQ(set.sourceMessages, 24u);

  // A volume missing from the set, or one given twice, is a problem.
  const VerifyResult missing = VerifyArchives({paths.begin() + 1, paths.end()}, Source());
  EXPECT_EQ(missing.problems.size(), volumes[0].messages);
  paths.push_back(paths.front());
  const VerifyResult twice = VerifyArchives(paths, Source());
  ASSERT_EQ(twice.problems.size(), volumes[0].messages);
  EXPECT_NE(twice.problems[0].find("second copy"), std::string::npos) << twice.problems[0];
}

// An output that fails once it has taken `limit` bytes, like a disk that fills.
class FillingOutput final : public platform::OutputFile {
 public:
  FillingOutput(std::unique_ptr<platform::OutputFile> real, std::uint64_t& left)
      : real_(std::move(real)), left_(left) {}
  void Write(const void* data, std::size_t size) override {
    if (size > left_) throw platform::FileError("volume", "write", "No space left on device");
    left_ -= size;
    real_->Write(data, size);
  }
  void Commit() override { real_->Commit(); }
  void Discard() noexcept override { real_->Discard(); }

 private:
  std::unique_ptr<platform::OutputFile> real_;
  std::uint64_t& left_;
};

TEST_F(VolumeSetTest, AFailureInALaterVolumeLeavesNoVolumeBehind) {
  std::uint64_t left = 5 * kMiB / 2;  // fails in the third volume
  TarArchive tar;
  tar.SetVolumeSize(kMiB);
  tar.SetOutputFactory([&](const std::string& path) {
    return std::make_unique<FillingOutput>(platform::CreateAtomicOutput(path), left);
  });
  ASSERT_EQ(tar.AddDirectoryTree(Source()), 1);
  EXPECT_EQ(tar.WriteCompressedArchive(Dest()), 0);
  EXPECT_NE(tar.LastError().find("No space left"), std::string::npos) << tar.LastError();
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename(), "source");
  }
}

// Volumes written one by one into any output, as an upload sends them.
class MemoryOutput final : public platform::OutputFile {
 public:
  void Write(const void* data, std::size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
  }
  void Commit() override {}
  void Discard() noexcept override {}
  std::string bytes;
};

TEST_F(VolumeSetTest, VolumesWrittenOneByOneIntoAStream) {
  TarArchive tar;
  tar.SetVolumeSize(kMiB);
  ASSERT_EQ(tar.AddDirectoryTree(Source()), 1);
  std::size_t entries = 0;
  for (std::size_t i = 0; i < tar.Volumes().size(); ++i) {
    MemoryOutput out;
    ASSERT_EQ(tar.WriteVolume(i, out, "volume " + std::to_string(i + 1)), 1) << tar.LastError();
    int members = 0;
    const std::string plain = crateline::testing::Gunzip(out.bytes, &members);
    EXPECT_EQ(members, 1);
    EXPECT_EQ(plain.size() % 512, 0u);
    entries += tar.Volumes()[i].count;
  }
  EXPECT_EQ(tar.Report().messagesWritten, 24u);
  EXPECT_EQ(tar.Report().volumes.size(), tar.Volumes().size());
  EXPECT_EQ(entries, 24u);
}

}  // namespace
}  // namespace crateline::archive
