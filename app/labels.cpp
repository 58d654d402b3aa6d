#include "app/labels.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>

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

std::string LiteralText(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '&') out += '&';
  }
  return out;
}

QString ShownText(const QLabel* label) {
  if (label->textFormat() != Qt::RichText) return label->text();
  QTextDocument document;
  document.setHtml(label->text());
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

// The longest text of the form head + "…" + tail, or the whole path, that fills no more lines
// than the label has room for.
void PathLabel::Fit() {
  const QFontMetrics metrics(font());
  const int lines = std::max(1, height() / std::max(1, metrics.lineSpacing()));
  const int room = lines * metrics.lineSpacing();
  const QRect box(0, 0, std::max(1, width()), 1 << 20);
  const auto fits = [&](const QString& text) {
    return metrics.boundingRect(box, Flags(), text).height() <= room;
  };
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
  setToolTip(shown == path_ ? QString() : path_);
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
