// Parses the command line with CLI11 and hands each command to its runner.
#include "cli/cli.h"

#include "cli/commands.h"

#include <CLI/CLI.hpp>
#include <ostream>

namespace crateline::cli {
namespace {
constexpr const char* kVersion = "0.1.0";
constexpr const char* kTitle = "Brakmoor Crateline";
}  // namespace

int Run(const std::vector<std::string>& args, Streams streams) {
  CLI::App app{std::string(kTitle) +
                   " command line: packs a folder tree of .eml messages into a .tgz that "
                   "Zimbra imports.",
               "crateline-cli"};
  app.set_version_flag("--version", std::string("crateline-cli ") + kVersion);
  app.require_subcommand(0, 1);

  ScanOptions scanOptions;
  CLI::App* scan = app.add_subcommand(
      "scan", "Count the messages (*.eml, any case) and folders below FOLDER, as the window does.");
  scan->add_option("FOLDER", scanOptions.folder, "The folder to scan")->required();
  scan->add_flag("--list", scanOptions.list, "Print the queue: one KEY<TAB>PATH a line");

  // CLI11 reads arguments last to first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp& e) {
    streams.out << app.help();
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    streams.out << e.what() << "\n";
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    streams.err << "crateline-cli: " << e.what() << "\n"
                << "Run 'crateline-cli --help' for the commands and options.\n";
    return kExitUsage;
  }
  if (scan->parsed()) return RunScan(scanOptions, streams);
  streams.out << app.help();
  return kExitOk;
}

}  // namespace crateline::cli
