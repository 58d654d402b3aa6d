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
  // A walk that does not end (a link cycle followed, a URL descended into) fails the test
  // quickly: the scan pumps events at every step, and the pump gives up after that many.
  ScanResult Scan(const std::string& folder) {
    ScanResult result;
    int steps = 0;
    const util::EventPump outer = util::SetEventPump({});  // a test's own pump still runs
    util::SetEventPump(outer);
    util::ScopedEventPump limit([&steps, outer] {
      if (++steps > 100000) throw std::runtime_error("the scan does not end");
      if (outer) outer();
    });
    ScanMessageFolder(folder, "*.eml", result.messages, result.folders,
                      [&](const std::string& c) { result.captions.push_back(c); });
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

// Which names "*.eml" matches is the system's (or its emulation's) business, tested there.
TEST_F(ScanTest, QueuesAFoldersMessagesBeforeItsSubfoldersInListingOrder) {
  for (const char* name : {"a.eml", ".hidden.eml", "one/b.eml", "one/deep/c.eml", "two/d.eml",
                           "two/notes.txt", "x.eml/inside.eml"}) {  // x.eml: a folder
    dir_.Write(name);
  }
  dir_.Mkdir("empty");
#ifndef _WIN32  // making links needs a privilege on Windows; neither link may be followed
  std::filesystem::create_directory_symlink(dir_.path(), dir_.path() / "one" / "loop");
  std::filesystem::create_directory_symlink(dir_.path() / "one", dir_.path() / "alias");
#endif
  testing::SortedListing sorted;
  int pumps = 0;
  util::ScopedEventPump pump([&] { ++pumps; });

  const auto result = Scan(dir_.path().string());  // no trailing separator
  EXPECT_EQ(Queue(),
            (std::vector<std::string>{"K1 .hidden.eml", "K2 a.eml", "K3 one/b.eml",
                                      "K4 one/deep/c.eml", "K5 two/d.eml", "K6 x.eml/inside.eml"}));
  EXPECT_EQ(result.messages, 7);
  EXPECT_EQ(result.folders, 5);
  ASSERT_EQ(result.captions.size(), 6u);
  EXPECT_EQ(result.captions.front(), "1 Messages Queued for Conversion.");
  EXPECT_EQ(result.captions.back(), "6 Messages Queued for Conversion.");
  EXPECT_GT(pumps, 10);
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

// What the system says of an entry decides the walk: a folder that cannot be listed is counted
// and contributes nothing; an entry whose attributes cannot be read is taken for a folder,
// counted and entered (listing it gives nothing); a reparse point is no link by its bit alone
// (a cloud-synchronised folder carries it with a tag that is no link's).
TEST_F(ScanTest, UnlistableUnreadableAndReparsePointEntries) {
  for (const char* name : {"a.eml", "unreadable.eml", "open/b.eml", "locked/c.eml",
                           "locked/inner/d.eml", "cloud/e.eml", "link/f.eml"}) {
    dir_.Write(name);
  }
  testing::SortedListing sorted;
  SystemCalls calls = CurrentSystemCalls();
  const auto tag = [](FindDataW& data) {
    const std::u16string name(data.cFileName);
    if (name == u"cloud" || name == u"link") {
      data.dwFileAttributes |= kAttrReparsePoint;
      data.dwReserved0 = name == u"cloud" ? 0x9000601Au : kReparseTagMountPoint;
    }
  };
  calls.FindFirstFileW = [real = calls.FindFirstFileW, tag](const char16_t* p, FindDataW& d) {
    if (Utf16ToUtf8(p).find(std::string("locked") + kSeparator) != std::string::npos) {
      CurrentSystemCalls().SetLastError(kErrorAccessDenied);
      return kInvalidHandle;
    }
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
    const std::string path = Utf16ToUtf8(p);
    if (path.ends_with(kSeparator + std::string("unreadable.eml"))) {
      CurrentSystemCalls().SetLastError(kErrorSharingViolation);
      return kInvalidFileAttributes;
    }
    const std::uint32_t bits = real(p);
    const bool marked = path.ends_with("cloud") || path.ends_with("link");
    return marked && bits != kInvalidFileAttributes ? bits | kAttrReparsePoint : bits;
  };
  ScopedSystemCalls scope(calls);
  const auto result = Scan(dir_.folder());
  EXPECT_EQ(Queue(), (std::vector<std::string>{"K1 a.eml", "K2 cloud/e.eml", "K3 open/b.eml"}));
  EXPECT_EQ(result.folders, 4);  // cloud, locked, open and unreadable.eml; not the junction
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
  EXPECT_EQ(FolderOfPath("box.tgz", '\\'), "");
  EXPECT_EQ(FolderOfPath("/home/me/box.tgz", '/'), "/home/me/");
}

}  // namespace
}  // namespace crateline::scan
