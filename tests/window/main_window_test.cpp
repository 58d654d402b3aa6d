// The window's logic, without a screen: each command as the user sees it through the view, with
// the events its long work pumps, and every box the desktop is asked to show.
#include "window/main_window.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "archive/verify.h"
#include "fake_desktop.h"
#include "fake_view.h"
#include "scan/search.h"
#include "support/temp_dir.h"
#include "util/event_pump.h"

namespace crateline::window {
namespace {

namespace fs = std::filesystem;
using testing::FakeDesktop;
using testing::FakeView;
using testing::ProgramEnded;
using C = Control;

void ExpectBox(const MessageBox& box, const std::string& text, const std::string& title,
               BoxIcon icon, BoxButtons buttons = BoxButtons::kOk) {
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.title, title);
  EXPECT_EQ(box.icon, icon);
  EXPECT_EQ(box.buttons, buttons);
}

std::string Mail(int i) {
  return "Date: Tue, 3 Mar 2020 09:1" + std::to_string(i) +
         ":00 +0100\r\nSubject: m\r\n\r\nbody\r\n";
}

std::string Mbox(int messages) {
  std::string mbox;
  for (int i = 0; i < messages; ++i) mbox += "From a@b Tue Mar  3 09:15:00 2020\n" + Mail(i) + "\n";
  return mbox;
}

class WindowLogicTest : public ::testing::Test {
 protected:
  void SetUp() override { window_ = std::make_unique<FrmStep1>(view_, desktop_); }
  // Twelve messages in the chosen folder and in three folders below it.
  void MakeMailbox() {
    for (int i = 0; i < 3; ++i) dir_.Write("mail/top" + std::to_string(i) + ".eml", Mail(i));
    for (int i = 0; i < 4; ++i) dir_.Write("mail/Inbox/in" + std::to_string(i) + ".eml", Mail(i));
    for (int i = 0; i < 3; ++i)
      dir_.Write("mail/Sent Items/s" + std::to_string(i) + ".eml", Mail(i));
    for (int i = 0; i < 2; ++i)
      dir_.Write("mail/Inbox/Old/o" + std::to_string(i) + ".eml", Mail(i));
    dir_.Write("mail/Inbox/desktop.ini", "[x]\r\n");
  }
  std::string MailFolder() const { return (dir_.path() / "mail").string(); }
  void Choose(const std::string& source) {
    desktop_.folder = source;
    window_->CmdAddFolder_Click();
    desktop_.boxes.clear();
  }
  std::string Destination() const { return (dir_.path() / "out.tgz").string(); }
  // The mailbox chosen and counted, and the save dialog set to answer with Destination().
  void ReadyToConvert() {
    MakeMailbox();
    Choose(MailFolder());
    desktop_.savePath = Destination();
  }

  FakeDesktop desktop_;
  FakeView view_;
  testing::TempDir dir_;
  std::unique_ptr<FrmStep1> window_;
};

TEST_F(WindowLogicTest, OpensExitsAndCloses) {
  EXPECT_EQ(desktop_.commonControls, 1);
  EXPECT_FALSE(window_->StopRequested);
  window_->cmdEnd_Click();
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "Are you sure you want to exit now?", "Brakmoor Crateline",
            BoxIcon::kQuestion, BoxButtons::kYesNo);
  EXPECT_EQ(desktop_.ended, 0);
  desktop_.answers.push_back(BoxAnswer::kYes);
  EXPECT_THROW(window_->cmdEnd_Click(), ProgramEnded);

  // Closing ends the program at once, without a question, even in the middle of a run.
  ReadyToConvert();
  desktop_.ended = 0;
  util::ScopedEventPump close([&] {
    if (view_.Visible(C::kCmdStop)) window_->Form_Unload();
  });
  EXPECT_THROW(window_->CmdConvertTGZ_Click(), ProgramEnded);
  EXPECT_TRUE(desktop_.boxes.empty());
  EXPECT_EQ(desktop_.ended, 1);
  EXPECT_FALSE(fs::exists(Destination()));
}

TEST_F(WindowLogicTest, ChoosingAFolderCountsItsMessagesAndTheFoldersZimbraWillMake) {
  MakeMailbox();
  desktop_.folder = MailFolder();
  window_->CmdAddFolder_Click();
  EXPECT_EQ(desktop_.folderTitles, std::vector<std::string>{"Choose Source Folder..."});
  EXPECT_EQ(window_->SourcePath, desktop_.folder + scan::kSeparator);
  EXPECT_EQ(view_.Text(C::kLblSource), window_->SourcePath);
  EXPECT_EQ(window_->MessageCount, 12);
  EXPECT_EQ(window_->FolderCounter, 3);  // Inbox, Inbox/Old, Sent
  EXPECT_EQ(view_.Text(C::kLblCount), "12 Messages & 3 Folder(s) Queued for Conversion.");
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "12 Messages Queued for Conversion.", "Brakmoor Crateline",
            BoxIcon::kNone);
  EXPECT_TRUE(view_.Enabled(C::kCmdConvertTGZ));

  // A folder on the way to messages is one Zimbra makes too; one with none is not.
  dir_.Write("other/Archive/2019/x.eml", Mail(1));
  dir_.Write("other/Empty/x.txt", "x");
  desktop_.folder = (dir_.path() / "other").string() + scan::kSeparator;
  window_->CmdAddFolder_Click();
  EXPECT_EQ(window_->SourcePath, desktop_.folder);  // no second separator
  EXPECT_EQ(view_.Text(C::kLblCount), "1 Messages & 2 Folder(s) Queued for Conversion.");

  // A folder with nothing says so, and nothing can be started.
  dir_.Mkdir("nothing/Sub");
  desktop_.folder = (dir_.path() / "nothing").string();
  window_->CmdAddFolder_Click();
  EXPECT_EQ(view_.Text(C::kLblCount), "0 Messages & 0 Folder(s) Queued for Conversion.");
  ExpectBox(desktop_.boxes.back(), "0 Messages Queued for Conversion.", "Brakmoor Crateline",
            BoxIcon::kNone);
  EXPECT_FALSE(view_.Enabled(C::kCmdConvertTGZ));

  // A choice that cannot be read says why, and counts nothing.
  desktop_.boxes.clear();
  desktop_.folder = (dir_.path() / "gone").string();
  window_->CmdAddFolder_Click();
  ASSERT_EQ(desktop_.boxes.size(), 2u);
  EXPECT_NE(desktop_.boxes[0].text.find("gone"), std::string::npos) << desktop_.boxes[0].text;
  EXPECT_EQ(desktop_.boxes[0].icon, BoxIcon::kInformation);
  EXPECT_EQ(desktop_.boxes[1].text, "0 Messages Queued for Conversion.");
  EXPECT_FALSE(view_.Enabled(C::kCmdConvertTGZ));
}

// Every store the command line converts, the window counts and converts: a mail program's
// profile chosen as a folder, an mbox file chosen as a file.
TEST_F(WindowLogicTest, EveryStoreIsCountedAndConverted) {
  dir_.Write("profile/prefs.js", "user_pref(\"mail.server.server1\", 1);");
  dir_.Write("profile/Mail/Local Folders/Inbox", Mbox(3));
  dir_.Write("profile/Mail/Local Folders/Inbox.msf", "");
  dir_.Write("profile/Mail/Local Folders/Inbox.sbd/Receipts", Mbox(2));
  desktop_.folder = (dir_.path() / "profile").string();
  window_->CmdAddFolder_Click();
  EXPECT_EQ(view_.Text(C::kLblCount), "5 Messages & 3 Folder(s) Queued for Conversion.");
  EXPECT_TRUE(view_.Enabled(C::kCmdConvertTGZ));

  const std::string mbox = dir_.Write("Saved messages", Mbox(4)).string();
  desktop_.folder = mbox;
  window_->CmdAddFolder_Click();
  EXPECT_EQ(window_->SourcePath, mbox);  // a file, named as it is
  EXPECT_EQ(view_.Text(C::kLblCount), "4 Messages & 1 Folder(s) Queued for Conversion.");
  ASSERT_TRUE(view_.Enabled(C::kCmdConvertTGZ));
  desktop_.boxes.clear();
  desktop_.savePath = Destination();
  window_->CmdConvertTGZ_Click();
  ASSERT_FALSE(desktop_.boxes.empty());
  EXPECT_EQ(desktop_.boxes[0].title, "Completed...");
  const archive::VerifyResult verified = archive::VerifyArchive(Destination(), mbox);
  EXPECT_TRUE(verified.Ok()) << (verified.problems.empty() ? "" : verified.problems.front());
  EXPECT_EQ(verified.messages, 4u);
}

// Clicks the events of a count or a run bring start nothing; the focus waits meanwhile, never
// on Exit, and comes back to the button pressed.
TEST_F(WindowLogicTest, NothingStartsInsideACountOrARunAndTheFocusComesBack) {
  ReadyToConvert();  // Start Conversion is enabled now
  view_.focus = C::kCmdAddFolder;
  int clicks = 0;
  bool onExit = false;
  bool busy = false;
  std::vector<std::string> counts;
  {
    util::ScopedEventPump clicker([&] {
      onExit |= view_.focus == C::kCmdEnd;
      busy |= view_.busy;
      if (view_.Enabled(C::kCmdAddFolder)) return;  // only while the count runs
      counts.push_back(view_.Text(C::kLblCount));
      ++clicks;
      window_->CmdConvertTGZ_Click();
      window_->CmdAddFolder_Click();
    });
    window_->CmdAddFolder_Click();
  }
  EXPECT_GT(clicks, 0);
  EXPECT_TRUE(desktop_.saveRequests.empty());
  EXPECT_EQ(desktop_.folderTitles.size(), 2u);  // the first choice and this one, no nested one
  EXPECT_EQ(window_->MessageCount, 12);
  EXPECT_FALSE(onExit) << "the focus never rests on Exit while the buttons are locked";
  EXPECT_EQ(view_.focus, C::kCmdAddFolder);
  // The busy pointer, and the count as it grows, show while the store is read.
  EXPECT_TRUE(busy);
  EXPECT_FALSE(view_.busy);
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(counts.front(), "") << "before the store's first event";
  std::set<std::string> running(counts.begin() + 1, counts.end());
  EXPECT_TRUE(running.count("0 Messages Queued for Conversion.")) << "the first event, at once";
  for (const auto& count : running) {
    const int n = std::stoi(count);
    EXPECT_TRUE(n >= 0 && n <= 12 &&
                count == std::to_string(n) + " Messages Queued for Conversion.")
        << count;
  }

  clicks = 0;
  view_.focus = C::kCmdConvertTGZ;
  {
    util::ScopedEventPump clicker([&] {
      if (view_.Enabled(C::kCmdAddFolder)) return;  // only while the run is under way
      ++clicks;
      window_->CmdConvertTGZ_Click();
    });
    window_->CmdConvertTGZ_Click();
  }
  EXPECT_GT(clicks, 0);
  EXPECT_EQ(desktop_.saveRequests.size(), 1u);  // one run, however often the button was hit
  EXPECT_EQ(view_.focus, C::kCmdConvertTGZ);

  // Both help commands open the guide.
  window_->CmdHelp_Click();
  window_->Label4_Click();
  EXPECT_EQ(desktop_.opened, (std::vector<std::string>{kGuideAddress, kGuideAddress}));
}

// A cancelled save dialog changes nothing; a destination inside the source, or one Zimbra cannot
// import, is refused before anything, so that nothing of the source is ever written.
TEST_F(WindowLogicTest, TheSaveDialogProposesAStampedNameAndNoAnswerOrABadOneChangesNothing) {
  MakeMailbox();
  Choose(MailFolder());
  desktop_.now.tm_year = 2027 - 1900;
  desktop_.now.tm_mon = 0;
  desktop_.now.tm_mday = 31;
  desktop_.now.tm_hour = 23;
  desktop_.now.tm_min = 59;
  desktop_.now.tm_sec = 7;
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.saveRequests.size(), 1u);
  EXPECT_EQ(desktop_.saveRequests[0].proposedName, "ZimbraMailbox31.1.27 23.59.07.tgz");
  EXPECT_TRUE(desktop_.boxes.empty());

  const std::string inside = (dir_.path() / "mail" / "Inbox" / "in0.tgz").string();
  const std::string zip = (dir_.path() / "mail.zip").string();
  for (const std::string& bad : {inside, zip}) {
    desktop_.boxes.clear();
    desktop_.savePath = bad;
    window_->CmdConvertTGZ_Click();
    ASSERT_EQ(desktop_.boxes.size(), 1u);
    EXPECT_NE(desktop_.boxes[0].text.find(bad), std::string::npos) << desktop_.boxes[0].text;
    EXPECT_EQ(desktop_.boxes[0].icon, BoxIcon::kInformation);
    EXPECT_EQ(desktop_.boxes[0].title, "Brakmoor Crateline");
    EXPECT_FALSE(fs::exists(bad));
    EXPECT_TRUE(window_->DestinationPath.empty());
    EXPECT_FALSE(view_.Enabled(C::kCmdOpen));
    EXPECT_TRUE(view_.Enabled(C::kCmdConvertTGZ));
    EXPECT_EQ(view_.Text(C::kCmdConvertTGZ), "Start Conversion");
  }
  EXPECT_NE(desktop_.boxes[0].text.find(".tgz"), std::string::npos);
}

// A run seen from the events it pumps, its outcome, and a cancelled folder choice after it.
TEST_F(WindowLogicTest, AConversionThatSucceeds) {
  ReadyToConvert();
  view_.progress = 37;  // as a run before would have left it
  struct Moment {
    std::string caption, file;
    int bar;
    bool stop, open;
    std::string destination;
  };
  std::vector<Moment> seen;
  {
    util::ScopedEventPump watch([&] {
      seen.push_back({view_.Text(C::kCmdConvertTGZ), view_.Text(C::kLblTarFile), view_.progress,
                      view_.Visible(C::kCmdStop), view_.Enabled(C::kCmdOpen),
                      view_.Text(C::kLblDestination)});
    });
    window_->CmdConvertTGZ_Click();
  }
  ASSERT_FALSE(seen.empty());
  // Before the write: waiting, the destination shown, Open and Stop there, the bar as it was.
  EXPECT_EQ(seen.front().caption, "Please Wait...");
  EXPECT_EQ(seen.front().bar, 37);
  EXPECT_TRUE(seen.front().stop);
  EXPECT_TRUE(seen.front().open);
  EXPECT_EQ(seen.front().destination, Destination());
  EXPECT_EQ(view_.rangeMinimum, 0);
  EXPECT_EQ(view_.rangeMaximum, 100);
  // During it: the caption, the bar and the file follow the events.
  std::set<std::string> files;
  int last = 0;
  for (const auto& moment : seen) {
    if (moment.caption != "Conversion in Progress...") continue;
    EXPECT_GE(moment.bar, last);
    last = moment.bar;
    EXPECT_TRUE(moment.stop);
    files.insert(moment.file);
  }
  EXPECT_EQ(last, 100);
  EXPECT_GE(files.size(), 12u);  // each message in turn

  ASSERT_EQ(desktop_.boxes.size(), 2u);
  EXPECT_EQ(desktop_.boxes[0].title, "Completed...");
  // desktop.ini was left out: one more box names the report.
  EXPECT_NE(desktop_.boxes[1].text.find("1 file(s) that hold no mail left out"), std::string::npos)
      << desktop_.boxes[1].text;
  EXPECT_NE(desktop_.boxes[1].text.find("out.report.txt"), std::string::npos);
  EXPECT_EQ(desktop_.boxes[1].icon, BoxIcon::kInformation);
  EXPECT_TRUE(fs::exists(dir_.path() / "out.report.txt"));

  EXPECT_TRUE(archive::VerifyArchive(Destination(), window_->SourcePath).Ok());
  EXPECT_TRUE(view_.Enabled(C::kCmdConvertTGZ));
  EXPECT_EQ(view_.Text(C::kCmdConvertTGZ), "Start Conversion");
  EXPECT_FALSE(view_.Visible(C::kCmdStop));
  EXPECT_TRUE(view_.Enabled(C::kCmdOpen));
  EXPECT_TRUE(view_.Enabled(C::kCmdAddFolder));
  EXPECT_EQ(view_.Text(C::kLblDestination), Destination());
  EXPECT_NE(view_.Text(C::kLblTarFile).find(".eml"), std::string::npos);

  // The labels go back to nothing selected, but "Open Saving Location" still opens the folder
  // of the last destination.
  desktop_.boxes.clear();
  desktop_.folder.clear();
  window_->CmdAddFolder_Click();
  for (C label : {C::kLblSource, C::kLblTarFile, C::kLblDestination}) {
    EXPECT_EQ(view_.Text(label), "< Not Selected >");
  }
  EXPECT_EQ(view_.Text(C::kLblCount), "");
  EXPECT_TRUE(window_->SourcePath.empty());
  EXPECT_FALSE(view_.Enabled(C::kCmdConvertTGZ));
  EXPECT_TRUE(desktop_.boxes.empty());
  window_->CmdOpen_Click();
  EXPECT_EQ(desktop_.opened, std::vector<std::string>{dir_.folder()});
}

// Reading a large store takes a while before the first byte is written: the first event comes
// at once, Stop works then too, and Yes ends the program with no archive or temporary file left.
TEST_F(WindowLogicTest, StopWorksWhileTheStoreIsRead) {
  for (int i = 0; i < 40; ++i) dir_.Write("mail/F" + std::to_string(i) + "/m.eml", Mail(1));
  Choose(MailFolder());
  desktop_.savePath = Destination();
  std::string askedWhileShowing;
  util::ScopedEventPump watch([&] {
    if (view_.Visible(C::kCmdStop) && !window_->StopRequested && desktop_.boxes.empty()) {
      window_->CmdStop_Click();
    }
    if (!desktop_.boxes.empty() && askedWhileShowing.empty()) {
      askedWhileShowing = view_.Text(C::kLblTarFile);
    }
  });
  desktop_.answers.push_back(BoxAnswer::kYes);
  EXPECT_THROW(window_->CmdConvertTGZ_Click(), ProgramEnded);
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "Are you sure you want to Stop now ?", "Brakmoor Crateline",
            BoxIcon::kQuestion, BoxButtons::kYesNo);
  EXPECT_EQ(askedWhileShowing.find(".eml"), std::string::npos)
      << "asked while a folder was being read, not a message: " << askedWhileShowing;
  EXPECT_EQ(desktop_.ended, 1);
  EXPECT_TRUE(view_.hidden);
  EXPECT_FALSE(fs::exists(Destination()));
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos);
  }
}

// A click on Stop during the last event of a run belongs to that run, not to the next. One
// before a run asks once, at the next file; No to it, or to Exit, lets the run go on.
TEST_F(WindowLogicTest, StopAsksAtTheNextFileAndEndsWithItsRun) {
  ReadyToConvert();
  {
    util::ScopedEventPump late([&] {
      if (view_.progress == 100) window_->CmdStop_Click();
    });
    window_->CmdConvertTGZ_Click();
  }
  EXPECT_FALSE(window_->StopRequested);
  desktop_.boxes.clear();
  fs::remove(Destination());
  window_->CmdConvertTGZ_Click();
  ASSERT_FALSE(desktop_.boxes.empty());
  EXPECT_EQ(desktop_.boxes[0].title, "Completed...") << "no stop question in the next run";

  desktop_.boxes.clear();
  fs::remove(Destination());
  window_->CmdStop_Click();
  bool exitAsked = false;
  {
    util::ScopedEventPump no([&] {
      if (!exitAsked && view_.Visible(C::kCmdStop)) {
        exitAsked = true;
        window_->cmdEnd_Click();  // answered No, before the first file
      }
    });
    window_->CmdConvertTGZ_Click();
  }
  ASSERT_GE(desktop_.boxes.size(), 3u);
  EXPECT_EQ(desktop_.boxes[0].text, "Are you sure you want to exit now?");
  ExpectBox(desktop_.boxes[1], "Are you sure you want to Stop now ?", "Brakmoor Crateline",
            BoxIcon::kQuestion, BoxButtons::kYesNo);
  EXPECT_EQ(desktop_.boxes[2].title, "Completed...");  // asked once; the run went on
  EXPECT_FALSE(window_->StopRequested);
  EXPECT_TRUE(fs::exists(Destination()));
}

// Each failure box as designed, then one more that says why, with the report when there is one.
TEST_F(WindowLogicTest, FailuresSayWhyAndTheButtonsComeBack) {
  // The archive file cannot be created at all.
  ReadyToConvert();
  desktop_.savePath = (dir_.path() / "no" / "such" / "folder.tgz").string();
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.boxes.size(), 2u);
  ExpectBox(desktop_.boxes[0], "Zimbra Mailbox File Creation Error !", "File Error",
            BoxIcon::kInformation);
  EXPECT_NE(desktop_.boxes[1].text.find("folder.tgz"), std::string::npos) << desktop_.boxes[1].text;
  EXPECT_EQ(desktop_.boxes[1].icon, BoxIcon::kInformation);
  EXPECT_TRUE(view_.Enabled(C::kCmdOpen));
  EXPECT_EQ(view_.Text(C::kCmdConvertTGZ), "Start Conversion");
  EXPECT_TRUE(view_.Enabled(C::kCmdConvertTGZ));
  EXPECT_FALSE(view_.Visible(C::kCmdStop));

  // Nothing could be read: the reason, and the report that names each message.
  fs::remove_all(dir_.path() / "mail");
  dir_.Write("mail/empty.eml", "");
  Choose(MailFolder());
  desktop_.savePath = Destination();
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.boxes.size(), 2u);
  ExpectBox(desktop_.boxes[0], "Error in Creating TGZ File...", "Brakmoor Crateline",
            BoxIcon::kInformation);
  EXPECT_NE(desktop_.boxes[1].text.find("there are no messages to archive"), std::string::npos)
      << desktop_.boxes[1].text;
  EXPECT_NE(desktop_.boxes[1].text.find("out.report.txt"), std::string::npos);
  std::ifstream report(dir_.path() / "out.report.txt");
  EXPECT_NE(std::string((std::istreambuf_iterator<char>(report)), {}).find("empty.eml"),
            std::string::npos);

  // The chosen folder is gone before the run.
  fs::remove_all(dir_.path() / "mail");
  desktop_.boxes.clear();
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.boxes.size(), 2u);
  ExpectBox(desktop_.boxes[0], "Error Reading Messages...", "Brakmoor Crateline",
            BoxIcon::kInformation);
  EXPECT_NE(desktop_.boxes[1].text.find("cannot read the folder"), std::string::npos)
      << desktop_.boxes[1].text;
  window_->CmdOpen_Click();  // still opens the folder of the destination chosen for that run
  EXPECT_EQ(desktop_.opened.back(), dir_.folder());
}

TEST_F(WindowLogicTest, IfFolderEmptyLooksAtOrdinaryFilesOnly) {
  dir_.Mkdir("box/Sub");
  dir_.Write("box/.hidden", "x");
  const std::string box = (dir_.path() / "box").string();
  EXPECT_TRUE(window_->IfFolderEmpty(box));
  dir_.Write("box/plain.txt", "x");
  EXPECT_FALSE(window_->IfFolderEmpty(box));
  EXPECT_TRUE(window_->IfFolderEmpty(box + "/missing"));
}

// Centred where it fits; where it does not, its title bar stays on the screen and it is made
// as small as the screen, to be scrolled.
TEST(WindowPlacement, KeepsTheTitleBarOnTheScreen) {
  const Margins frame{4, 30, 4, 4};
  EXPECT_EQ(PlaceWindow({0, 0, 1920, 1080}, 705, 475, frame), (Placement{603, 285, 705, 475}));
  EXPECT_EQ(PlaceWindow({100, 50, 1024, 768}, 705, 475, frame), (Placement{255, 179, 705, 475}));
  // 1024 × 768 at a scale of 2: 512 × 384 of the window's units.
  EXPECT_EQ(PlaceWindow({0, 0, 512, 384}, 705, 475, frame), (Placement{0, 0, 504, 350}));
  EXPECT_EQ(PlaceWindow({0, 24, 512, 360}, 705, 475, {}), (Placement{0, 24, 512, 360}));
  // Wide but short: centred across, at the top.
  EXPECT_EQ(PlaceWindow({0, 0, 1920, 400}, 705, 475, frame), (Placement{603, 0, 705, 366}));
  // No room even for the frame: the corner stays on the screen.
  EXPECT_EQ(PlaceWindow({10, 20, 6, 20}, 705, 475, frame), (Placement{10, 20, 1, 1}));
}

}  // namespace
}  // namespace crateline::window
