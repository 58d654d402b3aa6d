// Parses the command line with CLI11 and hands each command to its runner.
#include "cli/cli.h"

#include "cli/commands.h"

#include <CLI/CLI.hpp>
#include <new>
#include <ostream>

#include "archive/archive.h"
#include "platform/termination.h"

namespace crateline::cli {
namespace {
constexpr const char* kVersion = "3.0";
constexpr const char* kTitle = "Brakmoor Crateline";
constexpr const char* kExitStatuses =
    "Exit statuses:\n"
    "  0    done: every message is in the archive (convert), or no problem was found (verify)\n"
    "  1    the work failed, or verify found problems\n"
    "  2    the command line, or the folder or file it names, cannot be used\n"
    "  3    convert wrote the archive, but left messages out or archived one that changed\n"
    "       while it was read; each is named in the report with the reason\n"
    "  130  stopped with Ctrl-C (SIGTERM and SIGHUP: 128 + their number); no file is left\n";

int Dispatch(const std::vector<std::string>& args, Streams streams) {
  CLI::App app{std::string(kTitle) +
                   " command line: packs a folder tree of .eml messages into a .tgz that "
                   "Zimbra imports.",
               "crateline-cli"};
  app.set_version_flag("--version", std::string("crateline-cli ") + kVersion);
  app.footer(kExitStatuses);
  app.require_subcommand(0, 1);

  ScanOptions scanOptions;
  CLI::App* scan = app.add_subcommand(
      "scan", "Count the messages (*.eml, any case) and folders below FOLDER, as the window does.");
  scan->add_option("FOLDER", scanOptions.folder, "The folder to scan")->required();
  scan->add_flag("--list", scanOptions.list, "Print the queue: one KEY<TAB>PATH a line");

  ConvertOptions convertOptions;
  CLI::App* convert = app.add_subcommand(
      "convert", "Pack the messages below FOLDER into a .tgz for Zimbra's Import.");
  convert->add_option("FOLDER", convertOptions.folder, "The folder of .eml files")->required();
  convert->add_option("-o,--output", convertOptions.output,
                      "The archive to write (default: ZimbraMailbox<stamp>.tgz here)");
  convert->add_flag("--force", convertOptions.force, "Replace an existing archive");
  convert
      ->add_option("--threads", convertOptions.threads,
                   "Compressing threads (default: one per processor)")
      ->check(CLI::Range(0, 256));
  convert->add_option("--level", convertOptions.level, "Compression: fast, default or best");
  convert->add_flag("--dry-run", convertOptions.dryRun,
                    "Show the folders and the report without writing anything");

  VerifyOptions verifyOptions;
  CLI::App* verify = app.add_subcommand(
      "verify", "Read an archive as Zimbra's importer does and report every problem.");
  verify->add_option("FILE", verifyOptions.archive, "The archive")->required();
  verify->add_option(
      "--source", verifyOptions.source,
      "Also check that every message of this folder is in the archive, byte for byte");

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
  if (convert->parsed()) return RunConvert(convertOptions, streams);
  if (verify->parsed()) return RunVerify(verifyOptions, streams);
  streams.out << app.help();
  return kExitOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, Streams streams) {
  platform::InstallTerminationHandlers();
  int status = kExitFailure;
  try {
    status = Dispatch(args, streams);
  } catch (const std::bad_alloc&) {
    streams.err << "crateline-cli: out of memory\n";
  } catch (const std::exception& e) {
    streams.err << "crateline-cli: " << archive::SafeText(e.what()) << "\n";
  }
  platform::TerminationHandled();
  return status;
}

}  // namespace crateline::cli
