// The POSIX emulation must answer as the layers above expect Windows to.
#ifndef _WIN32
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "platform/platform.h"
#include "platform/system_calls.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace crateline::platform {
namespace {

std::u16string LongPath(const std::string& path) {
  return u"\\\\?\\" + Utf8ToUtf16(path);
}

std::set<std::string> List(const std::string& spec, std::uint32_t* error = nullptr) {
  std::set<std::string> names;
  FindDataW data;
  const auto path = LongPath(spec);
  SearchHandle h = os::FindFirstFileW(path.c_str(), data);
  if (h == kInvalidHandle) {
    if (error != nullptr) *error = SavedSystemError();
    return names;
  }
  do {
    names.insert(Utf16ToUtf8(std::u16string(data.cFileName)));
  } while (os::FindNextFileW(h, data) != 0);
  if (error != nullptr) *error = SavedSystemError();
  EXPECT_EQ(os::FindClose(h), 1);
  return names;
}

TEST(PosixSearch, PatternsMatchAndFailuresCarryCodesLikeTheFindFunctions) {
  testing::TempDir dir;
  for (const char* name : {"a.eml", "B.EML", "c.emlx", "note.txt", "x1.eml", "eml", "y.eml.txt"}) {
    dir.Write(name);
  }
  std::uint32_t error = 0;
  EXPECT_EQ(List(dir.folder() + "*.eml", &error),
            (std::set<std::string>{"a.eml", "B.EML", "x1.eml"}));
  EXPECT_EQ(error, kErrorNoMoreFiles);
  EXPECT_EQ(List(dir.folder() + "*EmL"),
            (std::set<std::string>{"a.eml", "B.EML", "x1.eml", "eml"}));
  EXPECT_EQ(List(dir.folder() + "?.eml"), (std::set<std::string>{"a.eml", "B.EML"}));
  EXPECT_EQ(List(dir.folder() + "*.*").size(), 9u);  // with . and ..
  EXPECT_EQ(List(dir.folder() + "NOTE.TXT"), (std::set<std::string>{"note.txt"}));

  EXPECT_TRUE(List(dir.folder() + "*.mbox", &error).empty());
  EXPECT_EQ(error, kErrorFileNotFound);
  dir.Mkdir("locked");
  chmod((dir.folder() + "locked").c_str(), 0);
  EXPECT_TRUE(testing::AsUnprivilegedUser([&] {
    std::uint32_t denied = 0;
    return List(dir.folder() + "locked/*", &denied).empty() && denied == kErrorAccessDenied;
  }));
  FindDataW data;
  EXPECT_EQ(os::FindNextFileW(12345, data), 0);
  EXPECT_EQ(SavedSystemError(), kErrorInvalidHandle);
}

// A folder listed whole is listed again from memory moments later (the scan lists each folder
// twice), but never once it has changed. Served from memory only for a folder that did not
// change in the last seconds, so this test waits for that.
TEST(PosixSearch, AListingAgainIsTheSameAndSeesChanges) {
  testing::TempDir dir;
  dir.Write("a.eml");
  dir.Write("b.txt");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  const auto first = List(dir.folder() + "*");
  EXPECT_EQ(List(dir.folder() + "*"), first);
  EXPECT_EQ(List(dir.folder() + "*.eml"), (std::set<std::string>{"a.eml"}));
  dir.Write("c.eml");
  EXPECT_EQ(List(dir.folder() + "*.eml"), (std::set<std::string>{"a.eml", "c.eml"}));
  std::filesystem::remove(dir.path() / "a.eml");
  EXPECT_EQ(List(dir.folder() + "*.eml"), (std::set<std::string>{"c.eml"}));
}

// Right after a listing, the attributes of its entries come from it, looked up by name in any
// order: even once the entries are gone from the disk, each answers as it was listed.
TEST(PosixSearch, AttributesOfAListedEntryComeFromItsListingInAnyOrder) {
  testing::TempDir dir;
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    names.push_back((i % 7 == 0 ? "." : "") + std::to_string(i) + (i % 2 == 0 ? ".eml" : ""));
    if (i % 3 == 0) {
      dir.Mkdir(names.back());
    } else {
      dir.Write(names.back());
    }
  }
  EXPECT_EQ(List(dir.folder() + "*").size(), names.size() + 2);
  std::filesystem::remove_all(dir.path());
  for (int i = 299; i >= 0; --i) {
    const auto path = LongPath(dir.folder() + names[static_cast<std::size_t>(i)]);
    std::uint32_t expected = i % 3 == 0 ? kAttrDirectory : 0;
    if (i % 7 == 0) expected |= kAttrHidden;
    EXPECT_EQ(os::GetFileAttributesW(path.c_str()), expected == 0 ? kAttrNormal : expected)
        << names[static_cast<std::size_t>(i)];
  }
  EXPECT_EQ(os::GetFileAttributesW(LongPath(dir.folder() + "300").c_str()), kInvalidFileAttributes);
  // A second on, the listing answers no more: the entries are asked of the disk, where they are
  // gone.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(os::GetFileAttributesW(LongPath(dir.folder() + names[1]).c_str()),
            kInvalidFileAttributes);
}

// A folder whose listing was stopped early is listed from the disk the next time, even when
// another listing of it, begun earlier, reached its end meanwhile.
TEST(PosixSearch, AListingStoppedEarlyIsNeverTakenForAWholeOne) {
  testing::TempDir dir;
  for (const char* name : {"a.eml", "b.eml", "c.eml", "d.eml", "e.eml"}) dir.Write(name);
  dir.Write("other/x.eml");
  // Only a folder unchanged for two whole seconds of its clock is listed from memory.
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  const auto folder = LongPath(dir.folder() + "*");
  FindDataW data;
  const SearchHandle whole = os::FindFirstFileW(folder.c_str(), data);
  ASSERT_NE(whole, kInvalidHandle);
  ASSERT_EQ(os::FindNextFileW(whole, data), 1);  // two entries read
  EXPECT_EQ(List(dir.folder() + "other/*").size(), 3u);
  const SearchHandle stopped = os::FindFirstFileW(folder.c_str(), data);
  ASSERT_NE(stopped, kInvalidHandle);
  EXPECT_EQ(os::FindClose(stopped), 1);  // after one entry
  while (os::FindNextFileW(whole, data) != 0) {
  }
  EXPECT_EQ(os::FindClose(whole), 1);
  EXPECT_EQ(List(dir.folder() + "*").size(), 8u);  // with ".", ".." and "other"
}

TEST(PosixEntries, AttributesSizesTimesAndNames) {
  testing::TempDir dir;
  dir.Write("plain.eml");
  dir.Write(".hidden.eml");
  chmod(dir.Write("readonly.eml").c_str(), 0444);
  dir.Mkdir("folder");
  symlink((dir.folder() + "folder").c_str(), (dir.folder() + "link").c_str());
  const auto attributes = [&](const std::string& name) {
    const auto path = LongPath(dir.folder() + name);
    return os::GetFileAttributesW(path.c_str());
  };
  EXPECT_EQ(attributes("plain.eml"), kAttrNormal);
  EXPECT_EQ(attributes(".hidden.eml"), kAttrHidden);
  EXPECT_EQ(attributes("readonly.eml"), kAttrReadOnly);
  EXPECT_EQ(attributes("folder"), kAttrDirectory);
  EXPECT_EQ(attributes("link"), kAttrDirectory | kAttrReparsePoint);
  EXPECT_EQ(attributes("absent"), kInvalidFileAttributes);
  EXPECT_EQ(SavedSystemError(), kErrorFileNotFound);
  EXPECT_EQ(attributes("absent/deeper"), kInvalidFileAttributes);
  EXPECT_EQ(SavedSystemError(), kErrorPathNotFound);

  const auto file = dir.Write("size.eml", std::string(1234, 'x'));
  // 2024-02-29 23:59:59.5 UTC: a leap day in a 400-year cycle's later century.
  const struct timespec times[2] = {{0, 0}, {1709251199, 500000000}};
  utimensat(AT_FDCWD, file.c_str(), times, 0);
  FindDataW data;
  const auto path = LongPath(dir.folder() + "size.eml");
  const SearchHandle h = os::FindFirstFileW(path.c_str(), data);
  ASSERT_NE(h, kInvalidHandle);
  os::FindClose(h);
  EXPECT_EQ(std::u16string(data.cFileName), u"size.eml");
  EXPECT_EQ(data.cAlternateFileName[0], u'\0');
  // The listing gives the kind; the rest is deferred to a query of the entry itself.
  EXPECT_EQ(data.dwReserved1, kDetailsDeferred);
  EXPECT_EQ(data.dwFileAttributes, kAttrNormal);
  FileAttributeData details;
  ASSERT_EQ(os::GetFileAttributesExW(path.c_str(), details), 1);
  EXPECT_EQ(details.nFileSizeLow, 1234u);
  EXPECT_EQ(details.nFileSizeHigh, 0u);
  const std::uint64_t ticks = (std::uint64_t{details.ftLastWriteTime.dwHighDateTime} << 32) |
                              details.ftLastWriteTime.dwLowDateTime;
  EXPECT_EQ(ticks, 133537247995000000ull);  // in 100 ns steps from 1601
  SystemTime st;
  ASSERT_EQ(os::FileTimeToSystemTime(details.ftLastWriteTime, st), 1);
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wMonth, 2);
  EXPECT_EQ(st.wDay, 29);
  EXPECT_EQ(st.wDayOfWeek, 4);  // a Thursday
  EXPECT_EQ(st.wHour, 23);
  EXPECT_EQ(st.wSecond, 59);
  EXPECT_EQ(st.wMilliseconds, 500);
  ASSERT_EQ(os::FileTimeToSystemTime({0, 0}, st), 1);
  EXPECT_EQ(st.wYear, 1601);
  EXPECT_EQ(st.wDayOfWeek, 1);
  EXPECT_EQ(os::FileTimeToSystemTime({0, 0x80000000u}, st), 0);
  EXPECT_EQ(SavedSystemError(), kErrorInvalidParameter);

  std::u16string buffer = path + u'\0';
  const auto n = os::GetShortPathNameW(buffer.c_str(), buffer.data(),
                                       static_cast<std::uint32_t>(buffer.size()));
  EXPECT_EQ(n, path.size());
  EXPECT_EQ(TrimAtNull(buffer), path);
}

TEST(TextEncodings, EveryFileNameSurvivesTheWideRoundTrip) {
  const std::string names[] = {"plain", "Fünf Œuvres 日本 😀", std::string("bad\xff\xfe name"),
                               std::string("lone \xed\xa0\x80 surrogate"), std::string("cut \xc3")};
  for (const auto& name : names) EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(name)), name);
  EXPECT_EQ(Utf8ToUtf16("😀"), u"😀");
  // ASCII is converted in blocks: a character of another kind anywhere in a long name, and
  // text appended to what a buffer already holds, must come out the same as one by one.
  const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (std::size_t at = 0; at < 40; ++at) {
    const std::string ascii = letters.substr(0, at), tail = letters.substr(at, 41 - at);
    const std::u16string wideAscii(ascii.begin(), ascii.end()), wideTail(tail.begin(), tail.end());
    EXPECT_EQ(Utf8ToUtf16(ascii + "é" + tail), wideAscii + u"é" + wideTail) << at;
    EXPECT_EQ(Utf16ToUtf8(wideAscii + u"😀" + wideTail), ascii + "😀" + tail) << at;
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(ascii + "\xff" + tail)), ascii + "\xff" + tail) << at;
    std::string appended = "x";
    AppendUtf8(wideAscii + wideTail, appended);
    EXPECT_EQ(appended, "x" + ascii + tail) << at;
  }
  // Any bytes at all, mostly ASCII with a few others among them, come back as they were.
  std::mt19937 random(11);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes(random() % 70, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 8 == 0 ? random() : random() % 0x80);
    ASSERT_EQ(Utf16ToUtf8(Utf8ToUtf16(bytes)), bytes) << round;
  }
  EXPECT_EQ(Utf8ToAnsi("Fünf 日"), "F\xfcnf ?");
  EXPECT_EQ(AnsiToUtf8("F\xfcnf"), "Fünf");
}

}  // namespace
}  // namespace crateline::platform
#endif
