// What the plan's tests do not reach: the folder repairs one by one, and the notes they leave.
#include "archive/zimbra_names.h"

#include <gtest/gtest.h>

namespace crateline::archive {
namespace {

std::string Folder(const std::vector<std::string>& segments, std::size_t* noteCount = nullptr) {
  std::vector<std::string> notes;
  const std::string path = ZimbraFolderPath(segments, notes);
  if (noteCount != nullptr) *noteCount = notes.size();
  return path;
}

std::string Times(const std::string& text, int count) {
  std::string out;
  while (count-- > 0) out += text;
  return out;
}

TEST(ZimbraFolderPath, RepairsWhatTheImporterRejectsAndNotesEachRepair) {
  struct Case {
    std::vector<std::string> in;
    std::string out;
  };
  const std::string emoji = "\xf0\x9f\x98\x80";
  const Case cases[] = {
      {{"Re: \"hi\"\there"}, "Re_ _hi__here"},
      {{"   "}, "_"},
      {{"Work", "Old \xef\xbf\xbe"}, "Work/Old _"},
      {{std::string(300, 'x')}, std::string(255, 'x')},
      {{std::string(200, 'x') + std::string(60, ' ') + "y"}, std::string(200, 'x')},
      {{Times(emoji, 130)}, Times(emoji, 127)},  // each counts two UTF-16 units toward the 255
      {{"SENT MESSAGES", "2019"}, "Sent/2019"},
      {{"Spam", "Phishing", "2020"}, "Junk - Phishing/2020"},
      {{"calendar", "x"}, "calendar (mail)/x"},
      {{"Archive", "Contacts"}, "Archive/Contacts"},  // only the top level is Zimbra's
  };
  for (const auto& c : cases) EXPECT_EQ(Folder(c.in), c.out) << c.out;

  std::size_t notes = 0;
  EXPECT_EQ(Folder({"Sent Items", "a:b "}, &notes), "Sent/a_b");
  EXPECT_EQ(notes, 3u);
  Folder({"Inbox", "2019"}, &notes);
  EXPECT_EQ(notes, 0u);
}

TEST(EntryText, AnEncodedSurrogateIsEscapedButDecomposedTextIsNot) {
  bool changed = false;
  EXPECT_EQ(EntryText("\xed\xa0\x80", changed), "%ED%A0%80");
  EXPECT_TRUE(changed);
  // Decomposed "ä" (a + combining diaeresis), as some systems store names, becomes one character.
  EXPECT_EQ(EntryText("a\xcc\x88.eml", changed), "\xc3\xa4.eml");
  EXPECT_FALSE(changed);
  // Plain ASCII stays as it is; a NUL, or a stray byte just past ASCII, does not.
  EXPECT_EQ(EntryText("100% sure.eml", changed), "100% sure.eml");
  EXPECT_FALSE(changed);
  EXPECT_EQ(EntryText(std::string("a\0b", 3), changed), "a%00b");
  EXPECT_TRUE(changed);
  EXPECT_EQ(EntryText("x\x80", changed), "x%80");
  EXPECT_TRUE(changed);
}

}  // namespace
}  // namespace crateline::archive
