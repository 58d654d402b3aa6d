// The .eml tree: what the walk takes as messages, what it leaves out and says why.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "mailbox/mailbox.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "platform/system_calls.h"
#include "support/temp_dir.h"

namespace crateline::mailbox {
namespace {

namespace fs = std::filesystem;

std::set<std::string> Names(const std::vector<Item>& items) {
  std::set<std::string> names;
  for (const auto& item : items) names.insert(fs::path(item.what).filename().string());
  return names;
}

std::set<std::string> MessageNames(const Inventory& inventory) {
  std::set<std::string> names;
  for (const auto& m : inventory.messages) names.insert(std::string(inventory.FileName(m.file)));
  return names;
}

class EmlTreeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::CurrentSystemCalls() = platform::NativeSystemCalls();
    platform::ResetApiSupport();
  }
  Inventory Read() { return ReadSource(dir_.folder(), {}, "eml"); }
  testing::TempDir dir_;
};

TEST_F(EmlTreeTest, MacOSLeftoversAreNotMailAndEveryOtherMessageIsTaken) {
  const std::string appleDouble("\x00\x05\x16\x07\x00\x02\x00\x00", 8);
  dir_.Write("Inbox/a.eml", "Subject: a\r\n\r\na\r\n");
  dir_.Write("Inbox/._a.eml", appleDouble);
  dir_.Write("Inbox/._real.eml", "Subject: named like one, but a message\r\n\r\nx\r\n");
  dir_.Write("Inbox/.eml", "Subject: no name\r\n\r\nx\r\n");
  dir_.Write("__MACOSX/Inbox/._a.eml", appleDouble);
  dir_.Write("__MACOSX/Inbox/copy.eml", "Subject: copy\r\n\r\nx\r\n");
  dir_.Write("old.tgz", "an earlier archive");
  dir_.Write("old.report.txt", "its report");
  dir_.Write("notes.txt", "not mail");
  const Inventory inventory = Read();
  EXPECT_EQ(MessageNames(inventory), (std::set<std::string>{".eml", "._real.eml", "a.eml"}));
  EXPECT_EQ(Names(inventory.notMail), (std::set<std::string>{"._a.eml", "notes.txt"}));
  EXPECT_EQ(inventory.notMail.size(), 3u);  // both AppleDouble files, each on a line
  ASSERT_EQ(inventory.leftOut.size(), 1u);
  EXPECT_NE(inventory.leftOut[0].what.find("__MACOSX"), std::string::npos);
  EXPECT_NE(inventory.leftOut[0].why.find("__MACOSX"), std::string::npos);
  ASSERT_EQ(inventory.notes.size(), 1u);  // the earlier archive and report, not listed
  EXPECT_NE(inventory.notes[0].find("2 archive(s) and report(s)"), std::string::npos);
}

// Every reader bids on every file; an .eml name settles the bid before anyone looks inside,
// so a tree of a hundred thousand messages is listed without one of them opened.
TEST_F(EmlTreeTest, EmlFilesAreListedWithoutBeingOpened) {
  dir_.Write("Inbox/a.eml", "Subject: a\r\n\r\na\r\n");
  dir_.Write("Inbox/B.EML", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:B\r\nEND:VCARD\r\n");
  dir_.Write("Inbox/1", "From: x@example.org\r\nSubject: MH\r\n\r\nx\r\n");
  dir_.Write("Inbox/c.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:C\r\nEND:VCARD\r\n");
  std::vector<std::string> opened;
  platform::InputFile::SetOpenCheck([&](const std::string& path) {
    opened.push_back(fs::path(path).filename().string());
    return 0;
  });
  const Inventory inventory = ReadSource(dir_.folder(), {}, "");
  platform::InputFile::SetOpenCheck({});
  EXPECT_EQ(MessageNames(inventory), (std::set<std::string>{"1", "B.EML", "a.eml", "c.vcf"}));
  std::sort(opened.begin(), opened.end());
  opened.erase(std::unique(opened.begin(), opened.end()), opened.end());
  EXPECT_EQ(opened, (std::vector<std::string>{"1", "c.vcf"}));
}

TEST_F(EmlTreeTest, FoldersThatCannotBeReadAreNamedAsPlacesNotRead) {
  dir_.Write("Locked/x.eml", "Subject: x\r\n\r\nx\r\n");
  dir_.Write("Broken/y.eml", "Subject: y\r\n\r\ny\r\n");
  dir_.Write("Broken/z.eml", "Subject: z\r\n\r\nz\r\n");
  dir_.Write("Open/w.eml", "Subject: w\r\n\r\nw\r\n");
  // The system refuses to list one folder and breaks off the listing of another.
  platform::SystemCalls calls = platform::NativeSystemCalls();
  std::set<platform::SearchHandle> broken;
  calls.FindFirstFileW = [first = calls.FindFirstFileW, &broken](const char16_t* path,
                                                                 platform::FindDataW& data) {
    const std::string text = platform::Utf16ToUtf8(path);
    if (text.find("Locked") != std::string::npos) {
      platform::CurrentSystemCalls().SetLastError(platform::kErrorAccessDenied);
      return platform::kInvalidHandle;
    }
    const auto handle = first(path, data);
    if (text.find("Broken") != std::string::npos) broken.insert(handle);
    return handle;
  };
  calls.FindNextFileW = [next = calls.FindNextFileW, &broken](platform::SearchHandle h,
                                                              platform::FindDataW& data) {
    if (broken.erase(h) != 0) {  // once: the system may give a later listing the same handle
      platform::CurrentSystemCalls().SetLastError(platform::kErrorIoDevice);
      return 0;
    }
    return next(h, data);
  };
  platform::ScopedSystemCalls scope(calls);
  const Inventory inventory = Read();
  std::set<std::string> places;
  for (const auto& item : inventory.leftOut) {
    EXPECT_TRUE(item.unreadPlace) << item.what;
    places.insert(fs::path(item.what).parent_path().filename().string());
  }
  EXPECT_EQ(places, (std::set<std::string>{"Broken", "Locked"}));
  EXPECT_TRUE(MessageNames(inventory).count("w.eml"));

  // The chosen folder itself: the source cannot be read at all.
  calls.FindFirstFileW = [](const char16_t*, platform::FindDataW&) {
    platform::CurrentSystemCalls().SetLastError(platform::kErrorAccessDenied);
    return platform::kInvalidHandle;
  };
  platform::ScopedSystemCalls refused(calls);
  EXPECT_THROW(Read(), SourceError);
}

}  // namespace
}  // namespace crateline::mailbox
