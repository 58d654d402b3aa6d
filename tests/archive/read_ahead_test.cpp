#include "archive/read_ahead.h"

#include <gtest/gtest.h>

namespace crateline::archive {
namespace {

// Opens `files` files ahead, as the writer does, on a disk whose cache holds them (`warm`) or
// not; returns how many were hinted.
int Walk(ReadAheadPolicy& policy, int files, bool warm) {
  int hinted = 0;
  for (int i = 0; i < files; ++i) {
    if (policy.Hinting()) {
      bool hint = true;
      if (policy.ProbeNext()) {
        policy.Observed(warm);
        hint = !warm;
      }
      hinted += hint ? 1 : 0;
    } else {
      policy.Observed(warm);  // its first read
    }
  }
  return hinted;
}

TEST(ReadAheadPolicy, HintsUntilProbesFindTheCacheWarmAndAgainAfterAMiss) {
  ReadAheadPolicy policy;
  // On a cold disk every file is hinted, the probes too: none waits for the disk in its turn.
  EXPECT_EQ(Walk(policy, 6400, false), 6400);
  EXPECT_TRUE(policy.Hinting());
  const int hinted = Walk(policy, 1000, true);
  EXPECT_FALSE(policy.Hinting());
  EXPECT_GT(hinted, 0);
  EXPECT_LT(hinted, 500);  // the hints stop long before the walk ends

  policy.Observed(false);  // a folder the cache did not hold
  EXPECT_TRUE(policy.Hinting());
  // A miss between cached probes starts the count of warm probes anew.
  for (int i = 0; i < ReadAheadPolicy::kWarmProbes - 1; ++i) policy.Observed(true);
  policy.Observed(false);
  for (int i = 0; i < ReadAheadPolicy::kWarmProbes - 1; ++i) policy.Observed(true);
  EXPECT_TRUE(policy.Hinting());
  policy.Observed(true);
  EXPECT_FALSE(policy.Hinting());
  // Back on a cold disk, the hints come again for every file.
  EXPECT_EQ(Walk(policy, 640, false), 640 - 1);  // the first file after the switch is read cold
}

}  // namespace
}  // namespace crateline::archive
