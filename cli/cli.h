// crateline-cli: the command-line companion of the window. The commands run in-process with
// the output streams given, so tests drive them without starting a program.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace crateline::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;        // the work failed or found problems
inline constexpr int kExitUsage = 2;          // the command line or its input cannot be used
inline constexpr int kExitIncomplete = 3;     // the archive was written, but not every message is
                                              // in it as it was read (see the report)
inline constexpr int kExitInterrupted = 130;  // stopped with Ctrl-C, as shells count it;
                                              // SIGTERM and SIGHUP give 128 + their number

struct Streams {
  std::ostream& out;
  std::ostream& err;
  bool outIsTerminal = false;  // running counts and progress bars only on a terminal
};

// Runs crateline-cli with its arguments (without the program name) and returns the exit status.
int Run(const std::vector<std::string>& args, Streams streams);

}  // namespace crateline::cli
