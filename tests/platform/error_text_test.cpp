#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

#include "api_fixture.h"

namespace crateline::platform {
namespace {

using testing::ApiTest;

TEST_F(ApiTest, SystemMessagesBecomeOneLineWithoutEdgeSpaces) {
  EXPECT_EQ(CleanSystemMessage(std::string("a\0b\r\0\n", 6)), "ab");  // NULs go before CR LF
  EXPECT_EQ(CleanSystemMessage("a\rb\nc"), "ab c");
  EXPECT_EQ(CleanSystemMessage("   \r\n  "), "");
  EXPECT_EQ(CleanSystemMessage("  Access is denied."), "Access is denied.");
  Calls().FormatMessageW = [](std::uint32_t, std::uint32_t, std::uint32_t, char16_t* buffer,
                              std::uint32_t) {
    const std::u16string text = u"The disk is full.\r\nFree some space.\r\n";
    std::copy(text.begin(), text.end(), buffer);
    return static_cast<std::uint32_t>(text.size());
  };
  EXPECT_EQ(GetApiErrorText(112), "Error 112 - The disk is full. Free some space.");
}

TEST_F(ApiTest, TheCodeAndTheTextOfAnError) {
  const auto pending = [](std::uint32_t code) {
    CurrentSystemCalls().SetLastError(code);
    os::GetLastError();  // saved too: no older error is taken for it
  };
  // The first capture runs the probe, which clears LastApiError: the captured code must stay.
  pending(0);
  EXPECT_EQ(CaptureApiError("", ""), " (Error -1 - unknown error.): ");
  EXPECT_EQ(LastApiError, -1);
  pending(kErrorNoMoreFiles);
  const std::string text = CaptureApiError("before", "after");
  EXPECT_EQ(LastApiError, 18);
#ifdef _WIN32  // the system's own wording: only the frame is ours
  EXPECT_EQ(text.rfind("before (Error 18 - ", 0), 0u) << text;
  EXPECT_TRUE(text.ends_with("): after")) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_GT(GetApiErrorText(5).size(), std::string("Error 5 - ").size() + 3);
#else
  EXPECT_EQ(text, "before (Error 18 - The listing has no more entries.): after");
  const std::string denied = std::error_code(EACCES, std::generic_category()).message();
  EXPECT_EQ(GetApiErrorText(5), "Error 5 - " + denied);
#endif
  pending(0);
  EXPECT_EQ(GetApiErrorText(0), "Error - File Possibly In Use/Locked");
  pending(kErrorAccessDenied);
  EXPECT_EQ(GetApiErrorText(0).rfind("Error 5 - ", 0), 0u);

  FindDataW data;
#ifdef _WIN32
  const std::u16string missing = u"\\\\?\\C:\\no\\such\\folder\\anywhere\\*";
#else
  const std::u16string missing = u"\\\\?\\/no/such/folder/anywhere/*";
#endif
  EXPECT_EQ(os::FindFirstFileW(missing.c_str(), data), kInvalidHandle);
  EXPECT_EQ(SavedSystemError(), kErrorPathNotFound);
  CurrentSystemCalls().SetLastError(0);  // not through `os`: nothing saved
  EXPECT_EQ(SavedSystemError(), kErrorPathNotFound);
  EXPECT_EQ(CaptureApiError("", "").find(" (Error 3 - "), 0u);
}

TEST_F(ApiTest, WideAndNarrowFormattingAgree) {
  EnsureApiSupport();
  ASSERT_TRUE(HasFormatMessageW);
  int wideCalls = 0;
  int narrowCalls = 0;
  auto wide = Calls().FormatMessageW;
  auto narrow = Calls().FormatMessageA;
  Calls().FormatMessageW = [&](auto... a) { return ++wideCalls, wide(a...); };
  Calls().FormatMessageA = [&](auto... a) { return ++narrowCalls, narrow(a...); };
  const std::string viaWide = GetApiErrorText(2);
  HasFormatMessageW = false;
  const std::string viaNarrow = GetApiErrorText(2);
  EXPECT_EQ(wideCalls, 1);
  EXPECT_EQ(narrowCalls, 1);
  EXPECT_EQ(viaWide, viaNarrow);
}

}  // namespace
}  // namespace crateline::platform
