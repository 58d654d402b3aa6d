// What the store readers share: an mbox file's messages (Thunderbird's folders, Apple's
// exported mailboxes and loose mbox files are all mbox files), a Maildir folder's message
// files (Thunderbird keeps its maildir folders so too), and the names of whose files those
// are that hold no mail.
#pragma once

#include <string>
#include <vector>

#include "mailbox/walk.h"

namespace crateline::mailbox {

inline constexpr Owner kThunderbirdOwn = "of Thunderbird's own (indexes, filters, settings)";
inline constexpr Owner kMailServerOwn = "of the mail server's own (indexes, lists, settings)";
inline constexpr Owner kAppleOwn = "of Apple Mail's own (indexes, caches, settings)";
inline constexpr Owner kMhOwn = "of the MH folders' own (sequences, caches)";

enum class MboxKind {
  kLoose,        // a file found on its own: a Google Takeout file's labels are obeyed
  kThunderbird,  // a Thunderbird folder
  kBundle,       // the mbox of an exported Apple Mail mailbox
};

// Reads one mbox file into the folder `names`: its messages, with the read state their headers
// keep. Thunderbird's deleted-but-not-compacted messages and Google's chats are passed over,
// Thunderbird's headers-only ones archived with a warning, and a Google Takeout message goes to
// the folder of its labels.
void ReadMboxFile(const Entry& file, const std::vector<std::string>& names, MboxKind kind,
                  Walk& walk);

// The stem of a name that ends in ".mbox", or the name itself.
std::string MboxStem(const std::string& name);

// Roles of a folder the Maildir reader is given.
enum MaildirRole : int {
  kMaildirRoot = 0,  // a Maildir: its Maildir++ folders (".A.B") lie in it
  kMaildirFolder,    // a folder of a Maildir's (Maildir++ or Dovecot's LAYOUT=fs)
  kMaildirCur,
  kMaildirNew,
  kMaildirTmp,
  kThunderbirdCur,  // a Thunderbird maildir folder's cur/ (or new/): state in the headers
};

// Whether a folder is a Maildir folder: it has cur/ or new/ (a backup may have dropped either
// when it was empty) or Maildir++'s marker file.
bool IsMaildirFolder(const std::string& folder);

}  // namespace crateline::mailbox
