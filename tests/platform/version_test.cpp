#include <gtest/gtest.h>

#include <map>

#include "api_fixture.h"

namespace crateline::platform {
namespace {

using testing::ApiTest;

TEST(DecideWindowsVersion, WindowsXP) {
  const auto v = DecideWindowsVersion({5, 1, 2600, 2, "Service Pack 3"});
  EXPECT_TRUE(v.IsNT && v.IsNTPlatform && v.IsWinXP);
  EXPECT_FALSE(v.IsWin9x || v.IsWin2000 || v.IsNT4);
  EXPECT_EQ(v.VersionText, "Windows XP v5.1");
  EXPECT_EQ(v.VersionCode, 501);
  EXPECT_EQ(v.NTVersionCode, 501);
  EXPECT_EQ(v.Win9xVersionCode, 0);
  EXPECT_EQ(v.CSDVersion, "Service Pack 3");
}

TEST(DecideWindowsVersion, Windows98WithPaddedServicePackLetter) {
  const auto v = DecideWindowsVersion({4, 10, 67766446, 1, std::string(" A \0junk", 8)});
  EXPECT_EQ(v.CSDVersion, "A");
  EXPECT_TRUE(v.IsWin9x && v.IsWin98 && v.IsWin9xNotMe);
  EXPECT_FALSE(v.IsWin98SE || v.IsNT || v.IsNTPlatform);
  EXPECT_EQ(v.VersionText, " v4.10");
  EXPECT_EQ(v.VersionCode, 400);
  EXPECT_EQ(v.Win9xVersionCode, 410);
  EXPECT_EQ(v.NTVersionCode, 0);
}

TEST(DecideWindowsVersion, NamedWin9xEditions) {
  const auto me = DecideWindowsVersion({4, 90, 0, 1, ""});
  EXPECT_TRUE(me.IsWinMe);
  EXPECT_FALSE(me.IsWin9xNotMe);
  EXPECT_EQ(me.VersionText, "Windows Me v4.90");
  EXPECT_EQ(me.VersionCode, 400);
  EXPECT_EQ(me.Win9xVersionCode, 490);

  const auto se = DecideWindowsVersion({4, 10, 0, 1, "UbA"});
  EXPECT_TRUE(se.IsWin98SE);
  EXPECT_EQ(se.VersionText, "Windows 98 SE v4.10");

  const auto osr2 = DecideWindowsVersion({4, 0, 0, 1, " c "});
  EXPECT_TRUE(osr2.IsWin95 && osr2.IsWin95OSR2);
  EXPECT_EQ(osr2.VersionText, "Windows 95 OSR2 v4.0");
  EXPECT_EQ(osr2.Win9xVersionCode, 400);

  const auto win32s = DecideWindowsVersion({3, 11, 0, 0, ""});
  EXPECT_TRUE(win32s.IsWin32s);
  EXPECT_FALSE(win32s.IsWin9x || win32s.IsNT);  // platform 0 is neither family
  EXPECT_EQ(win32s.VersionText, "Windows Win32s v3.11");
  EXPECT_EQ(win32s.VersionCode, 311);
}

TEST(DecideWindowsVersion, NT4ServicePack6AndNT3) {
  const auto nt4 = DecideWindowsVersion({4, 0, 1381, 2, "Service Pack 6"});
  EXPECT_TRUE(nt4.IsNTMajor4 && nt4.IsNT4 && nt4.IsNT4SP6);
  EXPECT_EQ(nt4.VersionText, "Windows NT 4.0 v4.0 SP6");
  EXPECT_EQ(nt4.VersionCode, 401);
  EXPECT_EQ(nt4.NTVersionCode, 400);

  const auto older = DecideWindowsVersion({4, 0, 1380, 2, ""});
  EXPECT_FALSE(older.IsNT4SP6);
  EXPECT_EQ(older.VersionCode, 400);

  const auto nt351 = DecideWindowsVersion({3, 51, 1057, 2, ""});
  EXPECT_TRUE(nt351.IsNT3);
  EXPECT_EQ(nt351.VersionText, "Windows NT v3.51");
  EXPECT_EQ(nt351.VersionCode, 400);
}

TEST(DecideWindowsVersion, UnnamedVersionsKeepOnlyThePlatformFlags) {
  const auto v = DecideWindowsVersion({6, 1, 7601, 2, ""});
  EXPECT_TRUE(v.IsNT && v.IsNTPlatform);
  EXPECT_FALSE(v.IsWinXP || v.IsWin2000 || v.IsWin2003 || v.IsNT4 || v.IsNTMajor4);
  EXPECT_EQ(v.VersionText, " v6.1");
  EXPECT_EQ(v.VersionCode, 601);
  EXPECT_EQ(v.NTVersionCode, 0);
}

TEST(RawVersionFromGetVersion, NTAndWin9xEncodings) {
  const auto xp = RawVersionFromGetVersion(5u | (1u << 8) | (2600u << 16));
  EXPECT_EQ(xp.major, 5);
  EXPECT_EQ(xp.minor, 1);
  EXPECT_EQ(xp.platformId, 2);
  EXPECT_EQ(xp.build, 2600);
  EXPECT_EQ(DecideWindowsVersion(xp).VersionText, "Windows XP v5.1");
  EXPECT_TRUE(DecideWindowsVersion(xp).CSDVersion.empty());

  const auto w98 = RawVersionFromGetVersion(4u | (10u << 8) | 0x80000000u | (1998u << 16));
  EXPECT_EQ(w98.major, 4);
  EXPECT_EQ(w98.minor, 10);
  EXPECT_EQ(w98.platformId, 1);
  EXPECT_EQ(w98.build, 0);
}

TEST_F(ApiTest, ProbeOfThisSystemChoosesTheWideFunctionsOnce) {
  int loads = 0;
  auto load = Calls().LoadLibraryA;
  Calls().LoadLibraryA = [&](const std::string& name) {
    ++loads;
    return load(name);
  };
  EnsureApiSupport();
  EXPECT_TRUE(ApiSupportReady);
  EXPECT_TRUE(WindowsVersion.IsNTPlatform);
  EXPECT_TRUE(HasFindFirstFileW && HasFindNextFileW && HasGetFileAttributesW &&
              HasGetCompressedFileSizeW && HasFormatMessageW && HasGetShortPathNameW);
  EXPECT_TRUE(HasGetVersionExW && HasGetVersionExA && HasGetShortPathNameA && HasCopyFileEx);
  EXPECT_TRUE(HasInitCommonControls);
  EXPECT_TRUE(RunningOnNT);
  EXPECT_EQ(LastApiError, 0);
  const int loadsAfterFirstProbe = loads;  // kernel32, then comctl32
  EXPECT_EQ(loadsAfterFirstProbe, 2);
  EnsureApiSupport();
  GetApiErrorText(5);
  EXPECT_EQ(loads, loadsAfterFirstProbe);
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

TEST_F(ApiTest, BothVersionExFunctionsFailingEndsAtGetVersion) {
  Calls().GetVersionExW = [](OsVersionInfoW&) { return 0; };
  Calls().GetVersionExA = [](OsVersionInfoA&) { return 0; };
  Calls().GetVersion = [] { return 4u | (10u << 8) | 0x80000000u; };
  InitApiSupport();
  EXPECT_FALSE(HasGetVersionExW || HasGetVersionExA);
  EXPECT_TRUE(WindowsVersion.IsWin98);
  // A Win9x answer means no wide functions, whatever the library exports.
  EXPECT_FALSE(HasFindFirstFileW || HasFormatMessageW);
}

TEST_F(ApiTest, MissingExportClearsOnlyItsFlag) {
  auto lookup = Calls().GetProcAddress;
  Calls().GetProcAddress = [&](ModuleHandle m, const std::string& name) -> const void* {
    return name == "GetShortPathNameA" ? nullptr : lookup(m, name);
  };
  InitApiSupport();
  EXPECT_FALSE(HasGetShortPathNameA);
  EXPECT_TRUE(HasGetCompressedFileSizeA && HasGetLongPathNameA);
}

TEST_F(ApiTest, IsFunctionExportedReleasesTheLibrary) {
  std::map<ModuleHandle, int> open;
  auto load = Calls().LoadLibraryA;
  auto release = Calls().FreeLibrary;
  Calls().LoadLibraryA = [&](const std::string& name) {
    const ModuleHandle h = load(name);
    if (h != 0) ++open[h];
    return h;
  };
  Calls().FreeLibrary = [&](ModuleHandle h) {
    --open[h];
    return release(h);
  };
  EXPECT_TRUE(IsFunctionExported("comctl32.dll", "InitCommonControls"));
  EXPECT_FALSE(IsFunctionExported("comctl32.dll", "NoSuchFunction"));
  EXPECT_FALSE(IsFunctionExported("nosuchlibrary.dll", "InitCommonControls"));
  for (const auto& [handle, count] : open) EXPECT_EQ(count, 0) << "handle " << handle;
}

}  // namespace
}  // namespace crateline::platform
