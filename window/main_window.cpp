#include "window/main_window.h"

#include "archive/archive.h"
#include "scan/listing.h"
#include "scan/scan.h"
#include "util/event_pump.h"
#include "util/time_stamp.h"

namespace crateline::window {
namespace {

// The count as it grows while the store is read, each time the reader tells.
class CountShown final : public archive::ArchiveProgress {
 public:
  explicit CountShown(View& view) : view_(view) {}
  void Listing(const std::string& /*where*/, std::size_t messages) override {
    view_.SetText(Control::kLblCount,
                  std::to_string(messages) + " Messages Queued for Conversion.");
    util::PumpEvents();
  }

 private:
  View& view_;
};

}  // namespace

FrmStep1::FrmStep1(View& view, Desktop& desktop) : view_(view), desktop_(desktop) {
  Form_Initialize();
  Form_Load();
}

FrmStep1::~FrmStep1() = default;

BoxAnswer FrmStep1::Box(const std::string& text, const std::string& title, BoxIcon icon,
                        BoxButtons buttons) {
  return desktop_.ShowMessage(view_.Owner(), {text, title, icon, buttons});
}

void FrmStep1::ShowPath(Control label, const std::string& path) {
  view_.SetText(label, LiteralText(path));
}

void FrmStep1::Form_Initialize() {
  desktop_.InitCommonControls();
  util::PumpEvents();
}

void FrmStep1::Form_Load() {
  StopRequested = false;
}

void FrmStep1::Form_Unload() {
  desktop_.EndProgram();
}

void FrmStep1::Lock() {
  busy_ = true;
  view_.SetFocus(Control::kWindow);
  view_.SetEnabled(Control::kCmdAddFolder, false);
  view_.SetEnabled(Control::kCmdConvertTGZ, false);
}

void FrmStep1::Unlock(Control focusAfter) {
  busy_ = false;
  view_.SetEnabled(Control::kCmdAddFolder, true);
  view_.SetFocus(focusAfter);
}

void FrmStep1::cmdEnd_Click() {
  if (Box("Are you sure you want to exit now?", kAppTitle, BoxIcon::kQuestion,
          BoxButtons::kYesNo) == BoxAnswer::kYes) {
    desktop_.EndProgram();
  }
}

void FrmStep1::CmdAddFolder_Click() {
  if (busy_) return;  // a count or a run is under way; the button is locked then too
  view_.SetText(Control::kLblSource, kNotSelected);
  view_.SetText(Control::kLblTarFile, kNotSelected);
  view_.SetText(Control::kLblDestination, kNotSelected);
  view_.SetText(Control::kLblCount, "");
  SourcePath = desktop_.ChooseFolder(view_.Owner(), "Choose Source Folder...");
  if (SourcePath.empty()) {
    view_.SetEnabled(Control::kCmdConvertTGZ, false);  // nothing chosen: nothing to convert
    return;
  }
  // A folder is held with its separator; a mail-store file as it is.
  if (SourcePath.back() != scan::kSeparator && scan::KindAt(SourcePath) != scan::EntryKind::kFile) {
    SourcePath += scan::kSeparator;
  }

  // Nothing else starts while the count runs: the events it pumps could click a button.
  Lock();
  view_.SetBusyPointer(true);
  util::PumpEvents();
  ShowPath(Control::kLblSource, SourcePath);
  Count();
  view_.SetBusyPointer(false);
  view_.SetEnabled(Control::kCmdConvertTGZ, MessageCount >= 1);
  Unlock(Control::kCmdAddFolder);
  util::PumpEvents();
  view_.SetText(Control::kLblCount, std::to_string(MessageCount) + " Messages && " +
                                        std::to_string(FolderCounter) +
                                        " Folder(s) Queued for Conversion.");
  Box(std::to_string(MessageCount) + " Messages Queued for Conversion.", kAppTitle, BoxIcon::kNone);
}

// The messages the source holds, read as the conversion will read them, whatever store it is.
void FrmStep1::Count() {
  MessageCount = 0;
  FolderCounter = 0;
  CountShown shown(view_);
  job::Conversion count(SourcePath, {}, &shown);
  const job::Result read = count.Read();
  if (!read.Ok()) {
    Box("Nothing can be read there: " + read.error + ".", kAppTitle, BoxIcon::kInformation);
    return;
  }
  const job::Count counted = job::CountOf(count.Writer().Plan());
  MessageCount = static_cast<std::int32_t>(counted.messages);
  FolderCounter = static_cast<std::int32_t>(counted.folders);
}

bool FrmStep1::IfFolderEmpty(const std::string& MyPath) {
  scan::FolderListing listing(MyPath + scan::kSeparator, "*.*");
  while (listing.Next()) {
    if (!listing.IsFolder() && !listing.IsHidden()) return false;
  }
  return true;
}

// Never inside the mail being converted, nothing Zimbra cannot import: said, and nothing done.
bool FrmStep1::DestinationRefused(const std::string& chosen) {
  const job::DestinationCheck check = job::CheckDestination(SourcePath, chosen, 0, true);
  switch (check.problem) {
    case job::DestinationProblem::kInsideSource:
      Box("The archive cannot be saved inside the folder being converted:\r\n\"" + chosen +
              "\"\r\nChoose a folder outside \"" + SourcePath + "\".",
          kAppTitle, BoxIcon::kInformation);
      return true;
    case job::DestinationProblem::kNotTgz:
      Box("The archive must be a .tgz file; Zimbra's Import takes no other:\r\n\"" + chosen + "\"",
          kAppTitle, BoxIcon::kInformation);
      return true;
    case job::DestinationProblem::kNone:
    case job::DestinationProblem::kExists:  // the save dialog asked before replacing it
      return false;
  }
  return false;
}

void FrmStep1::CmdConvertTGZ_Click() {
  if (busy_) return;  // a count or a run is under way
  TimeStamp = util::TimeStamp(desktop_.LocalNow());
  const SaveRequest request{"Zimbra Mailboxe(s) (*.tgz)", "*.tgz",
                            "ZimbraMailbox" + TimeStamp + ".tgz"};
  const std::optional<std::string> chosen = desktop_.AskSaveFile(view_.Owner(), request);
  if (!chosen || chosen->empty() || DestinationRefused(*chosen)) return;
  DestinationPath = *chosen;
  view_.SetEnabled(Control::kCmdOpen, true);
  ShowPath(Control::kLblDestination, DestinationPath);
  view_.SetText(Control::kCmdConvertTGZ, "Please Wait...");
  view_.SetProgressRange(0, 100);
  // Locked before the events are pumped, so that a second click cannot start a second run.
  Lock();
  // Stop works from here on: reading a large store takes long before the first byte is written.
  view_.SetVisible(Control::kCmdStop, true);
  util::PumpEvents();

  job::TarArchiveListener* events = this;
  myTar = std::make_unique<job::TarArchive>(events);
  myTar->OutputFormat = "gnu";
  if (myTar->AddDirectoryTree(SourcePath) != 1) {
    Box("Error Reading Messages...", kAppTitle, BoxIcon::kInformation);
    ExplainFailure();
    EndRun();
    return;
  }
  Finish(myTar->WriteCompressedArchive(DestinationPath));
  EndRun();
}

void FrmStep1::Finish(std::int32_t written) {
  const job::Result& result = myTar->LastResult();
  if (result.status == job::Status::kCannotCreate) {
    Box("Zimbra Mailbox File Creation Error !", "File Error", BoxIcon::kInformation);
    ExplainFailure();
    return;
  }
  if (written != 1) {
    Box("Error in Creating TGZ File...", kAppTitle, BoxIcon::kInformation);
    ExplainFailure();
    return;
  }
  Box("Messages Converted Successfully.\r\n"
      "Click \"Open Saving Location\" button to view & locate converted file.\r\n"
      "\r\n"
      "Open Zimbra Desktop or Zimbra Web Client and use \"Import\" option to import emails from "
      "converted .tgz file.\r\n",
      "Completed...", BoxIcon::kInformation);
  const archive::ArchiveReport& report = myTar->Job()->Writer().Report();
  std::string text;
  if (!report.Empty()) text = archive::ReportSummary(report);
  if (!result.reportPath.empty()) text += "\r\nThe report is in \"" + result.reportPath + "\".";
  if (!result.reportError.empty()) {
    text += (text.empty() ? "" : "\r\n") + std::string("The archive was written, but ") +
            result.reportError + ".";
  }
  if (!text.empty()) Box(text, kAppTitle, BoxIcon::kInformation);
}

void FrmStep1::ExplainFailure() {
  const job::Result& result = myTar->LastResult();
  std::string text = "The archive was not written: " +
                     (result.error.empty() ? std::string("the reason is unknown") : result.error) +
                     ".";
  if (!result.reportPath.empty()) text += "\r\nThe report is in \"" + result.reportPath + "\".";
  Box(text, kAppTitle, BoxIcon::kInformation);
}

// Whatever the outcome: the start button comes back with its caption, the stop button goes.
void FrmStep1::EndRun() {
  view_.SetText(Control::kCmdConvertTGZ, "Start Conversion");
  view_.SetEnabled(Control::kCmdConvertTGZ, true);
  view_.SetVisible(Control::kCmdStop, false);
  StopRequested = false;  // a click on Stop belongs to the run it was made in
  Unlock(Control::kCmdConvertTGZ);
}

void FrmStep1::CmdStop_Click() {
  StopRequested = true;
}

void FrmStep1::myTar_PercentDone(int percent, bool& /*abort*/) {
  view_.SetProgress(percent);
  view_.SetText(Control::kCmdConvertTGZ, "Conversion in Progress...");
  util::PumpEvents();
}

void FrmStep1::myTar_ProgressInfo(const std::string& /*Name*/, const std::string& value) {
  ShowPath(Control::kLblTarFile, value);
  if (StopRequested) {
    if (Box("Are you sure you want to Stop now ?", kAppTitle, BoxIcon::kQuestion,
            BoxButtons::kYesNo) == BoxAnswer::kYes) {
      view_.Hide();
      desktop_.EndProgram();
    }
    StopRequested = false;  // No: go on, and ask again only after another click on Stop
  }
  util::PumpEvents();
}

void FrmStep1::CmdHelp_Click() {
  desktop_.ShellOpen(kGuideAddress);
}

void FrmStep1::Label4_Click() {
  desktop_.ShellOpen(kGuideAddress);
}

void FrmStep1::Click(Control control) {
  switch (control) {
    case Control::kCmdEnd:
      return cmdEnd_Click();
    case Control::kCmdAddFolder:
      return CmdAddFolder_Click();
    case Control::kCmdConvertTGZ:
      return CmdConvertTGZ_Click();
    case Control::kCmdStop:
      return CmdStop_Click();
    case Control::kCmdHelp:
      return CmdHelp_Click();
    case Control::kCmdOpen:
      return CmdOpen_Click();
    case Control::kLabel4:
      return Label4_Click();
    default:
      return;  // the two buttons beyond the client area do nothing
  }
}

void FrmStep1::CmdOpen_Click() {
  desktop_.ShellOpen(scan::FolderOfPath(DestinationPath));
}

}  // namespace crateline::window
