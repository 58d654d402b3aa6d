// Time zones from the TZif files of the system's database (RFC 8536), read once a zone. Only
// the transitions are used: past the last one the last offset holds, which the database's
// files (Debian's list transitions up to 2037) make enough for a calendar.
#include "platform/time_zones.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "platform/file_io.h"

namespace crateline::platform {
namespace {

struct Zone {
  std::vector<std::int64_t> transitions;  // in UTC, ascending
  std::vector<std::int32_t> offsets;      // after each transition
  std::int32_t before = 0;                // before the first
  // The file's rule for times past its last transition changes with the seasons: it is not read
  // here, so such a time has no answer. (Files that list transitions to 2037 seldom need it.)
  bool seasonsAfter = false;
};

std::mutex g_mutex;
#ifdef _WIN32
std::string g_folder;  // Windows keeps its zones under its own names, in the registry
#else
std::string g_folder = "/usr/share/zoneinfo/";
#endif
std::map<std::string, std::optional<Zone>> g_zones;

std::int64_t BigEndian(const std::string& bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  if (size == 4) return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  return static_cast<std::int64_t>(value);
}

// A zone name as the database spells them: never a path out of its folder.
bool Plausible(const std::string& zone) {
  if (zone.empty() || zone.size() > 64 || zone.front() == '/' ||
      zone.find("..") != std::string::npos) {
    return false;
  }
  return std::all_of(zone.begin(), zone.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '_' || c == '-' || c == '+';
  });
}

// Reads one TZif file: its 64-bit part where it has one (version 2 and later), else the first.
std::optional<Zone> Parse(const std::string& bytes) {
  constexpr std::size_t kHeader = 44;
  const auto counts = [&](std::size_t at, std::int64_t out[6]) {
    if (bytes.size() < at + kHeader || bytes.compare(at, 4, "TZif") != 0) return false;
    for (int i = 0; i < 6; ++i) out[i] = BigEndian(bytes, at + 20 + 4 * i, 4);
    return std::all_of(out, out + 6, [](std::int64_t n) { return n >= 0 && n < 100000; });
  };
  std::int64_t c[6];  // isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt
  if (!counts(0, c)) return std::nullopt;
  std::size_t at = kHeader;
  std::size_t width = 4;
  if (bytes[4] >= '2') {  // skip the 32-bit part
    at += static_cast<std::size_t>(c[3] * 5 + c[4] * 6 + c[5] + c[2] * 8 + c[1] + c[0]);
    if (!counts(at, c)) return std::nullopt;
    at += kHeader;
    width = 8;
  }
  const auto timecnt = static_cast<std::size_t>(c[3]);
  const auto typecnt = static_cast<std::size_t>(c[4]);
  if (typecnt == 0 || bytes.size() < at + timecnt * (width + 1) + typecnt * 6) return std::nullopt;
  std::vector<std::int32_t> types(typecnt);
  const std::size_t typesAt = at + timecnt * (width + 1);
  for (std::size_t i = 0; i < typecnt; ++i) {
    types[i] = static_cast<std::int32_t>(BigEndian(bytes, typesAt + 6 * i, 4));
  }
  Zone zone;
  zone.before = types[0];
  for (std::size_t i = 0; i < timecnt; ++i) {
    const auto type = static_cast<unsigned char>(bytes[at + timecnt * width + i]);
    if (type >= typecnt) return std::nullopt;
    zone.transitions.push_back(BigEndian(bytes, at + i * width, width));
    zone.offsets.push_back(types[type]);
  }
  if (width == 8) {  // the footer: "\nRULE\n" after the 64-bit part, e.g. "CET-1CEST,M3.5.0,..."
    const std::size_t end =
        typesAt + typecnt * 6 + static_cast<std::size_t>(c[5] + c[2] * 12 + c[1] + c[0]);
    const auto rule = end < bytes.size() ? bytes.find('\n', end + 1) : std::string::npos;
    zone.seasonsAfter =
        rule != std::string::npos && bytes.substr(end, rule - end).find(',') != std::string::npos;
  }
  return zone;
}

}  // namespace

std::optional<std::int32_t> ZoneOffset(const std::string& name, std::int64_t utc) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (g_folder.empty() || !Plausible(name)) return std::nullopt;
  auto it = g_zones.find(name);
  if (it == g_zones.end()) {
    std::optional<Zone> zone;
    std::string path = g_folder + name;
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');  // a long-path name takes no '/'
#endif
    try {
      zone = Parse(ReadWholeFile(path));
    } catch (const FileError&) {
      // Not a zone this system knows.
    }
    it = g_zones.emplace(name, std::move(zone)).first;
  }
  if (!it->second) return std::nullopt;
  const Zone& zone = *it->second;
  const auto after = std::upper_bound(zone.transitions.begin(), zone.transitions.end(), utc);
  if (after == zone.transitions.begin()) return zone.before;
  if (after == zone.transitions.end() && zone.seasonsAfter) return std::nullopt;
  return zone.offsets[static_cast<std::size_t>(after - zone.transitions.begin()) - 1];
}

void SetZoneFolder(const std::string& folder) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  g_folder =
      folder.empty() || folder.back() == '/' || folder.back() == '\\' ? folder : folder + "/";
  g_zones.clear();
}

}  // namespace crateline::platform
