// The commands of crateline-cli, each a function over parsed options and the output streams.
#pragma once

#include <string>

#include "cli/cli.h"

namespace crateline::cli {

struct ScanOptions {
  std::string folder;
  bool list = false;
};

// Scans as the window does and prints "N Messages & M Folder(s) Queued for Conversion.".
int RunScan(const ScanOptions& options, Streams streams);

// The folder as an absolute path in the system's own form, ending in a separator.
std::string AbsoluteFolderPath(const std::string& folder);

}  // namespace crateline::cli
