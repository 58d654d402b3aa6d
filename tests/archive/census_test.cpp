// The census of a source by content: each message with the bytes the census itself finds,
// whatever the readers make of them.
#include "archive/census.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <random>

#include "mailbox/mbox_split.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace crateline::archive {
namespace {

Fingerprint Of(const std::string& bytes) {
  Digest digest;
  digest.Add(bytes.data(), bytes.size());
  return digest.Done();
}

TEST(Census, EveryMessageOfEveryFileWithTheBytesItHolds) {
  testing::TempDir dir;
  // An mbox whose messages end at an empty line, at an envelope line after a line holding a
  // space or a body line, and at the end of the file with the last line end kept.
  const std::string one = "From a Tue Mar  3 08:15:00 2020\nSubject: one\n\nx\n \n";
  const std::string two =
      "From b Tue Mar  3 08:15:00 2020\nSubject: two\n\nx\nFrom here, no split\n";
  const std::string three = "From c Tue Mar  3 08:15:00 2020\n\n";
  const std::string four = "From d Tue Mar  3 08:15:00 2020\nSubject: four\n\nend\n\n";
  dir.Write("Box/spam", one + two + three + four);
  const std::string mac = "From a Tue Mar  3 08:15:00 2020\rSubject: mac\r\ry\r";
  dir.Write("Box/mac", mac);
  dir.Write("Box/any.eml", "not even headers");
  const std::string enveloped = "From - Tue Mar  3 08:15:00 2020\nFrom: a@b\n\nz\n\n";
  dir.Write("Box/cur/1.h", enveloped);
  dir.Write("Box/17", "From: a@b\n\nmh\n");
  dir.Write("Box/notes", "Subject: no sender, no date\n\n");
  dir.Write("Box/._a.eml", std::string("\x00\x05\x16\x07", 4));
#ifndef _WIN32
  std::filesystem::create_directory_symlink(dir.path() / "Box", dir.path() / "linked");
  std::filesystem::create_symlink(dir.path() / "Box/any.eml", dir.path() / "link.eml");
  std::filesystem::create_symlink(dir.path() / "Box/notes", dir.path() / "link.txt");
  constexpr int kDenied = EACCES;
#else
  constexpr int kDenied = 5;  // ERROR_ACCESS_DENIED
#endif
  dir.Write("locked/secret.eml", "x");
  platform::InputFile::SetOpenCheck(
      [](const std::string& path) { return path.ends_with("secret.eml") ? kDenied : 0; });
  const Census census = TakeCensus({dir.folder()});
  platform::InputFile::SetOpenCheck({});

  constexpr char kSep = util::kPathSeparator;
  const std::string box = dir.folder() + "Box" + kSep;
  const auto offset = [](const std::string& before, const std::string& from) {
    return ":" + std::to_string(before.size() + from.find('\n') + 1);
  };
  const std::map<std::string, std::string> expected = {
      {box + "spam" + offset("", one), "Subject: one\n\nx\n \n"},
      {box + "spam" + offset(one, two), "Subject: two\n\nx\nFrom here, no split\n"},
      {box + "spam" + offset(one + two, three), ""},
      {box + "spam" + offset(one + two + three, four), "Subject: four\n\nend\n"},
      {box + "mac:32", "Subject: mac\r\ry\r"},
      {box + "any.eml", "not even headers"},
      {box + "cur" + kSep + "1.h:32", "From: a@b\n\nz\n"},
      {box + "17", "From: a@b\n\nmh\n"},
  };
  std::map<std::string, Fingerprint> found;
  for (const auto& message : census.messages) {
    found[census.LabelOf(message)] = message.bytes;
    if (census.LabelOf(message) == box + "cur" + kSep + "1.h:32") {
      ASSERT_EQ(message.alternatives, 2);         // kept whole by a Maildir, less its first line by
      EXPECT_EQ(message.also[0], Of(enveloped));  // an old Thunderbird
      EXPECT_EQ(message.also[1], Of(enveloped.substr(enveloped.find('\n') + 1)));
    }
  }
  std::map<std::string, Fingerprint> wanted;
  for (const auto& [label, bytes] : expected) wanted[label] = Of(bytes);
  EXPECT_EQ(found.size(), wanted.size());
  for (const auto& [label, fingerprint] : wanted) {
    EXPECT_TRUE(found.count(label) && found[label] == fingerprint) << label;
  }
#ifndef _WIN32
  auto unfollowed = census.unfollowed;
  std::sort(unfollowed.begin(), unfollowed.end());
  EXPECT_EQ(unfollowed,
            (std::vector<std::string>{dir.folder() + "link.eml", dir.folder() + "linked"}));
#endif
  ASSERT_EQ(census.unreadable.size(), 1u);
  EXPECT_NE(census.unreadable[0].find("secret.eml"), std::string::npos);
}

// A count that does not lead to the property list is wrong; the message runs up to the list.
TEST(Census, AnEmlxMessageRunsToItsPropertyListWhateverItsCount) {
  testing::TempDir dir;
  const std::string message = "From: a@b\nSubject: apple\n\nbody\n";
  const std::string list = "<?xml version=\"1.0\"?>\n<plist><dict/></plist>\n";
  dir.Write("short.emlx", "10\n" + message + list);
  dir.Write("long.emlx", "999\n" + message + list);
  const Census census = TakeCensus({dir.folder()});
  ASSERT_EQ(census.messages.size(), 2u);
  for (const auto& m : census.messages) EXPECT_EQ(m.bytes, Of(message)) << census.LabelOf(m);
}

// The census and the mbox reader split by one rule with code of their own: on mbox files made
// of the lines that rule turns on, in every kind of line end, they find the same messages.
TEST(Census, SplitsEveryMboxAsTheReaderDoes) {
  const std::vector<std::string> lines = {"From a@b Tue Mar  3 08:15:00 2020",
                                          "From - Mon Jan  1 00:00:00 2001",
                                          "From here on",
                                          ">From a@b Tue Mar  3 08:15:00 2020",
                                          "From ",
                                          "",
                                          " ",
                                          "\r",
                                          "Subject: x",
                                          "body"};
  std::mt19937 random(7);
  testing::TempDir dir;
  for (int round = 0; round < 300; ++round) {
    const std::string eols[] = {"\n", "\r\n", "\r"};
    const std::string eol = eols[round % 3];
    std::string text = lines[0] + eol + "Subject: x" + eol;
    const int count = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) {
      text += lines[random() % lines.size()];
      if (random() % 97 == 0) text += std::string(70000, 'y');  // longer than a piece
      // CR LF files with a stray LF, LF files with a stray CR LF.
      text += random() % 13 == 0 ? (eol == "\n" ? "\r\n" : "\n") : eol;
    }
    if (random() % 2 == 0) text.resize(text.size() - eol.size());  // no last line end
    const std::string path = dir.Write("box", text).string();
    std::map<std::uint64_t, Fingerprint> reader;
    mailbox::SplitMbox(path, [&](const mailbox::MboxMessage& m) {
      reader[m.offset] = Of(text.substr(m.offset, m.length));
    });
    std::map<std::uint64_t, Fingerprint> census;
    for (const auto& m : TakeCensus({path}).messages) census[m.ownFile ? 0 : m.offset] = m.bytes;
    ASSERT_EQ(census, reader) << "round " << round;
  }
}

}  // namespace
}  // namespace crateline::archive
