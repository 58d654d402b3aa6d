#include "util/time_stamp.h"

#include <cstdio>

namespace crateline::util {

std::string TimeStamp(const std::tm& local) {
  char text[48];
  std::snprintf(text, sizeof text, "%d.%d.%02d %d.%d.%02d", local.tm_mday, local.tm_mon + 1,
                (local.tm_year + 1900) % 100, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string ProposedArchiveName(const std::tm& local) {
  return "ZimbraMailbox" + TimeStamp(local) + ".tgz";
}

}  // namespace crateline::util
