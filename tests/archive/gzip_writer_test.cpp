#include "archive/gzip_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "gzip_support.h"
#include "platform/processor_time.h"

namespace crateline::archive {
namespace {

// Text with long repeats (to reach back through the dictionary) and random stretches, over
// several chunks.
std::string SampleData(std::size_t size) {
  std::mt19937 random(42);
  std::string data;
  const std::string phrase = "Subject: the quarterly figures are attached, please review\r\n";
  while (data.size() < size) {
    if (random() % 4 == 0) {
      for (int i = 0; i < 3000; ++i) data += static_cast<char>(random());
    } else {
      for (int i = 0; i < 200; ++i) data += phrase;
    }
  }
  data.resize(size);
  return data;
}

std::string Compress(CompressionLevel level, int threads, const std::string& data,
                     std::size_t piece = 70001) {
  std::string out;
  GzipWriter writer(level, threads, [&](const char* d, std::size_t n) { out.append(d, n); });
  for (std::size_t i = 0; i < data.size(); i += piece) {
    writer.Write(data.data() + i, std::min(piece, data.size() - i));
  }
  writer.Finish();
  EXPECT_EQ(writer.BytesIn(), data.size());
  EXPECT_EQ(writer.BytesOut(), out.size());
  return out;
}

class GzipLevels : public ::testing::TestWithParam<CompressionLevel> {};

TEST_P(GzipLevels, OneMemberThatRoundTripsWithTheSameBytesForAnyThreadCount) {
  const std::string data = SampleData(3 * 1024 * 1024 + 12345);
  const std::string one = Compress(GetParam(), 1, data);
  int members = 0;
  EXPECT_EQ(testing::Gunzip(one, &members), data);
  EXPECT_EQ(members, 1);
  // No name, no time and OS "unknown": the same bytes on every system, on every day.
  EXPECT_EQ(one.substr(0, 10), std::string("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10));
  EXPECT_LT(one.size(), data.size() / 2);
  EXPECT_EQ(Compress(GetParam(), 3, data, 4096), one);
  EXPECT_EQ(testing::Gunzip(Compress(GetParam(), 2, "")), "");
  EXPECT_EQ(testing::Gunzip(Compress(GetParam(), 2, "x")), "x");
}

INSTANTIATE_TEST_SUITE_P(Levels, GzipLevels,
                         ::testing::Values(CompressionLevel::kFast, CompressionLevel::kDefault,
                                           CompressionLevel::kBest));

TEST(GzipWriter, ASinkFailureReachesTheCaller) {
  std::size_t written = 0;
  GzipWriter writer(CompressionLevel::kDefault, 2, [&](const char*, std::size_t n) {
    written += n;
    if (written > 100000) throw std::runtime_error("disk full");
  });
  const std::string data = SampleData(4 * 1024 * 1024);
  EXPECT_THROW(
      {
        writer.Write(data);
        writer.Finish();
      },
      std::runtime_error);
}

// The compressor's own time is summed over every chunk, on every thread: a clock that moves on
// half a second at each reading makes each chunk take exactly that long.
TEST(GzipWriter, CountsTheCompressorsProcessorTime) {
  struct HalfSeconds {
    static double Now() noexcept {
      thread_local double now = 0;
      return now += 0.5;
    }
  };
  platform::SetThreadProcessorClock(&HalfSeconds::Now);
  GzipSettings settings;  // zlib: every build has it
  settings.chunkSize = 64 * 1024;
  for (int threads : {1, 3}) {
    GzipWriter writer(settings, threads, [](const char*, std::size_t) {});
    EXPECT_EQ(writer.CompressionSeconds(), 0);
    writer.Write(SampleData(5 * settings.chunkSize + 1));
    writer.Finish();
    EXPECT_EQ(writer.CompressionSeconds(), 6 * 0.5) << threads << " thread(s)";
  }
  platform::SetThreadProcessorClock(nullptr);
}

}  // namespace
}  // namespace crateline::archive
