#include "archive/read_ahead.h"

#include <gtest/gtest.h>

namespace crateline::archive {
namespace {

// Opens `files` files ahead and reads each at once, on a disk that holds them in its cache
// (`warm`) or not; returns how many were hinted.
int Walk(ReadAheadPolicy& policy, int files, bool warm) {
  int hinted = 0;
  for (int i = 0; i < files; ++i) {
    const bool hint = policy.Hint();
    hinted += hint ? 1 : 0;
    // A hinted file is in the cache by its turn, warm disk or not.
    policy.Observed(hint, hint || warm);
  }
  return hinted;
}

TEST(ReadAheadPolicy, HintsStopOnceProbesFindTheCacheWarm) {
  ReadAheadPolicy policy;
  const int probesToStop = ReadAheadPolicy::kWarmProbes;
  const int hinted = Walk(policy, 10000, true);
  EXPECT_FALSE(policy.Hinting());
  // Hints go only to the files opened before enough probes came back cached.
  EXPECT_LE(hinted, static_cast<int>(ReadAheadPolicy::kProbeEvery) * probesToStop);
  EXPECT_GT(hinted, 0);
}

TEST(ReadAheadPolicy, AColdDiskKeepsTheHintsWithFewProbes) {
  ReadAheadPolicy policy;
  const int files = 64 * 100;
  const int hinted = Walk(policy, files, false);
  EXPECT_TRUE(policy.Hinting());
  EXPECT_EQ(files - hinted, files / static_cast<int>(ReadAheadPolicy::kProbeEvery));
}

TEST(ReadAheadPolicy, OneFileFromTheDiskStartsTheHintsAgain) {
  ReadAheadPolicy policy;
  Walk(policy, 1000, true);
  ASSERT_FALSE(policy.Hinting());
  EXPECT_FALSE(policy.Hint());
  policy.Observed(false, false);  // a folder the cache did not hold
  EXPECT_TRUE(policy.Hinting());
  EXPECT_TRUE(policy.Hint());
  // A file its own hint brought in says nothing; only probes end the hints again.
  for (int i = 0; i < 100; ++i) policy.Observed(true, true);
  EXPECT_TRUE(policy.Hinting());
  // A miss between cached probes starts the count of warm probes anew.
  for (int i = 0; i < ReadAheadPolicy::kWarmProbes - 1; ++i) policy.Observed(false, true);
  policy.Observed(false, false);
  for (int i = 0; i < ReadAheadPolicy::kWarmProbes - 1; ++i) policy.Observed(false, true);
  EXPECT_TRUE(policy.Hinting());
  policy.Observed(false, true);
  EXPECT_FALSE(policy.Hinting());
}

}  // namespace
}  // namespace crateline::archive
