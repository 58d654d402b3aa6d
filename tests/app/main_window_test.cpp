#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "archive/verify.h"
#include "fake_desktop.h"
#include "platform/system_calls.h"
#include "scan/scan.h"
#include "support/temp_dir.h"
#include "util/event_pump.h"

namespace crateline::app {
namespace {

namespace fs = std::filesystem;
using testing::FakeDesktop;
using testing::ProgramEnded;

// What the user reads in a label, not the markup behind it.
std::string Text(QLabel* label) {
  return ShownText(label).toStdString();
}

void ExpectBox(const MessageBox& box, const std::string& text, const std::string& title,
               BoxIcon icon, BoxButtons buttons = BoxButtons::kOk) {
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.title, title);
  EXPECT_EQ(box.icon, icon);
  EXPECT_EQ(box.buttons, buttons);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_unique<FrmStep1>(desktop_);
    scan::QueuedMessages.reset();
  }
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
  static std::string Mail(int i) {
    return "Date: Tue, 3 Mar 2020 09:1" + std::to_string(i) +
           ":00 +0100\r\nSubject: m\r\n\r\nbody\r\n";
  }
  std::string MailFolder() const { return (dir_.path() / "mail").string(); }
  void ChooseMailbox() {
    desktop_.folder = MailFolder();
    window_->CmdAddFolder_Click();
    desktop_.boxes.clear();
  }
  std::string Destination() const { return (dir_.path() / "out.tgz").string(); }
  // The mailbox chosen and counted, and the save dialog set to answer with Destination().
  void ReadyToConvert() {
    MakeMailbox();
    ChooseMailbox();
    desktop_.savePath = Destination();
  }

  FakeDesktop desktop_;
  testing::TempDir dir_;
  std::unique_ptr<FrmStep1> window_;
};

TEST_F(WindowTest, OpensAsDesigned) {
  FrmStep1& w = *window_;
  EXPECT_EQ(w.windowTitle(), "Brakmoor Crateline v3.0");
  EXPECT_EQ(desktop_.commonControls, 1);
  EXPECT_FALSE(w.StopRequested);
  // A fixed frame without a maximise button, also where a window manager draws it; centred.
  EXPECT_EQ(w.size(), QSize(705, 475));
  EXPECT_EQ(w.minimumSize(), w.maximumSize());
  EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(w.windowFlags() & Qt::MSWindowsFixedSizeDialogHint);
  EXPECT_TRUE(w.windowFlags() & Qt::CustomizeWindowHint);
  EXPECT_EQ(w.frameGeometry().center(),
            QGuiApplication::primaryScreen()->availableGeometry().center());

  for (QLabel* label : {w.LblSource, w.LblTarFile, w.LblDestination}) {
    EXPECT_EQ(Text(label), "< Not Selected >") << label->objectName().toStdString();
  }
  EXPECT_EQ(Text(w.LblCount), "");
  // Captions keep their runs of spaces; "&&" reads as one "&".
  EXPECT_EQ(Text(w.Label5), "Source Folder    : ");
  EXPECT_EQ(Text(w.Label2),
            "First locate your folder having (*.eml) files & then select main folder having "
            "*.eml files");
  // Stop takes Start's place, never a place of its own.
  EXPECT_EQ(w.CmdStop->geometry(), w.CmdConvertTGZ->geometry());
  // The link grows to the right, never shrinks, so that its last letter is never cut.
  EXPECT_EQ(w.Label4->geometry().topLeft(), QPoint(312, 152));
  EXPECT_GE(w.Label4->width(), 225);
  EXPECT_EQ(w.Label4->cursor().shape(), Qt::PointingHandCursor);

  w.show();
  QApplication::setActiveWindow(&w);
  EXPECT_FALSE(w.CmdConvertTGZ->isEnabled());
  EXPECT_FALSE(w.CmdOpen->isEnabled());
  EXPECT_TRUE(w.CmdAddFolder->isEnabled());
  EXPECT_TRUE(w.CmdStop->isHidden());
  EXPECT_EQ(w.ProgressBar_tgz->maximum(), 100);
  EXPECT_EQ(w.ProgressBar_tgz->value(), 0);

  // Two buttons beyond the client area, reached by the keyboard only: the focus starts on one.
  for (QPushButton* unseen : {w.cmdAdd, w.cmdClear1}) {
    EXPECT_FALSE(w.rect().intersects(unseen->geometry())) << unseen->objectName().toStdString();
  }
  EXPECT_EQ(QApplication::focusWidget(), w.cmdAdd);
  std::vector<std::string> order;
  QWidget* at = w.cmdAdd;
  for (int i = 0; i < 8; ++i, at = at->nextInFocusChain()) {
    while (at->focusPolicy() == Qt::NoFocus || !at->inherits("QPushButton"))
      at = at->nextInFocusChain();
    order.push_back(at->objectName().toStdString());
  }
  EXPECT_EQ(order, (std::vector<std::string>{"cmdAdd", "cmdClear1", "CmdAddFolder", "CmdConvertTGZ",
                                             "cmdEnd", "CmdHelp", "CmdOpen", "CmdStop"}));
  w.cmdAdd->click();  // does nothing
  EXPECT_TRUE(desktop_.boxes.empty());
}

// Exit asks; closing the window ends the program at once, even in the middle of a run.
TEST_F(WindowTest, ExitAsksAndClosingDoesNot) {
  window_->cmdEnd_Click();
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "Are you sure you want to exit now?", "Brakmoor Crateline",
            BoxIcon::kQuestion, BoxButtons::kYesNo);
  EXPECT_EQ(desktop_.ended, 0);
  desktop_.answers.push_back(BoxAnswer::kYes);
  EXPECT_THROW(window_->cmdEnd_Click(), ProgramEnded);

  ReadyToConvert();
  util::ScopedEventPump close([&] {
    if (!window_->CmdStop->isHidden()) window_->close();
  });
  window_->show();
  EXPECT_THROW(window_->CmdConvertTGZ_Click(), ProgramEnded);
  EXPECT_TRUE(desktop_.boxes.empty());
  EXPECT_FALSE(fs::exists(Destination()));
}

TEST_F(WindowTest, ChoosingAFolderCountsItsMessagesAndFolders) {
  MakeMailbox();
  desktop_.folder = MailFolder();
  window_->CmdAddFolder_Click();
  EXPECT_EQ(desktop_.folderTitles, std::vector<std::string>{"Choose Source Folder..."});
  EXPECT_EQ(window_->SourcePath, desktop_.folder + scan::kSeparator);
  EXPECT_EQ(window_->MessageCount, 12);
  EXPECT_EQ(window_->FolderCounter, 3);
  EXPECT_EQ(Text(window_->LblCount), "12 Messages & 3 Folder(s) Queued for Conversion.");
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "12 Messages Queued for Conversion.", "Brakmoor Crateline",
            BoxIcon::kNone);
  EXPECT_TRUE(window_->CmdConvertTGZ->isEnabled());

  // A second folder shows its own counts only; a folder with nothing says so.
  dir_.Write("other/Sub/x.txt", "x");
  desktop_.folder = (dir_.path() / "other").string() + scan::kSeparator;
  window_->CmdAddFolder_Click();
  EXPECT_EQ(window_->SourcePath, desktop_.folder);  // no second separator
  EXPECT_EQ(Text(window_->LblCount), "0 Messages & 1 Folder(s) Queued for Conversion.");
  ExpectBox(desktop_.boxes.back(), "0 Messages Queued for Conversion.", "Brakmoor Crateline",
            BoxIcon::kNone);
  EXPECT_FALSE(window_->CmdConvertTGZ->isEnabled());
}

// Clicks the events of a scan or a run bring start nothing; the focus waits meanwhile, never on
// Exit, and comes back to the button pressed. Enter presses the focused button.
TEST_F(WindowTest, NothingStartsInsideAScanOrARunAndTheFocusComesBack) {
  ReadyToConvert();  // Start Conversion is enabled now
  window_->show();
  QApplication::setActiveWindow(window_.get());
  window_->CmdAddFolder->setFocus();
  int clicks = 0;
  bool onExit = false;
  bool waiting = false;
  std::set<std::string> counts;
  {
    util::ScopedEventPump clicker([&] {
      onExit |= QApplication::focusWidget() == window_->cmdEnd;
      waiting |= desktop_.waitPointer;
      counts.insert(Text(window_->LblCount));
      if (window_->CmdAddFolder->isEnabled()) return;  // only while the scan runs
      ++clicks;
      window_->CmdConvertTGZ_Click();
      window_->CmdAddFolder_Click();
    });
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(window_->CmdAddFolder, &enter);
  }
  EXPECT_GT(clicks, 0);
  EXPECT_TRUE(desktop_.saveRequests.empty());
  EXPECT_EQ(desktop_.folderTitles.size(), 2u);  // the first choice and this one, no nested one
  EXPECT_EQ(window_->MessageCount, 12);
  EXPECT_FALSE(onExit) << "the focus never rests on Exit while the buttons are locked";
  EXPECT_EQ(QApplication::focusWidget(), window_->CmdAddFolder);
  // The wait pointer and the count as it grows show while the scan runs.
  EXPECT_TRUE(waiting);
  EXPECT_FALSE(desktop_.waitPointer);
  EXPECT_TRUE(counts.count("1 Messages Queued for Conversion."));
  EXPECT_TRUE(counts.count("12 Messages Queued for Conversion."));

  clicks = 0;
  window_->CmdConvertTGZ->setFocus();
  {
    util::ScopedEventPump clicker([&] {
      if (window_->CmdAddFolder->isEnabled()) return;  // only while the run is under way
      ++clicks;
      window_->CmdConvertTGZ_Click();
    });
    window_->CmdConvertTGZ_Click();
  }
  EXPECT_GT(clicks, 0);
  EXPECT_EQ(desktop_.saveRequests.size(), 1u);  // one run, however often the button was hit
  EXPECT_EQ(QApplication::focusWidget(), window_->CmdConvertTGZ);

  // Both help commands open the guide.
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
  QApplication::sendEvent(window_->CmdHelp, &enter);
  window_->Label4_Click();
  EXPECT_EQ(desktop_.opened, (std::vector<std::string>{kGuideAddress, kGuideAddress}));
}

// A cancelled save dialog changes nothing; a destination inside the source is refused before
// anything, so that nothing of the source is ever written.
TEST_F(WindowTest, TheSaveDialogProposesAStampedNameAndNoAnswerOrABadOneChangesNothing) {
  MakeMailbox();
  ChooseMailbox();
  desktop_.now.tm_year = 2027 - 1900;
  desktop_.now.tm_mon = 0;
  desktop_.now.tm_mday = 31;
  desktop_.now.tm_hour = 23;
  desktop_.now.tm_min = 59;
  desktop_.now.tm_sec = 7;
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.saveRequests.size(), 1u);
  EXPECT_EQ(desktop_.saveRequests[0].proposedName, "ZimbraMailbox31.1.27 23.59.07.tgz");
  EXPECT_EQ(desktop_.saveRequests[0].filterDescription, "Zimbra Mailboxe(s) (*.tgz)");
  EXPECT_EQ(desktop_.saveRequests[0].filterPattern, "*.tgz");
  EXPECT_TRUE(desktop_.boxes.empty());

  const std::string inside = (dir_.path() / "mail" / "Inbox" / "in0.eml").string();
  desktop_.savePath = inside;
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  EXPECT_NE(desktop_.boxes[0].text.find("cannot be saved inside the folder being converted"),
            std::string::npos);
  EXPECT_EQ(desktop_.boxes[0].icon, BoxIcon::kInformation);
  EXPECT_EQ(desktop_.boxes[0].title, "Brakmoor Crateline");
  EXPECT_EQ(Mail(0), [&] {
    std::ifstream in(inside, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }());
  EXPECT_TRUE(window_->DestinationPath.empty());
  EXPECT_FALSE(window_->CmdOpen->isEnabled());
  EXPECT_TRUE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_EQ(window_->CmdConvertTGZ->text(), "Start Conversion");
}

// A run seen from the events it pumps, its outcome, and a cancelled folder choice after it.
TEST_F(WindowTest, AConversionThatSucceeds) {
  ReadyToConvert();
  window_->ProgressBar_tgz->setValue(37);  // as a run before would have left it
  struct Moment {
    std::string caption, file;
    int bar;
    bool stop, open;
    std::string destination;
  };
  std::vector<Moment> seen;
  {
    util::ScopedEventPump watch([&] {
      seen.push_back({window_->CmdConvertTGZ->text().toStdString(), Text(window_->LblTarFile),
                      window_->ProgressBar_tgz->value(), !window_->CmdStop->isHidden(),
                      window_->CmdOpen->isEnabled(), Text(window_->LblDestination)});
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
  ExpectBox(
      desktop_.boxes[0],
      "Messages Converted Successfully.\r\n"
      "Click \"Open Saving Location\" button to view & locate converted file.\r\n\r\n"
      "Open Zimbra Desktop or Zimbra Web Client and use \"Import\" option to import emails from "
      "converted .tgz file.\r\n",
      "Completed...", BoxIcon::kInformation);
  // desktop.ini was left out and "Sent Items" mapped: one more box names the report.
  EXPECT_NE(desktop_.boxes[1].text.find("1 file(s) that hold no mail left out"), std::string::npos)
      << desktop_.boxes[1].text;
  EXPECT_NE(desktop_.boxes[1].text.find("out.report.txt"), std::string::npos);
  EXPECT_EQ(desktop_.boxes[1].icon, BoxIcon::kInformation);
  EXPECT_TRUE(fs::exists(dir_.path() / "out.report.txt"));

  EXPECT_TRUE(archive::VerifyArchive(Destination(), window_->SourcePath).Ok());
  EXPECT_TRUE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_EQ(window_->CmdConvertTGZ->text(), "Start Conversion");
  EXPECT_TRUE(window_->CmdStop->isHidden());
  EXPECT_TRUE(window_->CmdOpen->isEnabled());
  EXPECT_TRUE(window_->CmdAddFolder->isEnabled());
  EXPECT_NE(Text(window_->LblDestination).find("out.tgz"), std::string::npos);
  EXPECT_NE(Text(window_->LblTarFile).find(".eml"), std::string::npos);

  // The labels go back to nothing selected, but "Open Saving Location" still opens the folder
  // of the last destination.
  desktop_.boxes.clear();
  desktop_.folder.clear();
  window_->CmdAddFolder_Click();
  for (QLabel* label : {window_->LblSource, window_->LblTarFile, window_->LblDestination}) {
    EXPECT_EQ(Text(label), "< Not Selected >");
  }
  EXPECT_EQ(Text(window_->LblCount), "");
  EXPECT_TRUE(window_->SourcePath.empty());
  EXPECT_FALSE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_TRUE(desktop_.boxes.empty());
  ASSERT_TRUE(window_->CmdOpen->isEnabled());
  window_->CmdOpen->click();
  EXPECT_EQ(desktop_.opened, std::vector<std::string>{dir_.folder()});
}

// Reading a large store takes a while before the first byte is written: events flow and Stop
// works then too, and Yes ends the program with no archive or temporary file left. The listing
// is slowed here so that it lasts several event intervals.
TEST_F(WindowTest, StopWorksWhileTheStoreIsRead) {
  for (int i = 0; i < 40; ++i) dir_.Write("mail/F" + std::to_string(i) + "/m.eml", Mail(1));
  ChooseMailbox();
  desktop_.savePath = Destination();
  platform::SystemCalls calls = platform::CurrentSystemCalls();
  calls.FindNextFileW = [next = calls.FindNextFileW](platform::SearchHandle h,
                                                     platform::FindDataW& data) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return next(h, data);
  };
  platform::ScopedSystemCalls slow(calls);
  std::string askedWhileShowing;
  util::ScopedEventPump watch([&] {
    if (!window_->CmdStop->isHidden() && !window_->StopRequested && desktop_.boxes.empty()) {
      window_->CmdStop->click();
    }
    if (!desktop_.boxes.empty() && askedWhileShowing.empty()) {
      askedWhileShowing = Text(window_->LblTarFile);
    }
  });
  window_->show();
  desktop_.answers.push_back(BoxAnswer::kYes);
  EXPECT_THROW(window_->CmdConvertTGZ_Click(), ProgramEnded);
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "Are you sure you want to Stop now ?", "Brakmoor Crateline",
            BoxIcon::kQuestion, BoxButtons::kYesNo);
  EXPECT_EQ(askedWhileShowing.find(".eml"), std::string::npos)
      << "asked while a folder was being read, not a message: " << askedWhileShowing;
  EXPECT_EQ(desktop_.ended, 1);
  EXPECT_TRUE(window_->isHidden());
  EXPECT_FALSE(fs::exists(Destination()));
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos);
  }
}

// A click on Stop during the last event of a run belongs to that run, not to the next. One
// before a run asks once, at the next file; No to it, or to Exit, lets the run go on.
TEST_F(WindowTest, StopAsksAtTheNextFileAndEndsWithItsRun) {
  ReadyToConvert();
  {
    util::ScopedEventPump late([&] {
      if (window_->ProgressBar_tgz->value() == 100) window_->CmdStop_Click();
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
      if (!exitAsked && !window_->CmdStop->isHidden()) {
        exitAsked = true;
        window_->cmdEnd->click();  // answered No, before the first file
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
TEST_F(WindowTest, FailuresSayWhyAndTheButtonsComeBack) {
  // The archive file cannot be created at all.
  ReadyToConvert();
  desktop_.savePath = (dir_.path() / "no" / "such" / "folder.tgz").string();
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.boxes.size(), 2u);
  ExpectBox(desktop_.boxes[0], "Zimbra Mailbox File Creation Error !", "File Error",
            BoxIcon::kInformation);
  EXPECT_NE(desktop_.boxes[1].text.find("folder.tgz"), std::string::npos) << desktop_.boxes[1].text;
  EXPECT_NE(desktop_.boxes[1].text.find("No such file or directory"), std::string::npos);
  EXPECT_EQ(desktop_.boxes[1].icon, BoxIcon::kInformation);
  EXPECT_TRUE(window_->CmdOpen->isEnabled());
  EXPECT_EQ(window_->CmdConvertTGZ->text(), "Start Conversion");
  EXPECT_TRUE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_TRUE(window_->CmdStop->isHidden());

  // Nothing could be read: the reason, and the report that names each message.
  fs::remove_all(dir_.path() / "mail");
  dir_.Write("mail/empty.eml", "");
  ChooseMailbox();
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

TEST_F(WindowTest, IfFolderEmptyLooksAtOrdinaryFilesOnly) {
  dir_.Mkdir("box/Sub");
  dir_.Write("box/.hidden", "x");
  const std::string box = (dir_.path() / "box").string();
  EXPECT_TRUE(window_->IfFolderEmpty(box));
  dir_.Write("box/plain.txt", "x");
  EXPECT_FALSE(window_->IfFolderEmpty(box));
  EXPECT_TRUE(window_->IfFolderEmpty(box + "/missing"));
}

TEST(LabelText, ShownAsItIs) {
  QLabel label;
  SetLabelText(&label, "Tom && Jerry  <b>two  spaces</b>");
  EXPECT_EQ(Text(&label), "Tom & Jerry  <b>two  spaces</b>");
  EXPECT_EQ(label.textFormat(), Qt::PlainText);
  SetLabelText(&label, "&Go   on");  // a mnemonic underlines; the spaces stay all the same
  EXPECT_EQ(Text(&label), "Go   on");
  EXPECT_NE(label.text().indexOf("<u>G</u>"), -1);
  PathLabel path;
  path.resize(300, 17);
  SetLabelText(&path, LiteralText("/mail/R&D/Two  spaces/a    b.eml"));
  EXPECT_EQ(Text(&path), "/mail/R&D/Two  spaces/a    b.eml");
  EXPECT_TRUE(path.toolTip().isEmpty());
}

// A path too long for its label is cut in the middle to the lines the label has room for.
TEST(LabelText, LongPathsAreCutInTheMiddle) {
  const std::string path = "/home/ada/Mail/" + std::string(120, 'a') + "/Quarterly figures/" +
                           std::string(60, 'z') + "/report.eml";
  for (const int height : {17, 33}) {
    PathLabel label;
    label.resize(300, height);
    SetLabelText(&label, path);
    const QString shown = label.text();
    EXPECT_TRUE(shown.startsWith("/home/ada/Mail/")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("/report.eml")) << shown.toStdString();
    EXPECT_NE(shown.indexOf(QChar(0x2026)), -1);
    EXPECT_EQ(label.toolTip().toStdString(), path);
    const QFontMetrics metrics(label.font());
    const QRect needed = metrics.boundingRect(QRect(0, 0, 300, 1000), Qt::TextWrapAnywhere, shown);
    EXPECT_LE(needed.height(), (height / metrics.lineSpacing()) * metrics.lineSpacing())
        << "no half line";
    EXPECT_LE(needed.width(), 300);
  }
}

// Every text of the window fits its control whole, at the screen's scale (run again at a
// scale factor of 2).
TEST_F(WindowTest, EveryTextFitsItsControl) {
  FrmStep1& w = *window_;
  for (QLabel* label : std::initializer_list<QLabel*>{w.Label4, w.Label5, w.Label6, w.Label1,
                                                      w.Label8, w.Label2, w.lblTitle}) {
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
        << label->objectName().toStdString();
  }
  for (QPushButton* button : {w.CmdAddFolder, w.CmdConvertTGZ, w.CmdOpen, w.CmdHelp, w.cmdEnd}) {
    EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text().remove('&')), button->width())
        << button->objectName().toStdString();
  }
}

// The real message box and save dialog, as the desktop shows them.
TEST(SystemDesktop, MessageBoxesAndTheSaveDialog) {
  auto question =
      MakeMessageBox(nullptr, {"Are you sure you want to exit now?", "Brakmoor Crateline",
                               BoxIcon::kQuestion, BoxButtons::kYesNo});
  EXPECT_EQ(question->text(), "Are you sure you want to exit now?");
  EXPECT_EQ(question->windowTitle(), "Brakmoor Crateline");
  EXPECT_EQ(question->icon(), QMessageBox::Question);
  EXPECT_EQ(question->standardButtons(), QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(question->defaultButton(), question->button(QMessageBox::Yes));
  auto info =
      MakeMessageBox(nullptr, {"a <b> & c", "File Error", BoxIcon::kInformation, BoxButtons::kOk});
  EXPECT_EQ(info->icon(), QMessageBox::Information);
  EXPECT_EQ(info->standardButtons(), QMessageBox::Ok);
  EXPECT_EQ(info->textFormat(), Qt::PlainText);
  auto plain = MakeMessageBox(nullptr, {"12 Messages Queued for Conversion.", "Brakmoor Crateline",
                                        BoxIcon::kNone, BoxButtons::kOk});
  EXPECT_EQ(plain->icon(), QMessageBox::NoIcon);

  auto save = MakeSaveDialog(
      nullptr, {"Zimbra Mailboxe(s) (*.tgz)", "*.tgz", "ZimbraMailbox6.12.26 1.4.05.tgz"});
  EXPECT_EQ(save->acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(save->nameFilters(), QStringList{"Zimbra Mailboxe(s) (*.tgz)"});
  EXPECT_FALSE(save->testOption(QFileDialog::DontConfirmOverwrite));
  EXPECT_EQ(save->defaultSuffix(), "tgz");
}

}  // namespace
}  // namespace crateline::app
