// The recursive message scan: walks a folder tree depth first, queues every file whose name
// matches a pattern (the window passes "*.eml") into QueuedMessages under the keys "K1", "K2",
// ..., and counts the folders below the starting one.
//
// Order: a folder's matching files are queued before those of its subfolders, and subfolders
// are visited in the order the system lists them, each completely before the next; nothing is
// sorted. The scan never opens a file, shows nothing, and carries on past folders it cannot
// list. It pumps events between its steps (util/event_pump.h), so a window stays responsive.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "scan/search.h"
#include "util/keyed_list.h"

namespace crateline::scan {

// Full paths of the queued messages, keyed "K" + the message counter at the time each was added.
using MessageQueue = util::KeyedList<std::string>;

// The application's one queue: absent until a scan queues its first message. A reader treats
// an absent queue as empty.
extern std::optional<MessageQueue> QueuedMessages;

// Receives the running count ("7 Messages Queued for Conversion.") once per queued message.
using CaptionSink = std::function<void(const std::string& caption)>;

// Raised when a counter would pass 2,147,483,647 instead of wrapping.
class CounterOverflowError : public std::overflow_error {
 public:
  using std::overflow_error::overflow_error;
};

// Scans folderPath (a missing trailing separator is added). messageCounter is the number the
// next message receives (callers start it at 1; it ends at the count + 1); folderCounter gains
// one for every folder found below the starting one (callers start it at 0).
//
// Links to folders (symbolic links and junctions, by their reparse tag) are neither counted
// nor entered, so a link cycle cannot make the scan run without bound; other reparse points
// (a cloud-synchronised folder) are folders like any other. An entry whose attributes
// cannot be read is taken for a folder: counted, and entered (which lists nothing).
void ScanMessageFolder(std::string folderPath, const std::string& pattern,
                       std::int32_t& messageCounter, std::int32_t& folderCounter,
                       const CaptionSink& setCaption = {});

// The text of a path up to and including its last separator; empty without one.
std::string FolderOfPath(const std::string& path, char separator = kSeparator);

}  // namespace crateline::scan
