// Volumes: how a plan is cut, and the set a conversion writes, read back as the importer would.
#include "archive/volumes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/verify.h"
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
      plan.names.push_back("m" + std::to_string(plan.messages.size()) + ".eml");
      plan.messages.push_back({static_cast<std::uint32_t>(plan.inventory.messages.size() - 1),
                               static_cast<std::uint32_t>(f),
                               static_cast<std::uint32_t>(plan.names.size() - 1)});
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
  std::vector<std::pair<std::size_t, std::size_t>> cut;  // first message and count
  for (const auto& volume : volumes) {
    cut.emplace_back(volume.first, volume.count);
    if (volume.count > 1) {
      EXPECT_LE(volume.tarBytes, 10 * kMiB);
    }
  }
  ASSERT_EQ(cut, (std::vector<std::pair<std::size_t, std::size_t>>{
                     {0, 3}, {3, 1}, {4, 2}, {6, 2}, {8, 1}, {9, 1}, {10, 1}}));
  EXPECT_GT(volumes[5].tarBytes, 10 * kMiB);  // the one message larger than a volume

  ASSERT_EQ(PlanVolumes(plan, 0).size(), 1u);
  EXPECT_EQ(PlanVolumes(plan, 0)[0].count, plan.messages.size());
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
  ArchiveWriter tar({.volumeSize = kMiB});
  ASSERT_NO_THROW(tar.Read(Source()));
  ASSERT_NO_THROW(tar.Write(Dest()));
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
  ArchiveWriter tar({.volumeSize = kMiB});
  tar.SetOutputFactory([&](const std::string& path) {
    return std::make_unique<FillingOutput>(platform::CreateAtomicOutput(path), left);
  });
  ASSERT_NO_THROW(tar.Read(Source()));
  try {
    tar.Write(Dest());
    ADD_FAILURE() << "a full disk went unnoticed";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("No space left"), std::string::npos) << error.what();
  }
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename(), "source");
  }
}

}  // namespace
}  // namespace crateline::archive
