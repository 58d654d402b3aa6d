// The window as Qt draws it: built as the layout says, carrying out what its logic asks, on the
// screen whatever its scale, and its labels and tooltips showing text exactly as it is. What the
// window does is its logic's, tested without a screen (tests/window).
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTextLayout>

#include "app/desktop.h"
#include "app/labels.h"
#include "support/temp_dir.h"
#include "window/fake_desktop.h"

namespace crateline::app {
namespace {

using testing::FakeDesktop;
using window::Control;

std::string Text(QLabel* label) {
  return ShownText(label).toStdString();
}

// The text a mnemonic shows: "&&" one "&", a single "&" nothing.
QString Shown(const char* mnemonic) {
  QString shown = QString::fromUtf8(mnemonic);
  shown.replace("&&", "\x01").remove('&').replace('\x01', '&');
  return shown;
}

class WindowTest : public ::testing::Test {
 protected:
  QWidget* W(Control control) { return window_.Widget(control); }
  QPushButton* Button(Control control) { return static_cast<QPushButton*>(W(control)); }
  FakeDesktop desktop_;
  MainWindow window_{desktop_};
};

TEST_F(WindowTest, BuiltAsTheLayoutSays) {
  EXPECT_EQ(window_.windowTitle(), window::kCaption);
  EXPECT_EQ(desktop_.commonControls, 1);
  // A fixed frame without a maximise button, also where a window manager draws it.
  EXPECT_EQ(window_.minimumSize(), window_.maximumSize());
  EXPECT_FALSE(window_.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window_.windowFlags() & Qt::MSWindowsFixedSizeDialogHint);
  EXPECT_EQ(window_.Client()->size(), QSize(window::kClientWidth, window::kClientHeight));
  for (const window::ControlSpec& spec : window::Controls()) {
    QWidget* widget = W(spec.id);
    ASSERT_NE(widget, nullptr) << spec.name;
    EXPECT_EQ(widget->objectName().toStdString(), spec.name);
    EXPECT_EQ(widget->parentWidget(),
              spec.parent == Control::kWindow ? window_.Client() : W(spec.parent));
    const QRect rect(spec.rect.x, spec.rect.y, spec.rect.width, spec.rect.height);
    if (spec.kind == window::Kind::kLinkLabel) {
      // It grows to the right, never shrinks, so that its last letter is never cut.
      EXPECT_EQ(widget->geometry().topLeft(), rect.topLeft());
      EXPECT_GE(widget->width(), rect.width());
      EXPECT_EQ(widget->cursor().shape(), Qt::PointingHandCursor);
    } else {
      EXPECT_EQ(widget->geometry(), rect) << spec.name;
    }
    EXPECT_EQ(widget->isEnabled(), spec.enabled) << spec.name;
    EXPECT_EQ(!widget->isHidden(), spec.visible) << spec.name;
    if (auto* label = qobject_cast<QLabel*>(widget); label && spec.kind != window::Kind::kPicture) {
      EXPECT_EQ(ShownText(label), Shown(spec.text)) << spec.name;
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      EXPECT_EQ(button->text(), QString::fromUtf8(spec.text)) << spec.name;
    }
    if (spec.font.family != nullptr) {
      EXPECT_EQ(widget->font().pointSizeF(), spec.font.points) << spec.name;
      EXPECT_EQ(widget->font().bold(), spec.font.bold) << spec.name;
    }
  }
  // Stop lies above Start, the rectangles below everything.
  EXPECT_GT(window_.Client()->children().indexOf(W(Control::kCmdStop)),
            window_.Client()->children().indexOf(W(Control::kCmdConvertTGZ)));

  window_.show();
  QApplication::setActiveWindow(&window_);
  // Two buttons beyond the client area, reached by the keyboard only: the focus starts on one.
  for (Control unseen : {Control::kCmdAdd, Control::kCmdClear1}) {
    EXPECT_FALSE(window_.Client()->rect().intersects(W(unseen)->geometry()));
  }
  EXPECT_EQ(QApplication::focusWidget(), W(Control::kCmdAdd));
  std::vector<QWidget*> order;
  QWidget* at = W(Control::kCmdAdd);
  for (std::size_t i = 0; i < window::kFocusOrder.size(); ++i, at = at->nextInFocusChain()) {
    while (at->focusPolicy() == Qt::NoFocus || !at->inherits("QPushButton"))
      at = at->nextInFocusChain();
    EXPECT_EQ(at, W(window::kFocusOrder[i])) << i;
  }
  Button(Control::kCmdAdd)->click();  // does nothing
  EXPECT_TRUE(desktop_.boxes.empty());
}

// Every text of the window fits its control whole, at the screen's scale (run again at a
// scale factor of 2).
TEST_F(WindowTest, EveryTextFitsItsControl) {
  for (const window::ControlSpec& spec : window::Controls()) {
    QWidget* widget = W(spec.id);
    if (spec.kind == window::Kind::kLabel || spec.kind == window::Kind::kLinkLabel) {
      auto* label = static_cast<QLabel*>(widget);
      EXPECT_LE(label->fontMetrics().horizontalAdvance(ShownText(label)), label->width())
          << spec.name;
    } else if (auto* button = qobject_cast<QPushButton*>(widget);
               button && spec.visible && spec.rect.x < 705) {
      EXPECT_LE(button->fontMetrics().horizontalAdvance(Shown(spec.text)), button->width())
          << spec.name;
    }
  }
}

// Where the screen is too small for the window (run at a scale factor of 2 on a small screen),
// the title bar stays on it and every control can be scrolled to.
TEST_F(WindowTest, OnTheScreenAndEveryControlWithinReach) {
  window_.show();
  const QRect free = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(free.contains(window_.frameGeometry().topLeft()));
  EXPECT_LE(window_.frameGeometry().width(), std::max(free.width(), window::kClientWidth));
  if (free.width() >= window::kClientWidth && free.height() >= window::kClientHeight) {
    EXPECT_EQ(window_.size(), QSize(window::kClientWidth, window::kClientHeight));
    EXPECT_EQ(window_.frameGeometry().center(), free.center());
    return;
  }
  EXPECT_TRUE(free.contains(window_.frameGeometry()));
  auto* scroll = window_.findChild<QScrollArea*>();
  ASSERT_NE(scroll, nullptr);
  QWidget* exit = W(Control::kCmdEnd);
  scroll->ensureWidgetVisible(exit);
  const QRect shown(exit->mapTo(&window_, QPoint(0, 0)), exit->size());
  EXPECT_TRUE(window_.rect().contains(shown)) << "Exit can be reached";
}

// What the logic asks, done: texts as they are, the focus waiting on the window and coming
// back, the busy pointer, Enter pressing the focused button, closing ending the program.
TEST_F(WindowTest, CarriesOutWhatTheLogicAsks) {
  window::View& view = window_;
  window_.show();
  QApplication::setActiveWindow(&window_);
  view.SetText(Control::kLblSource, "/mail/R&&D/Two  spaces/");
  EXPECT_EQ(Text(static_cast<QLabel*>(W(Control::kLblSource))), "/mail/R&D/Two  spaces/");
  view.SetText(Control::kCmdConvertTGZ, "Please Wait...");
  EXPECT_EQ(Button(Control::kCmdConvertTGZ)->text(), "Please Wait...");
  view.SetProgressRange(0, 100);
  view.SetProgress(42);
  EXPECT_EQ(static_cast<QProgressBar*>(W(Control::kProgressBarTgz))->value(), 42);

  view.SetFocus(Control::kWindow);
  view.SetEnabled(Control::kCmdAddFolder, false);
  EXPECT_EQ(QApplication::focusWidget(), &window_);
  view.SetEnabled(Control::kCmdAddFolder, true);
  view.SetFocus(Control::kCmdAddFolder);
  EXPECT_EQ(QApplication::focusWidget(), W(Control::kCmdAddFolder));
  EXPECT_EQ(window_.focusPolicy(), Qt::NoFocus);
  view.SetFocus(Control::kCmdStop);  // hidden: it takes no focus
  EXPECT_EQ(QApplication::focusWidget(), W(Control::kCmdAddFolder));

  view.SetBusyPointer(true);
  view.SetBusyPointer(true);
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  view.SetBusyPointer(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
  QApplication::sendEvent(W(Control::kCmdHelp), &enter);
  static_cast<LinkLabel*>(W(Control::kLabel4))->onClick();
  EXPECT_EQ(desktop_.opened,
            (std::vector<std::string>{window::kGuideAddress, window::kGuideAddress}));
  EXPECT_THROW(window_.close(), testing::ProgramEnded);
}

// Chinese, Japanese and Korean characters come from a fallback font taller than the label's:
// measured with the label font's lines, a short path was cut to "/t…/" and a long one kept to
// one line of two.
TEST_F(WindowTest, PathsInTallerFallbackFontsAreMeasuredAsDrawn) {
  const QString name = QString::fromUtf8("\xe9\x82\xae\xe4\xbb\xb6");  // 邮件
  auto* source = static_cast<PathLabel*>(W(Control::kLblSource));
  QTextLayout probe(name, source->font());
  probe.beginLayout();
  const QTextLine line = probe.createLine();
  probe.endLayout();
  ASSERT_GT(line.height(), QFontMetrics(source->font()).lineSpacing())
      << "no taller fallback font for Chinese is installed (scripts/setup.sh installs one)";

  window_.SetText(Control::kLblSource, "/media/iso/cjk/" + name.toStdString());
  EXPECT_EQ(source->text(), source->Path());
  EXPECT_TRUE(source->toolTip().isEmpty());

  // The destination's label has two lines: a long path fills both, whole lines only.
  auto* destination = static_cast<PathLabel*>(W(Control::kLblDestination));
  QString longPath = "/media/iso/cjk/";
  for (int i = 0; i < 30; ++i) longPath += name + "/";
  window_.SetText(Control::kLblDestination, (longPath + "x.tgz").toStdString());
  const QString shown = destination->text();
  EXPECT_TRUE(shown.startsWith("/media/iso/cjk/") && shown.endsWith("/x.tgz")) << Text(destination);
  QTextLayout laid(shown, destination->font());
  QTextOption wrap;
  wrap.setWrapMode(QTextOption::WrapAnywhere);
  laid.setTextOption(wrap);
  laid.beginLayout();
  int lines = 0;
  qreal height = 0;
  for (QTextLine l = laid.createLine(); l.isValid(); l = laid.createLine(), ++lines) {
    l.setLineWidth(destination->contentsRect().width());
    height += l.height();
  }
  laid.endLayout();
  EXPECT_EQ(lines, 2) << Text(destination);
  EXPECT_LE(height, destination->contentsRect().height());
}

TEST(PathLabelTest, ShownAsItIsAndCutInTheMiddle) {
  QLabel label;
  SetLabelText(&label, "Tom && Jerry  <b>two  spaces</b>");
  EXPECT_EQ(Text(&label), "Tom & Jerry  <b>two  spaces</b>");
  EXPECT_EQ(label.textFormat(), Qt::PlainText);
  SetLabelText(&label, "&Go   on");  // a mnemonic underlines; the spaces stay all the same
  EXPECT_EQ(Text(&label), "Go   on");
  EXPECT_NE(label.text().indexOf("<u>G</u>"), -1);

  // Too long for its lines: cut in the middle, and the tooltip reads the whole path exactly,
  // though it looks like markup.
  const QString path = "/home/ada/Two  spaces <s>x</s> & more/" + QString(120, 'a') +
                       "/Quarterly figures/" + QString(60, 'z') + "/report.eml";
  for (const int height : {17, 33}) {
    PathLabel cut;
    cut.resize(300, height);
    SetLabelText(&cut, window::LiteralText(path.toStdString()));
    const QString shown = cut.text();
    EXPECT_TRUE(shown.startsWith("/home/ada/Two  spaces")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("/report.eml")) << shown.toStdString();
    EXPECT_NE(shown.indexOf(QChar(0x2026)), -1);
    EXPECT_EQ(ShownToolTip(cut.toolTip()), path);
    const QFontMetrics metrics(cut.font());
    const QRect needed = metrics.boundingRect(QRect(0, 0, 300, 1000), Qt::TextWrapAnywhere, shown);
    EXPECT_LE(needed.height(), height) << "no half line";
  }
}

// The real message box and dialogs, as the desktop shows them.
TEST(SystemDesktop, MessageBoxesAndDialogs) {
  using window::BoxButtons;
  using window::BoxIcon;
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

  // The source picker takes a folder, or a file in it (an mbox file).
  testing::TempDir dir;
  const QString mbox = QString::fromStdString(dir.Write("mail/Saved", "From a\n").string());
  const QString folder = QString::fromStdString((dir.path() / "mail").string());
  SourceDialog file(nullptr, "Choose Source Folder...");
  file.setDirectory(folder);
  file.selectFile(mbox);
  file.accept();
  EXPECT_EQ(file.result(), QDialog::Accepted);
  EXPECT_EQ(file.Chosen(), mbox);
  SourceDialog whole(nullptr, "Choose Source Folder...");
  whole.setDirectory(folder);
  whole.selectFile(folder);
  whole.accept();
  EXPECT_EQ(whole.Chosen(), folder);
}

}  // namespace
}  // namespace crateline::app
