// The event pump: long operations (a scan, an archive write) call PumpEvents() between their
// steps so that a window can repaint and its buttons respond while they run.
//
// Below the window nothing knows about a window, so the pump is a replaceable function. By
// default it does nothing (the command line and the tests need no pumping); the window installs
// its own. A pump may run handlers that end the program; callers must expect that.
#pragma once

#include <functional>

namespace crateline::util {

using EventPump = std::function<void()>;

// Installs the pump and returns the one it replaces; an empty function restores the default.
EventPump SetEventPump(EventPump pump);

void PumpEvents();

// Installs a pump for one scope, then puts the previous one back (used by tests).
class ScopedEventPump {
 public:
  explicit ScopedEventPump(EventPump pump) : previous_(SetEventPump(std::move(pump))) {}
  ~ScopedEventPump() { SetEventPump(std::move(previous_)); }
  ScopedEventPump(const ScopedEventPump&) = delete;
  ScopedEventPump& operator=(const ScopedEventPump&) = delete;

 private:
  EventPump previous_;
};

}  // namespace crateline::util
