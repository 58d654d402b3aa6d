// The window's door to the system on Windows: the system's message boxes and save dialog, the
// shell's folder picker and opener, the clock, the common controls and the end of the program.
#pragma once

#include <memory>

#include "window/desktop.h"

namespace crateline::win32 {

std::unique_ptr<window::Desktop> MakeSystemDesktop();

}  // namespace crateline::win32
