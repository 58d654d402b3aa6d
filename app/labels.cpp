#include "app/labels.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>
#include <QTextLayout>
#include <cmath>

namespace crateline::app {

void SetLabelText(QLabel* label, const std::string& mnemonicText) {
  QString plain;
  QString html;  // only needed when a character is to be underlined
  bool underlined = false;
  const QString text = QString::fromStdString(mnemonicText);
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] != u'&' || i + 1 == text.size()) {
      plain += text[i];
      html += QString(text[i]).toHtmlEscaped();
    } else if (text[++i] == u'&') {
      plain += u'&';
      html += "&amp;";
    } else {
      // The whole character after a single "&" is underlined (a surrogate pair is one).
      const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
      plain += text.mid(i, length);
      html += "<u>" + text.mid(i, length).toHtmlEscaped() + "</u>";
      i += length - 1;
      underlined = true;
    }
  }
  if (auto* path = dynamic_cast<PathLabel*>(label)) {
    path->SetPath(plain);
    return;
  }
  if (underlined) {
    // Rich text only for the underline; white-space: pre keeps every space as it is.
    label->setTextFormat(Qt::RichText);
    label->setText("<span style=\"white-space:pre\">" + html + "</span>");
  } else {
    label->setTextFormat(Qt::PlainText);
    label->setText(plain);
  }
}

QString ShownText(const QLabel* label) {
  if (label->textFormat() != Qt::RichText) return label->text();
  QTextDocument document;
  document.setHtml(label->text());
  return document.toPlainText();
}

QString PlainToolTip(const QString& text) {
  return "<p style=\"white-space:pre-wrap\">" + text.toHtmlEscaped() + "</p>";
}

QString ShownToolTip(const QString& toolTip) {
  if (!Qt::mightBeRichText(toolTip)) return toolTip;
  QTextDocument document;
  document.setHtml(toolTip);
  return document.toPlainText();
}

PathLabel::PathLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
}

void PathLabel::SetPath(const QString& path) {
  path_ = path;
  Fit();
}

int PathLabel::Flags() const {
  return static_cast<int>(Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere);
}

namespace {

// The height of `text` laid out in `width`, wrapping anywhere: each line as tall as the fonts it
// is drawn with.
int LaidOutHeight(const QString& text, const QFont& font, int width) {
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAnywhere);
  layout.setTextOption(option);
  qreal height = 0;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    line.setPosition({0, height});
    height += line.height();
  }
  layout.endLayout();
  return static_cast<int>(std::ceil(height));
}

}  // namespace

// The longest text of the form head + "…" + tail, or the whole path, whose whole lines fit the
// label.
void PathLabel::Fit() {
  const int width = std::max(1, contentsRect().width());
  const int room = std::max(1, contentsRect().height());
  const auto fits = [&](const QString& text) { return LaidOutHeight(text, font(), width) <= room; };
  QString shown = path_;
  if (!fits(shown)) {
    const QString ellipsis(QChar(0x2026));
    qsizetype low = 0, high = path_.size();  // characters kept: low fits, high does not
    while (high - low > 1) {
      const qsizetype mid = (low + high) / 2;
      const QString candidate = path_.left(mid - mid / 2) + ellipsis + path_.right(mid / 2);
      (fits(candidate) ? low : high) = mid;
    }
    shown = path_.left(low - low / 2) + ellipsis + path_.right(low / 2);
  }
  setText(shown);
  setToolTip(shown == path_ ? QString() : PlainToolTip(path_));
}

void PathLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  style()->drawItemText(&painter, contentsRect(), Flags(), palette(), isEnabled(), text(),
                        foregroundRole());
}

void PathLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  Fit();
}

void PathLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange) Fit();
}

}  // namespace crateline::app
