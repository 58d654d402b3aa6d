// The window's labels show their text exactly as it is: plain text, so that runs of spaces stay
// (a caption's alignment, a path with two spaces in a row) and no "<" or "&" is read as markup.
//
// Texts given to labels use the mnemonic notation of the window's design: "&&" shows one "&",
// a single "&" underlines the next character. A path shown in a label that is too small for it
// is cut in the middle ("/home/ada/Ma…/Quarterly figures.eml") to the lines the label has room
// for, never a line cut in half, and the whole path is its tooltip. Lines are measured as they
// are laid out: characters the label's font lacks (Chinese, Japanese, Korean) come from a
// fallback font with taller lines.
#pragma once

#include <QLabel>
#include <QString>
#include <string>

namespace crateline::app {

// Sets a label's text from the mnemonic notation.
void SetLabelText(QLabel* label, const std::string& mnemonicText);

// What the user reads in a label: its plain text, or for rich text what the markup shows.
QString ShownText(const QLabel* label);

// A tooltip that shows `text` exactly as it is: a tooltip that looks like markup is read as
// markup, so every tooltip is given as markup, with the text escaped and its spaces kept.
QString PlainToolTip(const QString& text);

// What the user reads in a tooltip, read as Qt reads it.
QString ShownToolTip(const QString& toolTip);

// A label for paths: wraps anywhere (paths have few spaces to break at), and cuts in the middle
// what does not fit its lines.
class PathLabel : public QLabel {
 public:
  explicit PathLabel(QWidget* parent = nullptr);
  void SetPath(const QString& path);
  const QString& Path() const { return path_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Fit();
  int Flags() const;
  QString path_;
};

}  // namespace crateline::app
