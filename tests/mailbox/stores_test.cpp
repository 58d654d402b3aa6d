// The mail stores: what each reader finds in a store built here, the way its program lays it
// out (no sample files of other projects).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "mailbox/mailbox.h"
#include "mailbox/mbox_split.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace crateline::mailbox {
namespace {

std::string Message(const std::string& subject, const std::string& headers = "",
                    const std::string& eol = "\n") {
  return "From: a@example.org" + eol + "Subject: " + subject + eol + headers + eol + "Body of " +
         subject + eol;
}

// An mbox of messages, each with its "From " line and the empty line after it.
std::string Mbox(const std::vector<std::string>& messages, const std::string& eol = "\n") {
  std::string text;
  for (const auto& m : messages) text += "From - Tue Mar  3 08:15:00 2020" + eol + m + eol;
  return text;
}

// Folder → subjects (with " (unread)" after the unread ones), as the inventory holds them.
std::map<std::string, std::set<std::string>> Contents(const Inventory& inventory) {
  std::map<std::string, std::set<std::string>> contents;
  for (const auto& m : inventory.messages) {
    std::string folder;
    for (const auto& name : inventory.folders[m.folder])
      folder += (folder.empty() ? "" : "/") + name;
    platform::InputFile in(inventory.PathOf(m));
    in.Seek(m.offset);
    std::string bytes(m.wholeFile ? 4096 : m.length, '\0');
    bytes.resize(in.Read(bytes.data(), bytes.size()));
    const auto at = bytes.find("Subject: ");
    std::string subject = bytes.substr(at + 9, bytes.find_first_of("\r\n", at) - at - 9);
    if (m.state == ReadState::kUnread) subject += " (unread)";
    contents[folder].insert(subject);
  }
  return contents;
}

using Folders = std::map<std::string, std::set<std::string>>;

class StoresTest : public ::testing::Test {
 protected:
  // A path below the test's folder, written with '/' here and in the system's own form there.
  std::string PathOf(std::string relative) const {
    std::replace(relative.begin(), relative.end(), '/', util::kPathSeparator);
    return dir_.folder() + relative;
  }
  Inventory Read(const std::string& relative, const ReadOptions& options = {},
                 const std::string& format = "") {
    return ReadSource(PathOf(relative), options, format);
  }
  std::string Detected(const std::string& relative) {
    const Format* format = DetectFormat(PathOf(relative));
    return format == nullptr ? "none" : format->Name();
  }
  testing::TempDir dir_;
};

TEST_F(StoresTest, MboxSplitsAtFromLinesAfterAnEmptyLine) {
  // A "From " line inside a body that follows no empty line, one quoted as ">From ", CR LF
  // line ends, an empty message, and a last message without the closing empty line.
  const std::string first =
      "Subject: one\n\nbody\nFrom here on, no split.\n\n>From quoted, kept.\n";
  const std::string second = "Subject: two\r\n\r\nbody\r\n";
  const std::string text = "From a@b Tue Mar  3 08:15:00 2020\n" + first + "\n" +
                           "From c@d Wed Mar  4 08:15:00 2020\r\n" + second + "\r\n" +
                           "From e@f Thu Mar  5 08:15:00 2020\n\n" +
                           "From g@h Fri Mar  6 08:15:00 2020\nSubject: last\n\nno end";
  const auto path = dir_.Write("box", text);
  std::vector<MboxMessage> found;
  ASSERT_TRUE(SplitMbox(path.string(), [&](const MboxMessage& m) { found.push_back(m); }));
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(text.substr(found[0].offset, found[0].length), first);
  EXPECT_EQ(text.substr(found[1].offset, found[1].length), second);
  EXPECT_EQ(found[2].length, 0u);
  EXPECT_EQ(text.substr(found[3].offset, found[3].length), "Subject: last\n\nno end");
  EXPECT_EQ(found[1].head, "Subject: two\r\n\r\n");
  EXPECT_EQ(FromLineDate(found[1].fromLine), 1583309700);
  EXPECT_FALSE(SplitMbox(dir_.Write("not", "Subject: x\n").string(), [](const MboxMessage&) {}));

  // Larger than the window the splitter reads at once, with a boundary astride two reads.
  std::string big = "From x Tue Mar  3 08:15:00 2020\nSubject: big\n\n";
  while (big.size() < 4 * 1024 * 1024 - 3) big += "line of a big message\n";
  big.resize(4 * 1024 * 1024 - 3);
  big += "\n\nFrom y Tue Mar  3 08:15:00 2020\nSubject: after\n\nx\n";
  std::vector<std::uint64_t> lengths;
  SplitMbox(dir_.Write("big", big).string(),
            [&](const MboxMessage& m) { lengths.push_back(m.length); });
  ASSERT_EQ(lengths.size(), 2u);
  EXPECT_EQ(lengths[1], std::string("Subject: after\n\nx\n").size());
}

TEST_F(StoresTest, GoogleTakeoutFilesByLabel) {
  const auto labelled = [](const std::string& subject, const std::string& labels) {
    return Message(subject, "X-Gmail-Labels: " + labels + "\n");
  };
  // Inbox and Spam as folders: stores_test.py.
  dir_.Write("takeout/All mail.mbox",
             Mbox({labelled("nested", "Opened,Work/Projects,Category Updates"),
                   labelled("two", "Important,Family,\"Trips, 2020\",Unread"),
                   labelled("sent", "Sent,Opened"), labelled("archived", "Opened,Starred"),
                   labelled("chat", "Chat,Opened")}));
  auto inventory = Read("takeout/All mail.mbox");
  EXPECT_EQ(inventory.format, "mbox");
  EXPECT_EQ(Contents(inventory), (Folders{{"Archive", {"archived"}},
                                          {"Family", {"two (unread)"}},
                                          {"Sent", {"sent"}},
                                          {"Work/Projects", {"nested"}}}));
  ASSERT_EQ(inventory.passedOver.size(), 1u);  // the chat
  std::string notes;
  for (const auto& note : inventory.notes) notes += note + "\n";
  EXPECT_NE(notes.find("1 message(s)"), std::string::npos) << notes;
  EXPECT_NE(notes.find("more than one label"), std::string::npos);

  ReadOptions copy;
  copy.labels = LabelMode::kCopy;
  inventory = Read("takeout/All mail.mbox", copy);
  EXPECT_EQ(Contents(inventory)["Trips, 2020"], std::set<std::string>{"two (unread)"});
  EXPECT_EQ(Contents(inventory)["Family"], std::set<std::string>{"two (unread)"});
}

// One account's folder read on its own; a whole profile, one account of it, and IMAP folders
// with CR LF line ends: stores_test.py.
TEST_F(StoresTest, ThunderbirdFoldersAndProfiles) {
  const std::string readMessage = "X-Mozilla-Status: 0001\n";
  const std::string account = "profile/Mail/Local Folders/";
  dir_.Write(account + "Inbox",
             Mbox({Message("read", readMessage), Message("new", "X-Mozilla-Status: 0000\n"),
                   Message("gone", "X-Mozilla-Status: 0009\n")}));
  dir_.Write(account + "Inbox.msf", "// an index");
  dir_.Write(account + "Inbox.sbd/Receipts", Mbox({Message("receipt", readMessage)}));
  dir_.Write(account + "Inbox.sbd/Receipts.msf", "");
  dir_.Write(account + "Inbox.sbd/Receipts.sbd/2020", Mbox({Message("old", readMessage)}));
  dir_.Write(account + "Sent", "");  // an empty folder
  dir_.Write(account + "Sent.msf", "");
  dir_.Write(account + "filterlog.html", "<html/>");
  dir_.Write(account + "msgFilterRules.dat", "version=\"9\"");
  dir_.Write("profile/prefs.js", "user_pref(\"mail.server.server1\", 1);");

  EXPECT_EQ(Detected("profile/Mail/Local Folders"), "thunderbird");
  const auto inventory = Read("profile/Mail/Local Folders");
  EXPECT_EQ(Contents(inventory), (Folders{{"Inbox", {"new (unread)", "read"}},
                                          {"Inbox/Receipts", {"receipt"}},
                                          {"Inbox/Receipts/2020", {"old"}}}));
  ASSERT_EQ(inventory.passedOver.size(), 1u);  // expunged, not compacted
  EXPECT_NE(inventory.passedOver[0].why.find("deleted"), std::string::npos);
  ASSERT_FALSE(inventory.notes.empty());  // indexes and filters, in one line
  ReadOptions nobody;
  nobody.account = "nobody";
  EXPECT_THROW(Read("profile", nobody), SourceError);
}

TEST_F(StoresTest, MaildirFlagsFoldersAndNames) {
  dir_.Write("maildir/cur/1.M1.host:2,S", Message("seen"));
  dir_.Write("maildir/cur/2.M2.host:2,RS", Message("replied"));
  dir_.Write("maildir/cur/3.M3.host:2,", Message("unseen"));
  dir_.Write("maildir/cur/4.M4.host:2,ST", Message("trashed"));
  dir_.Write("maildir/new/5.M5.host", Message("fresh"));
  dir_.Write("maildir/tmp/6.M6.host", Message("delivering"));
  dir_.Write("maildir/dovecot-uidlist", "3 V1 N6");
  dir_.Write("maildir/.&AMk-t&AOk-.2020/cur/8.M8.host:2,S", Message("summer"));
  dir_.Mkdir("maildir/.&AMk-t&AOk-.2020/new");
  dir_.Write("fs/cur/9.M9.host:2,S", Message("top"));
  dir_.Mkdir("fs/new");
  dir_.Write("fs/Work/Projects/cur/10.M10.host:2,", Message("deep"));
  dir_.Mkdir("fs/Work/Projects/new");
  dir_.Mkdir("fs/Work/cur");
  dir_.Mkdir("fs/Work/new");

  EXPECT_EQ(Detected("maildir"), "maildir");
  const auto inventory = Read("maildir");
  EXPECT_EQ(Contents(inventory),
            (Folders{{"", {"fresh (unread)", "replied", "seen", "unseen (unread)"}},
                     {"\xc3\x89t\xc3\xa9/2020", {"summer"}}}));
  ASSERT_EQ(inventory.passedOver.size(), 1u);
  EXPECT_NE(inventory.passedOver[0].what.find("4.M4.host"), std::string::npos);
  EXPECT_EQ(Contents(Read("fs")), (Folders{{"", {"top"}}, {"Work/Projects", {"deep (unread)"}}}));
  EXPECT_EQ(DecodeModifiedUtf7("R&AOk-sum&AOk- &- Co"), "R\xc3\xa9sum\xc3\xa9 & Co");
  EXPECT_EQ(DecodeModifiedUtf7("&2D3eAA-"), "\xf0\x9f\x98\x80");  // a surrogate pair
  EXPECT_EQ(DecodeModifiedUtf7("broken&AMk"), "broken&AMk");
}

TEST_F(StoresTest, AppleMailBundlesAndEmlxFiles) {
  dir_.Write("export/Work.mbox/mbox", Mbox({Message("exported")}));
  dir_.Write("export/Work.mbox/Info.plist", "<plist/>");
  dir_.Write("export/Work.mbox/Clients.mbox/mbox", Mbox({Message("client")}));
  EXPECT_EQ(Detected("export"), "mbox");
  EXPECT_EQ(Contents(Read("export")),
            (Folders{{"Work", {"exported"}}, {"Work/Clients", {"client"}}}));
  EXPECT_EQ(Contents(Read("export/Work.mbox")),
            (Folders{{"", {"exported"}}, {"Clients", {"client"}}}));

  const auto emlx = [](const std::string& subject, long long flags) {
    const std::string message = Message(subject, "", "\n");
    return std::to_string(message.size()) + "        \n" + message +
           "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>date-sent</key>"
           "<real>1583223300</real><key>flags</key><integer>" +
           std::to_string(flags) + "</integer></dict></plist>\n";
  };
  const std::string box = "store/V10/ACCOUNT/INBOX.mbox/UUID/Data/1/Messages/";
  dir_.Write(box + "101.emlx", emlx("opened", 8590195713));  // bit 0: read
  dir_.Write(box + "102.emlx", emlx("waiting", 8590195712));
  dir_.Write(box + "103.partial.emlx", emlx("partial", 1));
  dir_.Write("store/V10/ACCOUNT/INBOX.mbox/Archive.mbox/UUID/Data/Messages/104.emlx",
             emlx("filed", 1));
  dir_.Write("store/V10/MailData/Envelope Index", "sqlite");
  EXPECT_EQ(Detected("store"), "emlx");
  const auto inventory = Read("store");
  EXPECT_EQ(Contents(inventory),
            (Folders{{"INBOX", {"opened", "waiting (unread)"}}, {"INBOX/Archive", {"filed"}}}));
  ASSERT_EQ(inventory.leftOut.size(), 1u);
  EXPECT_NE(inventory.leftOut[0].what.find("103.partial.emlx"), std::string::npos);
  for (const auto& m : inventory.messages) {
    EXPECT_EQ(inventory.LabelOf(m), inventory.PathOf(m));  // one message a file: named by it
  }
}

}  // namespace
}  // namespace crateline::mailbox
