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

TEST(ZimbraFolderPath, RepairsWhatTheImporterRejects) {
  struct Case {
    std::vector<std::string> in;
    std::string out;
  };
  const Case cases[] = {
      {{}, ""},
      {{"Inbox"}, "Inbox"},
      {{"Archive", "2019"}, "Archive/2019"},
      {{"Re: Plans"}, "Re_ Plans"},
      {{"Say \"hi\""}, "Say _hi_"},
      {{"tab\there"}, "tab_here"},
      {{"Work   "}, "Work"},
      {{"   "}, "_"},
      {{"Work", "Old \xef\xbf\xbe"}, "Work/Old _"},
      {{std::string(300, 'x')}, std::string(255, 'x')},
      {{std::string(200, 'x') + std::string(60, ' ') + "y"}, std::string(200, 'x')},
      {{"Sent Items"}, "Sent"},
      {{"SENT MESSAGES", "2019"}, "Sent/2019"},
      {{"Deleted Items"}, "Trash"},
      {{"deleted messages"}, "Trash"},
      {{"Junk E-mail"}, "Junk"},
      {{"Spam"}, "Junk"},
      {{"Spam", "Old"}, "Junk - Old"},
      {{"Junk", "Phishing", "2020"}, "Junk - Phishing/2020"},
      {{"Contacts"}, "Contacts (mail)"},
      {{"calendar", "x"}, "calendar (mail)/x"},
      {{"Files shared with me"}, "Files shared with me (mail)"},
      {{"Archive", "Contacts"}, "Archive/Contacts"},  // only the top level is Zimbra's
  };
  for (const auto& c : cases) EXPECT_EQ(Folder(c.in), c.out) << c.out;

  // Surrogate pairs count two UTF-16 units toward the 255.
  const std::string emoji = "\xf0\x9f\x98\x80";
  std::string many;
  for (int i = 0; i < 130; ++i) many += emoji;
  std::string kept;
  for (int i = 0; i < 127; ++i) kept += emoji;
  EXPECT_EQ(Folder({many}), kept);
}

TEST(ZimbraFolderPath, EveryRepairIsNoted) {
  std::size_t notes = 0;
  Folder({"Inbox", "2019"}, &notes);
  EXPECT_EQ(notes, 0u);
  Folder({"Sent Items", "a:b "}, &notes);
  EXPECT_EQ(notes, 3u);
}

TEST(EntryText, InvalidBytesAndNormalisation) {
  bool changed = false;
  EXPECT_EQ(EntryText("plain.eml", changed), "plain.eml");
  EXPECT_FALSE(changed);
  EXPECT_EQ(EntryText("caf\xe9.eml", changed), "caf%E9.eml");  // Latin-1 on a UTF-8 system
  EXPECT_TRUE(changed);
  EXPECT_EQ(EntryText("\xed\xa0\x80", changed), "%ED%A0%80");  // an encoded surrogate
  // Decomposed "ä" (a + combining diaeresis), as some systems store names, becomes one character.
  EXPECT_EQ(EntryText("a\xcc\x88.eml", changed), "\xc3\xa4.eml");
  EXPECT_FALSE(changed);
}

TEST(MessageFileName, SuffixInLowerCase) {
  EXPECT_EQ(MessageFileName(".EML"), ".eml");
  EXPECT_EQ(MessageFileName("Report.EML"), "Report.eml");
  EXPECT_EQ(MessageFileName("x.eml"), "x.eml");
}

}  // namespace
}  // namespace crateline::archive
