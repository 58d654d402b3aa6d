#include <gtest/gtest.h>

#include "util/event_pump.h"

namespace crateline::util {
namespace {

TEST(EventPump, DefaultDoesNothingAndScopedPumpIsRestored) {
  PumpEvents();  // no pump installed: must not fail
  int outer = 0;
  int inner = 0;
  {
    ScopedEventPump a([&] { ++outer; });
    PumpEvents();
    {
      ScopedEventPump b([&] { ++inner; });
      PumpEvents();
    }
    PumpEvents();
  }
  PumpEvents();
  EXPECT_EQ(outer, 2);
  EXPECT_EQ(inner, 1);
}

TEST(EventPump, APumpMayReplaceItselfWhileRunning) {
  int calls = 0;
  ScopedEventPump scope([&] {
    ++calls;
    SetEventPump([&] { calls += 100; });
  });
  PumpEvents();
  PumpEvents();
  EXPECT_EQ(calls, 101);
}

}  // namespace
}  // namespace crateline::util
