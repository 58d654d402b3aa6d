// MakePlan: from a store's inventory to the archive's folders and entries.
//
// Zimbra finds a folder by its name lower-cased and with trailing spaces trimmed, so folders
// that differ only so ("Work", "work", "WORK ") are one folder there. Rather than leave that to
// chance, the plan merges them under one spelling, the first in byte order (a top-level system
// folder under Zimbra's own name), and says so in the report; entry names are then made unique
// in each merged folder.
#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "archive/archive.h"

namespace crateline::archive {
namespace {

constexpr std::uint64_t kLargestMessage = (std::uint64_t{1} << 31) - 1;  // the importer's int

std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> out;
  if (path.empty()) return out;
  std::size_t start = 0;
  for (;;) {
    const auto slash = path.find('/', start);
    out.push_back(
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return out;
    start = slash + 1;
  }
}

std::string Joined(const std::vector<std::string>& names, std::size_t count, char separator) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += separator;
    out += names[i];
  }
  return out;
}

std::string Quoted(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " and " : ", ";
    out += "\"" + names[i] + "\"";
  }
  return out;
}

// Every folder path under one spelling per Zimbra folder: for each folder on the way, the
// first spelling in byte order among those the plan holds (a system folder by its own name).
std::map<std::string, std::string> MergedSpellings(const std::set<std::string>& paths,
                                                   std::vector<ReportLine>& repaired) {
  std::map<std::string, std::string> spelling;  // key of a folder on the way → its name
  for (const std::string& path : paths) {       // in byte order: the first spelling wins
    const auto segments = Segments(path);
    for (std::size_t k = 0; k < segments.size(); ++k) {
      const std::string prefix = Joined(segments, k + 1, '/');
      std::string name = segments[k];
      if (k == 0) name = ZimbraFolderShown(name);
      spelling.emplace(ZimbraFolderKey(prefix), name);
    }
  }
  std::map<std::string, std::string> merged;
  std::map<std::string, std::vector<std::string>> spellingsOf;  // final path → source paths
  for (const std::string& path : paths) {
    const auto segments = Segments(path);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < segments.size(); ++k) {
      names.push_back(spelling[ZimbraFolderKey(Joined(segments, k + 1, '/'))]);
    }
    const std::string final = Joined(names, names.size(), '/');
    merged[path] = final;
    spellingsOf[final].push_back(path);
  }
  for (const auto& [final, sources] : spellingsOf) {
    if (sources.size() < 2) continue;
    repaired.push_back({final, "folders " + Quoted(sources) + " merged into \"" + final +
                                   "\": Zimbra finds them as one folder"});
  }
  return merged;
}

// A calendar's entry name: its file's stem, and ".ics" in lower case, as the importer asks.
std::string CalendarFileName(const std::string& name) {
  const auto dot = name.rfind('.');
  return (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) + ".ics";
}

// A name for an entry whose name its folder holds already: "stem (2).eml", "stem (3).eml"...,
// the first that `taken` (the folder's names) does not hold.
std::string UniqueName(const std::string& name, const std::unordered_set<std::string_view>& taken) {
  const auto dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string suffix = dot == std::string::npos ? "" : name.substr(dot);
  for (std::uint64_t n = 2;; ++n) {
    std::string candidate = stem + " (" + std::to_string(n) + ")" + suffix;
    if (!taken.contains(candidate)) return candidate;
  }
}

// Makes entry names unique in each folder. The messages are in archive order, so a folder's
// stand together and only its names are held at a time, as views of the plan's own: a set of
// every "folder/name" of a quarter of a million messages was a third of the memory a plan took
// at its peak. A folder that holds more than one kind meets its names again under the next
// kind, but those never collide: mail ends in ".eml", cards in ".vcf", calendars in ".ics".
bool MakeNamesUnique(Plan& plan) {
  auto& messages = plan.messages;
  std::unordered_set<std::string_view> taken;
  bool renamed = false;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    PlannedMessage& message = messages[i];
    if (i == 0 || message.folder != messages[i - 1].folder) taken.clear();
    if (!taken.insert(plan.NameOf(message)).second) {
      plan.names.push_back(UniqueName(std::string(plan.NameOf(message)), taken));
      message.name = static_cast<std::uint32_t>(plan.names.size() - 1);
      taken.insert(plan.names.back());
      renamed = true;
    }
  }
  return renamed;
}

// A message file's entry name: the suffix ".eml" in lower case, added where the store's names
// have another (".emlx", a Maildir file's flags after ":2,").
std::string EntryFileName(std::string_view storeName, bool& escaped) {
  std::string name = MessageFileName(EntryText(std::string(storeName), escaped));
  for (const char* info : {":2,", "!2,", ";2,"}) {
    const auto at = name.rfind(info);
    if (at != std::string::npos && at > 0) name.resize(at);
  }
  if (name.size() >= 5 && name.compare(name.size() - 5, 5, ".emlx") == 0) name.pop_back();
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".eml") != 0) name += ".eml";
  return name;
}

}  // namespace

Plan MakePlan(mailbox::Inventory inventory, const std::function<void()>& tick) {
  Plan plan;
  plan.inventory = std::move(inventory);
  const mailbox::Inventory& inv = plan.inventory;
  plan.leftOut = inv.leftOut;

  // Each store folder's archive path, repaired as the importer needs it. The only address book
  // (or calendar) of a source is the user's own, whatever it is called: Zimbra's system folder.
  std::map<mailbox::ItemKind, std::size_t> ofKind;
  for (const auto kind : inv.folderKinds) ++ofKind[kind];
  std::vector<std::string> repairedPath(inv.folders.size());
  std::set<std::string> notesSeen;
  for (std::size_t i = 0; i < inv.folders.size(); ++i) {
    const mailbox::ItemKind kind = inv.folderKinds[i];
    const bool mail = kind == mailbox::ItemKind::kMail;
    auto names = inv.folders[i];
    if (!mail && ofKind[kind] == 1) names.resize(1);
    std::vector<std::string> segments;
    std::vector<std::string> notes;
    for (const auto& raw : names) {
      bool escaped = false;
      segments.push_back(EntryText(raw, escaped));
      if (escaped) {
        notes.push_back("the folder name \"" + segments.back() +
                        "\" is not valid UTF-8; its stray bytes were written as %XX");
      }
    }
    repairedPath[i] = ZimbraFolderPath(segments, notes, mail);
    const std::string& where = inv.folderPlaces[i];
    for (const auto& note : notes) {
      if (notesSeen.insert(note).second) plan.repaired.push_back({where, note});
    }
  }

  // Folders Zimbra finds the same become one.
  std::set<std::string> paths;
  for (std::size_t i = 0; i < inv.folders.size(); ++i) {
    if (!repairedPath[i].empty()) paths.insert(repairedPath[i]);
  }
  const auto merged = MergedSpellings(paths, plan.repaired);
  std::map<std::string, std::uint32_t> folderIndex;
  std::vector<std::uint32_t> folderOf(inv.folders.size());
  for (std::size_t i = 0; i < inv.folders.size(); ++i) {
    const std::string final = repairedPath[i].empty() ? "" : merged.at(repairedPath[i]);
    const auto [it, added] =
        folderIndex.emplace(final, static_cast<std::uint32_t>(plan.folders.size()));
    if (added) {
      plan.folders.push_back(final);
      plan.folderKinds.push_back(inv.folderKinds[i]);
    }
    folderOf[i] = it->second;
  }

  // The messages Zimbra can take, named.
  std::vector<std::uint64_t> sequence(plan.folders.size(), 0);
  for (std::size_t i = 0; i < inv.messages.size(); ++i) {
    if (tick && i % 1024 == 0) tick();
    const mailbox::Message& m = inv.messages[i];
    if (m.length == 0) {
      plan.leftOut.push_back({inv.LabelOf(m), "an empty message; Zimbra rejects empty messages"});
      continue;
    }
    if (m.length > kLargestMessage) {
      plan.leftOut.push_back(
          {inv.LabelOf(m), "2 GiB or larger; Zimbra cannot take a message this size"});
      continue;
    }
    PlannedMessage planned;
    planned.message = static_cast<std::uint32_t>(i);
    planned.folder = folderOf[m.folder];
    const std::string_view fileName = inv.FileName(m.file);
    std::string name;
    if (m.kind == mailbox::ItemKind::kCalendar) {
      bool escaped = false;
      name = CalendarFileName(EntryText(std::string(fileName), escaped));
    } else if (m.ownFile) {
      bool escaped = false;
      name = EntryFileName(fileName, escaped);
      if (escaped) {
        plan.repaired.push_back(
            {inv.LabelOf(m), "the name is not valid UTF-8; its stray bytes were written as %XX"});
      }
    } else {
      std::string number = std::to_string(++sequence[planned.folder]);
      if (number.size() < 6) number.insert(0, 6 - number.size(), '0');
      name = number + (m.kind == mailbox::ItemKind::kContact ? ".vcf" : ".eml");
    }
    if (name != fileName) {
      plan.names.push_back(std::move(name));
      planned.name = static_cast<std::uint32_t>(plan.names.size() - 1);
    }
    plan.messages.push_back(planned);
  }

  // Mail, then contacts, then calendars (after one of which Zimbra reads no more); within each,
  // byte order of folder and name: the bytes of the archive never depend on the order in which
  // the system lists a folder, and each folder's entries stand together.
  // Folders are ranked by their paths once, so that sorting compares numbers, not paths.
  std::vector<std::uint32_t> byPath(plan.folders.size());
  for (std::uint32_t i = 0; i < byPath.size(); ++i) byPath[i] = i;
  std::sort(byPath.begin(), byPath.end(), [&plan](std::uint32_t a, std::uint32_t b) {
    return plan.folders[a] < plan.folders[b];
  });
  std::vector<std::uint32_t> rank(plan.folders.size());
  for (std::uint32_t i = 0; i < byPath.size(); ++i) rank[byPath[i]] = i;
  const auto order = [&plan, &rank](const PlannedMessage& a, const PlannedMessage& b) {
    const auto ka = plan.Source(a).kind;
    const auto kb = plan.Source(b).kind;
    if (ka != kb) return ka < kb;
    if (a.folder != b.folder) return rank[a.folder] < rank[b.folder];
    const std::string_view na = plan.NameOf(a);
    const std::string_view nb = plan.NameOf(b);
    if (na != nb) return na < nb;
    return a.message < b.message;
  };
  std::sort(plan.messages.begin(), plan.messages.end(), order);
  if (MakeNamesUnique(plan)) std::sort(plan.messages.begin(), plan.messages.end(), order);
  return plan;
}

std::string_view Plan::NameOf(const PlannedMessage& message) const {
  return message.name == PlannedMessage::kFileName ? inventory.FileName(Source(message).file)
                                                   : std::string_view(names[message.name]);
}

std::string Plan::EntryName(const PlannedMessage& message) const {
  std::string entry = folders[message.folder];
  if (!entry.empty()) entry += '/';
  entry += NameOf(message);
  return entry;
}

std::uint64_t Plan::TotalBytes() const {
  std::uint64_t total = 0;
  for (const auto& message : messages) total += Source(message).length;
  return total;
}

std::uint64_t Plan::ItemsIn(const PlannedMessage& message) const {
  const auto events = inventory.events.find(message.message);
  return events == inventory.events.end() ? 1 : events->second;
}

std::vector<FolderCount> Plan::FolderTable() const {
  std::vector<std::uint64_t> counts(folders.size(), 0);
  for (const auto& message : messages) counts[message.folder] += ItemsIn(message);
  FolderTally tally;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (counts[i] > 0) tally.Add(folders[i], counts[i], UnitOf(folderKinds[i]));
  }
  return tally.Rows();
}

void KeepOneCalendar(Plan& plan) {
  bool first = true;
  std::erase_if(plan.messages, [&](const PlannedMessage& message) {
    const mailbox::Message& source = plan.Source(message);
    if (source.kind != mailbox::ItemKind::kCalendar) return false;
    if (std::exchange(first, false)) return false;
    plan.leftOut.push_back(
        {plan.inventory.LabelOf(source),
         "a second calendar: Zimbra reads nothing after an archive's first calendar, so each "
         "needs a volume of its own (--volume-size)"});
    return true;
  });
}

const char* UnitOf(mailbox::ItemKind kind) {
  switch (kind) {
    case mailbox::ItemKind::kContact:
      return "contacts";
    case mailbox::ItemKind::kCalendar:
      return "calendar items";
    case mailbox::ItemKind::kMail:
      break;
  }
  return "";
}

void FolderTally::Add(const std::string& archiveFolder, std::uint64_t messages, const char* unit) {
  const auto [at, added] = index_.emplace(ZimbraFolderKey(archiveFolder), rows_.size());
  if (added) rows_.push_back({ZimbraFolderShown(archiveFolder), 0, unit});
  rows_[at->second].messages += messages;
}

std::vector<FolderCount> FolderTally::Rows() const {
  std::vector<FolderCount> rows = rows_;
  std::sort(rows.begin(), rows.end(),
            [](const FolderCount& a, const FolderCount& b) { return a.folder < b.folder; });
  return rows;
}

}  // namespace crateline::archive
