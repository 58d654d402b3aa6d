// What the store readers share: listing a folder through the file-search layer (so that long
// paths and any name are reached), and its paths without a trailing separator.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "mailbox/mailbox.h"
#include "scan/search.h"

namespace crateline::mailbox {

// A folder path without its trailing separator, but a drive root ("C:\") keeps it.
std::string TrimmedPath(const std::string& path);

// Calls `visit` for each entry of `folder` (a path ending in the separator), "." and ".." left
// out, links too (they are never followed). False when the folder could not be listed whole;
// with an inventory, that is then named there as a place not read.
bool ForEachEntry(const std::string& folder,
                  const std::function<void(const scan::SearchRecord& entry)>& visit,
                  Inventory* report = nullptr);

// Whether `path` is a folder, or a file.
bool IsFolder(const std::string& path);
bool IsFile(const std::string& path);

// The source as a folder path ending in the separator; throws SourceError, with the system's
// reason, when it is no folder that can be read.
std::string StoreFolder(const std::string& source);

// One note for the files of a store that hold no mail (`what` says whose they are), when any.
void NoteOtherFiles(Inventory& inventory, std::size_t count, const std::string& what);

// Seconds since 1970 of a file time (100 ns ticks since 1601); 0 before 1970.
std::int64_t UnixTime(std::uint64_t fileTimeTicks);

bool EndsWith(const std::string& text, const std::string& suffix);

}  // namespace crateline::mailbox
