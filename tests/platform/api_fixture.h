// Puts the platform layer back to the start of a run around each test, with the calls in force
// restored afterwards, so that tests can replace system calls and watch the probe run.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace crateline::testing {

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ResetApiSupport(); }
  void TearDown() override {
    platform::CurrentSystemCalls() = platform::NativeSystemCalls();
    platform::ResetApiSupport();
  }
  // Starts from the real (or emulated) system; the test then replaces what it needs.
  platform::SystemCalls& Calls() { return platform::CurrentSystemCalls(); }
};

}  // namespace crateline::testing
