#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string_view>

#include "api_fixture.h"

namespace crateline::platform {
namespace {

using testing::ApiTest;
using namespace std::string_view_literals;

// The flags a decision set, by name.
std::set<std::string> FlagsOf(const WindowsVersionInfo& v) {
  const std::pair<const char*, bool> flags[] = {{"Win32s", v.IsWin32s},
                                                {"Win9x", v.IsWin9x},
                                                {"NT", v.IsNT},
                                                {"Win95", v.IsWin95},
                                                {"Win95OSR2", v.IsWin95OSR2},
                                                {"Win98", v.IsWin98},
                                                {"Win98SE", v.IsWin98SE},
                                                {"WinMe", v.IsWinMe},
                                                {"Win9xNotMe", v.IsWin9xNotMe},
                                                {"NT3", v.IsNT3},
                                                {"NT4", v.IsNT4},
                                                {"NT4SP6", v.IsNT4SP6},
                                                {"NTMajor4", v.IsNTMajor4},
                                                {"Win2000", v.IsWin2000},
                                                {"WinXP", v.IsWinXP},
                                                {"Win2003", v.IsWin2003},
                                                {"NTPlatform", v.IsNTPlatform}};
  std::set<std::string> set;
  for (const auto& [name, on] : flags) {
    if (on) set.insert(name);
  }
  return set;
}

TEST(DecideWindowsVersion, EveryVersionTheDecisionNames) {
  struct Case {
    int major, minor, build, platformId;
    std::string_view servicePack;
    std::set<std::string> flags;  // exactly these are set
    const char* text;
    int code, ntCode, win9xCode;
  };
  // clang-format off
  const Case cases[] = {
      {5, 1, 2600, 2, "Service Pack 3"sv, {"NT", "NTPlatform", "WinXP"}, "Windows XP v5.1", 501, 501, 0},
      {5, 0, 2195, 2, ""sv, {"NT", "NTPlatform", "Win2000"}, "Windows 2000 v5.0", 500, 500, 0},
      {5, 2, 3790, 2, ""sv, {"NT", "NTPlatform", "Win2003"}, "Windows 2003 v5.2", 502, 502, 0},
      // The service-pack text is cut at its NUL and trimmed: " A " is "A", not "uba".
      {4, 10, 67766446, 1, " A \0junk"sv, {"Win9x", "Win98", "Win9xNotMe"}, " v4.10", 400, 0, 410},
      {4, 10, 0, 1, "UbA"sv, {"Win9x", "Win98", "Win98SE", "Win9xNotMe"}, "Windows 98 SE v4.10", 400, 0, 410},
      {4, 90, 0, 1, ""sv, {"Win9x", "WinMe"}, "Windows Me v4.90", 400, 0, 490},
      {4, 0, 0, 1, " c "sv, {"Win9x", "Win95", "Win95OSR2", "Win9xNotMe"}, "Windows 95 OSR2 v4.0", 400, 0, 400},
      {3, 11, 0, 0, ""sv, {"Win32s"}, "Windows Win32s v3.11", 311, 0, 0},  // platform 0: no family
      {4, 0, 1381, 2, "Service Pack 6"sv, {"NT", "NTPlatform", "NTMajor4", "NT4", "NT4SP6"}, "Windows NT 4.0 v4.0 SP6", 401, 400, 0},
      {4, 0, 1380, 2, ""sv, {"NT", "NTPlatform", "NTMajor4", "NT4"}, "Windows NT 4.0 v4.0", 400, 400, 0},
      {3, 51, 1057, 2, ""sv, {"NT", "NTPlatform", "NT3"}, "Windows NT v3.51", 400, 0, 0},
      {6, 1, 7601, 2, ""sv, {"NT", "NTPlatform"}, " v6.1", 601, 0, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    const auto v =
        DecideWindowsVersion({c.major, c.minor, c.build, c.platformId, std::string(c.servicePack)});
    EXPECT_EQ(FlagsOf(v), c.flags) << c.text;
    EXPECT_EQ(v.VersionText, c.text);
    EXPECT_EQ(v.VersionCode, c.code) << c.text;
    EXPECT_EQ(v.NTVersionCode, c.ntCode) << c.text;
    EXPECT_EQ(v.Win9xVersionCode, c.win9xCode) << c.text;
  }
}

// Every library the probe or the export check opens is released again.
TEST_F(ApiTest, ProbeOfThisSystemChoosesTheWideFunctionsOnceAndReleasesItsLibraries) {
  int loads = 0;
  std::map<ModuleHandle, int> open;
  auto load = Calls().LoadLibraryA;
  auto release = Calls().FreeLibrary;
  Calls().LoadLibraryA = [&](const std::string& name) {
    ++loads;
    const ModuleHandle h = load(name);
    if (h != 0) ++open[h];
    return h;
  };
  Calls().FreeLibrary = [&](ModuleHandle h) {
    --open[h];
    return release(h);
  };
  EnsureApiSupport();
  EXPECT_TRUE(ApiSupportReady);
  EXPECT_TRUE(WindowsVersion.IsNTPlatform);
  EXPECT_TRUE(HasFindFirstFileW && HasFindNextFileW && HasGetFileAttributesW &&
              HasGetCompressedFileSizeW && HasFormatMessageW && HasGetShortPathNameW);
  EXPECT_EQ(LastApiError, 0);
  EXPECT_EQ(loads, 2);  // kernel32, then comctl32
  EnsureApiSupport();
  GetApiErrorText(5);
  EXPECT_EQ(loads, 2);
  EXPECT_TRUE(IsFunctionExported("comctl32.dll", "InitCommonControls"));
  EXPECT_FALSE(IsFunctionExported("comctl32.dll", "NoSuchFunction"));
  EXPECT_FALSE(IsFunctionExported("nosuchlibrary.dll", "InitCommonControls"));
  for (const auto& [handle, count] : open) EXPECT_EQ(count, 0) << "handle " << handle;
}

TEST_F(ApiTest, Kernel32NotLoadingLeavesEverythingEmpty) {
  Calls().LoadLibraryA = [](const std::string&) { return ModuleHandle{0}; };
  InitApiSupport();
  EXPECT_TRUE(ApiSupportReady);
  EXPECT_FALSE(HasFindFirstFileW || HasGetVersionExW || HasGetShortPathNameA ||
               HasInitCommonControls || RunningOnNT);
  EXPECT_EQ(WindowsVersion.VersionText, "");
  EXPECT_EQ(WindowsVersion.PlatformId, 0);
}

TEST_F(ApiTest, FailingGetVersionExWFallsBackToTheNarrowFunction) {
  std::int32_t errorSeenByFallback = 0;
  Calls().GetVersionExW = [&](OsVersionInfoW&) {
    CurrentSystemCalls().SetLastError(kErrorCallNotImplemented);
    return 0;
  };
  Calls().GetVersionExA = [&](OsVersionInfoA& info) {
    errorSeenByFallback = LastApiError;
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    info.dwBuildNumber = 2600;
    info.dwPlatformId = 2;
    const char sp[] = "Service Pack 2";
    std::copy(std::begin(sp), std::end(sp), info.szCSDVersion);
    return 1;
  };
  InitApiSupport();
  EXPECT_FALSE(HasGetVersionExW);
  EXPECT_TRUE(HasGetVersionExA);
  EXPECT_EQ(errorSeenByFallback, 120);
  EXPECT_EQ(LastApiError, 0);
  EXPECT_EQ(WindowsVersion.VersionText, "Windows XP v5.1");
  EXPECT_EQ(WindowsVersion.CSDVersion, "Service Pack 2");
}

// Without either GetVersionEx function the probe decodes GetVersion. A Win9x answer means no
// wide functions, whatever the library exports; CopyFileEx is there on every NT system, and
// elsewhere where kernel32 exports it; a missing export clears only its own flag.
TEST_F(ApiTest, GetVersionAloneAndMissingExports) {
  auto lookup = Calls().GetProcAddress;
  Calls().GetVersionExW = [](OsVersionInfoW&) { return 0; };
  Calls().GetVersionExA = [](OsVersionInfoA&) { return 0; };
  for (const bool nt : {true, false}) {
    for (const bool exported : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "NT " << nt << ", exported " << exported);
      ResetApiSupport();
      Calls().GetProcAddress = [&](ModuleHandle m, const std::string& name) -> const void* {
        const bool dropped = name == "CopyFileExA" || name == "GetShortPathNameA";
        return dropped && !exported ? nullptr : lookup(m, name);
      };
      Calls().GetVersion = [nt] {
        return 4u | (10u << 8) | (1998u << 16) | (nt ? 0u : 0x80000000u);
      };
      InitApiSupport();
      EXPECT_FALSE(HasGetVersionExW || HasGetVersionExA);
      EXPECT_EQ(WindowsVersion.IsNT, nt);
      EXPECT_EQ(WindowsVersion.MajorVersion, 4);
      EXPECT_EQ(WindowsVersion.MinorVersion, 10);
      EXPECT_EQ(WindowsVersion.BuildNumber, nt ? 1998 : 0);  // Win9x's high word is no build
      if (!nt) {
        EXPECT_FALSE(HasFindFirstFileW || HasFormatMessageW);
      }
      EXPECT_EQ(HasCopyFileEx, nt || exported);
      EXPECT_EQ(HasGetShortPathNameA, exported);
      EXPECT_TRUE(HasGetCompressedFileSizeA && HasGetLongPathNameA);
    }
  }
}

}  // namespace
}  // namespace crateline::platform
