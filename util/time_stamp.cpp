#include "util/time_stamp.h"

#include <cstdio>

namespace crateline::util {

std::string TimeStamp(const std::tm& local) {
  char text[48];
  std::snprintf(text, sizeof text, "%d.%d.%02d %d.%d.%02d", local.tm_mday, local.tm_mon + 1,
                (local.tm_year + 1900) % 100, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

std::string ProposedArchiveName(const std::tm& local) {
  return "ZimbraMailbox" + TimeStamp(local) + ".tgz";
}

}  // namespace crateline::util
