// The mail stores: what the readers find in stores built here the way their programs lay them
// out (no sample files of other projects), alone and all in one folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "mailbox/mailbox.h"
#include "mailbox/mbox_split.h"
#include "mailbox/message_headers.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace crateline::mailbox {
namespace {

std::string Message(const std::string& subject, const std::string& headers = "",
                    const std::string& eol = "\n") {
  std::string extra = headers;
  for (std::size_t at = 0; eol != "\n" && (at = extra.find('\n', at)) != std::string::npos;
       at += eol.size()) {
    extra.replace(at, 1, eol);
  }
  return "From: a@example.org" + eol + "Subject: " + subject + eol + extra + eol + "Body of " +
         subject + eol;
}

// An mbox of messages, each with its "From " line and the empty line after it.
std::string Mbox(const std::vector<std::string>& messages, const std::string& eol = "\n",
                 const std::string& from = "From - Tue Mar  3 08:15:00 2020") {
  std::string text;
  for (const auto& m : messages) text += from + eol + m + eol;
  return text;
}

std::string Emlx(const std::string& message, long long flags, long long count = -1) {
  return std::to_string(count < 0 ? static_cast<long long>(message.size()) : count) + "        \n" +
         message +
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
         "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist "
         "version=\"1.0\"><dict><key>flags</key><integer>" +
         std::to_string(flags) + "</integer></dict></plist>\n";
}

// Folder → subjects (with " (unread)" after the unread ones), as the inventory holds them and
// the writer would read them: a message whose store keeps no read state goes by its headers.
using Folders = std::map<std::string, std::set<std::string>>;
Folders Contents(const Inventory& inventory) {
  Folders contents;
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
    const bool unread = m.state == ReadState::kFromHeaders ? ReadMessageFacts(bytes).unread
                                                           : m.state == ReadState::kUnread;
    if (unread) subject += " (unread)";
    contents[folder].insert(subject);
  }
  return contents;
}

// The file names (the last part of each path, without a message's ":OFFSET") of report lines.
std::set<std::string> Named(const std::vector<Item>& items) {
  std::set<std::string> names;
  for (const auto& item : items) {
    std::string what = item.what;
    while (!what.empty() && what.back() == util::kPathSeparator) what.pop_back();
    const auto colon = what.rfind(':');
    if (colon != std::string::npos &&
        what.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
      what.resize(colon);
    }
    names.insert(what.substr(what.find_last_of(util::kPathSeparator) + 1));
  }
  return names;
}

class StoresTest : public ::testing::Test {
 protected:
  std::string PathOf(std::string relative) const {
    std::replace(relative.begin(), relative.end(), '/', util::kPathSeparator);
    return dir_.folder() + relative;
  }
  Inventory Read(const std::string& relative, const ReadOptions& options = {},
                 const std::string& format = "") {
    return ReadSource(PathOf(relative), options, format);
  }
  testing::TempDir dir_;
};

TEST_F(StoresTest, MboxSplitsAsOtherMboxReadersDo) {
  // Split: after an empty line; at an envelope line whatever precedes it (a line with only a
  // space, a body line); not at a body line that only begins with "From". An empty message, and
  // a separator at once after a "From " line. CR LF line ends.
  const std::string first = "Subject: one\n\nbody\nFrom here on, no split.\n\n>From quoted.\n";
  const std::string second = "Subject: two\r\n\r\nbody\r\n";
  const std::string text = "From a@b Tue Mar  3 08:15:00 2020\n" + first + "\n" +
                           "From c@d Wed Mar  4 08:15:00 2020\r\n" + second + "\r\n" +
                           "From e@f Thu Mar  5 08:15:00 2020\n\n" +
                           "From g@h Fri Mar  6 08:15:00 2020\nSubject: spaced\n\nx\n \n" +
                           "From i@j Fri Mar  6 08:15:00 2020\nSubject: glued\n\ny\n" +
                           "From k@l Sat Mar  7 08:15:00 2020\n" +
                           "From m@n Sun Mar  8 08:15:00 2020\nSubject: last\n\nends\n\n";
  const auto path = dir_.Write("box", text);
  std::vector<std::string> found;
  ASSERT_TRUE(SplitMbox(path.string(), [&](const MboxMessage& m) {
    found.push_back(text.substr(m.offset, m.length));
    if (found.size() == 2) {
      EXPECT_EQ(m.head, "Subject: two\r\n\r\n");
      EXPECT_EQ(FromLineDate(m.fromLine), 1583309700);
    }
  }));
  EXPECT_EQ(found,
            (std::vector<std::string>{first, second, "", "Subject: spaced\n\nx\n \n",
                                      "Subject: glued\n\ny\n", "", "Subject: last\n\nends\n"}));
  EXPECT_FALSE(SplitMbox(dir_.Write("not", "Subject: x\n").string(), [](const MboxMessage&) {}));
  // A last line without its line end is the message's, however short.
  SplitMbox(dir_.Write("cut", "From a Tue Mar  3 08:15:00 2020\nSubject: cut\n\nx\ny").string(),
            [](const MboxMessage& m) { EXPECT_EQ(m.length, 17u); });

  // Old Mac mail: lines end with a lone CR; the last message keeps its last line end.
  const std::string mac =
      "From a Tue Mar  3 08:15:00 2020\rSubject: one\r\rx\r\r"
      "From b Tue Mar  3 08:15:00 2020\rSubject: two\r\ry\r";
  std::vector<std::string> macFound;
  SplitMbox(dir_.Write("mac", mac).string(),
            [&](const MboxMessage& m) { macFound.push_back(mac.substr(m.offset, m.length)); });
  EXPECT_EQ(macFound, (std::vector<std::string>{"Subject: one\r\rx\r", "Subject: two\r\ry\r"}));

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

// One backup folder that holds every kind of store, and what lies beside and inside each: every
// message is read, in the folder its place gives it, or named with the reason.
TEST_F(StoresTest, AMixedBackupFolderIsReadWhole) {
  const std::string appleDouble("\x00\x05\x16\x07\x00\x02\x00\x00", 8);
  // An .eml tree, with an mbox and a Maildir inside it.
  dir_.Write("b/Letters/a.eml", Message("eml"));
  dir_.Write("b/Letters/._a.eml", appleDouble);
  dir_.Write("b/Letters/notes.txt", "notes\n");
  dir_.Write("b/Letters/inner.mbox", Mbox({Message("inner", "X-Status: A\n")}));
  dir_.Write("b/Letters/Box/cur/1.h:2,S", Message("nested maildir"));
  dir_.Mkdir("b/Letters/Box/new");
  // mbox files with and without a suffix, one read by its Status only.
  dir_.Write("b/spam-1", Mbox({Message("spam", "Status: O\n")}));
  dir_.Write("b/Archive/ham.mbox", Mbox({Message("ham", "Status: RO\nX-Status: A\n")}));
  dir_.Write("b/no-mail.mbox", "");
  // A Maildir with what backups and other programs leave in it.
  dir_.Write("b/Old/cur/1.h:2,S", Message("seen"));
  dir_.Write("b/Old/cur/2.h!2,S", Message("seen on a system without colons"));
  dir_.Write("b/Old/cur/3.h!2,ST", Message("trashed"));
  dir_.Write("b/Old/cur/._1.h:2,S", appleDouble);
  dir_.Write("b/Old/cur/4.h", Message("no flags", "X-Mozilla-Status: 0000\n"));
  dir_.Write("b/Old/new/5.h", Message("fresh"));
  dir_.Write("b/Old/tmp/6.h", Message("delivering"));
  dir_.Write("b/Old/.Sent/cur/7.h:2,S", Message("sent"));  // no new/: dropped by a backup
  dir_.Write("b/Old/beside.eml", Message("beside"));
  dir_.Write("b/Old/plain/c.eml", Message("plain"));
  dir_.Write("b/Old/dovecot-uidlist", "3 V1 N6\n");
  // Thunderbird: an account folder with loose mail, a plain folder and a maildir-format folder.
  dir_.Write("b/tb/Inbox", Mbox({Message("tb read", "X-Mozilla-Status: 0001\nStatus: O\n"),
                                 Message("tb re", "X-Mozilla-Status: 0010\n"),
                                 Message("tb forwarded", "X-Mozilla-Status: 1001\n"),
                                 Message("tb gone", "X-Mozilla-Status: 0009\n"),
                                 Message("tb partial", "X-Mozilla-Status: 0401\n")}));
  dir_.Write("b/tb/Inbox.msf", "// mork");
  // A Takeout file put among Thunderbird's folders is a Thunderbird folder: no labels obeyed.
  dir_.Write("b/tb/Inbox.sbd/Sub",
             Mbox({Message("labelled", "X-Mozilla-Status: 0001\nX-Gmail-Labels: Elsewhere\n")},
                  "\n", "From 1833215653612141880@xxx Mon May 26 20:18:05 +0000 2025"));
  dir_.Write("b/tb/loose.eml", Message("tb loose"));
  dir_.Write("b/tb/Letters/x.eml", Message("tb letters"));
  dir_.Write(
      "b/tb/Local/cur/1700000000.eml",
      "From - Tue Mar  3 08:15:00 2020\n" + Message("tb maildir", "X-Mozilla-Status: 0001\n"));
  dir_.Mkdir("b/tb/Local/tmp");
  dir_.Write("b/tb/Local.msf", "");
  dir_.Write("b/tb/Inbox.mozmsgs/1.mozeml", Message("tb copy for search"));
  dir_.Write("b/tb/msgFilterRules.dat", "version=\"9\"\n");
  // An Apple store, an exported mailbox beside it; counts too short and too long.
  dir_.Write("b/apple/V10/MailData/Envelope Index", "SQLite format 3");
  const std::string box =
      "b/apple/V10/11111111-2222-3333-4444-555555555555/INBOX.mbox/"
      "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE/Data/Messages/";
  const std::string shortCount = Message("apple short count");
  dir_.Write(box + "1.emlx", Emlx(Message("apple"), 1));
  dir_.Write(box + "2.emlx", Emlx(shortCount, 1, static_cast<long long>(shortCount.size()) - 9));
  dir_.Write(box + "3.emlx", Emlx(Message("apple long count"), 0, 9999));
  dir_.Write("b/Exported.mbox/mbox", Mbox({Message("exported")}));
  dir_.Write("b/Exported.mbox/Info.plist", "<plist/>");
  // nmh: .mh_sequences says which are unseen; ",3" was deleted.
  dir_.Write("b/mh/.mh_sequences", "unseen: 2\n");
  dir_.Write("b/mh/1", Message("mh one"));
  dir_.Write("b/mh/2", Message("mh two"));
  dir_.Write("b/mh/,3", Message("mh deleted"));
  // Claws Mail: its marks say 2 is unread.
  dir_.Write("b/claws/.claws_mark",
             std::string("\x02\0\0\0\x01\0\0\0\0\0\0\0\x02\0\0\0\x02\0\0\0", 20));
  dir_.Write("b/claws/1", Message("claws one"));
  dir_.Write("b/claws/2", Message("claws two"));
  // Google Takeout: labels obeyed there, and only there.
  dir_.Write("b/Takeout/Mail/All mail.mbox",
             Mbox({Message("takeout",
                           "X-GM-THRID: 1\nX-Gmail-Labels: =?UTF-8?Q?Doru=C4=8Den=C3=A9,"
                           "Nep=C5=99e=C4=8Dten=C3=A9?=\n",
                           "\r\n"),
                   Message("takeout sent", "X-Gmail-Labels: Inbox,Sent\n", "\r\n")},
                  "\r\n", "From 1833215653612141880@xxx Mon May 26 20:18:05 +0000 2025"));

  const Inventory inventory = Read("b");
  EXPECT_EQ(inventory.format, "thunderbird, maildir, mh, emlx, mbox, eml");
  EXPECT_EQ(Contents(inventory),
            (Folders{{"Archive/ham", {"ham"}},
                     {"Exported", {"exported"}},
                     {"Inbox", {"takeout (unread)", "takeout sent"}},
                     {"Letters", {"eml"}},
                     {"Letters/Box", {"nested maildir"}},
                     {"Letters/inner", {"inner"}},
                     {"Old",
                      {"fresh (unread)", "no flags (unread)", "seen",
                       "seen on a system without colons", "beside"}},
                     {"Old/Sent", {"sent"}},
                     {"Old/plain", {"plain"}},
                     {"apple/INBOX", {"apple", "apple short count", "apple long count (unread)"}},
                     {"claws", {"claws one", "claws two (unread)"}},
                     {"mh", {"mh one", "mh two (unread)"}},
                     {"spam-1", {"spam (unread)"}},
                     {"tb", {"tb loose"}},
                     {"tb/Inbox", {"tb read", "tb re (unread)", "tb forwarded", "tb partial"}},
                     {"tb/Inbox/Sub", {"labelled"}},
                     {"tb/Letters", {"tb letters"}},
                     {"tb/Local", {"tb maildir"}}}));
  EXPECT_EQ(Named(inventory.passedOver),
            (std::set<std::string>{"3.h!2,ST", "6.h", "Inbox.mozmsgs", ",3", "Inbox"}));
  EXPECT_EQ(Named(inventory.notMail),
            (std::set<std::string>{"._a.eml", "._1.h:2,S", "notes.txt", "no-mail.mbox"}));
  EXPECT_TRUE(inventory.leftOut.empty()) << inventory.leftOut[0].what;
  ASSERT_EQ(inventory.warnings.size(), 1u);  // the headers-only message
  // Reports name folders where they are: the Maildir++ folder, the Apple mailbox.
  const auto& places = inventory.folderPlaces;
  EXPECT_NE(std::find(places.begin(), places.end(), PathOf("b/Old/.Sent")), places.end());
  EXPECT_NE(std::find(places.begin(), places.end(),
                      PathOf("b/apple/V10/11111111-2222-3333-4444-555555555555/INBOX.mbox")),
            places.end());
  for (const auto& place : places) EXPECT_TRUE(std::filesystem::exists(place)) << place;
  for (const auto& m : inventory.messages) {
    if (inventory.FileName(m.file) == "1700000000.eml") {
      EXPECT_EQ(m.offset, 32u);  // without Thunderbird's old "From " line
    }
  }
}

// A profile: every account under its name, or one at the top; the rest of the profile is
// walked for mail too.
TEST_F(StoresTest, ThunderbirdProfiles) {
  const std::string read = "X-Mozilla-Status: 0001\n";
  dir_.Write("p/Mail/Local Folders/Inbox", Mbox({Message("local", read)}));
  dir_.Write("p/Mail/Local Folders/Inbox.msf", "");
  dir_.Write("p/Mail/Local Folders/Inbox.sbd/Receipts.sbd/2020", Mbox({Message("old", read)}));
  dir_.Write("p/ImapMail/imap.example.org/INBOX", Mbox({Message("imap", read)}, "\r\n"));
  dir_.Write("p/ImapMail/imap.example.org/INBOX.msf", "");
  dir_.Write("p/prefs.js", "user_pref(\"mail.server.server1\", 1);");
  dir_.Write("p/places.sqlite", "SQLite format 3");
  dir_.Write("p/extensions/saved.eml", Message("saved"));
  EXPECT_EQ(DetectFormat(PathOf("p"))->Name(), std::string("thunderbird"));
  const auto inventory = Read("p");
  EXPECT_EQ(Contents(inventory), (Folders{{"Local Folders/Inbox", {"local"}},
                                          {"Local Folders/Inbox/Receipts/2020", {"old"}},
                                          {"extensions", {"saved"}},
                                          {"imap.example.org/INBOX", {"imap"}}}));
  ReadOptions one;
  one.account = "Local Folders";
  EXPECT_EQ(Contents(Read("p", one)),
            (Folders{{"Inbox", {"local"}}, {"Inbox/Receipts/2020", {"old"}}}));
  EXPECT_EQ(SourceScope(PathOf("p"), one),
            (std::vector<std::string>{PathOf("p/Mail/Local Folders/")}));
  one.account = "nobody";
  EXPECT_THROW(Read("p", one), SourceError);
}

TEST_F(StoresTest, MaildirFoldersAndNames) {
  dir_.Write("m/cur/1.h:2,RS", Message("replied"));
  dir_.Write("m/cur/2.h:2,", Message("unseen"));
  dir_.Mkdir("m/new");
  dir_.Write("m/.&AMk-t&AOk-.2020/new/8.h", Message("summer"));
  dir_.Write("fs/cur/9.h:2,S", Message("top"));
  dir_.Mkdir("fs/new");
  dir_.Write("fs/Work/Projects/cur/10.h:2,", Message("deep"));
  dir_.Write("fs/Work/.dot/cur/11.h:2,S", Message("dot"));
  EXPECT_EQ(Contents(Read("m")), (Folders{{"", {"replied", "unseen (unread)"}},
                                          {"\xc3\x89t\xc3\xa9/2020", {"summer (unread)"}}}));
  EXPECT_EQ(Contents(Read("fs")),
            (Folders{{"", {"top"}}, {"Work/.dot", {"dot"}}, {"Work/Projects", {"deep (unread)"}}}));
  EXPECT_EQ(DecodeModifiedUtf7("R&AOk-sum&AOk- &- Co"), "R\xc3\xa9sum\xc3\xa9 & Co");
  EXPECT_EQ(DecodeModifiedUtf7("&2D3eAA-"), "\xf0\x9f\x98\x80");  // a surrogate pair
  EXPECT_EQ(DecodeModifiedUtf7("broken&AMk"), "broken&AMk");
}

// Read alone: an exported mailbox's own mbox is its top; a top mbox file takes --folder.
TEST_F(StoresTest, StoresAndFilesReadOnTheirOwn) {
  dir_.Write("Work.mbox/mbox", Mbox({Message("exported")}));
  dir_.Write("Work.mbox/Clients.mbox/mbox", Mbox({Message("client")}));
  EXPECT_EQ(Contents(Read("Work.mbox")), (Folders{{"", {"exported"}}, {"Clients", {"client"}}}));
  dir_.Write("saved", Mbox({Message("saved")}));
  ReadOptions named;
  named.folderName = "Saved mail";
  EXPECT_EQ(Contents(Read("saved", named)), (Folders{{"Saved mail", {"saved"}}}));
  dir_.Write("one.eml", Message("one"));
  EXPECT_EQ(Contents(Read("one.eml")), (Folders{{"", {"one"}}}));
  EXPECT_THROW(Read("Work.mbox/Info.plist"), SourceError);
  dir_.Write("notes.txt", "notes");
  EXPECT_THROW(Read("notes.txt"), SourceError);
}

// With --from, one reader reads the source; mail of any other kind is left out and named.
TEST_F(StoresTest, AForcedReaderLeavesOutWhatItDoesNotRead) {
  dir_.Write("f/a.eml", Message("eml"));
  dir_.Write("f/box", Mbox({Message("boxed")}));
  dir_.Write("f/notes.txt", "notes");
  const auto inventory = Read("f", {}, "eml");
  EXPECT_EQ(Contents(inventory), (Folders{{"", {"eml"}}}));
  EXPECT_EQ(Named(inventory.leftOut), std::set<std::string>{"box"});
  EXPECT_NE(inventory.leftOut[0].why.find("--from eml"), std::string::npos);
  EXPECT_EQ(Named(inventory.notMail), std::set<std::string>{"notes.txt"});
  EXPECT_EQ(Contents(Read("f", {}, "mbox")), (Folders{{"box", {"boxed"}}}));
}

}  // namespace
}  // namespace crateline::mailbox
