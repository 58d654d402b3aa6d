// Google Takeout's mbox files: where each message goes and whether it was read, by the labels
// Takeout writes into its X-Gmail-Labels header.
//
// Only a Takeout file's labels are obeyed: mail once exported from Gmail and then kept in
// Thunderbird or another store carries the header too, but its folder there is where it now
// lives. A Takeout file is told by its separator lines, "From <Gmail's message id>@xxx <date>".
//
// The header is a list of labels in CSV (a label with a comma is in quotes) that Takeout
// encodes whole as RFC 2047 words, folded anywhere, when any label is not ASCII; Google's own
// labels are written in the language of the session that made the export.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace crateline::mailbox {

// Whether a "From " line (without its line end) is one that Google Takeout writes.
bool IsTakeoutFromLine(std::string_view fromLine);

// RFC 2047 encoded words decoded (UTF-8, US-ASCII and ISO-8859-1; other charsets stay as they
// are written); white space between two encoded words goes, as the RFC says.
std::string DecodeEncodedWords(std::string_view text);

// The labels of an X-Gmail-Labels value (unfolded), decoded, split and trimmed.
std::vector<std::string> TakeoutLabels(std::string_view value);

struct LabelFiling {
  bool chat = false;    // a Google chat, not mail
  bool unread = false;  // it carries Google's "Unread" label
  // The folders the labels ask for, first first: each label of the user's own (nested at '/'),
  // or else the folder of its first Google label that is one (Inbox, Sent, Drafts, Junk,
  // Trash), or else Archive.
  std::vector<std::vector<std::string>> folders;
  bool severalLabels = false;  // more than one label of the user's own
};

LabelFiling FileByLabels(const std::vector<std::string>& labels);

}  // namespace crateline::mailbox
