// frmStep1, the program's one window: choose a source folder, count its messages, convert them
// into a .tgz for Zimbra, open the folder of the result or the product guide.
//
// Every handler carries the name the program's design gives it, and every control its name as
// object name too. Everything outside the window goes through the Desktop interface.
#pragma once

#include <QLabel>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/desktop.h"
#include "app/labels.h"
#include "archive/archive.h"

class QFrame;
class QGroupBox;
class QProgressBar;
class QPushButton;

namespace crateline::app {

inline constexpr const char* kAppTitle = "Brakmoor Crateline";
inline constexpr const char* kGuideAddress = "http://www.brakmoor.com/crateline/guide.html";

// A label that acts as a link: a pointing hand over it, a click on it.
class LinkLabel : public QLabel {
 public:
  using QLabel::QLabel;
  std::function<void()> onClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class FrmStep1 : public QWidget, public archive::TarArchiveListener {
 public:
  explicit FrmStep1(Desktop& desktop, QWidget* parent = nullptr);
  ~FrmStep1() override;

  // Lifecycle and commands.
  void Form_Initialize();
  void Form_Load();
  void Form_Unload();
  void cmdEnd_Click();
  void CmdAddFolder_Click();
  bool IfFolderEmpty(const std::string& MyPath);
  void CmdConvertTGZ_Click();
  void CmdStop_Click();
  void myTar_PercentDone(int percent, bool& abort);
  void myTar_ProgressInfo(const std::string& Name, const std::string& value);
  void CmdHelp_Click();
  void Label4_Click();
  void CmdOpen_Click();

  // State other parts of the window read.
  std::string SourcePath;
  std::string DestinationPath;
  std::string TimeStamp;
  std::string ScanFolder;
  std::string ScanPattern;
  bool StopRequested = false;
  std::int32_t MessageCounter = 0;
  std::int32_t FolderCounter = 0;
  std::int32_t MessageCount = 0;
  std::unique_ptr<archive::TarArchive> myTar;

  // The controls.
  QFrame* Shape2;
  QLabel* lblTitle;
  QLabel* lblCopyright;
  QLabel* Label3;
  QFrame* Shape3;
  QLabel* Image2;
  QLabel* Label2;
  QPushButton* CmdAddFolder;
  QLabel* Image1;
  LinkLabel* Label4;
  QLabel* Label5;
  PathLabel* LblSource;
  QLabel* LblCount;
  QGroupBox* Frame1;
  QLabel* Label8;
  PathLabel* LblTarFile;
  QLabel* Label1;
  QProgressBar* ProgressBar_tgz;
  QLabel* Label6;
  PathLabel* LblDestination;
  QPushButton* CmdOpen;
  QPushButton* CmdConvertTGZ;
  QPushButton* CmdStop;
  QFrame* Shape1;
  QWidget* Picture3;
  QPushButton* CmdHelp;
  QPushButton* cmdEnd;
  QPushButton* cmdAdd;
  QPushButton* cmdClear1;

 protected:
  void closeEvent(class QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void PercentDone(int percent, bool& abort) override { myTar_PercentDone(percent, abort); }
  void ProgressInfo(const std::string& name, const std::string& value) override {
    myTar_ProgressInfo(name, value);
  }
  void Build();
  void EndRun();
  // Locks the buttons that start work while a scan or a run is under way; the keyboard focus
  // waits on the window meanwhile (not on "Exit", where Qt would move it), and comes back to
  // `focusAfter` when they are unlocked.
  void Lock();
  void Unlock(QWidget* focusAfter);
  // After a failure: why, as the writer knows it, and where the report went.
  void ExplainFailure(const std::string& reportPath);
  std::string WriteReport();
  BoxAnswer Box(const std::string& text, const std::string& title, BoxIcon icon,
                BoxButtons buttons = BoxButtons::kOk);

  Desktop& desktop_;
  bool busy_ = false;  // a scan or a run is under way
};

}  // namespace crateline::app
