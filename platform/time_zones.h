// The offset from UTC of a named time zone ("Europe/Berlin") at an instant, from the system's
// time zone database: what turns a stored instant back into the wall-clock time a calendar
// keeps with its zone's name. Where the system keeps no such database (Windows), or does not
// know the zone, there is no answer, and callers keep the instant in UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace crateline::platform {

// Seconds east of UTC in `zone` at `utc` (seconds since 1970).
std::optional<std::int32_t> ZoneOffset(const std::string& zone, std::int64_t utc);

// The folder of the database's files (TZif, one a zone); tests may point it elsewhere. By
// default the system's (/usr/share/zoneinfo); empty: none.
void SetZoneFolder(const std::string& folder);

}  // namespace crateline::platform
