// Parses the command line with CLI11 and hands each command to its runner.
#include "cli/cli.h"

#include "cli/commands.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <new>
#include <ostream>

#include "archive/archive.h"
#include "platform/termination.h"

namespace crateline::cli {

int StoppedStatus() {
  const int signal = platform::TerminationSignal();
  return signal == 0 || signal == SIGINT ? kExitInterrupted : 128 + signal;
}

namespace {
constexpr const char* kVersion = "3.0";
constexpr const char* kTitle = "Brakmoor Crateline";
constexpr const char* kExitStatuses =
    "Exit statuses:\n"
    "  0    done: every message is in the archive (convert), no problem was found (verify),\n"
    "       every volume was imported with no fault (upload)\n"
    "  1    the work failed, verify found problems, or a volume was refused or its import\n"
    "       state is unknown (upload)\n"
    "  2    the command line, or the folder or file it names, cannot be used\n"
    "  3    convert wrote the archive, but left messages out or archived one that changed\n"
    "       while it was read; upload: the server did not import some messages; each is\n"
    "       named in the report with the reason\n"
    "  130  stopped with Ctrl-C (SIGTERM and SIGHUP: 128 + their number); no file is left\n";

// The options that say which store a source is and how to read it, on a command.
void AddSourceOptions(CLI::App* command, SourceOptions& options, std::string& labels) {
  command
      ->add_option("--from", options.format,
                   "Read the source with this reader alone, instead of letting every reader "
                   "take what it knows: eml, mbox, maildir, thunderbird, emlx, mh or outlook")
      ->check(CLI::IsMember({"eml", "mbox", "maildir", "thunderbird", "emlx", "mh", "outlook"}));
  command->add_option("--folder", options.read.folderName,
                      "The folder an mbox file's messages go to (default: the file's name)");
  command->add_option("--account", options.read.account,
                      "The one account of a Thunderbird profile to read (default: every "
                      "account, each under a folder of its name)");
  command
      ->add_option("--labels", labels,
                   "Google Takeout messages with several labels: first (the folder of the "
                   "first, the default) or copy (a copy in each)")
      ->check(CLI::IsMember({"first", "copy"}));
  command
      ->add_option_function<std::vector<std::string>>(
          "--only",
          [&options](const std::vector<std::string>& kinds) {
            options.read.kinds = 0;
            for (const auto& kind : kinds) {
              options.read.kinds |= KindBit(kind == "contacts"   ? mailbox::ItemKind::kContact
                                            : kind == "calendar" ? mailbox::ItemKind::kCalendar
                                                                 : mailbox::ItemKind::kMail);
            }
          },
          "Carry only these, separated by commas: mail, contacts, calendar (default: all)")
      ->delimiter(',')
      ->check(CLI::IsMember({"mail", "contacts", "calendar"}));
}

mailbox::LabelMode LabelModeOf(const std::string& labels) {
  return labels == "copy" ? mailbox::LabelMode::kCopy : mailbox::LabelMode::kFirst;
}

int Dispatch(const std::vector<std::string>& args, Streams streams) {
  CLI::App app{std::string(kTitle) +
                   " command line: packs mail (.eml folders, Thunderbird, mbox and Google Takeout, "
                   "Maildir, Apple Mail, Outlook data files) into a .tgz that Zimbra imports.",
               "crateline-cli"};
  app.set_version_flag("--version", std::string("crateline-cli ") + kVersion);
  app.footer(kExitStatuses);
  app.require_subcommand(0, 1);

  ScanOptions scanOptions;
  std::string scanLabels, convertLabels, verifyLabels;
  CLI::App* scan = app.add_subcommand(
      "scan",
      "Count the messages of SOURCE that convert would archive, and the folders Zimbra will make "
      "for them, as the window does; with --from eml, the .eml files (any case) and every "
      "folder.");
  scan->add_option("SOURCE", scanOptions.folder, "The folder or mailbox file to scan")->required();
  scan->add_flag("--list", scanOptions.list,
                 "Print the queue: one KEY<TAB>PATH a line (PATH:OFFSET inside an mbox file, "
                 "PATH:ITEM inside an Outlook data file)");
  AddSourceOptions(scan, scanOptions.source, scanLabels);

  ConvertOptions convertOptions;
  CLI::App* convert = app.add_subcommand(
      "convert",
      "Pack the messages of SOURCE into a .tgz for Zimbra's Import. SOURCE is a folder of .eml "
      "files, a Thunderbird mail folder or profile, an mbox file (Google Takeout too), a "
      "Maildir, Apple Mail's mailboxes, or an Outlook data file (.pst, .ost); which it is, is "
      "detected.");
  convert->add_option("SOURCE", convertOptions.folder, "The folder or mailbox file")->required();
  convert->add_option("-o,--output", convertOptions.output,
                      "The archive to write (default: ZimbraMailbox<stamp>.tgz here)");
  convert->add_flag("--force", convertOptions.force, "Replace an existing archive");
  convert
      ->add_option("--threads", convertOptions.threads,
                   "Compressing threads (default: one per processor)")
      ->check(CLI::Range(0, 256));
  convert->add_option("--level", convertOptions.level, "Compression: fast, default or best");
  convert->add_option("--volume-size", convertOptions.volumeSize,
                      "Cut the archive into volumes NAME-part01.tgz, NAME-part02.tgz, ... of at "
                      "most SIZE each (e.g. 500M, 2G), each imported on its own; no message is "
                      "split, and a folder only where it does not fit in one volume");
  convert->add_flag("--dry-run", convertOptions.dryRun,
                    "Show the folders and the report without writing anything");
  convert->add_flag("--stats", convertOptions.stats,
                    "Also print the processor time the run took, and how much of it went to "
                    "compressing");
  AddSourceOptions(convert, convertOptions.source, convertLabels);

  VerifyOptions verifyOptions;
  CLI::App* verify = app.add_subcommand(
      "verify",
      "Read an archive, or the volumes of one, as Zimbra's importer does and report every "
      "problem.");
  verify->add_option("FILE", verifyOptions.archives, "The archive, or all its volumes")->required();
  verify->add_option("--source", verifyOptions.source,
                     "Also check that every message of this folder or mailbox file is in the "
                     "archive, byte for byte, in its folder, with its date and read state");
  AddSourceOptions(verify, verifyOptions.sourceOptions, verifyLabels);

  UploadCommandOptions uploadOptions;
  std::string uploadLabels;
  CLI::App* upload = app.add_subcommand(
      "upload",
      "Send archives, or a mail store packed on the way (no file on disk), into a Zimbra "
      "mailbox through its REST import, one volume per request, and report what the server "
      "made of each. A journal beside the source records what was taken, so that the same "
      "command run again sends only the rest.");
  upload
      ->add_option("SOURCE", uploadOptions.sources,
                   "A mail store (as for convert), or .tgz archives: one, or the volumes of one")
      ->required();
  upload->add_option("--url", uploadOptions.url, "The mail server, e.g. https://mail.example.com")
      ->required();
  upload->add_option("--user", uploadOptions.user, "The mailbox's account, e.g. ann@example.com")
      ->required();
  upload->add_option("--password-file", uploadOptions.passwordFile,
                     "Read the password from the first line of this file (else from "
                     "CRATELINE_PASSWORD, else asked on the terminal; never on the command line)");
  upload
      ->add_option("--auth", uploadOptions.auth,
                   "soap (log in once and send the token, the default) or basic (the password "
                   "with every request)")
      ->check(CLI::IsMember({"soap", "basic"}));
  upload->add_option("--token-file", uploadOptions.tokenFile,
                     "Send this auth token (a ZM_AUTH_TOKEN from a login) instead of logging in");
  upload->add_option("--admin", uploadOptions.admin,
                     "Log in as this administrator and import for --user (the password is the "
                     "administrator's)");
  upload->add_option("--admin-url", uploadOptions.adminUrl,
                     "The admin service (default: the server's host, port 7071)");
  upload->add_option("--ca-file", uploadOptions.caFile,
                     "Trust the certificates in this file (a server with its own authority)");
  upload->add_flag("--insecure", uploadOptions.insecure,
                   "Do not check the server's certificate, and allow http:// (not advised)");
  upload->add_option("--subfolder", uploadOptions.subfolder,
                     "Import everything under this folder, created by the server");
  upload->add_option("--volume-size", uploadOptions.volumeSize,
                     "A mail store's volumes: at most SIZE of mail each (default 256M)");
  upload->add_option("--level", uploadOptions.level, "Compression: fast, default or best");
  upload->add_option("--threads", uploadOptions.threads, "Compressing threads")
      ->check(CLI::Range(0, 256));
  upload
      ->add_option("--timeout", uploadOptions.timeout,
                   "Seconds to wait for the server's verdict after a volume's last byte "
                   "(default 900)")
      ->check(CLI::PositiveNumber);
  upload->add_flag("--resend-unknown", uploadOptions.resendUnknown,
                   "Send again the volumes an earlier upload sent without a verdict (check the "
                   "mailbox first: Zimbra would add their messages twice)");
  upload->add_option("--settle", uploadOptions.settle,
                     "After looking in the mailbox: N=imported (volume N of the journal, whose "
                     "verdict never came, is there), N=resend (it is not: send it again), or "
                     "refused=forget (stop naming the messages the server refused)");
  upload->add_option("--journal", uploadOptions.journal,
                     "Keep the upload's journal in FILE instead of beside the source (a source "
                     "on read-only media)");
  AddSourceOptions(upload, uploadOptions.source, uploadLabels);

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
  scanOptions.source.read.labels = LabelModeOf(scanLabels);
  convertOptions.source.read.labels = LabelModeOf(convertLabels);
  verifyOptions.sourceOptions.read.labels = LabelModeOf(verifyLabels);
  if (scan->parsed()) return RunScan(scanOptions, streams);
  if (convert->parsed()) return RunConvert(convertOptions, streams);
  if (verify->parsed()) return RunVerify(verifyOptions, streams);
  uploadOptions.source.read.labels = LabelModeOf(uploadLabels);
  if (upload->parsed()) return RunUpload(uploadOptions, streams);
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
