// Processor time, user and system together, so that a conversion can say where its time went:
// the compressing threads time their own work, the whole is read off the process.
#pragma once

namespace crateline::platform {

// Seconds of processor time the calling thread has used.
double ThreadProcessorSeconds() noexcept;

// The seam for tests: a clock that ThreadProcessorSeconds answers with instead of the
// system's (nullptr, the default: the system's), so that what is timed can be checked without
// depending on how finely the system counts.
using ProcessorClock = double (*)() noexcept;
void SetThreadProcessorClock(ProcessorClock clock) noexcept;

// Seconds of processor time the whole process has used, all its threads together.
double ProcessProcessorSeconds() noexcept;

}  // namespace crateline::platform
