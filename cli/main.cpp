// crateline-cli's entry: hands the arguments and the standard streams to the command runner.
#include <unistd.h>

#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return crateline::cli::Run(args, {std::cout, std::cerr, isatty(STDOUT_FILENO) == 1});
}
