// Splits an mbox file into its messages as it streams past.
//
// An mbox file is messages one after the other, each begun by a "From " line at the start of
// the file or after an empty line (mboxo and mboxrd alike; ">From " lines in bodies are kept
// as they are stored). A message is the bytes after its "From " line up to, not including, the
// empty line before the next one (or the end of the file, less one empty line there). Files with
// CR LF line ends split the same way.
//
// Why our own code: a 50 GB Google Takeout file must split at the speed of the disk, in bounded
// memory and without a copy; the one question per line is "does 'From ' follow an empty line",
// which memchr answers faster than a general parser would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mailbox/mailbox.h"

namespace crateline::mailbox {

struct MboxMessage {
  std::uint64_t offset = 0;  // the message's first byte, after its "From " line
  std::uint64_t length = 0;
  std::string fromLine;  // without its line end
  std::string head;      // the message's header section (at most 64 KiB of it)
};

// Whether the file begins with a "From " line.
bool LooksLikeMbox(const std::string& path);

// Calls `visit` for each message of the file, in order; `tick` (when given) now and then.
// Returns false, having visited nothing, when the file does not begin with a "From " line.
// Throws platform::FileError when the file cannot be read.
bool SplitMbox(const std::string& path, const std::function<void(const MboxMessage&)>& visit,
               const Tick& tick = {});

// The date of a "From " line ("From sender Tue Mar  3 09:15:00 2020"), seconds since 1970;
// 0 when it has none.
std::int64_t FromLineDate(const std::string& fromLine);

}  // namespace crateline::mailbox

namespace crateline::mailbox {

// Reads one mbox file of a store into the inventory: its messages, in the folder `names`,
// with the read state their headers keep (Status, else X-Mozilla-Status). Thunderbird's
// deleted-but-not-compacted messages and Google's chats are passed over; a Google Takeout
// message goes to the folder of its labels.
void ReadMboxFile(const std::string& dir, const std::string& name,
                  const std::vector<std::string>& names, const ReadOptions& options,
                  Inventory& inventory);

}  // namespace crateline::mailbox
