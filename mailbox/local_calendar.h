// Thunderbird's calendars kept on the computer (calendar-data/local.sqlite; cache.sqlite holds
// its copies of calendars on a server, kept the same way): one SQLite file for all of them,
// each calendar the rows of its identifier, each item a row of events or tasks with its other
// properties in tables beside it, and an overridden occurrence of a recurring item a row of
// its own. A calendar is made into one iCalendar text when written, the way Thunderbird writes
// its items out: what the reader, the writer and verify's census share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mailbox/made.h"

namespace crateline::mailbox::local_calendar {

struct Calendar {
  std::uint64_t id = 0;  // what the inventory keeps: a row of the calendar's (kIdTasks: a task's)
  std::string calId;     // Thunderbird's identifier of it
  std::uint32_t items = 0;  // its events and tasks, overridden occurrences included
};
inline constexpr std::uint64_t kIdTasks = std::uint64_t{1} << 62;

struct File {
  bool isCalendars = false;  // it has Thunderbird's tables of events and tasks
  std::vector<Calendar> calendars;
};
// Reads the calendars of a SQLite file; throws ItemError when it cannot be read.
File ReadFile(const std::string& path);

// The calendar's name from the profile's prefs.js ("calendar.registry.ID.name"); empty when it
// has none there.
std::string CalendarName(const std::string& profileDir, const std::string& calId);

// Makes the iCalendar text of calendar `id` of the file at `path`, keeping the last file open.
class CalendarMaker {
 public:
  CalendarMaker();
  CalendarMaker(const CalendarMaker&) = delete;
  CalendarMaker& operator=(const CalendarMaker&) = delete;
  ~CalendarMaker();
  Built Make(const std::string& path, std::uint64_t id);  // throws ItemError

 private:
  struct Open;
  std::unique_ptr<Open> open_;
};

// A stored time (microseconds since 1970, in UTC) as iCalendar writes it after `name` (e.g.
// "DTSTART"), with the zone Thunderbird keeps beside it: a zone's name, "UTC", "floating", or
// a VTIMEZONE of its own. A date when `date` is set. A zone this system does not know is
// written in UTC, and said in `warning`.
std::string TimeProperty(const std::string& name, std::int64_t microseconds,
                         const std::string& zone, bool date, std::string& warning);

}  // namespace crateline::mailbox::local_calendar
