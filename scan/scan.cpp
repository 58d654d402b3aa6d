// The recursive message scan. The recursion of the walk is kept on an explicit stack of
// pending folders: a deep tree (paths may reach 32,767 characters) must not exhaust the
// thread's stack, and a pre-order walk with siblings pushed in reverse visits folders in
// exactly the order of the recursive form.
#include "scan/scan.h"

#include <limits>
#include <vector>

#include "platform/win32_types.h"
#include "util/event_pump.h"

namespace crateline::scan {

std::optional<MessageQueue> QueuedMessages;

namespace {

using util::PumpEvents;

bool IsDotName(const std::string& name) {
  return name == "." || name == "..";
}

void Advance(std::int32_t& counter, const char* what) {
  if (counter == std::numeric_limits<std::int32_t>::max()) {
    throw CounterOverflowError(std::string("the scan found more ") + what +
                               " than it can count (2,147,483,647)");
  }
  ++counter;
}

// Calls visit(record) for every entry a search for spec lists; nothing when it lists nothing.
// Only a real listing counts: an ftp URL gives the handle 0 and no entry, and taking its empty
// record for an entry would make the walk descend into "" without end.
template <typename Visit>
void ForEachEntry(const std::string& spec, Visit visit, bool pumpOnceFirst) {
  SearchRecord record;
  const platform::SearchHandle handle = FindFirstEntry(spec, record);
  if (handle == platform::kInvalidHandle || handle == 0 || !record.Found) return;
  // A visit that throws (a counter at its limit) must not leave the search open.
  struct CloseOnExit {
    SearchRecord& record;
    ~CloseOnExit() { CloseEntrySearch(record); }  // no system call once the listing ended
  } closer{record};
  if (pumpOnceFirst) PumpEvents();
  do {
    PumpEvents();
    visit(record);  // its EntryName is already cut at its first NUL
  } while (FindNextEntry(record));
}

// Lists one folder: returns its subfolders in listing order and queues its matching files.
std::vector<std::string> ScanOneFolder(const std::string& folder, const std::string& pattern,
                                       std::int32_t& messageCounter, std::int32_t& folderCounter,
                                       const CaptionSink& setCaption) {
  std::vector<std::string> subfolders;
  // One path buffer for every entry of the folder: its capacity is kept from one to the next.
  std::string path = folder;
  const auto pathOf = [&](const std::string& name) -> const std::string& {
    path.resize(folder.size());
    path += name;
    return path;
  };
  ForEachEntry(
      folder + "*",
      [&](const SearchRecord& entry) {
        const std::string& name = entry.EntryName;
        if (IsDotName(name)) return;
        PumpEvents();
        const std::uint32_t attributes = GetEntryAttributes(pathOf(name));
        if ((attributes & platform::kAttrDirectory) == 0) return;
        const bool unreadable = attributes == platform::kInvalidFileAttributes;
        if (!unreadable && IsLink(attributes, entry.ReparseTag)) return;
        PumpEvents();
        subfolders.push_back(name);
        Advance(folderCounter, "folders");
      },
      false);

  ForEachEntry(
      folder + pattern,
      [&](const SearchRecord& entry) {
        const std::string& name = entry.EntryName;
        const std::uint32_t attributes = GetEntryAttributes(pathOf(name));
        if (IsDotName(name) || (attributes & platform::kAttrDirectory) != 0) return;
        PumpEvents();
        if (!QueuedMessages) QueuedMessages.emplace();
        // The counter only grows: its keys are new, and need no look-up to be sure of it.
        QueuedMessages->AddNew(util::CounterKey(messageCounter), pathOf(name));
        if (setCaption) {
          setCaption(std::to_string(messageCounter) + " Messages Queued for Conversion.");
        }
        Advance(messageCounter, "messages");
      },
      true);
  return subfolders;
}

}  // namespace

void ScanMessageFolder(std::string folderPath, const std::string& pattern,
                       std::int32_t& messageCounter, std::int32_t& folderCounter,
                       const CaptionSink& setCaption) {
  if (folderPath.empty() || folderPath.back() != kSeparator) folderPath += kSeparator;
  PumpEvents();
  std::vector<std::string> pending{std::move(folderPath)};
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    const auto subfolders =
        ScanOneFolder(folder, pattern, messageCounter, folderCounter, setCaption);
    if (!subfolders.empty()) PumpEvents();
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) {
      pending.push_back(folder + *it + kSeparator);
    }
  }
}

std::string FolderOfPath(const std::string& path, char separator) {
  const auto at = path.rfind(separator);
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

}  // namespace crateline::scan
