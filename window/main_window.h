// frmStep1's logic, without a toolkit: choose a source (a folder, or a mail-store file), count
// its messages, convert them into a .tgz for Zimbra, open the folder of the result or the
// product guide. It drives a View (view.h) and asks the Desktop (desktop.h) for everything
// outside the window, so that it runs, and is tested, the same under every face.
//
// Every handler carries the name the program's design gives it; a face calls them when its
// controls are clicked and when the window closes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "job/tar_archive.h"
#include "window/desktop.h"
#include "window/view.h"

namespace crateline::window {

class FrmStep1 final : private job::TarArchiveListener {
 public:
  // The view's controls are made already; the window initialises and loads.
  FrmStep1(View& view, Desktop& desktop);
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
  // A click on `control`, as a face reports it: the handler of that control, if it has one.
  void Click(Control control);

  // State the handlers share.
  std::string SourcePath;  // a folder with its separator, or a mail-store file
  std::string DestinationPath;
  std::string TimeStamp;
  bool StopRequested = false;
  std::int32_t FolderCounter = 0;  // the folders Zimbra will make below the top
  std::int32_t MessageCount = 0;
  std::unique_ptr<job::TarArchive> myTar;

 private:
  void PercentDone(int percent, bool& abort) override { myTar_PercentDone(percent, abort); }
  void ProgressInfo(const std::string& name, const std::string& value) override {
    myTar_ProgressInfo(name, value);
  }
  void Count();
  bool DestinationRefused(const std::string& chosen);
  void Finish(std::int32_t written);
  void EndRun();
  // Locks the buttons that start work while a count or a run is under way; the keyboard focus
  // waits on the window meanwhile (not on "Exit", where it would go next), and comes back to
  // `focusAfter` when they are unlocked.
  void Lock();
  void Unlock(Control focusAfter);
  // After a failure: why, as the job knows it, and where the report went.
  void ExplainFailure();
  BoxAnswer Box(const std::string& text, const std::string& title, BoxIcon icon,
                BoxButtons buttons = BoxButtons::kOk);
  void ShowPath(Control label, const std::string& path);

  View& view_;
  Desktop& desktop_;
  bool busy_ = false;  // a count or a run is under way
};

}  // namespace crateline::window
