#include "scan/search.h"

#include <gtest/gtest.h>

#include "platform/api_fixture.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "support/temp_dir.h"

namespace crateline::scan {
namespace {

using namespace platform;

class SearchTest : public testing::ApiTest {
 protected:
  testing::TempDir dir_;
};

TEST(SearchText, WindowsPaths) {
  EXPECT_EQ(MakeLongPathBuffer("C:\\Mail\\*"), std::u16string(u"\\\\?\\C:\\Mail\\*\0", 14));
  EXPECT_EQ(MakeLongPathBuffer("\\\\srv\\share\\Mail\\*"),
            std::u16string(u"\\\\?\\UNC\\srv\\share\\Mail\\*\0", 25));

  SearchRecord r;
  SplitSearchPath("C:\\Mail\\*", r, '\\');
  EXPECT_EQ(r.PathKind, kDrivePath);
  EXPECT_EQ(r.ParentPath, "C:\\Mail\\");
  SplitSearchPath("\\\\srv\\share\\*", r, '\\');
  EXPECT_EQ(r.PathKind, kNetworkPath);
  EXPECT_EQ(r.ParentPath, "\\\\srv\\share\\");
  SplitSearchPath("\\\\srv", r, '\\');
  EXPECT_EQ(r.PathKind, kNetworkPath);
  EXPECT_EQ(r.ParentPath, "");
  SplitSearchPath("C:\\Mail\\", r, '\\');  // a separator at the very end is passed over
  EXPECT_EQ(r.ParentPath, "C:\\");
  SplitSearchPath("box.tgz", r, '\\');
  EXPECT_EQ(r.PathKind, kDrivePath);
  EXPECT_EQ(r.ParentPath, "");
  r.ParentPath = "kept";
  SplitSearchPath("FTP://host/dir/*", r, '\\');
  EXPECT_EQ(r.PathKind, kFtpUrl);
  EXPECT_EQ(r.ParentPath, "kept");
}

TEST(SearchText, ExtensionsSizesAndTimes) {
  EXPECT_EQ(ExtensionOf("archive.tar.gz"), "gz");
  EXPECT_EQ(ExtensionOf("README"), "");
  EXPECT_EQ(ExtensionOf(".profile"), "profile");
  SearchRecord r;
  r.Attributes = kAttrNormal;
  FillEntrySizes(705032704u, 1u, r);
  EXPECT_EQ(r.Size(), 5000000000ull);
  EXPECT_EQ(r.CompressedSize(), 5000000000ull);
  EntryTime t;
  ConvertFileTime({1, 0x80000000u}, t);  // past any date the system can express
  EXPECT_TRUE(t.Failed);
  EXPECT_EQ(t.Ticks, MakeLargeNumber(1, 0x80000000u));
}

// An ftp URL is not the system's to list: nothing listed there is no failure.
TEST_F(SearchTest, NoMatchFailsAndAnFtpUrlListsNothingUnasked) {
  SearchRecord r;
  EXPECT_EQ(FindFirstEntry(dir_.folder() + "*.eml", r), kInvalidHandle);
  EXPECT_FALSE(r.Found);
  EXPECT_TRUE(r.Failed);
  EXPECT_EQ(r.ErrorCode, 2);
  EXPECT_EQ(r.Handle, kInvalidHandle);
  EXPECT_EQ(LastApiError, 2);

  int calls = 0;
  Calls().FindFirstFileW = [&](const char16_t*, FindDataW&) { return ++calls, kInvalidHandle; };
  Calls().FindFirstFileA = [&](const char*, FindDataA&) { return ++calls, kInvalidHandle; };
  EXPECT_EQ(FindFirstEntry("ftp://example.org/mail/*", r), 0);  // clears the failure above
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(r.Found || r.Failed);
  EXPECT_EQ(r.PathKind, kFtpUrl);
}

TEST_F(SearchTest, EveryWayAListingEndsClosesOnceAndEntriesAreDescribed) {
  dir_.Write("a.eml", std::string(100, 'x'));
  dir_.Mkdir("sub");
  int closes = 0;
  auto close = Calls().FindClose;
  Calls().FindClose = [&](SearchHandle h) { return ++closes, close(h); };

  SearchRecord r;
  const SearchHandle h = FindFirstEntry(dir_.folder() + "*", r);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(r.Handle, h);
  EXPECT_EQ(r.ParentPath, dir_.folder());
  int entries = 0;
  do {
    ++entries;
    EXPECT_EQ(LastApiError, 0) << "after a successful step";
    // A successful attribute query clears an error left by an earlier call too ("." and ".."
    // are no names a long-path prefix takes).
    if (r.EntryName != "." && r.EntryName != "..") {
      LastApiError = 5;
      EXPECT_NE(GetEntryAttributes(r.FullPath), kInvalidFileAttributes);
      EXPECT_EQ(LastApiError, 0);
    }
    LastApiError = 5;  // and so does the next step
    EXPECT_TRUE(r.Found);
    EXPECT_EQ(r.FullPath, dir_.folder() + r.EntryName);
    EXPECT_EQ(r.ShortName(), r.EntryName);  // no 8.3 names here
    if (r.EntryName == "a.eml") {
      EXPECT_TRUE(r.IsFile);
      EXPECT_EQ(r.Extension, "eml");
      EXPECT_EQ(r.Size(), 100u);
      EXPECT_EQ(r.CompressedSize(), 100u);
      EXPECT_FALSE(r.LastWritten().Failed);
      EXPECT_GE(r.LastWritten().Stamp.Year, 2020);
    } else if (r.EntryName == "sub") {
      EXPECT_TRUE(r.IsFolder);
      EXPECT_FALSE(r.IsFile);
      EXPECT_EQ(r.Size(), 0u);
      EXPECT_EQ(r.CompressedSize(), 0u);
    }
  } while (FindNextEntry(r));
  EXPECT_EQ(entries, 4);  // ., .., a.eml, sub
  // Ended: closed by the last step, which is no failure.
  EXPECT_FALSE(r.Found);
  EXPECT_FALSE(r.Failed);
  EXPECT_EQ(r.ErrorCode, 0);
  EXPECT_EQ(r.Handle, 0);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(CloseEntrySearch(r));
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(r.Handle, kInvalidHandle);

  // Closed early, broken off by a failing step, or refused its close: the record says so, and
  // the system's search is closed once.
  ASSERT_NE(FindFirstEntry(dir_.folder() + "*", r), kInvalidHandle);
  EXPECT_TRUE(CloseEntrySearch(r));
  EXPECT_FALSE(r.Found);
  EXPECT_EQ(r.Handle, kInvalidHandle);
  EXPECT_FALSE(r.Failed);
  EXPECT_EQ(closes, 2);

  Calls().FindNextFileW = [](SearchHandle, FindDataW&) {
    CurrentSystemCalls().SetLastError(kErrorIoDevice);
    return 0;
  };
  ASSERT_NE(FindFirstEntry(dir_.folder() + "*", r), kInvalidHandle);
  EXPECT_FALSE(FindNextEntry(r));
  EXPECT_FALSE(r.Found);
  EXPECT_TRUE(r.Failed);
  EXPECT_EQ(r.ErrorCode, 1117);
  EXPECT_EQ(r.Handle, 0);
  EXPECT_EQ(closes, 3);

  ASSERT_NE(FindFirstEntry(dir_.folder() + "*", r), kInvalidHandle);
  const SearchHandle open = r.Handle;
  Calls().FindClose = [](SearchHandle) {
    CurrentSystemCalls().SetLastError(kErrorInvalidHandle);
    return 0;
  };
  EXPECT_FALSE(CloseEntrySearch(r));
  EXPECT_EQ(LastApiError, 6);
  CurrentSystemCalls() = NativeSystemCalls();
  EXPECT_EQ(os::FindClose(open), 1);
}

TEST_F(SearchTest, TheFirstSearchOfARunIsWideAndNarrowFollowsTheFlags) {
  dir_.Write("caf\xc3\xa9.eml");
  dir_.Write("\xe6\x97\xa5.eml");  // outside the ANSI code page
  int wide = 0;
  int narrow = 0;
  auto findW = Calls().FindFirstFileW;
  auto findA = Calls().FindFirstFileA;
  Calls().FindFirstFileW = [&](const char16_t* p, FindDataW& d) { return ++wide, findW(p, d); };
  Calls().FindFirstFileA = [&](const char* p, FindDataA& d) { return ++narrow, findA(p, d); };

  SearchRecord r;
  ASSERT_NE(FindFirstEntry(dir_.folder() + "caf\xc3\xa9.eml", r), kInvalidHandle);
  EXPECT_EQ(wide, 1);
  EXPECT_EQ(narrow, 0);
  CloseEntrySearch(r);

  HasFindFirstFileW = HasFindNextFileW = HasGetFileAttributesW = HasGetShortPathNameW = false;
  ASSERT_NE(FindFirstEntry(dir_.folder() + "caf\xc3\xa9.eml", r), kInvalidHandle);
  EXPECT_EQ(narrow, 1);
  EXPECT_EQ(r.EntryName, "caf\xc3\xa9.eml");
#ifdef _WIN32
  EXPECT_FALSE(r.ShortName().empty());  // the volume's own 8.3 name
#else
  EXPECT_EQ(r.ShortName(), "caf\xc3\xa9.eml");  // no 8.3 names here: the name itself
#endif
  CloseEntrySearch(r);
  EXPECT_NE(GetEntryAttributes(dir_.folder() + "caf\xc3\xa9.eml"), kInvalidFileAttributes);
  // The narrow functions cannot reach a name outside the code page.
  EXPECT_EQ(GetEntryAttributes(dir_.folder() + "\xe6\x97\xa5.eml"), kInvalidFileAttributes);
  EXPECT_NE(LastApiError, 0);
}

TEST_F(SearchTest, CompressedSizeQueries) {
  const auto file = dir_.Write("big.eml", std::string(10, 'x'));
  auto find = Calls().FindFirstFileW;
  Calls().FindFirstFileW = [&](const char16_t* p, FindDataW& d) {
    const SearchHandle h = find(p, d);
    d.dwFileAttributes |= kAttrCompressed;
    return h;
  };
  std::uint32_t error = 0;
  int wideCalls = 0;
  int narrowCalls = 0;
  Calls().GetCompressedFileSizeW = [&](const char16_t*, std::uint32_t* high) {
    ++wideCalls;
    *high = 2;
    CurrentSystemCalls().SetLastError(error);
    return 0xFFFFFFFFu;
  };
  Calls().GetCompressedFileSizeA = [&](const char*, std::uint32_t* high) {
    ++narrowCalls;
    *high = 0;
    CurrentSystemCalls().SetLastError(0);
    return 7u;
  };
  const auto compressedSize = [&] {
    SearchRecord r;
    EXPECT_NE(FindFirstEntry(file.string(), r), kInvalidHandle);
    CloseEntrySearch(r);
    return r.CompressedSize();
  };

  EXPECT_EQ(compressedSize(), MakeLargeNumber(0xFFFFFFFFu, 2));  // all ones, but no error
  error = kErrorAccessDenied;
  EXPECT_EQ(compressedSize(), 10u);  // a failure keeps the plain size
  EXPECT_TRUE(HasGetCompressedFileSizeW);
  error = kErrorCallNotImplemented;
  EXPECT_EQ(compressedSize(), 7u);  // the narrow function answers instead
  EXPECT_FALSE(HasGetCompressedFileSizeW);
  EXPECT_EQ(compressedSize(), 7u);
  EXPECT_EQ(wideCalls, 3);
  EXPECT_EQ(narrowCalls, 2);
}

}  // namespace
}  // namespace crateline::scan
