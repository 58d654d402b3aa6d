#include "platform/processor_time.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <time.h>
#endif

namespace crateline::platform {
namespace {

#ifdef _WIN32
double Seconds(const FILETIME& time) {
  const auto ticks = (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                     time.dwLowDateTime;  // 100 ns each
  return static_cast<double>(ticks) / 1e7;
}
#else
double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}
#endif

std::atomic<ProcessorClock> threadClock{nullptr};

}  // namespace

void SetThreadProcessorClock(ProcessorClock clock) noexcept {
  threadClock.store(clock);
}

double ThreadProcessorSeconds() noexcept {
  if (const ProcessorClock clock = threadClock.load()) return clock();
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  return Seconds(kernel) + Seconds(user);
#else
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
#endif
}

double ProcessProcessorSeconds() noexcept {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return Seconds(kernel) + Seconds(user);
#else
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
#endif
}

}  // namespace crateline::platform
