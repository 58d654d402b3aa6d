// The inventory's bookkeeping, and the choice of the format that reads a source.
#include <algorithm>

#include "mailbox/mailbox.h"
#include "platform/platform.h"
#include "scan/search.h"

namespace crateline::mailbox {

std::string Inventory::PathOf(const Message& message) const {
  const SourceFile& file = files[message.file];
  return dirs[file.dir] + file.name;
}

std::string Inventory::LabelOf(const Message& message) const {
  if (message.ownFile) return PathOf(message);
  return PathOf(message) + ":" + std::to_string(message.offset);
}

std::uint32_t Inventory::Folder(const std::vector<std::string>& names) {
  const auto [it, added] = folderIndex_.emplace(names, static_cast<std::uint32_t>(folders.size()));
  if (added) folders.push_back(names);
  return it->second;
}

std::uint32_t Inventory::AddFile(const std::string& dir, const std::string& name) {
  if (dirs.empty() || dirs.back() != dir) dirs.push_back(dir);
  files.push_back({static_cast<std::uint32_t>(dirs.size() - 1), name});
  return static_cast<std::uint32_t>(files.size() - 1);
}

const std::vector<const Format*>& Formats() {
  static const std::vector<const Format*> formats = {
      &ThunderbirdFormat(), &MaildirFormat(), &EmlxFormat(), &MboxFormat(), &EmlTreeFormat()};
  return formats;
}

const Format* FormatNamed(const std::string& name) {
  for (const Format* format : Formats()) {
    if (name == format->Name()) return format;
  }
  return nullptr;
}

const Format* DetectFormat(const std::string& source) {
  const Format* best = nullptr;
  int highest = 0;
  for (const Format* candidate : Formats()) {
    const int bid = candidate->Bid(source);
    if (bid > highest) {
      highest = bid;
      best = candidate;
    }
  }
  return best;
}

Inventory ReadSource(const std::string& source, const ReadOptions& options,
                     const std::string& format) {
  const Format* reader = nullptr;
  if (!format.empty()) {
    reader = FormatNamed(format);
    if (reader == nullptr) throw SourceError("there is no format named \"" + format + "\"");
  } else {
    reader = DetectFormat(source);
    if (reader == nullptr) {
      // Say why when there is nothing there at all.
      std::string path = source;
      while (path.size() > 1 && path.back() == scan::kSeparator && path[path.size() - 2] != ':') {
        path.pop_back();
      }
      if (scan::GetEntryAttributes(path) == platform::kInvalidFileAttributes) {
        throw SourceError("cannot read the folder \"" + path +
                          "\": " + platform::GetApiErrorText(platform::LastApiError));
      }
      throw SourceError("\"" + source + "\" holds no mail store Crateline can read");
    }
  }
  Inventory inventory;
  inventory.root = source;
  inventory.format = reader->Name();
  reader->Read(source, options, inventory);
  return inventory;
}

}  // namespace crateline::mailbox
