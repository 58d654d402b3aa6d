// Thunderbird's local calendars made into iCalendar text, item by item in the order Thunderbird
// writes them out: the master of a recurring item, then its overridden occurrences, each with
// its attendees, attachments, relations, recurrence rules, alarms, times and the rest of its
// properties with their parameters. Times come back to the wall clock of the zone they were
// set in (platform/time_zones.h). Items deleted while offline (offline_journal 4), which
// Thunderbird no longer shows, are not made.
#include "mailbox/local_calendar.h"

#include <map>
#include <set>

#include "mailbox/cards.h"
#include "mailbox/sqlite_db.h"
#include "platform/file_io.h"
#include "platform/time_zones.h"
#include "scan/listing.h"

namespace crateline::mailbox::local_calendar {
namespace {

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
}

std::string Stamp(std::int64_t seconds, bool date) {
  const std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  const std::int64_t rest = seconds - days * 86400;
  int y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  char text[32];
  if (date) {
    std::snprintf(text, sizeof text, "%04d%02u%02u", y, m, d);
  } else {
    std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02d", y, m, d,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60));
  }
  return text;
}

std::int64_t Seconds(std::int64_t microseconds) {
  return microseconds >= 0 ? microseconds / 1000000 : -((-microseconds + 999999) / 1000000);
}

std::string ZoneOfTimezone(const std::string& vtimezone) {
  const auto at = vtimezone.find("TZID:");
  if (at == std::string::npos) return {};
  const auto end = vtimezone.find_first_of("\r\n", at);
  return vtimezone.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
}

// A stored line (or component) as content lines: unfolded, then folded again the one way.
void AppendLines(std::string& out, const std::string& stored) {
  std::string unfolded;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\r') continue;
    if (stored[i] == '\n' && i + 1 < stored.size() &&
        (stored[i + 1] == ' ' || stored[i + 1] == '\t')) {
      ++i;
      continue;
    }
    unfolded += stored[i];
  }
  std::size_t start = 0;
  while (start < unfolded.size()) {
    auto end = unfolded.find('\n', start);
    if (end == std::string::npos) end = unfolded.size();
    if (end > start)
      cards::AppendFolded(out, std::string_view(unfolded).substr(start, end - start));
    start = end + 1;
  }
}

bool IsTextProperty(const std::string& name) {
  static const std::set<std::string> kText = {"DESCRIPTION", "LOCATION",  "COMMENT",
                                              "CONTACT",     "RESOURCES", "SUMMARY"};
  return kText.count(name) != 0 || name.rfind("X-", 0) == 0;
}

// Properties whose value Thunderbird keeps as a time (its zone is not kept with it).
bool IsTimeProperty(const std::string& name) {
  static const std::set<std::string> kTimes = {"DUE",           "COMPLETED", "X-MOZ-SNOOZE-TIME",
                                               "X-MOZ-LASTACK", "DTSTART",   "DTEND"};
  return kTimes.count(name) != 0 || name.rfind("X-MOZ-SNOOZE-TIME", 0) == 0;
}

std::string ParameterValue(const std::string& value) {
  if (value.find_first_of(":;,") == std::string::npos) return value;
  return "\"" + value + "\"";
}

// The columns of an item's row that differ between events and tasks.
struct Columns {
  const char* table;
  const char* component;
  const char* times;  // the time columns, as "column zone-column property" triples
};
constexpr Columns kEvents = {"cal_events", "VEVENT",
                             "event_start event_start_tz DTSTART event_end event_end_tz DTEND"};
constexpr Columns kTasks = {
    "cal_todos", "VTODO",
    "todo_entry todo_entry_tz DTSTART todo_due todo_due_tz DUE todo_completed "
    "todo_completed_tz COMPLETED"};

}  // namespace

std::string TimeProperty(const std::string& name, std::int64_t microseconds,
                         const std::string& zone, bool date, std::string& warning) {
  const std::int64_t seconds = Seconds(microseconds);
  if (zone == "floating") {
    return name + (date ? ";VALUE=DATE:" : ":") + Stamp(seconds, date);
  }
  std::string tzid = zone;
  if (zone.rfind("BEGIN:VTIMEZONE", 0) == 0) tzid = ZoneOfTimezone(zone);
  if (!tzid.empty() && tzid != "UTC" && tzid != "utc") {
    if (const auto offset = platform::ZoneOffset(tzid, seconds)) {
      if (date) return name + ";VALUE=DATE:" + Stamp(seconds + *offset, true);
      return name + ";TZID=" + ParameterValue(tzid) + ":" + Stamp(seconds + *offset, false);
    }
    warning = "the time zone \"" + tzid +
              "\" is not known on this computer: its times are written in UTC, so a recurring "
              "item's occurrences may move by an hour where daylight saving time changes";
    // Midnight in a zone from UTC-12 to UTC+12 is within twelve hours of the day's own midnight
    // in UTC: the nearest one is the item's day.
    if (date) return name + ";VALUE=DATE:" + Stamp(seconds + 43200, true);
  }
  if (date) return name + ";VALUE=DATE:" + Stamp(seconds, true);
  return name + ":" + Stamp(seconds, false) + "Z";
}

File ReadFile(const std::string& path) {
  sqlite::Database d;
  sqlite::Open(d, path);
  File file;
  file.isCalendars =
      sqlite::HasColumns(d, "cal_events", {"cal_id", "id", "event_start", "recurrence_id"}) &&
      sqlite::HasColumns(d, "cal_todos", {"cal_id", "id", "todo_entry", "recurrence_id"});
  if (!file.isCalendars) return file;
  std::map<std::string, Calendar> byId;
  for (const Columns* columns : {&kEvents, &kTasks}) {
    const std::string sql = std::string("SELECT cal_id, MIN(rowid), COUNT(*) FROM ") +
                            columns->table + " WHERE offline_journal IS NOT 4 GROUP BY cal_id";
    sqlite::Statement rows(d, sql.c_str());
    while (rows.Step()) {
      Calendar& calendar = byId[rows.Text(0)];
      calendar.calId = rows.Text(0);
      if (calendar.id == 0) {
        calendar.id = static_cast<std::uint64_t>(rows.Int(1)) | (columns == &kTasks ? kIdTasks : 0);
      }
      calendar.items += static_cast<std::uint32_t>(rows.Int(2));
    }
  }
  for (auto& [id, calendar] : byId) file.calendars.push_back(std::move(calendar));
  return file;
}

std::string CalendarName(const std::string& profileDir, const std::string& calId) {
  std::string prefs;
  try {
    prefs = platform::ReadWholeFile(profileDir + "prefs.js");
  } catch (const platform::FileError&) {
    return {};  // a calendar file copied without its profile
  }
  const std::string key = "\"calendar.registry." + calId + ".name\"";
  const auto at = prefs.find(key);
  if (at == std::string::npos) return {};
  auto quote = prefs.find('"', at + key.size());
  const auto line = prefs.find('\n', at);
  if (quote == std::string::npos || quote > line) return {};
  std::string name;
  for (++quote; quote < prefs.size() && prefs[quote] != '"'; ++quote) {
    if (prefs[quote] == '\\' && quote + 1 < prefs.size()) ++quote;
    name += prefs[quote];
  }
  return name;
}

struct CalendarMaker::Open {
  std::unique_ptr<sqlite::Database> db;
};

CalendarMaker::CalendarMaker() : open_(std::make_unique<Open>()) {}
CalendarMaker::~CalendarMaker() = default;

namespace {

// One item (a master, or an overridden occurrence) of the calendar `calId`, from its row.
class ItemWriter {
 public:
  ItemWriter(sqlite::Database& d, const std::string& calId, Built& built,
             std::set<std::string>& zones)
      : d_(d), calId_(calId), built_(built), zones_(zones) {}

  void Write(const Columns& columns, sqlite::Statement& row, std::string& out) {
    const std::string uid = row.Text(0);
    const bool occurrence = !row.IsNull(7);
    const std::int64_t flags = row.Int(6);
    out += "BEGIN:";
    out += columns.component;
    out += "\r\n";
    Time(out, "CREATED", row, 1, "UTC", false);
    Time(out, "LAST-MODIFIED", row, 2, "UTC", false);
    cards::AppendFolded(out, "UID:" + uid);
    if (!row.IsNull(3)) cards::AppendFolded(out, "SUMMARY:" + cards::EscapedText(row.Text(3)));
    if (!row.IsNull(4)) cards::AppendFolded(out, "PRIORITY:" + row.Text(4));
    if (!row.IsNull(5)) cards::AppendFolded(out, "CLASS:" + row.Text(5));
    if (!row.IsNull(9)) cards::AppendFolded(out, "STATUS:" + row.Text(9));
    if (occurrence) Time(out, "RECURRENCE-ID", row, 7, row.Text(8), (flags & 512) != 0);
    key_ = {uid, occurrence, occurrence ? row.Int(7) : 0};
    Stored(out, "SELECT icalString FROM cal_attendees WHERE ", true);
    Stored(out, "SELECT icalString FROM cal_attachments WHERE ", true);
    Stored(out, "SELECT icalString FROM cal_relations WHERE ", true);
    if (!occurrence) Stored(out, "SELECT icalString FROM cal_recurrence WHERE ", false);
    Stored(out, "SELECT icalString FROM cal_alarms WHERE ", true);
    if (!row.IsNull(10)) Time(out, "X-MOZ-LASTACK", row, 10, "UTC", false);
    Time(out, "DTSTAMP", row, 11, "UTC", false);
    // The item's own times: DTSTART and DTEND of an event, a task's start, due and done.
    std::vector<std::string> words;
    for (std::string_view rest = columns.times; !rest.empty();) {
      const auto space = rest.find(' ');
      words.emplace_back(rest.substr(0, space));
      rest = space == std::string_view::npos ? "" : rest.substr(space + 1);
    }
    const bool date = columns.component == std::string_view("VEVENT") && (flags & 8) != 0;
    for (std::size_t k = 0; 3 * k + 2 < words.size(); ++k) {
      const int at = static_cast<int>(12 + 2 * k);
      if (!row.IsNull(at)) Time(out, words[3 * k + 2], row, at, row.Text(at + 1), date);
    }
    // Thunderbird may keep a task's progress in its row as well as among its properties.
    const int complete = 12 + 2 * static_cast<int>(words.size() / 3);
    if (columns.component == std::string_view("VTODO") && !row.IsNull(complete)) {
      progress_ = row.Text(complete);
    }
    Properties(out);
    if (!progress_.empty()) cards::AppendFolded(out, "PERCENT-COMPLETE:" + progress_);
    progress_.clear();
    out += "END:";
    out += columns.component;
    out += "\r\n";
  }

 private:
  struct Key {
    std::string uid;
    bool override = false;
    std::int64_t recurrenceId = 0;
  };

  void Time(std::string& out, const std::string& name, sqlite::Statement& row, int column,
            const std::string& zone, bool date) {
    if (row.IsNull(column)) return;
    std::string warning;
    cards::AppendFolded(out, TimeProperty(name, row.Int(column), zone, date, warning));
    if (zone.rfind("BEGIN:VTIMEZONE", 0) == 0) zones_.insert(zone);
    if (!warning.empty() && warned_.insert(warning).second) built_.warnings.push_back(warning);
  }

  sqlite::Statement& Bound(sqlite::Statement& s) {
    s.Bind(1, calId_).Bind(2, key_.uid);
    if (key_.override) s.Bind(3, key_.recurrenceId);
    return s;
  }

  std::string Where(const char* select, bool occurrence) const {
    std::string sql = std::string(select) + "cal_id = ?1 AND item_id = ?2";
    if (occurrence) sql += key_.override ? " AND recurrence_id = ?3" : " AND recurrence_id IS NULL";
    return sql + " ORDER BY rowid";
  }

  void Stored(std::string& out, const char* select, bool occurrence) {
    const std::string sql = Where(select, occurrence);
    sqlite::Statement s(d_, sql.c_str());
    Bound(s);
    while (s.Step()) AppendLines(out, s.Text(0));
  }

  void Properties(std::string& out) {
    std::map<std::string, std::string> parameters;  // property → ";NAME=value..."
    {
      const std::string sql = Where("SELECT key1, key2, value FROM cal_parameters WHERE ", true);
      sqlite::Statement s(d_, sql.c_str());
      Bound(s);
      while (s.Step()) parameters[s.Text(0)] += ";" + s.Text(1) + "=" + ParameterValue(s.Text(2));
    }
    const std::string sql = Where("SELECT key, value FROM cal_properties WHERE ", true);
    sqlite::Statement s(d_, sql.c_str());
    Bound(s);
    while (s.Step()) {
      const std::string name = s.Text(0);
      if (name == "DURATION") continue;  // Thunderbird keeps DTEND, and ignores this on load
      if (name == "PERCENT-COMPLETE") progress_.clear();  // said here, not twice
      std::string line = name + parameters[name];
      if (s.IsInteger(1) && IsTimeProperty(name)) {
        std::string warning;
        cards::AppendFolded(out, TimeProperty(line, s.Int(1), "UTC", false, warning));
        continue;
      }
      const std::string value = s.Text(1);
      line += ":" + (IsTextProperty(name) ? cards::EscapedText(value) : value);
      cards::AppendFolded(out, line);
    }
  }

  sqlite::Database& d_;
  const std::string& calId_;
  Built& built_;
  std::set<std::string>& zones_;
  std::set<std::string> warned_;
  Key key_;
  std::string progress_;
};

}  // namespace

Built CalendarMaker::Make(const std::string& path, std::uint64_t id) {
  sqlite::Database& d = sqlite::Reopen(open_->db, path);
  const bool tasks = (id & kIdTasks) != 0;
  const std::string which = std::string("SELECT cal_id FROM ") +
                            (tasks ? "cal_todos" : "cal_events") + " WHERE rowid = ?";
  sqlite::Statement find(d, which.c_str());
  if (!find.Bind(1, static_cast<std::int64_t>(id & ~kIdTasks)).Step()) {
    throw ItemError("the calendar is no longer in the file");
  }
  const std::string calId = find.Text(0);
  // The profile is the folder above calendar-data.
  std::string folder = path.substr(0, path.find_last_of(scan::kSeparator));
  folder = folder.substr(0, folder.find_last_of(scan::kSeparator) + 1);
  const std::string name = CalendarName(folder, calId);

  Built built;
  std::string items;
  std::set<std::string> zones;
  ItemWriter writer(d, calId, built, zones);
  for (const Columns* columns : {&kEvents, &kTasks}) {
    const bool event = columns == &kEvents;
    const std::string sql =
        std::string(
            "SELECT id, time_created, last_modified, title, priority, privacy, flags, "
            "recurrence_id, recurrence_id_tz, ical_status, alarm_last_ack, ") +
        (event ? "event_stamp, event_start, event_start_tz, event_end, event_end_tz"
               : "todo_stamp, todo_entry, todo_entry_tz, todo_due, todo_due_tz, todo_completed, "
                 "todo_completed_tz, todo_complete") +
        " FROM " + columns->table +
        " WHERE cal_id = ? AND offline_journal IS NOT 4 ORDER BY id, recurrence_id IS NOT NULL, "
        "recurrence_id";
    sqlite::Statement rows(d, sql.c_str());
    rows.Bind(1, calId);
    while (rows.Step()) writer.Write(*columns, rows, items);
  }
  std::string& out = built.bytes;
  out = "BEGIN:VCALENDAR\r\nPRODID:-//Crateline//Thunderbird calendar//EN\r\nVERSION:2.0\r\n";
  if (!name.empty()) cards::AppendFolded(out, "X-WR-CALNAME:" + cards::EscapedText(name));
  for (const auto& zone : zones) AppendLines(out, zone);
  out += items;
  out += "END:VCALENDAR\r\n";
  return built;
}

}  // namespace crateline::mailbox::local_calendar
