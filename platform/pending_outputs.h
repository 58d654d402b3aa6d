// The temporary files of archive outputs still being written, removed at the program's end:
// the window may end the program from inside a progress event, mid-write, and no stack is
// unwound then. Shared by the system-specific output files.
#pragma once

#include <string>

#include "platform/file_io.h"

namespace crateline::platform {

void RegisterPendingOutput(const std::string& path);
// The error a test's InputFile::SetOpenCheck asks an open of `path` to fail with; 0: none.
int InjectedOpenError(const std::string& path);
// Runs a test's InputFile::SetReadCheck before a read of `path`.
void BeforeRead(const std::string& path);
void UnregisterPendingOutput(const std::string& path);

}  // namespace crateline::platform
