// The commands of crateline-cli, each a function over parsed options and the output streams.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"
#include "mailbox/mailbox.h"

namespace crateline::cli {

// Which store a source is and how to read it: --from, --folder, --account, --labels.
struct SourceOptions {
  std::string format;  // empty: detected
  mailbox::ReadOptions read;
};

struct ScanOptions {
  std::string folder;
  bool list = false;
  SourceOptions source;
};

// The exit status of a run that a signal (or Ctrl-C) stopped.
int StoppedStatus();

// Reads a source as convert does and prints "N Messages & M Folder(s) Queued for Conversion."
// as the window counts them, the stores it found and what it passed over; with --from eml,
// counts the files named *.eml and every folder below.
int RunScan(const ScanOptions& options, Streams streams);

struct ConvertOptions {
  std::string folder;
  std::string output;  // empty: the proposed name in the current folder
  std::string level = "default";
  int threads = 0;  // 0: one per processor
  bool force = false;
  bool dryRun = false;
  bool stats = false;      // also print the processor time, and the compressor's share of it
  std::string volumeSize;  // empty: one archive
  SourceOptions source;
};

// Writes the archive, with progress, the report and how to import it.
int RunConvert(const ConvertOptions& options, Streams streams);

struct VerifyOptions {
  std::vector<std::string> archives;  // one archive, or the volumes of one
  std::string source;
  SourceOptions sourceOptions;
};

// Reads an archive as the importer does; 0 only when nothing is wrong.
int RunVerify(const VerifyOptions& options, Streams streams);

struct UploadCommandOptions {
  std::vector<std::string> sources;
  std::string url;
  std::string user;
  std::string passwordFile;
  std::string auth = "soap";
  std::string tokenFile;
  std::string admin;
  std::string adminUrl;
  std::string caFile;
  bool insecure = false;
  std::string subfolder;
  std::string volumeSize;
  std::string level = "default";
  int threads = 0;
  double timeout = 900;
  bool resendUnknown = false;
  std::string journal;              // --journal: where the journal is kept
  std::vector<std::string> settle;  // --settle N=imported|resend, refused=forget
  SourceOptions source;
};

// Sends archives, or a mail store packed on the way, into a Zimbra mailbox (upload/).
int RunUpload(const UploadCommandOptions& options, Streams streams);

// The folder as an absolute path in the system's own form, ending in a separator.
std::string AbsoluteFolderPath(const std::string& folder);

// A source (a folder or a file such as an mbox) as an absolute path; a folder ends in a
// separator.
std::string AbsoluteSourcePath(const std::string& source);

}  // namespace crateline::cli
