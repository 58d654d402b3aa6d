// The temporary files of archive outputs still being written, removed at the program's end:
// the window may end the program from inside a progress event, mid-write, and no stack is
// unwound then. Shared by the system-specific output files.
#pragma once

#include <string>

namespace crateline::platform {

void RegisterPendingOutput(const std::string& path);
void UnregisterPendingOutput(const std::string& path);
// Removes one file, quietly; each system's output file supplies it.
void RemoveFileQuietly(const std::string& path) noexcept;

}  // namespace crateline::platform
