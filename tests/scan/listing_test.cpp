#include "scan/listing.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <map>

#include "platform/api_fixture.h"
#include "support/temp_dir.h"

namespace crateline::scan {
namespace {

using namespace platform;
namespace fs = std::filesystem;

class ListingTest : public testing::ApiTest {
 protected:
  testing::TempDir dir_;
};

TEST_F(ListingTest, NamesKindsSizesAndTimes) {
  dir_.Write("a.eml", "12345");
  dir_.Mkdir("Sub");
  fs::last_write_time(dir_.path() / "a.eml",
                      fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  std::map<std::string, std::string> seen;
#ifndef _WIN32
  fs::create_directory_symlink(dir_.path() / "Sub", dir_.path() / "loop");
  mkfifo((dir_.path() / "pipe").c_str(), 0644);
#endif
  FolderListing listing(dir_.folder());
  while (listing.Next()) {
    std::string kind = listing.IsLink()     ? "link"
                       : listing.IsFolder() ? "folder"
                       : listing.IsDevice() ? "device"
                                            : "file " + std::to_string(listing.Size());
    seen[listing.Name()] = kind;
    EXPECT_EQ(listing.Path(), dir_.folder() + listing.Name());
    if (listing.Name() == "a.eml") {
      const auto age = std::time(nullptr) - listing.Modified();
      EXPECT_GT(age, 399 * 24 * 3600);
      EXPECT_LT(age, 401 * 24 * 3600);
    }
  }
  EXPECT_TRUE(listing.Opened());
  EXPECT_FALSE(listing.Failed());
  EXPECT_EQ(seen.count(".") + seen.count(".."), 0u);
  EXPECT_EQ(seen["a.eml"], "file 5");
  EXPECT_EQ(seen["Sub"], "folder");
#ifndef _WIN32
  EXPECT_EQ(seen["loop"], "link");
  EXPECT_EQ(seen["pipe"], "device");
#endif
  EXPECT_EQ(UnixTime(116444736000000000ull + 10000000ull * 86400), 86400);
  EXPECT_EQ(UnixTime(5), 0);
}

TEST_F(ListingTest, FailuresAreToldApart) {
  // Nothing matches: an empty listing, no failure.
  FolderListing none(dir_.folder(), "*.nothing");
  EXPECT_FALSE(none.Next());
  EXPECT_FALSE(none.Failed());

  FolderListing missing(dir_.folder() + "missing" + kSeparator);
  EXPECT_FALSE(missing.Next());
  EXPECT_FALSE(missing.Opened());
  EXPECT_TRUE(missing.Failed());
  EXPECT_FALSE(missing.Error().empty());

  // Broken off after its first entry: opened, failed, and why.
  dir_.Write("a", "x");
  dir_.Write("b", "x");
  Calls().FindNextFileW = [](SearchHandle, FindDataW&) {
    CurrentSystemCalls().SetLastError(kErrorAccessDenied);
    return 0;
  };
  FolderListing broken(dir_.folder(), "a");
  EXPECT_TRUE(broken.Next());
  EXPECT_FALSE(broken.Next());
  EXPECT_FALSE(broken.Next()) << "a broken listing stays ended";
  EXPECT_TRUE(broken.Opened());
  EXPECT_TRUE(broken.Failed());
  EXPECT_EQ(broken.Error(), GetApiErrorText(kErrorAccessDenied));

  std::string why;
  EXPECT_EQ(KindAt(dir_.folder() + "a"), EntryKind::kFile);
  EXPECT_EQ(KindAt(dir_.path().string()), EntryKind::kFolder);
  EXPECT_EQ(KindAt(dir_.folder() + "missing", &why), EntryKind::kNone);
  EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace crateline::scan
