#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <filesystem>
#include <fstream>

#include "archive/verify.h"
#include "fake_desktop.h"
#include "scan/scan.h"
#include "support/temp_dir.h"
#include "util/event_pump.h"

namespace crateline::app {
namespace {

namespace fs = std::filesystem;
using testing::FakeDesktop;
using testing::ProgramEnded;

std::string Text(QLabel* label) {
  return label->text().toStdString();
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
  void ChooseMailbox() {
    desktop_.folder = (dir_.path() / "mail").string();
    window_->CmdAddFolder_Click();
    desktop_.boxes.clear();
  }
  std::string Destination() const { return (dir_.path() / "out.tgz").string(); }

  FakeDesktop desktop_;
  testing::TempDir dir_;
  std::unique_ptr<FrmStep1> window_;
};

TEST_F(WindowTest, OpensAsDesigned) {
  FrmStep1& w = *window_;
  EXPECT_EQ(w.objectName(), "frmStep1");
  EXPECT_EQ(w.windowTitle(), "Brakmoor Crateline v3.0");
  EXPECT_EQ(w.size(), QSize(705, 475));
  EXPECT_EQ(w.minimumSize(), w.maximumSize());
  EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(desktop_.commonControls, 1);
  EXPECT_FALSE(w.StopRequested);

  for (QLabel* label : {w.LblSource, w.LblTarFile, w.LblDestination}) {
    EXPECT_EQ(Text(label), "&lt; Not Selected &gt;") << label->objectName().toStdString();
  }
  EXPECT_EQ(Text(w.LblCount), "");
  EXPECT_NE(Text(w.Label2).find("files &amp; then select"), std::string::npos);
  EXPECT_FALSE(w.CmdConvertTGZ->isEnabled());
  EXPECT_FALSE(w.CmdOpen->isEnabled());
  EXPECT_TRUE(w.CmdAddFolder->isEnabled());
  EXPECT_TRUE(w.CmdStop->isHidden());
  EXPECT_EQ(w.CmdStop->geometry(), w.CmdConvertTGZ->geometry());
  EXPECT_EQ(w.ProgressBar_tgz->minimum(), 0);
  EXPECT_EQ(w.ProgressBar_tgz->maximum(), 100);
  EXPECT_EQ(w.ProgressBar_tgz->value(), 0);
  EXPECT_EQ(w.Frame1->title(), " Conversion Details ");
  EXPECT_EQ(w.CmdHelp->text(), "&Help Manual");
  EXPECT_EQ(w.cmdEnd->text(), "E&xit");
  EXPECT_EQ(w.Label4->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(w.Shape2->geometry(), QRect(0, 0, 713, 57));
  EXPECT_EQ(w.LblTarFile->parentWidget(), w.Frame1);
  EXPECT_EQ(w.cmdEnd->parentWidget(), w.Picture3);
  EXPECT_FALSE(w.rect().intersects(w.cmdAdd->geometry()));
  EXPECT_FALSE(w.rect().intersects(w.cmdClear1->geometry()));
  for (const char* name :
       {"Shape2",     "lblTitle",      "lblCopyright",    "Label3",   "Shape3",
        "Image2",     "Label2",        "CmdAddFolder",    "Image1",   "Label4",
        "Label5",     "LblSource",     "LblCount",        "Frame1",   "Label8",
        "LblTarFile", "Label1",        "ProgressBar_tgz", "Label6",   "LblDestination",
        "CmdOpen",    "CmdConvertTGZ", "CmdStop",         "Shape1",   "Picture3",
        "CmdHelp",    "cmdEnd",        "cmdAdd",          "cmdClear1"}) {
    EXPECT_NE(w.findChild<QWidget*>(name), nullptr) << name;
  }

  // Focus order, starting on the button beyond the client area.
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

TEST_F(WindowTest, ExitAsksAndClosingDoesNot) {
  window_->cmdEnd_Click();
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "Are you sure you want to exit now?", "Brakmoor Crateline",
            BoxIcon::kQuestion, BoxButtons::kYesNo);
  EXPECT_EQ(desktop_.ended, 0);

  desktop_.answers.push_back(BoxAnswer::kYes);
  EXPECT_THROW(window_->cmdEnd_Click(), ProgramEnded);

  desktop_.boxes.clear();
  EXPECT_THROW(window_->Form_Unload(), ProgramEnded);
  EXPECT_TRUE(desktop_.boxes.empty());
}

TEST_F(WindowTest, ChoosingAFolderCountsItsMessagesAndFolders) {
  MakeMailbox();
  desktop_.folder = (dir_.path() / "mail").string();
  window_->CmdAddFolder_Click();
  EXPECT_EQ(desktop_.folderTitles, std::vector<std::string>{"Choose Source Folder..."});
  EXPECT_EQ(window_->SourcePath, desktop_.folder + scan::kSeparator);
  EXPECT_EQ(window_->MessageCount, 12);
  EXPECT_EQ(window_->FolderCounter, 3);
  EXPECT_EQ(Text(window_->LblCount), "12 Messages &amp; 3 Folder(s) Queued for Conversion.");
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "12 Messages Queued for Conversion.", "Brakmoor Crateline",
            BoxIcon::kNone);
  EXPECT_TRUE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_FALSE(desktop_.waitPointer);

  // A second folder shows its own counts only; a folder with nothing says so.
  dir_.Write("other/Sub/x.txt", "x");
  desktop_.folder = (dir_.path() / "other").string() + scan::kSeparator;
  window_->CmdAddFolder_Click();
  EXPECT_EQ(window_->SourcePath, desktop_.folder);  // no second separator
  EXPECT_EQ(Text(window_->LblCount), "0 Messages &amp; 1 Folder(s) Queued for Conversion.");
  ExpectBox(desktop_.boxes.back(), "0 Messages Queued for Conversion.", "Brakmoor Crateline",
            BoxIcon::kNone);
  EXPECT_FALSE(window_->CmdConvertTGZ->isEnabled());
}

TEST_F(WindowTest, NothingStartsInsideAScanOrARun) {
  MakeMailbox();
  ChooseMailbox();  // Start Conversion is enabled now
  desktop_.savePath = Destination();
  int clicks = 0;
  {
    // The events the scan pumps bring clicks on both buttons.
    util::ScopedEventPump clicker([&] {
      if (window_->CmdAddFolder->isEnabled()) return;  // only while the scan runs
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

  clicks = 0;
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
}

TEST_F(WindowTest, ACancelledPickerResetsTheLabels) {
  MakeMailbox();
  ChooseMailbox();
  desktop_.folder.clear();
  window_->CmdAddFolder_Click();
  EXPECT_EQ(Text(window_->LblSource), "&lt; Not Selected &gt;");
  EXPECT_EQ(Text(window_->LblCount), "");
  EXPECT_TRUE(window_->SourcePath.empty());
  EXPECT_FALSE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_TRUE(desktop_.boxes.empty());
}

TEST_F(WindowTest, TheSaveDialogProposesAStampedNameAndCancelChangesNothing) {
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
  EXPECT_EQ(window_->TimeStamp, "31.1.27 23.59.07");
  EXPECT_TRUE(desktop_.boxes.empty());
  EXPECT_TRUE(window_->DestinationPath.empty());
  EXPECT_FALSE(window_->CmdOpen->isEnabled());
  EXPECT_TRUE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_EQ(window_->CmdConvertTGZ->text(), "Start Conversion");
}

// Nothing of the source is ever written: a destination inside it is refused before anything.
TEST_F(WindowTest, ADestinationInsideTheSourceIsRefused) {
  MakeMailbox();
  ChooseMailbox();
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
}

TEST_F(WindowTest, AConversionThatSucceeds) {
  MakeMailbox();
  ChooseMailbox();
  desktop_.savePath = Destination();
  window_->CmdConvertTGZ_Click();
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
  EXPECT_EQ(window_->ProgressBar_tgz->value(), 100);
  EXPECT_TRUE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_EQ(window_->CmdConvertTGZ->text(), "Start Conversion");
  EXPECT_TRUE(window_->CmdStop->isHidden());
  EXPECT_TRUE(window_->CmdOpen->isEnabled());
  EXPECT_TRUE(window_->CmdAddFolder->isEnabled());
  EXPECT_NE(Text(window_->LblDestination).find("out.tgz"), std::string::npos);
  EXPECT_NE(Text(window_->LblTarFile).find(".eml"), std::string::npos);

  window_->CmdOpen_Click();
  EXPECT_EQ(desktop_.opened, std::vector<std::string>{dir_.folder()});
}

TEST_F(WindowTest, StopAsksAtTheNextFileNoGoesOn) {
  MakeMailbox();
  ChooseMailbox();
  desktop_.savePath = Destination();
  window_->CmdStop_Click();
  EXPECT_TRUE(window_->StopRequested);
  window_->CmdConvertTGZ_Click();
  ASSERT_GE(desktop_.boxes.size(), 2u);
  ExpectBox(desktop_.boxes[0], "Are you sure you want to Stop now ?", "Brakmoor Crateline",
            BoxIcon::kQuestion, BoxButtons::kYesNo);
  EXPECT_EQ(desktop_.boxes[1].title, "Completed...");  // asked once; the run went on
  EXPECT_FALSE(window_->StopRequested);
  EXPECT_TRUE(fs::exists(Destination()));
}

TEST_F(WindowTest, StopYesEndsTheProgramAndLeavesNoArchive) {
  MakeMailbox();
  ChooseMailbox();
  desktop_.savePath = Destination();
  window_->show();
  window_->CmdStop_Click();
  desktop_.answers.push_back(BoxAnswer::kYes);
  EXPECT_THROW(window_->CmdConvertTGZ_Click(), ProgramEnded);
  EXPECT_EQ(desktop_.ended, 1);
  EXPECT_TRUE(window_->isHidden());
  EXPECT_FALSE(fs::exists(Destination()));
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos);
  }
}

TEST_F(WindowTest, FailuresAreReportedAndTheButtonsComeBack) {
  MakeMailbox();
  ChooseMailbox();
  desktop_.savePath = (dir_.path() / "no" / "such" / "folder.tgz").string();
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "Error in Creating TGZ File...", "Brakmoor Crateline",
            BoxIcon::kInformation);
  EXPECT_TRUE(window_->CmdOpen->isEnabled());
  EXPECT_EQ(window_->CmdConvertTGZ->text(), "Start Conversion");
  EXPECT_TRUE(window_->CmdConvertTGZ->isEnabled());
  EXPECT_TRUE(window_->CmdStop->isHidden());

  fs::remove_all(dir_.path() / "mail");  // the chosen folder is gone before the run
  desktop_.boxes.clear();
  desktop_.savePath = Destination();
  window_->CmdConvertTGZ_Click();
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  ExpectBox(desktop_.boxes[0], "Error Reading Messages...", "Brakmoor Crateline",
            BoxIcon::kInformation);
  window_->CmdOpen_Click();  // still opens the folder of the destination chosen for that run
  EXPECT_EQ(desktop_.opened.back(), dir_.folder());
}

TEST_F(WindowTest, HelpCommandsOpenTheGuide) {
  window_->CmdHelp_Click();
  window_->Label4_Click();
  EXPECT_EQ(desktop_.opened, (std::vector<std::string>{kGuideAddress, kGuideAddress}));
  EXPECT_NE(std::string(kGuideAddress).find("/crateline/guide.html"), std::string::npos);
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

TEST(LabelText, MnemonicNotation) {
  QLabel label;
  SetLabelText(&label, "Tom && Jerry &Go <b>");
  EXPECT_EQ(label.text().toStdString(), "Tom &amp; Jerry <u>G</u>o &lt;b&gt;");
  SetLabelText(&label, LiteralText("/mail/R&D/caf\xc3\xa9"));
  EXPECT_EQ(label.text().toStdString(), "/mail/R&amp;D/caf\xc3\xa9");
}

}  // namespace
}  // namespace crateline::app
