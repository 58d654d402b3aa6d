#include "scan/scan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <limits>

#include "platform/api_fixture.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "sorted_listing.h"
#include "support/temp_dir.h"
#include "util/event_pump.h"

namespace crateline::scan {
namespace {

using namespace platform;

struct ScanResult {
  std::int32_t messages = 1;
  std::int32_t folders = 0;
  std::vector<std::string> captions;
};

class ScanTest : public testing::ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    QueuedMessages.reset();
  }
  void TearDown() override {
    ApiTest::TearDown();
    QueuedMessages.reset();
  }
  // A walk that does not end (a link cycle followed, a URL descended into) fails the test
  // quickly: the scan pumps events at every step, and the pump gives up after that many.
  ScanResult Scan(const std::string& folder) {
    ScanResult result;
    int steps = 0;
    util::EventPump outer = util::SetEventPump({});  // a test's own pump still runs
    util::SetEventPump([&steps, outer] {
      if (++steps > 100000) throw std::runtime_error("the scan does not end");
      if (outer) outer();
    });
    try {
      ScanMessageFolder(folder, "*.eml", result.messages, result.folders,
                        [&](const std::string& c) { result.captions.push_back(c); });
    } catch (...) {
      util::SetEventPump(outer);
      throw;
    }
    util::SetEventPump(outer);
    return result;
  }
  // The queue as paths relative to the temporary folder.
  std::vector<std::string> Queue() const {
    std::vector<std::string> paths;
    if (!QueuedMessages) return paths;
    for (const auto& [key, path] : *QueuedMessages) {
      std::string relative = path.substr(dir_.folder().size());
      std::replace(relative.begin(), relative.end(), kSeparator, '/');  // expectations use '/'
      paths.push_back(key + " " + relative);
    }
    return paths;
  }
  testing::TempDir dir_;
};

TEST_F(ScanTest, QueuesAFoldersFilesBeforeItsSubfoldersInListingOrder) {
  dir_.Write("a.eml");
  dir_.Write("one/b.eml");
  dir_.Write("one/deep/c.eml");
  dir_.Write("two/d.eml");
  dir_.Write("two/notes.txt");
  testing::SortedListing sorted;
  int pumps = 0;
  util::ScopedEventPump pump([&] { ++pumps; });

  const auto result = Scan(dir_.folder());
  EXPECT_EQ(Queue(), (std::vector<std::string>{"K1 a.eml", "K2 one/b.eml", "K3 one/deep/c.eml",
                                               "K4 two/d.eml"}));
  EXPECT_EQ(result.messages, 5);
  EXPECT_EQ(result.folders, 3);
  ASSERT_EQ(result.captions.size(), 4u);
  EXPECT_EQ(result.captions.front(), "1 Messages Queued for Conversion.");
  EXPECT_EQ(result.captions.back(), "4 Messages Queued for Conversion.");
  EXPECT_GT(pumps, 10);
}

TEST_F(ScanTest, WhatCountsAsAMessageAndAsAFolder) {
  dir_.Mkdir("empty");
  dir_.Write("x.eml/inside.eml");  // a folder named like a message
  dir_.Write("UPPER.EML");
  dir_.Write(".hidden.eml");
  dir_.Write("almost.emlx");
  dir_.Write("eml");
  testing::SortedListing sorted;
  const auto result = Scan(dir_.path().string());  // no trailing separator
#ifdef _WIN32
  // Windows matches a three-letter extension in a pattern against the 8.3 short name too:
  // ALMOST~1.EML matches "*.eml". The scan takes the system's matching as it is.
  EXPECT_EQ(Queue(), (std::vector<std::string>{"K1 .hidden.eml", "K2 UPPER.EML", "K3 almost.emlx",
                                               "K4 x.eml/inside.eml"}));
#else
  EXPECT_EQ(Queue(),
            (std::vector<std::string>{"K1 .hidden.eml", "K2 UPPER.EML", "K3 x.eml/inside.eml"}));
#endif
  EXPECT_EQ(result.folders, 2);
}

TEST_F(ScanTest, NothingFoundLeavesEverythingUntouched) {
  dir_.Write("notes.txt");
  // A folder without messages, a folder that is not there, and an ftp URL, which lists nothing.
  for (const std::string& start :
       {dir_.folder(), dir_.folder() + "missing", std::string("ftp://example.org/mail/")}) {
    const auto result = Scan(start);
    EXPECT_EQ(result.messages, 1) << start;
    EXPECT_EQ(result.folders, 0) << start;
    EXPECT_TRUE(result.captions.empty());
    EXPECT_FALSE(QueuedMessages.has_value());
  }
}

#ifndef _WIN32  // making links needs a privilege on Windows
TEST_F(ScanTest, LinksToFoldersAreNotFollowed) {
  dir_.Write("real/a.eml");
  std::filesystem::create_directory_symlink(dir_.path(), dir_.path() / "real" / "loop");
  std::filesystem::create_directory_symlink(dir_.path() / "real", dir_.path() / "alias");
  const auto result = Scan(dir_.folder());
  EXPECT_EQ(Queue(), (std::vector<std::string>{"K1 real/a.eml"}));
  EXPECT_EQ(result.folders, 1);
}

#endif

// A cloud-synchronised folder carries the reparse-point bit with a tag that is no link's.
TEST_F(ScanTest, AReparsePointThatIsNoLinkIsAFolderLikeAnyOther) {
  dir_.Write("cloud/a.eml");
  dir_.Write("link/b.eml");
  SystemCalls calls = CurrentSystemCalls();
  const auto tag = [](FindDataW& data) {
    const std::u16string name(data.cFileName);
    if (name == u"cloud" || name == u"link") {
      data.dwFileAttributes |= kAttrReparsePoint;
      data.dwReserved0 = name == u"cloud" ? 0x9000601Au : kReparseTagMountPoint;
    }
  };
  calls.FindFirstFileW = [real = calls.FindFirstFileW, tag](const char16_t* p, FindDataW& d) {
    const SearchHandle h = real(p, d);
    if (h != kInvalidHandle) tag(d);
    return h;
  };
  calls.FindNextFileW = [real = calls.FindNextFileW, tag](SearchHandle h, FindDataW& d) {
    const int found = real(h, d);
    if (found != 0) tag(d);
    return found;
  };
  calls.GetFileAttributesW = [real = calls.GetFileAttributesW](const char16_t* p) {
    const std::uint32_t bits = real(p);
    const std::string path = Utf16ToUtf8(p);
    const bool marked = path.ends_with("cloud") || path.ends_with("link");
    return marked && bits != kInvalidFileAttributes ? bits | kAttrReparsePoint : bits;
  };
  ScopedSystemCalls scope(calls);
  const auto result = Scan(dir_.folder());
  EXPECT_EQ(Queue(), (std::vector<std::string>{"K1 cloud/a.eml"}));
  EXPECT_EQ(result.folders, 1);  // the junction is neither counted nor entered
}

TEST_F(ScanTest, AnUnlistableFolderIsCountedAndContributesNothing) {
  dir_.Write("open/a.eml");
  dir_.Write("locked/b.eml");
  dir_.Write("locked/inner/c.eml");
  auto find = CurrentSystemCalls().FindFirstFileW;
  CurrentSystemCalls().FindFirstFileW = [&](const char16_t* path, FindDataW& data) {
    if (Utf16ToUtf8(path).find(std::string("locked") + kSeparator) != std::string::npos) {
      CurrentSystemCalls().SetLastError(kErrorAccessDenied);
      return kInvalidHandle;
    }
    return find(path, data);
  };
  const auto result = Scan(dir_.folder());
  EXPECT_EQ(Queue(), (std::vector<std::string>{"K1 open/a.eml"}));
  EXPECT_EQ(result.folders, 2);
}

TEST_F(ScanTest, AnEntryWithUnreadableAttributesIsTakenForAFolder) {
  dir_.Write("a.eml");
  dir_.Write("b.eml");
  auto attributes = CurrentSystemCalls().GetFileAttributesW;
  CurrentSystemCalls().GetFileAttributesW = [&](const char16_t* path) {
    if (Utf16ToUtf8(path).ends_with(kSeparator + std::string("b.eml"))) {
      CurrentSystemCalls().SetLastError(kErrorSharingViolation);
      return kInvalidFileAttributes;
    }
    return attributes(path);
  };
  const auto result = Scan(dir_.folder());
  EXPECT_EQ(Queue(), (std::vector<std::string>{"K1 a.eml"}));
  EXPECT_EQ(result.folders, 1);  // counted and entered; listing it gives nothing
}

TEST_F(ScanTest, ACounterAtItsLimitRaisesInsteadOfWrapping) {
  dir_.Write("a.eml");
  std::int32_t messages = std::numeric_limits<std::int32_t>::max();
  std::int32_t folders = 0;
  EXPECT_THROW(ScanMessageFolder(dir_.folder(), "*.eml", messages, folders), CounterOverflowError);
  EXPECT_EQ(messages, std::numeric_limits<std::int32_t>::max());
}

TEST(FolderOfPath, KeepsTheFolderPart) {
  EXPECT_EQ(FolderOfPath("C:\\Out\\box.tgz", '\\'), "C:\\Out\\");
  EXPECT_EQ(FolderOfPath("\\\\server\\share\\box.tgz", '\\'), "\\\\server\\share\\");
  EXPECT_EQ(FolderOfPath("box.tgz", '\\'), "");
  EXPECT_EQ(FolderOfPath("/home/me/box.tgz", '/'), "/home/me/");
}

}  // namespace
}  // namespace crateline::scan
