// crateline-cli upload: sends archives, or a mail store packed on the way, into a mailbox, and
// says what the server made of every volume.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "archive/archive.h"
#include "cli/commands.h"
#include "platform/termination.h"
#include "upload/upload.h"
#include "util/utf8_path.h"

namespace crateline::cli {
namespace {

using archive::SafeText;
constexpr const char* kPasswordVariable = "CRATELINE_PASSWORD";
// A proxy in front of Zimbra gives up a minute after the upload; a volume the server took
// longer than this over is a warning to make them smaller.
constexpr double kSlowVolumeSeconds = 40;

std::string Size(std::uint64_t bytes) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << static_cast<double>(bytes) / (1024.0 * 1024.0)
      << " MiB";
  return out.str();
}

std::string TwoDigits(std::size_t n) {
  return n < 10 ? "0" + std::to_string(n) : std::to_string(n);
}

// The first line of a file, without its line end.
bool ReadFirstLine(const std::string& path, std::string& line) {
  std::ifstream file(util::PathFromUtf8(path), std::ios::binary);
  if (!file) return false;
  std::getline(file, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// Asks on the terminal itself, with echo off, so that the password is neither shown nor in
// the shell's history; false when there is no terminal to ask on.
bool PromptForPassword(const std::string& prompt, std::string& password) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return false;
  const int fd = fileno(tty);
  termios before{};
  const bool restore = tcgetattr(fd, &before) == 0;
  if (restore) {
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::fputs(prompt.c_str(), tty);
  std::fflush(tty);
  char buffer[1024];
  const bool got = std::fgets(buffer, sizeof buffer, tty) != nullptr;
  if (restore) tcsetattr(fd, TCSAFLUSH, &before);
  std::fputs("\n", tty);
  std::fclose(tty);
  if (!got) return false;
  password = buffer;
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) {
    password.pop_back();
  }
  return true;
}

class Progress final : public upload::UploadListener {
 public:
  explicit Progress(Streams streams) : streams_(streams) {}

  void VolumeStarting(std::size_t index, std::size_t count, const std::string& name,
                      std::uint64_t bytes) override {
    label_ = "[" + std::to_string(index + 1) + "/" + std::to_string(count) + "] " + name;
    total_ = bytes;
    if (!streams_.outIsTerminal) {
      streams_.out << "Sending " << SafeText(name)
                   << (bytes > 0 ? " (" + Size(bytes) + ")" : std::string()) << "\n"
                   << std::flush;
    }
  }
  void Sent(std::uint64_t bytes) override {
    if (!streams_.outIsTerminal) return;
    streams_.out << "\r" << SafeText(label_) << ": " << Size(bytes) << " sent";
    if (total_ > 0) streams_.out << " of " << Size(total_);
    streams_.out << "\033[K" << std::flush;
  }
  void VolumeDone(const upload::VolumeResult& volume) override {
    if (streams_.outIsTerminal) streams_.out << "\r\033[K";
    std::ostream& out = streams_.out;
    switch (volume.outcome) {
      case upload::Outcome::kSkipped:
        out << SafeText(volume.name) << ": sent before (the journal says so); not sent again\n";
        break;
      case upload::Outcome::kAccepted:
        out << SafeText(volume.name) << ": imported (" << volume.verdict << ")";
        if (volume.messages > 0) out << ", " << volume.messages << " messages";
        out << ", " << Size(volume.bytesSent) << " sent; the server took " << std::fixed
            << std::setprecision(1) << volume.serverSeconds << " s after the last byte";
        if (!volume.faults.empty()) out << "; " << volume.faults.size() << " not imported";
        out << "\n";
        break;
      case upload::Outcome::kUnknown:
        out << "import state unknown for volume " << TwoDigits(volume.number) << " ("
            << SafeText(volume.name) << "): " << SafeText(volume.why) << "\n";
        break;
      case upload::Outcome::kRefused:
        out << SafeText(volume.name) << ": not imported: " << SafeText(volume.why) << "\n";
        break;
    }
    out << std::flush;
  }

 private:
  Streams streams_;
  std::string label_;
  std::uint64_t total_ = 0;
};

// The password, from the file, the environment or the terminal; false (with the reason said)
// when there is none.
bool FindPassword(const UploadCommandOptions& options, const std::string& account,
                  std::string& password, std::ostream& err) {
  if (!options.passwordFile.empty()) {
    if (ReadFirstLine(options.passwordFile, password)) return true;
    err << "crateline-cli: cannot read the password file \"" << SafeText(options.passwordFile)
        << "\"\n";
    return false;
  }
  if (const char* value = std::getenv(kPasswordVariable)) {
    password = value;
    return true;
  }
  if (PromptForPassword("Password for " + account + ": ", password)) return true;
  err << "crateline-cli: no password: give --password-file FILE, set " << kPasswordVariable
      << ", or run on a terminal to be asked\n";
  return false;
}

// The admin service's address: the mail server's host on port 7071 unless given.
std::string AdminUrl(const UploadCommandOptions& options) {
  if (!options.adminUrl.empty()) return options.adminUrl;
  const auto scheme = options.url.find("://");
  std::string host = options.url.substr(scheme + 3);
  host = host.substr(0, host.find('/'));
  if (const auto colon = host.rfind(':'); colon != std::string::npos && host.back() != ']') {
    host.resize(colon);
  }
  return options.url.substr(0, scheme) + "://" + host + ":7071";
}

// Fills the upload's options from the command line's; false (with the reason said) when they
// cannot be used.
bool MakeOptions(const UploadCommandOptions& command, upload::UploadOptions& options,
                 std::ostream& err) {
  const bool https = command.url.rfind("https://", 0) == 0;
  if (!https && command.url.rfind("http://", 0) != 0) {
    err << "crateline-cli: --url takes the mail server's address, such as "
           "https://mail.example.com, not \""
        << SafeText(command.url) << "\"\n";
    return false;
  }
  if (!https && !command.insecure) {
    err << "crateline-cli: \"" << SafeText(command.url)
        << "\" is not https: the password and the mail would cross the network unencrypted; "
           "add --insecure if that is really meant\n";
    return false;
  }
  if (command.insecure) {
    err << "crateline-cli: warning: --insecure: the server's certificate is not checked, and "
           "anyone between here and it can read the password and the mail\n";
  }
  if (!archive::ParseCompressionLevel(command.level, options.level)) {
    err << "crateline-cli: --level takes fast, default or best, not \"" << SafeText(command.level)
        << "\"\n";
    return false;
  }
  if (!command.volumeSize.empty() && (!archive::ParseSize(command.volumeSize, options.volumeSize) ||
                                      options.volumeSize < 1024 * 1024)) {
    err << "crateline-cli: --volume-size takes a size of at least 1M, such as 256M, not \""
        << SafeText(command.volumeSize) << "\"\n";
    return false;
  }
  options.url = command.url;
  options.tls = {command.caFile, command.insecure};
  options.subfolder = command.subfolder;
  options.threads = command.threads;
  options.format = command.source.format;
  options.read = command.source.read;
  options.answerTimeout = command.timeout;
  options.resendUnknown = command.resendUnknown;
  upload::Credentials& credentials = options.credentials;
  credentials.user = command.user;
  if (!command.tokenFile.empty()) {
    credentials.method = upload::Credentials::Method::kToken;
    if (!ReadFirstLine(command.tokenFile, credentials.token) || credentials.token.empty()) {
      err << "crateline-cli: cannot read a token from \"" << SafeText(command.tokenFile) << "\"\n";
      return false;
    }
    return true;
  }
  credentials.method = command.auth == "basic" ? upload::Credentials::Method::kBasic
                                               : upload::Credentials::Method::kSoap;
  if (!command.admin.empty()) {
    if (credentials.method == upload::Credentials::Method::kBasic) {
      err << "crateline-cli: --admin logs in through SOAP; it does not go with --auth basic\n";
      return false;
    }
    credentials.admin = command.admin;
    credentials.adminUrl = AdminUrl(command);
  }
  return FindPassword(command, command.admin.empty() ? command.user : command.admin,
                      credentials.password, err);
}

std::string ReportPath(const upload::UploadResult& result, const std::string& source) {
  std::string name = util::Utf8FromPath(util::PathFromUtf8(archive::SetPathOf(source)).filename());
  if (name.empty()) {
    std::string trimmed = source;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    name = util::Utf8FromPath(util::PathFromUtf8(trimmed).filename());
  }
  if (name.ends_with(".tgz")) name.resize(name.size() - 4);
  return util::Utf8FromPath(util::PathFromUtf8(result.journal).parent_path() /
                            util::PathFromUtf8(name + ".upload-report.txt"));
}

std::string ReportText(const upload::UploadResult& result, const UploadCommandOptions& command) {
  std::string text = "Crateline upload of \"" + SafeText(command.sources.front()) +
                     (command.sources.size() > 1 ? "\" and the volumes after it" : "\"") + " to " +
                     SafeText(command.user) + " at " + SafeText(command.url) + "\n\n";
  for (const auto& volume : result.volumes) {
    text += "  " + SafeText(volume.name) + ": ";
    switch (volume.outcome) {
      case upload::Outcome::kAccepted:
        text += "imported (" + volume.verdict + "), " + std::to_string(volume.faults.size()) +
                " fault(s)\n";
        break;
      case upload::Outcome::kSkipped:
        text += "sent before\n";
        break;
      case upload::Outcome::kUnknown:
        text += "import state unknown: " + SafeText(volume.why) + "\n";
        break;
      case upload::Outcome::kRefused:
        text += "not imported: " + SafeText(volume.why) + "\n";
        break;
    }
  }
  if (!result.notImported.empty()) {
    text += "Not imported by the server (" + std::to_string(result.notImported.size()) + "):\n";
    for (const auto& line : result.notImported) {
      text += "  " + SafeText(line.what) + "\n      " + SafeText(line.why) + "\n";
    }
  }
  text += archive::FormatReport(result.packing);
  return text;
}

}  // namespace

int RunUpload(const UploadCommandOptions& command, Streams streams) {
  upload::UploadOptions options;
  if (!MakeOptions(command, options, streams.err)) return kExitUsage;
  std::vector<std::string> sources;
  for (const auto& source : command.sources) {
    // The same file by any spelling ("./a.tgz", "a.tgz") is the same upload in the journal.
    std::error_code ignored;
    sources.push_back(
        source.ends_with(".tgz")
            ? util::Utf8FromPath(
                  std::filesystem::absolute(util::PathFromUtf8(source), ignored).lexically_normal())
            : AbsoluteSourcePath(source));
  }
  Progress progress(streams);
  upload::UploadResult result;
  try {
    result = upload::Upload(sources, options, progress);
  } catch (const upload::LoginError& e) {
    streams.err << "crateline-cli: " << SafeText(e.what()) << "\n";
    return kExitFailure;
  } catch (const std::invalid_argument& e) {
    streams.err << "crateline-cli: " << SafeText(e.what()) << "\n";
    return kExitUsage;
  }

  std::size_t accepted = 0, before = 0;
  double slowest = 0;
  for (const auto& volume : result.volumes) {
    accepted += volume.outcome == upload::Outcome::kAccepted ? 1 : 0;
    before += volume.outcome == upload::Outcome::kSkipped ? 1 : 0;
    if (volume.outcome == upload::Outcome::kAccepted)
      slowest = std::max(slowest, volume.serverSeconds);
  }
  streams.out << accepted << " volume(s) imported now";
  if (before > 0) streams.out << ", " << before << " sent before";
  if (result.messagesSentBefore > 0) {
    streams.out << "; " << result.messagesSentBefore
                << " message(s) sent before were not sent again";
  }
  streams.out << ".\n";
  if (result.volumes.empty() && result.error.empty() && !result.stopped &&
      result.unknownHeldBack == 0) {
    streams.out << "Nothing to send: the journal \"" << SafeText(result.journal)
                << "\" has every message as sent.\n";
  }
  if (slowest > kSlowVolumeSeconds) {
    streams.out << "warning: the server took " << std::fixed << std::setprecision(0) << slowest
                << " s over a volume after its last byte; a proxy in front of it gives up at 60 s. "
                   "Use a smaller --volume-size.\n";
  }
  const std::string text = ReportText(result, command);
  if (!result.notImported.empty() || !result.packing.Empty()) {
    streams.out << text.substr(text.find("\n\n") + 2);
  }
  if (result.unknownHeldBack > 0) {
    streams.out << result.unknownHeldBack
                << " volume(s) of an earlier upload ended without a verdict and were not sent "
                   "again: check the mailbox, then add --resend-unknown to send them.\n";
  }
  const std::string reportPath = ReportPath(result, command.sources.front());
  try {
    const auto out = platform::CreateAtomicOutput(reportPath);
    out->Write(text.data(), text.size());
    out->Commit();
    streams.out << "The report is in \"" << SafeText(reportPath) << "\"; the journal in \""
                << SafeText(result.journal) << "\".\n";
  } catch (const std::exception& e) {
    streams.err << "crateline-cli: the report could not be written: " << SafeText(e.what()) << "\n";
  }
  if (result.stopped) {
    streams.err << "crateline-cli: stopped; what was sent is above and in the journal\n";
    const int signal = platform::TerminationSignal();
    return signal == 0 || signal == 2 ? kExitInterrupted : 128 + signal;
  }
  if (!result.error.empty()) {
    streams.err << "crateline-cli: " << SafeText(result.error) << "\n";
    return kExitFailure;
  }
  if (result.unknownHeldBack > 0) return kExitFailure;
  return result.Complete() ? kExitOk : kExitIncomplete;
}

}  // namespace crateline::cli
