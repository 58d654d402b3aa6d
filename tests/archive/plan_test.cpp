// The plan: which Zimbra folder and entry name each message of an inventory gets.
#include <gtest/gtest.h>

#include "archive/archive.h"

namespace crateline::archive {
namespace {

struct Stored {
  std::vector<std::string> folder;
  std::string file;
  std::uint64_t length = 10;
};

mailbox::Inventory InventoryOf(const std::vector<Stored>& messages) {
  mailbox::Inventory inventory;
  inventory.root = "/mail/";
  inventory.dirs.push_back("/mail/");
  for (const auto& stored : messages) {
    mailbox::Message m;
    m.file = inventory.AddFile("/mail/", stored.file);
    std::string place = "/mail";
    for (const auto& name : stored.folder) place += "/" + name;
    m.folder = inventory.Folder(stored.folder, place);
    m.length = stored.length;
    inventory.messages.push_back(m);
  }
  return inventory;
}

std::vector<std::string> EntryNames(const Plan& plan) {
  std::vector<std::string> names;
  for (const auto& message : plan.messages) names.push_back(plan.EntryName(message));
  return names;
}

std::string Joined(const std::vector<ReportLine>& lines) {
  std::string text;
  for (const auto& line : lines) text += line.why + "\n";
  return text;
}

TEST(Plan, FoldersZimbraFindsTheSameAreMergedAndSaidSo) {
  const Plan plan = MakePlan(InventoryOf({
      {{"work"}, "a.eml"},
      {{"Work"}, "a.eml"},
      {{"WORK "}, "b.eml"},
      {{"Work", "Sub"}, "c.eml"},
      {{"work", "SUB"}, "d.eml"},
      {{"INBOX"}, "e.eml"},
      {{"inbox"}, "f.eml"},
      {{}, "g.eml"},
      {{"Caf\xc3\xa9"}, "h.eml"},
      {{"Cafe\xcc\x81"}, "i.eml"},  // the same name, decomposed
      {{"CAF\xc3\x89"}, "j.eml"},
  }));
  // The first spelling in byte order ("WORK" < "Work" < "work"); the Inbox by Zimbra's name;
  // entry names unique in the merged folder.
  EXPECT_EQ(
      EntryNames(plan),
      (std::vector<std::string>{"g.eml", "CAF\xc3\x89/h.eml", "CAF\xc3\x89/i.eml",
                                "CAF\xc3\x89/j.eml", "Inbox/e.eml", "Inbox/f.eml", "WORK/a (2).eml",
                                "WORK/a.eml", "WORK/b.eml", "WORK/Sub/c.eml", "WORK/Sub/d.eml"}));
  const auto table = plan.FolderTable();
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[0].folder, "CAF\xc3\x89");
  EXPECT_EQ(table[0].messages, 3u);
  EXPECT_EQ(table[1].folder, "Inbox");
  EXPECT_EQ(table[1].messages, 3u);  // the root is the Inbox too
  EXPECT_EQ(table[2].folder, "WORK");
  EXPECT_EQ(table[2].messages, 3u);
  const std::string said = Joined(plan.repaired);
  EXPECT_NE(said.find("folders \"WORK\", \"Work\" and \"work\" merged into \"WORK\""),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("folders \"INBOX\" and \"inbox\" merged into \"Inbox\""), std::string::npos)
      << said;
  EXPECT_NE(said.find("\"Work/Sub\" and \"work/SUB\" merged into \"WORK/Sub\""), std::string::npos)
      << said;
}

// A name is made unique in its own folder only, past the names its folder holds already and
// those it was given.
TEST(Plan, EntryNamesAreMadeUniqueWithinEachFolder) {
  const Plan plan = MakePlan(InventoryOf({
      {{"Inbox"}, "a.eml"},
      {{"work"}, "a.eml"},
      {{"Work"}, "a.eml"},
      {{"WORK"}, "a.eml"},
      {{"WORK"}, "a (2).eml"},
      {{"Lists"}, "a.eml"},
  }));
  EXPECT_EQ(EntryNames(plan),
            (std::vector<std::string>{"Inbox/a.eml", "Lists/a.eml", "WORK/a (2).eml",
                                      "WORK/a (3).eml", "WORK/a (4).eml", "WORK/a.eml"}));
}

TEST(Plan, MessagesZimbraCannotTakeAreLeftOutAndNamesKeepTheirBytes) {
  const Plan plan = MakePlan(InventoryOf({
      {{"A"}, "empty.eml", 0},
      {{"A"}, "huge.eml", std::uint64_t{1} << 31},
      {{"A"}, ".eml"},
      {{"A"}, "Shout.EML"},
      // Latin-1 bytes on a UTF-8 system: escaped, the "%" of one too, so they stay apart.
      {{"A"}, "a\xe9\xe9.eml"},
      {{"A"}, "a%E9\xe9.eml"},
  }));
  EXPECT_EQ(EntryNames(plan), (std::vector<std::string>{"A/.eml", "A/Shout.eml", "A/a%25E9%E9.eml",
                                                        "A/a%E9%E9.eml"}));
  ASSERT_EQ(plan.leftOut.size(), 2u);
  EXPECT_NE(plan.leftOut[0].why.find("empty"), std::string::npos);
  EXPECT_NE(plan.leftOut[1].why.find("2 GiB"), std::string::npos);
  EXPECT_NE(Joined(plan.repaired).find("not valid UTF-8"), std::string::npos);

  // A repair is named where the folder comes from (a Takeout label's: the file).
  mailbox::Inventory labelled = InventoryOf({{{"Re: x"}, "a.eml"}});
  labelled.folderPlaces[0] = "/mail/takeout.mbox";
  const Plan repaired = MakePlan(labelled);
  ASSERT_EQ(repaired.repaired.size(), 1u);
  EXPECT_EQ(repaired.repaired[0].what, "/mail/takeout.mbox");
}

}  // namespace
}  // namespace crateline::archive
