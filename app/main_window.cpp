#include "app/main_window.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <filesystem>

#include "res/xpstyle.h"
#include "scan/scan.h"
#include "util/event_pump.h"
#include "util/time_stamp.h"
#include "util/utf8_path.h"

namespace crateline::app {

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
      onClick) {
    onClick();
  }
}

namespace {

constexpr const char* kCaption = "Brakmoor Crateline v3.0";
constexpr const char* kNotSelected = "< Not Selected >";
constexpr const char* kCopyright = "Copyright \xc2\xa9 2026 Brakmoor. All rights reserved.";
constexpr int kClientWidth = 705;
constexpr int kClientHeight = 475;

// Tahoma and Verdana where the system has them, else the nearest sans-serif of the same size
// and weight: DejaVu Sans is drawn after Verdana's shapes; Tahoma is the narrower face, nearest
// to DejaVu Sans Condensed.
QFont Font(const char* family, double points, bool bold = false) {
  QFont font;
  if (QString(family) == "Tahoma") {
    font.setFamilies({"Tahoma", "DejaVu Sans Condensed", "Liberation Sans Narrow", "Arial Narrow",
                      "DejaVu Sans"});
  } else {
    font.setFamilies({family, "DejaVu Sans", "Liberation Sans", "Arial"});
  }
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(points);
  font.setBold(bold);
  return font;
}

QString Rgb(int r, int g, int b) {
  return QString("rgb(%1,%2,%3)").arg(r).arg(g).arg(b);
}

QFrame* Rectangle(QWidget* parent, const char* name, QRect where, const QString& fill) {
  auto* shape = new QFrame(parent);
  shape->setObjectName(name);
  shape->setGeometry(where);
  shape->setStyleSheet(QString("QFrame#%1 { background: %2; border: 1px solid %3; }")
                           .arg(name, fill, Rgb(192, 192, 192)));
  return shape;
}

template <typename Kind = QLabel>
Kind* Label(QWidget* parent, const char* name, const std::string& text, QRect where,
            const QFont& font, const QString& color = QString(),
            const QString& background = QString()) {
  auto* label = new Kind(parent);
  label->setObjectName(name);
  label->setGeometry(where);
  label->setFont(font);
  QString style;
  if (!color.isEmpty()) style += "color: " + color + ";";
  if (!background.isEmpty()) style += "background: " + background + ";";
  if (!style.isEmpty()) label->setStyleSheet(style);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  SetLabelText(label, text);
  return label;
}

QPushButton* Button(QWidget* parent, const char* name, const char* text, QRect where,
                    const QFont& font) {
  auto* button = new QPushButton(QString::fromUtf8(text), parent);  // buttons read "&" themselves
  button->setObjectName(name);
  button->setGeometry(where);
  button->setFont(font);
  button->setAutoDefault(false);
  return button;
}

// Our own 16-pixel pictures: an "i" on the hint bar, a "?" beside the guide link.
QPixmap Badge(const QColor& color, const QString& sign) {
  const qreal ratio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
  QPixmap pixmap(QSize(16, 16) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(color);
  painter.setPen(color.darker(130));
  painter.drawEllipse(QRectF(0.5, 0.5, 15, 15));
  painter.setPen(Qt::white);
  QFont font = Font("Verdana", 8, true);
  font.setPixelSize(11);
  painter.setFont(font);
  painter.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, sign);
  return pixmap;
}

QLabel* Picture(QWidget* parent, const char* name, QRect where, const QPixmap& pixmap) {
  auto* picture = new QLabel(parent);
  picture->setObjectName(name);
  picture->setGeometry(where);
  picture->setPixmap(pixmap);
  return picture;
}

}  // namespace

FrmStep1::FrmStep1(Desktop& desktop, QWidget* parent) : QWidget(parent), desktop_(desktop) {
  setObjectName("frmStep1");
  Build();
  Form_Initialize();
  Form_Load();
}

FrmStep1::~FrmStep1() {
  util::SetEventPump({});
}

void FrmStep1::Build() {
  setWindowTitle(kCaption);
  setWindowIcon(res::AppIcon());
  // A fixed-size frame: no maximise button, also where a window manager draws the frame (the
  // customize hint makes Qt tell it exactly which buttons to offer).
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(kClientWidth, kClientHeight);
  setAutoFillBackground(true);

  // The rectangles first: everything else is drawn over them.
  Shape2 = Rectangle(this, "Shape2", {0, 0, 713, 57}, "white");
  Shape3 = Rectangle(this, "Shape3", {16, 104, 673, 33}, Rgb(255, 255, 192));
  Shape1 = Rectangle(this, "Shape1", {-8, 424, 745, 57}, "white");

  lblTitle = Label(this, "lblTitle", kAppTitle, {16, 8, 417, 25}, Font("Tahoma", 14.25, true),
                   Rgb(192, 0, 0), "white");
  lblCopyright = Label(this, "lblCopyright", kCopyright, {16, 32, 409, 17}, Font("Tahoma", 8.25),
                       "black", "white");
  Label3 = Label(this, "Label3",
                 "Crateline supports conversion of (*.eml) email messages to Zimbra compatible "
                 "mailbox file. Converted file can be easily imported into Zimbra Web Client or "
                 "Zimbra Desktop via Import option.",
                 {16, 64, 673, 40}, Font("Verdana", 9));
  Label3->setWordWrap(true);
  Image2 = Picture(this, "Image2", {24, 112, 16, 16}, Badge(QColor(0, 102, 204), "i"));
  Label2 = Label(this, "Label2",
                 "First locate your folder having (*.eml) files && then select main folder having "
                 "*.eml files",
                 {48, 112, 633, 17}, Font("Tahoma", 9, true), QString(), Rgb(255, 255, 192));
  CmdAddFolder = Button(this, "CmdAddFolder", "Select folder having (*.eml) file(s)...",
                        {16, 144, 249, 30}, Font("Tahoma", 9, true));
  Image1 = Picture(this, "Image1", {288, 152, 16, 16}, Badge(QColor(0, 128, 64), "?"));
  Label4 = new LinkLabel(this);
  Label4->setObjectName("Label4");
  Label4->setGeometry(312, 152, 225, 17);
  Label4->setFont(Font("Tahoma", 8.25));
  Label4->setStyleSheet("color: " + Rgb(0, 0, 255) + ";");
  Label4->setCursor(Qt::PointingHandCursor);
  SetLabelText(Label4, "Need Help - Read Step-by-Step Product Guide");
  // The text may run a little wider than its 225 pixels on a scaled screen: the label grows
  // into the free room to its right rather than cut its last letter.
  Label4->resize(std::max(225, Label4->sizeHint().width()), 17);
  Label4->onClick = [this] { Label4_Click(); };
  Label5 = Label(this, "Label5", "Source Folder    : ", {16, 179, 105, 17}, Font("Tahoma", 9));
  LblSource = Label<PathLabel>(this, "LblSource", kNotSelected, {120, 179, 561, 17},
                               Font("Tahoma", 8.25), Rgb(0, 0, 192));
  LblCount =
      Label(this, "LblCount", "", {16, 200, 665, 17}, Font("Tahoma", 8.25, true), Rgb(192, 0, 0));

  Frame1 = new QGroupBox(" Conversion Details ", this);
  Frame1->setObjectName("Frame1");
  Frame1->setGeometry(16, 224, 673, 89);
  Frame1->setFont(Font("Verdana", 9));
  Label8 =
      Label(Frame1, "Label8", "Reading File(s)     :", {16, 24, 137, 25}, Font("Tahoma", 8.25));
  LblTarFile = Label<PathLabel>(Frame1, "LblTarFile", kNotSelected, {128, 24, 529, 33},
                                Font("Tahoma", 8.25), Rgb(0, 0, 192));
  Label1 = Label(Frame1, "Label1", "Progress Update  : ", {16, 64, 105, 17}, Font("Tahoma", 8.25));
  ProgressBar_tgz = new QProgressBar(Frame1);
  ProgressBar_tgz->setObjectName("ProgressBar_tgz");
  ProgressBar_tgz->setGeometry(128, 64, 529, 17);
  ProgressBar_tgz->setRange(0, 100);
  ProgressBar_tgz->setValue(0);
  ProgressBar_tgz->setTextVisible(false);

  Label6 = Label(this, "Label6", "Destination File  : ", {16, 327, 97, 17}, Font("Tahoma", 9));
  LblDestination = Label<PathLabel>(this, "LblDestination", kNotSelected, {120, 327, 425, 33},
                                    Font("Tahoma", 8.25), Rgb(0, 0, 192));
  CmdOpen = Button(this, "CmdOpen", "Open Saving Location", {552, 320, 137, 30}, Font("Tahoma", 9));
  CmdOpen->setEnabled(false);
  CmdConvertTGZ = Button(this, "CmdConvertTGZ", "Start Conversion", {232, 376, 241, 37},
                         Font("Verdana", 11.25, true));
  CmdConvertTGZ->setEnabled(false);
  CmdStop =
      Button(this, "CmdStop", "Stop Conversion", {232, 376, 241, 37}, Font("Verdana", 11.25, true));
  CmdStop->setVisible(false);
  CmdStop->raise();

  Picture3 = new QWidget(this);
  Picture3->setObjectName("Picture3");
  Picture3->setGeometry(0, 432, 697, 33);
  CmdHelp = Button(Picture3, "CmdHelp", "&Help Manual", {16, 3, 113, 30}, Font("Verdana", 9));
  cmdEnd = Button(Picture3, "cmdEnd", "E&xit", {600, 3, 89, 30}, Font("Verdana", 9));

  // Beyond the client area: they can be reached with the keyboard only, and do nothing.
  cmdAdd = Button(this, "cmdAdd", "Add Zimbra Mail File(s)...", {744, 168, 161, 25},
                  Font("Tahoma", 8.25));
  cmdClear1 =
      Button(this, "cmdClear1", "Clear File(s)...", {736, 176, 113, 25}, Font("Tahoma", 8.25));

  setTabOrder(cmdAdd, cmdClear1);
  setTabOrder(cmdClear1, CmdAddFolder);
  setTabOrder(CmdAddFolder, CmdConvertTGZ);
  setTabOrder(CmdConvertTGZ, cmdEnd);
  setTabOrder(cmdEnd, CmdHelp);
  setTabOrder(CmdHelp, CmdOpen);
  setTabOrder(CmdOpen, CmdStop);
  cmdAdd->setFocus();

  // Enter presses the focused button, as on the program's home platform.
  for (QPushButton* button : findChildren<QPushButton*>()) button->installEventFilter(this);

  connect(cmdEnd, &QPushButton::clicked, this, [this] { cmdEnd_Click(); });
  connect(CmdAddFolder, &QPushButton::clicked, this, [this] { CmdAddFolder_Click(); });
  connect(CmdConvertTGZ, &QPushButton::clicked, this, [this] { CmdConvertTGZ_Click(); });
  connect(CmdStop, &QPushButton::clicked, this, [this] { CmdStop_Click(); });
  connect(CmdHelp, &QPushButton::clicked, this, [this] { CmdHelp_Click(); });
  connect(CmdOpen, &QPushButton::clicked, this, [this] { CmdOpen_Click(); });

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

BoxAnswer FrmStep1::Box(const std::string& text, const std::string& title, BoxIcon icon,
                        BoxButtons buttons) {
  return desktop_.ShowMessage(this, {text, title, icon, buttons});
}

void FrmStep1::Form_Initialize() {
  desktop_.InitCommonControls();
  InstallEventPump();
  util::PumpEvents();
}

void FrmStep1::Form_Load() {
  StopRequested = false;
}

void FrmStep1::Form_Unload() {
  desktop_.EndProgram();
}

void FrmStep1::closeEvent(QCloseEvent* event) {
  event->accept();
  Form_Unload();
}

bool FrmStep1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    auto* button = qobject_cast<QPushButton*>(watched);
    if (button != nullptr && (key == Qt::Key_Return || key == Qt::Key_Enter) &&
        button->isEnabled() && button->isVisible()) {
      button->click();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void FrmStep1::Lock() {
  busy_ = true;
  // Qt would move the focus of a button being disabled to the next one, "Exit"; it waits on
  // the window instead, where no key does anything.
  setFocusPolicy(Qt::StrongFocus);
  setFocus(Qt::OtherFocusReason);
  CmdAddFolder->setEnabled(false);
  CmdConvertTGZ->setEnabled(false);
}

void FrmStep1::Unlock(QWidget* focusAfter) {
  busy_ = false;
  CmdAddFolder->setEnabled(true);
  if (focusAfter != nullptr && focusAfter->isEnabled() && focusAfter->isVisible()) {
    focusAfter->setFocus(Qt::OtherFocusReason);
  }
  setFocusPolicy(Qt::NoFocus);
}

void FrmStep1::cmdEnd_Click() {
  if (Box("Are you sure you want to exit now?", kAppTitle, BoxIcon::kQuestion,
          BoxButtons::kYesNo) == BoxAnswer::kYes) {
    desktop_.EndProgram();
  }
}

void FrmStep1::CmdAddFolder_Click() {
  if (busy_) return;  // a scan or a run is under way; the button is locked then too
  SetLabelText(LblSource, kNotSelected);
  SetLabelText(LblTarFile, kNotSelected);
  SetLabelText(LblDestination, kNotSelected);
  SetLabelText(LblCount, "");
  SourcePath = desktop_.ChooseFolder(this, "Choose Source Folder...");
  if (SourcePath.empty()) {
    CmdConvertTGZ->setEnabled(false);  // no folder: nothing to convert
    return;
  }
  if (SourcePath.back() != scan::kSeparator) SourcePath += scan::kSeparator;

  // Nothing else starts while the scan runs: the events it pumps could click a button.
  Lock();
  desktop_.SetWaitPointer(true);
  util::PumpEvents();
  SetLabelText(LblSource, LiteralText(SourcePath));
  ScanFolder = SourcePath;
  ScanPattern = "*.eml";
  scan::QueuedMessages.reset();
  MessageCounter = 1;
  FolderCounter = 0;
  util::PumpEvents();
  std::string failure;
  try {
    scan::ScanMessageFolder(
        ScanFolder, ScanPattern, MessageCounter, FolderCounter,
        [this](const std::string& caption) { SetLabelText(LblCount, caption); });
  } catch (const std::exception& e) {
    failure = e.what();
  }
  MessageCount = MessageCounter - 1;
  desktop_.SetWaitPointer(false);
  CmdConvertTGZ->setEnabled(MessageCount >= 1);
  Unlock(CmdAddFolder);
  util::PumpEvents();
  SetLabelText(LblCount, std::to_string(MessageCount) + " Messages && " +
                             std::to_string(FolderCounter) + " Folder(s) Queued for Conversion.");
  if (!failure.empty()) {
    Box("The scan stopped early: " + failure, kAppTitle, BoxIcon::kInformation);
  }
  Box(std::to_string(MessageCount) + " Messages Queued for Conversion.", kAppTitle, BoxIcon::kNone);
}

bool FrmStep1::IfFolderEmpty(const std::string& MyPath) {
  scan::SearchRecord record;
  if (scan::FindFirstEntry(MyPath + scan::kSeparator + "*.*", record) == platform::kInvalidHandle) {
    return true;
  }
  constexpr std::uint32_t kNotOrdinary =
      platform::kAttrDirectory | platform::kAttrHidden | platform::kAttrSystem;
  do {
    if ((record.Attributes & kNotOrdinary) == 0) {
      scan::CloseEntrySearch(record);
      return false;
    }
  } while (scan::FindNextEntry(record));
  return true;
}

void FrmStep1::CmdConvertTGZ_Click() {
  if (busy_) return;  // a scan or a run is under way
  TimeStamp = util::TimeStamp(desktop_.LocalNow());
  const SaveRequest request{"Zimbra Mailboxe(s) (*.tgz)", "*.tgz",
                            "ZimbraMailbox" + TimeStamp + ".tgz"};
  const std::optional<std::string> chosen = desktop_.AskSaveFile(this, request);
  if (!chosen || chosen->empty()) return;
  // Never inside the mail being converted: nothing of the source is ever written.
  if (util::PathIsInside(*chosen, SourcePath)) {
    Box("The archive cannot be saved inside the folder being converted:\r\n\"" + *chosen +
            "\"\r\nChoose a folder outside \"" + SourcePath + "\".",
        kAppTitle, BoxIcon::kInformation);
    return;
  }
  DestinationPath = *chosen;
  CmdOpen->setEnabled(true);
  SetLabelText(LblDestination, LiteralText(DestinationPath));
  CmdConvertTGZ->setText("Please Wait...");
  ProgressBar_tgz->setRange(0, 100);
  // Locked before the events are pumped, so that a second click cannot start a second run.
  Lock();
  // Stop works from here on: reading a large store takes long before the first byte is written.
  CmdStop->setVisible(true);
  util::PumpEvents();

  myTar = std::make_unique<archive::TarArchive>(this);
  myTar->OutputFormat = "gnu";
  myTar->SetSourceFormat("eml");  // the window converts what its scan counted: .eml files
  std::int32_t added = 1;
  try {
    added = myTar->AddDirectoryTree(SourcePath);
  } catch (const std::exception&) {
    // A failure raised rather than returned is passed over; the write then reports it.
  }
  if (added != 1) {
    Box("Error Reading Messages...", kAppTitle, BoxIcon::kInformation);
    ExplainFailure("");
    EndRun();
    return;
  }

  try {
    const std::int32_t written = myTar->WriteCompressedArchive(DestinationPath);
    if (written != 1) {
      Box("Error in Creating TGZ File...", kAppTitle, BoxIcon::kInformation);
      ExplainFailure(WriteReport());
      EndRun();
      return;
    }
    Box("Messages Converted Successfully.\r\n"
        "Click \"Open Saving Location\" button to view & locate converted file.\r\n"
        "\r\n"
        "Open Zimbra Desktop or Zimbra Web Client and use \"Import\" option to import emails "
        "from converted .tgz file.\r\n",
        "Completed...", BoxIcon::kInformation);
    const archive::ArchiveReport& report = myTar->Report();
    if (!report.Empty()) {
      std::string where;
      try {
        where = "The report is in \"" +
                archive::WriteReportBeside(DestinationPath, SourcePath, report) + "\".";
      } catch (const std::exception& error) {
        where = std::string("The report could not be written beside the archive: ") + error.what();
      }
      Box(archive::ReportSummary(report) + "\r\n" + where, kAppTitle, BoxIcon::kInformation);
    } else {
      // The archive was replaced: a report an earlier run left beside it is not its own.
      std::error_code ignored;
      std::filesystem::remove(util::PathFromUtf8(archive::ReportPathFor(DestinationPath)), ignored);
    }
  } catch (const std::exception&) {
    // The archive file cannot be created at all.
    Box("Zimbra Mailbox File Creation Error !", "File Error", BoxIcon::kInformation);
    ExplainFailure("");
  }
  EndRun();
}

// The report of a run that failed, beside where the archive was to be: what it had read and
// left out explains the failure. Empty when there is nothing to report or it cannot be written.
std::string FrmStep1::WriteReport() {
  if (myTar == nullptr || myTar->Report().Empty()) return {};
  try {
    return archive::WriteReportBeside(DestinationPath, SourcePath, myTar->Report());
  } catch (const std::exception&) {
    return {};
  }
}

void FrmStep1::ExplainFailure(const std::string& reportPath) {
  std::string text = "The archive was not written: " +
                     (myTar != nullptr && !myTar->LastError().empty() ? myTar->LastError()
                                                                      : "the reason is unknown") +
                     ".";
  if (!reportPath.empty()) text += "\r\nThe report is in \"" + reportPath + "\".";
  Box(text, kAppTitle, BoxIcon::kInformation);
}

// Whatever the outcome: the start button comes back with its caption, the stop button goes.
void FrmStep1::EndRun() {
  CmdConvertTGZ->setText("Start Conversion");
  CmdConvertTGZ->setEnabled(true);
  CmdStop->setVisible(false);
  StopRequested = false;  // a click on Stop belongs to the run it was made in
  Unlock(CmdConvertTGZ);
}

void FrmStep1::CmdStop_Click() {
  StopRequested = true;
}

void FrmStep1::myTar_PercentDone(int percent, bool& /*abort*/) {
  ProgressBar_tgz->setValue(percent);
  CmdConvertTGZ->setText("Conversion in Progress...");
  util::PumpEvents();
}

void FrmStep1::myTar_ProgressInfo(const std::string& /*Name*/, const std::string& value) {
  SetLabelText(LblTarFile, LiteralText(value));
  if (StopRequested) {
    if (Box("Are you sure you want to Stop now ?", kAppTitle, BoxIcon::kQuestion,
            BoxButtons::kYesNo) == BoxAnswer::kYes) {
      hide();
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

void FrmStep1::CmdOpen_Click() {
  desktop_.ShellOpen(scan::FolderOfPath(DestinationPath));
}

}  // namespace crateline::app
