// The inventory's bookkeeping, the list of readers, and reading a source with them.
#include <algorithm>

#include "mailbox/mailbox.h"
#include "mailbox/message_headers.h"
#include "mailbox/walk.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "scan/listing.h"

namespace crateline::mailbox {

std::string Inventory::PathOf(const Message& message) const {
  std::string path = dirs[files[message.file].dir];
  path += FileName(message.file);
  return path;
}

std::string Inventory::LabelOf(const Message& message) const {
  if (message.ownFile) return PathOf(message);
  return PathOf(message) + ":" + std::to_string(message.offset);
}

std::optional<std::int64_t> EntryTime(const Message& message, const MessageFacts& facts,
                                      std::int64_t modified) {
  if (message.built && message.fallbackTime > 0) return message.fallbackTime;
  return ArchiveTime(facts, message.wholeFile && modified > 0 ? modified : message.fallbackTime);
}

std::uint32_t Inventory::Folder(const std::vector<std::string>& names, const std::string& place,
                                ItemKind kind) {
  const auto [it, added] =
      folderIndex_.emplace(std::pair(kind, names), static_cast<std::uint32_t>(folders.size()));
  if (added) {
    folders.push_back(names);
    folderPlaces.push_back(place);
    folderKinds.push_back(kind);
  }
  return it->second;
}

std::uint32_t Inventory::AddFile(const std::string& dir, const std::string& name) {
  if (dirs.empty() || dirs.back() != dir) dirs.push_back(dir);
  files.push_back({fileNames.size(), static_cast<std::uint32_t>(name.size()),
                   static_cast<std::uint32_t>(dirs.size() - 1)});
  fileNames += name;
  return static_cast<std::uint32_t>(files.size() - 1);
}

const std::vector<const Format*>& Formats() {
  static const std::vector<const Format*> formats = {&ThunderbirdFormat(),
                                                     &MaildirFormat(),
                                                     &MhFormat(),
                                                     &EmlxFormat(),
                                                     &MboxFormat(),
                                                     &EmlFormat(),
                                                     &OutlookFormat(),
                                                     &VcardFormat(),
                                                     &IcalendarFormat(),
                                                     &ThunderbirdBookFormat(),
                                                     &ThunderbirdCalendarFormat(),
                                                     &MorkBookFormat()};
  return formats;
}

const Format* FormatNamed(const std::string& name) {
  for (const Format* format : Formats()) {
    if (name == format->Name()) return format;
  }
  return nullptr;
}

const Format* DetectFormat(const std::string& source) {
  const std::string path = TrimmedPath(source);
  const scan::EntryKind kind = scan::KindAt(path);
  if (kind == scan::EntryKind::kNone) return nullptr;
  const Format* best = nullptr;
  int highest = 0;
  if (kind == scan::EntryKind::kFile) {
    Entry file;
    const auto slash = path.find_last_of(scan::kSeparator);
    file.dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    file.name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string head;
    try {
      head = Walk::Head(path);
    } catch (const platform::FileError&) {
      return nullptr;
    }
    for (const Format* reader : Formats()) {
      const int bid = reader->BidFile(file, [&] { return std::string_view(head); });
      if (bid > highest) highest = bid, best = reader;
    }
    return best;
  }
  const std::string folder = path.back() == scan::kSeparator ? path : path + scan::kSeparator;
  Listing entries;
  scan::FolderListing listing(folder);
  while (listing.Next()) {
    if (!listing.IsLink()) entries.push_back({listing.Name(), folder, listing.IsFolder(), 0, 0});
  }
  for (const Format* reader : Formats()) {
    const int bid = reader->BidFolder(folder, entries);
    if (bid > highest) highest = bid, best = reader;
  }
  return best;
}

Inventory ReadSource(const std::string& source, const ReadOptions& options,
                     const std::string& format) {
  const Format* forced = nullptr;
  if (!format.empty()) {
    forced = FormatNamed(format);
    if (forced == nullptr) throw SourceError("there is no format named \"" + format + "\"");
  }
  Inventory inventory;
  inventory.root = source;
  Walk walk(inventory, options, forced);
  walk.Run(source);
  return inventory;
}

std::vector<std::string> SourceScope(const std::string& source, const ReadOptions& options) {
  if (options.account.empty()) return {source};
  std::string folder = TrimmedPath(source);
  if (folder.back() != scan::kSeparator) folder += scan::kSeparator;
  std::vector<std::string> scope;
  for (const char* home : {"Mail", "ImapMail"}) {
    const std::string account = folder + home + scan::kSeparator + options.account;
    if (scan::KindAt(account) == scan::EntryKind::kFolder)
      scope.push_back(account + scan::kSeparator);
  }
  return scope.empty() ? std::vector<std::string>{source} : scope;
}

}  // namespace crateline::mailbox
