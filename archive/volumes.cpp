#include "archive/volumes.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "archive/archive.h"
#include "archive/tar_format.h"

namespace crateline::archive {
namespace {

constexpr std::uint64_t kEndBytes = 2 * tar::kBlockSize;

// What gzip may add to a volume's tar at worst (stored blocks of incompressible data cost 5
// bytes in 64 KiB, each chunk's closing block a few more; header and trailer 18): the limit
// is kept below the volume size by more than that.
std::uint64_t Margin(std::uint64_t volumeSize) {
  return volumeSize / 4096 + 64 * 1024;
}

class Packer {
 public:
  Packer(const Plan& plan, std::uint64_t capacity) : plan_(plan), capacity_(capacity) {}

  void Folder(std::size_t first, std::size_t last) {
    std::uint64_t bytes = 0;
    for (std::size_t i = first; i < last; ++i) bytes += EntryBytes(plan_, plan_.messages[i]);
    // A folder that does not fit in what is left, but would in a volume of its own, starts one.
    if (bytes > Room() && bytes + kEndBytes <= capacity_ && current_.count > 0) Close();
    for (std::size_t i = first; i < last; ++i) Message(i);
  }

  std::vector<Volume> Done() {
    if (current_.count > 0 || volumes_.empty()) Close();
    return std::move(volumes_);
  }

 private:
  void Message(std::size_t index) {
    const std::uint64_t bytes = EntryBytes(plan_, plan_.messages[index]);
    if (bytes > Room() && current_.count > 0) Close();
    if (current_.count == 0) current_.first = index;
    ++current_.count;
    current_.tarBytes += bytes;
    // Zimbra reads nothing after a calendar: it ends its volume.
    if (plan_.Source(plan_.messages[index]).kind == mailbox::ItemKind::kCalendar) Close();
  }

  std::uint64_t Room() const {
    const std::uint64_t used = current_.tarBytes + kEndBytes;
    return used >= capacity_ ? 0 : capacity_ - used;
  }

  void Close() {
    current_.tarBytes += kEndBytes;
    volumes_.push_back(current_);
    current_ = {};
  }

  const Plan& plan_;
  std::uint64_t capacity_;
  Volume current_;
  std::vector<Volume> volumes_;
};

}  // namespace

std::uint64_t EntryBytes(const Plan& plan, const PlannedMessage& message) {
  const std::uint64_t size = plan.Source(message).length;
  const std::size_t nameLength = plan.EntryName(message).size();
  std::uint64_t bytes = tar::kBlockSize + size + tar::PaddingFor(size);
  if (nameLength >= tar::kNameSize) {
    bytes += tar::kBlockSize + nameLength + 1 + tar::PaddingFor(nameLength + 1);
  }
  return bytes;
}

std::vector<Volume> PlanVolumes(const Plan& plan, std::uint64_t volumeSize) {
  if (volumeSize == 0) {
    Volume all{0, plan.messages.size(), kEndBytes};
    for (const auto& message : plan.messages) all.tarBytes += EntryBytes(plan, message);
    return {all};
  }
  const std::uint64_t margin = Margin(volumeSize);
  Packer packer(plan, volumeSize > margin ? volumeSize - margin : 0);
  // The plan writes folder by folder; a run of one folder's messages is one group.
  for (std::size_t first = 0; first < plan.messages.size();) {
    std::size_t last = first + 1;
    while (last < plan.messages.size() &&
           plan.messages[last].folder == plan.messages[first].folder) {
      ++last;
    }
    packer.Folder(first, last);
    first = last;
  }
  return packer.Done();
}

std::string VolumePath(const std::string& archivePath, std::size_t index, std::size_t count) {
  const std::string stem =
      archivePath.ends_with(".tgz") ? archivePath.substr(0, archivePath.size() - 4) : archivePath;
  std::string number = std::to_string(index + 1);
  const std::size_t width = std::max<std::size_t>(2, std::to_string(count).size());
  if (number.size() < width) number.insert(0, width - number.size(), '0');
  return stem + "-part" + number + ".tgz";
}

std::string SetPathOf(const std::string& volumePath) {
  if (!volumePath.ends_with(".tgz")) return volumePath;
  const std::string stem = volumePath.substr(0, volumePath.size() - 4);
  std::size_t digits = 0;
  while (digits < stem.size() &&
         std::isdigit(static_cast<unsigned char>(stem[stem.size() - 1 - digits])) != 0) {
    ++digits;
  }
  const std::string marker = "-part";
  if (digits < 2 || stem.size() < digits + marker.size() ||
      stem.compare(stem.size() - digits - marker.size(), marker.size(), marker) != 0) {
    return volumePath;
  }
  return stem.substr(0, stem.size() - digits - marker.size()) + ".tgz";
}

bool ParseSize(const std::string& text, std::uint64_t& bytes) {
  // Digits, one point at most, then the unit: nothing strtod would read otherwise (0x10, 1e9).
  std::size_t digits = 0, points = 0;
  for (const char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
      ++digits;
    } else if (c == '.' && points == 0 && digits > 0) {
      ++points;
    } else {
      break;
    }
  }
  if (digits == 0 || digits + points + 1 < text.size()) return false;
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  const std::string unit = end;
  double scale = 1;
  if (unit == "K" || unit == "k") {
    scale = 1024.0;
  } else if (unit == "M" || unit == "m") {
    scale = 1024.0 * 1024;
  } else if (unit == "G" || unit == "g") {
    scale = 1024.0 * 1024 * 1024;
  } else if (unit == "T" || unit == "t") {
    scale = 1024.0 * 1024 * 1024 * 1024;
  } else if (!unit.empty()) {
    return false;
  }
  const double value = std::floor(number * scale);
  if (!(value >= 1) || value > 9.0e18) return false;
  bytes = static_cast<std::uint64_t>(value);
  return true;
}

}  // namespace crateline::archive
