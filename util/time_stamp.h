// The date-time stamp in the names of new archives: "d.m.YY H.m.ss" (day and month without
// leading zeros, two-digit year, hour 0-23 and minute without leading zeros, two-digit
// seconds), e.g. 31 January 2027 at 23:59:07 is "31.1.27 23.59.07".
#pragma once

#include <ctime>
#include <string>

namespace crateline::util {

std::string TimeStamp(const std::tm& local);

// The current local date and time.
std::tm LocalNow();

// "ZimbraMailbox" + TimeStamp + ".tgz", the name proposed for a new archive.
std::string ProposedArchiveName(const std::tm& local);

}  // namespace crateline::util
