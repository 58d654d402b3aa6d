#include "util/event_pump.h"

#include <utility>

namespace crateline::util {
namespace {
EventPump& CurrentPump() {
  static EventPump pump;
  return pump;
}
}  // namespace

EventPump SetEventPump(EventPump pump) {
  return std::exchange(CurrentPump(), std::move(pump));
}

void PumpEvents() {
  // Copy first: a pump may install another pump while it runs.
  if (EventPump pump = CurrentPump()) pump();
}

}  // namespace crateline::util
