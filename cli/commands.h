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

struct ConvertOptions {
  std::string folder;
  std::string output;  // empty: the proposed name in the current folder
  std::string level = "default";
  int threads = 0;  // 0: one per processor
  bool force = false;
  bool dryRun = false;
};

// Writes the archive, with progress, the report and how to import it.
int RunConvert(const ConvertOptions& options, Streams streams);

struct VerifyOptions {
  std::string archive;
  std::string source;
};

// Reads an archive as the importer does; 0 only when nothing is wrong.
int RunVerify(const VerifyOptions& options, Streams streams);

// The folder as an absolute path in the system's own form, ending in a separator.
std::string AbsoluteFolderPath(const std::string& folder);

}  // namespace crateline::cli
