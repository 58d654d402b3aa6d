#include <gtest/gtest.h>

#include "util/event_pump.h"

namespace crateline::util {
namespace {

TEST(EventPump, DefaultDoesNothingScopedPumpIsRestoredAndAPumpMayReplaceItself) {
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

  ScopedEventPump scope([&] {
    SetEventPump([&] { inner += 100; });
    ++outer;  // the replaced pump runs on to its end
  });
  PumpEvents();
  PumpEvents();
  EXPECT_EQ(outer, 3);
  EXPECT_EQ(inner, 101);
}

}  // namespace
}  // namespace crateline::util
