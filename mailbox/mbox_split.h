// Splits an mbox file into its messages as it streams past, by the rule content.h gives: a
// message begins after each "From " line that follows an empty line or is a whole envelope
// line, and ends before the empty line that precedes the next (or the end of the file). ">From "
// lines in bodies are kept as they are stored. Lines end with LF (CR LF files split the same
// way), or with a lone CR in a file whose first line ends so.
//
// Why our own code: a 50 GB Google Takeout file must split at the speed of the disk, in bounded
// memory and without a copy; the question asked of nearly every line is only whether "From "
// follows its end, which memchr answers faster than a general parser would.
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

// Calls `visit` for each message of the file, in order; `tick` (when given) now and then.
// Returns false, having visited nothing, when the file does not begin with a "From " line.
// Throws platform::FileError when the file cannot be read.
bool SplitMbox(const std::string& path, const std::function<void(const MboxMessage&)>& visit,
               const std::function<void(const std::string& where)>& tick = {});

// The date of a "From " line ("From sender Tue Mar  3 09:15:00 2020"), seconds since 1970;
// 0 when it has none.
std::int64_t FromLineDate(const std::string& fromLine);

}  // namespace crateline::mailbox
