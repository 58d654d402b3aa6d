// The archive output and the message input, as the layers above use them.
#ifndef _WIN32
#include "platform/file_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>

#include "support/temp_dir.h"

namespace crateline::platform {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string RandomBytes(std::size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Writes `data` in pieces of the given sizes, round and round, and commits.
void WriteInPieces(const std::string& path, const std::string& data,
                   const std::vector<std::size_t>& pieces) {
  auto out = CreateAtomicOutput(path);
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    const std::size_t n = std::min(pieces[i % pieces.size()], data.size() - at);
    out->Write(data.data() + at, n);
    at += n;
  }
  out->Commit();
}

class DirectOutput : public ::testing::Test {
 protected:
  void TearDown() override {
    SetDirectWriteCheck({});
    UseDirectOutputs(true);
  }
  // Counts the direct writes; skips the test where the folder's file system takes none.
  void RequireDirectWrites() {
    int calls = 0;
    SetDirectWriteCheck([&] { return ++calls, 0; });
    WriteInPieces(dir_.folder() + "probe", RandomBytes(1 << 23), {1 << 20});
    SetDirectWriteCheck({});
    if (calls == 0) GTEST_SKIP() << dir_.folder() << " is on a file system not written directly";
  }
  testing::TempDir dir_;
};

// Every size around the block and the buffer, written in odd pieces, gives the same file
// written directly as through the cache.
TEST_F(DirectOutput, TheSameBytesAsThroughTheCache) {
  RequireDirectWrites();
  const std::vector<std::size_t> sizes = {
      0, 4095, 4096, 4097, (4 << 20) - 1, (4 << 20) + 123, 9 << 20, (9 << 20) + 5};
  for (std::size_t size : sizes) {
    const std::string data = RandomBytes(size);
    UseDirectOutputs(true);
    WriteInPieces(dir_.folder() + "direct", data, {70001, 3, 1 << 22, 4096});
    UseDirectOutputs(false);
    WriteInPieces(dir_.folder() + "cached", data, {70001, 3, 1 << 22, 4096});
    // Compared whole, not printed: a difference in megabytes of noise would say nothing.
    EXPECT_TRUE(Slurp(dir_.folder() + "direct") == data) << size << " bytes";
    EXPECT_TRUE(Slurp(dir_.folder() + "cached") == data) << size << " bytes";
  }
}

// A file system may refuse a direct write after taking others (it wants a larger alignment):
// the rest goes through the cache, every byte in its place.
TEST_F(DirectOutput, ARefusedDirectWriteFallsBackToTheCache) {
  RequireDirectWrites();
  for (int refuseAt : {1, 2, 3}) {
    int calls = 0;
    SetDirectWriteCheck([&] { return ++calls == refuseAt ? EINVAL : 0; });
    const std::string data = RandomBytes((13 << 20) + 77);
    WriteInPieces(dir_.folder() + "mail.tgz", data, {1 << 20, 12345});
    EXPECT_TRUE(Slurp(dir_.folder() + "mail.tgz") == data) << "refused at write " << refuseAt;
    EXPECT_EQ(calls, refuseAt) << "no direct write after the refusal";
  }
}

// A full disk is an error that names the archive, and leaves nothing behind.
TEST_F(DirectOutput, AFullDiskNamesTheArchive) {
  RequireDirectWrites();
  SetDirectWriteCheck([] { return ENOSPC; });
  const std::string path = dir_.folder() + "mail.tgz";
  auto out = CreateAtomicOutput(path);
  const std::string data = RandomBytes(5 << 20);
  try {
    out->Write(data.data(), data.size());
    out->Commit();
    FAIL() << "a full disk went unnoticed";
  } catch (const FileError& error) {
    EXPECT_EQ(error.path(), path);
    EXPECT_EQ(error.systemError(), ENOSPC);
  }
  out->Discard();
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"probe"});
}

TEST(InputFile, ReadsFromTheCacheAndKeepsTheStatusItWasOpenedWith) {
  testing::TempDir dir;
  const std::string data = RandomBytes(100000);
  dir.Write("m.eml", data);
  const std::string path = dir.folder() + "m.eml";
  InputFile in(path);
  EXPECT_EQ(in.OpenedStatus().size, data.size());
  EXPECT_TRUE(in.OpenedStatus().regular);
  // Just written, the file is in the cache: read from there, or the system cannot tell.
  std::string got(data.size(), '\0');
  const auto cached = in.ReadIfCached(got.data(), got.size());
  EXPECT_EQ(in.CachedAt(0), cached.has_value());
  EXPECT_TRUE(in.CachedAt(data.size() + 100) || !cached);  // past the end: nothing to wait for
  if (cached) {
    EXPECT_EQ(in.Read(got.data() + *cached, got.size() - *cached), got.size() - *cached);
    EXPECT_TRUE(got == data);
    EXPECT_EQ(in.ReadIfCached(got.data(), 1), std::optional<std::size_t>(0));  // the end
  }
  // A change after the open shows in Status, not in what the open saw.
  std::ofstream(path, std::ios::binary | std::ios::app) << "more";
  EXPECT_EQ(in.OpenedStatus().size, data.size());
  EXPECT_EQ(in.Status().size, data.size() + 4);
}

}  // namespace
}  // namespace crateline::platform
#endif
