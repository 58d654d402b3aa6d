// crateline-cli upload: sends archives, or a mail store packed on the way, into a mailbox, and
// says what the server made of every volume.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "archive/archive.h"
#include "cli/commands.h"
#include "job/send.h"
#include "platform/secret_prompt.h"
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

class Progress final : public upload::UploadListener {
 public:
  explicit Progress(Streams streams) : streams_(streams) {}

  void Reading(std::uint64_t done, std::uint64_t total) override {
    if (!streams_.outIsTerminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    streams_.out << "\rReading the messages to know them by their bytes: " << done << " of "
                 << total << (done == total ? "\r\033[K" : "\033[K") << std::flush;
  }

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
  std::chrono::steady_clock::time_point lastDrawn_{};
};

// Whether a secret may go into a request as it is: printable, no line end or other control
// character that would end the header it goes into (a token: no space or ';' either, which
// would end the cookie).
bool Printable(const std::string& text, bool token) {
  return std::all_of(text.begin(), text.end(), [token](char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
    return !token || (byte > 0x20 && byte < 0x7F && c != ';' && c != ',');
  });
}

// The first line of a secret's file: false, with the reason said, when it is no regular file,
// cannot be read, or holds nothing.
bool ReadSecretFile(const std::string& path, const char* what, std::string& secret,
                    std::ostream& err) {
  std::error_code error;
  const auto status = std::filesystem::status(util::PathFromUtf8(path), error);
  if (!std::filesystem::is_regular_file(status) || !ReadFirstLine(path, secret)) {
    err << "crateline-cli: cannot read the " << what << " file \"" << SafeText(path) << "\""
        << (std::filesystem::is_directory(status) ? ": it is a folder" : "") << "\n";
    return false;
  }
  if (secret.empty()) {
    err << "crateline-cli: the " << what << " file \"" << SafeText(path)
        << "\" is empty: its first line is the " << what << "\n";
    return false;
  }
#ifndef _WIN32
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    err << "crateline-cli: warning: the " << what << " file \"" << SafeText(path)
        << "\" can be read by others on this machine; chmod 600 it\n";
  }
#endif
  return true;
}

// The password, from the file, the environment or the terminal; false (with the reason said)
// when there is none.
bool FindPassword(const UploadCommandOptions& options, const std::string& account,
                  std::string& password, std::ostream& err) {
  bool found = false;
  if (!options.passwordFile.empty()) {
    if (!ReadSecretFile(options.passwordFile, "password", password, err)) return false;
    found = true;
  } else if (const char* value = std::getenv(kPasswordVariable)) {
    password = value;
    found = !password.empty();
    if (!found) err << "crateline-cli: " << kPasswordVariable << " is set, but empty\n";
    if (!found) return false;
  } else {
    found = platform::AskSecret("Password for " + account + ": ", password);
  }
  if (!found) {
    err << "crateline-cli: no password: give --password-file FILE, set " << kPasswordVariable
        << ", or run on a terminal to be asked\n";
    return false;
  }
  if (!Printable(password, false)) {
    err << "crateline-cli: the password holds a line end or another control character, which "
           "no login takes\n";
    return false;
  }
  return true;
}

// Whether an address may be logged in at: http(s), no user or password in it (they would end up
// in the journal, the report and every error text), no query. `option` names it for the user.
bool CheckAddress(const std::string& url, const char* option, bool insecure, std::ostream& err) {
  const bool https = url.rfind("https://", 0) == 0;
  if (!https && url.rfind("http://", 0) != 0) {
    err << "crateline-cli: " << option
        << " takes an address such as https://mail.example.com, not \"" << SafeText(url) << "\"\n";
    return false;
  }
  const std::size_t start = url.find("://") + 3;
  const std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
  if (authority.find('@') != std::string::npos) {
    err << "crateline-cli: " << option
        << " must not hold a user or a password: give --user, and the password with "
           "--password-file, the environment or the terminal\n";
    return false;
  }
  if (authority.empty() || url.find_first_of("?#") != std::string::npos) {
    err << "crateline-cli: " << option
        << " takes the server's address alone (scheme, host, port, a path at most), not \""
        << SafeText(url) << "\"\n";
    return false;
  }
  if (!https && !insecure) {
    err << "crateline-cli: " << option << " \"" << SafeText(url)
        << "\" is not https: the password and the mail would cross the network unencrypted; "
           "add --insecure if that is really meant\n";
    return false;
  }
  return true;
}

// --settle's words: N=imported, N=resend, refused=forget.
bool ParseSettlements(const std::vector<std::string>& specs,
                      std::vector<upload::UploadOptions::Settlement>& out, std::ostream& err) {
  using As = upload::UploadOptions::Settlement::As;
  for (const auto& spec : specs) {
    const auto equals = spec.find('=');
    const std::string what = spec.substr(0, equals);
    const std::string as = equals == std::string::npos ? "" : spec.substr(equals + 1);
    upload::UploadOptions::Settlement settlement;
    if (what == "refused" && as == "forget") {
      settlement.as = As::kForgetRefused;
    } else if (!what.empty() && what.size() <= 9 &&
               std::all_of(what.begin(), what.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
               (as == "imported" || as == "resend")) {
      settlement.volume = static_cast<std::uint32_t>(std::stoul(what));
      settlement.as = as == "imported" ? As::kImported : As::kResend;
    } else {
      err << "crateline-cli: --settle takes N=imported, N=resend (N: a volume's number in the "
             "journal, as the upload said it) or refused=forget, not \""
          << SafeText(spec) << "\"\n";
      return false;
    }
    out.push_back(settlement);
  }
  return true;
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
                 archive::PackOptions& pack, std::ostream& err) {
  if (!CheckAddress(command.url, "--url", command.insecure, err)) return false;
  if (!command.adminUrl.empty() &&
      !CheckAddress(command.adminUrl, "--admin-url", command.insecure, err)) {
    return false;
  }
  if (!command.caFile.empty()) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(util::PathFromUtf8(command.caFile), error)) {
      err << "crateline-cli: --ca-file \"" << SafeText(command.caFile)
          << "\" is no file of certificates that can be read\n";
      return false;
    }
  }
  if (!ParseSettlements(command.settle, options.settle, err)) return false;
  if (command.insecure) {
    err << "crateline-cli: warning: --insecure: the server's certificate is not checked, and "
           "anyone between here and it can read the password and the mail\n";
  }
  if (!archive::ParseCompressionLevel(command.level, pack.level)) {
    err << "crateline-cli: --level takes fast, default or best, not \"" << SafeText(command.level)
        << "\"\n";
    return false;
  }
  if (!command.volumeSize.empty() &&
      (!archive::ParseSize(command.volumeSize, pack.volumeSize) || pack.volumeSize < 1024 * 1024)) {
    err << "crateline-cli: --volume-size takes a size of at least 1M, such as 256M, not \""
        << SafeText(command.volumeSize) << "\"\n";
    return false;
  }
  options.url = command.url;
  options.tls = {command.caFile, command.insecure};
  options.subfolder = command.subfolder;
  pack.threads = command.threads;
  pack.format = command.source.format;
  pack.read = command.source.read;
  options.answerTimeout = command.timeout;
  options.resendUnknown = command.resendUnknown;
  if (!command.journal.empty()) {
    std::error_code ignored;
    options.journal = util::Utf8FromPath(
        std::filesystem::absolute(util::PathFromUtf8(command.journal), ignored).lexically_normal());
  }
  upload::Credentials& credentials = options.credentials;
  credentials.user = command.user;
  if (!command.tokenFile.empty()) {
    credentials.method = upload::Credentials::Method::kToken;
    if (!ReadSecretFile(command.tokenFile, "token", credentials.token, err)) return false;
    if (!Printable(credentials.token, true)) {
      err << "crateline-cli: the token in \"" << SafeText(command.tokenFile)
          << "\" holds a space, a line end or another character no token has\n";
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
                     SafeText(result.account.empty() ? command.user : result.account) + " at " +
                     SafeText(command.url) + "\n\n";
  for (const auto& line : result.settled) text += "Settled: " + SafeText(line) + "\n";
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
  // The books, whole: what the server has not imported, by this run or an earlier one.
  if (!result.notImported.empty()) {
    text += "Not imported by the server (" + std::to_string(result.notImported.size()) + "):\n";
    for (const auto& line : result.notImported) {
      text += "  " + SafeText(line.what) + "\n      " + SafeText(line.why) + "\n";
    }
  }
  if (!result.heldBack.empty()) {
    text += "Import state unknown (" + std::to_string(result.heldBack.size()) + "):\n";
    for (const auto& held : result.heldBack) {
      text += "  volume " + std::to_string(held.number) + " of the journal (" +
              SafeText(held.name) + ")\n      " + SafeText(held.why) + "\n";
    }
  }
  text += archive::FormatReport(result.packing);
  return text;
}

}  // namespace

int RunUpload(const UploadCommandOptions& command, Streams streams) {
  upload::UploadOptions options;
  archive::PackOptions pack;
  if (!MakeOptions(command, options, pack, streams.err)) return kExitUsage;
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
    result = job::Send(sources, std::move(pack), options, progress);
  } catch (const upload::LoginError& e) {
    if (platform::TerminationRequested()) {
      streams.err << "crateline-cli: stopped while logging in; nothing was sent\n";
      return StoppedStatus();
    }
    streams.err << "crateline-cli: " << SafeText(e.what()) << "\n";
    return kExitFailure;
  } catch (const upload::JournalBusy& e) {
    streams.err << "crateline-cli: " << SafeText(e.what()) << "\n";
    return kExitFailure;
  } catch (const std::invalid_argument& e) {
    streams.err << "crateline-cli: " << SafeText(e.what()) << "\n";
    return kExitUsage;
  }

  for (const auto& line : result.settled) streams.out << "Settled: " << SafeText(line) << "\n";
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
      result.heldBack.empty() && result.notImported.empty()) {
    streams.out << "Nothing to send: the journal \"" << SafeText(result.journal)
                << "\" has every message as imported.\n";
  }
  if (slowest > kSlowVolumeSeconds) {
    streams.out << "warning: the server took " << std::fixed << std::setprecision(0) << slowest
                << " s over a volume after its last byte; a proxy in front of it gives up at 60 s. "
                   "Use a smaller --volume-size.\n";
  }
  const std::string text = ReportText(result, command);
  if (!result.notImported.empty() || !result.heldBack.empty() || !result.packing.Empty()) {
    streams.out << text.substr(text.find("\n\n") + 2);
  }
  if (!result.heldBack.empty()) {
    const auto& first = result.heldBack.front();
    streams.out << "The server may have imported the volume(s) of unknown state, and would import "
                   "their messages twice if sent again. Look in the mailbox; then settle each: "
                   "--settle "
                << first.number << "=imported if its messages are there, or --settle "
                << first.number
                << "=resend to send it again (--resend-unknown sends every such "
                   "volume again).\n";
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
    return StoppedStatus();
  }
  if (!result.error.empty()) {
    streams.err << "crateline-cli: " << SafeText(result.error) << "\n";
    return kExitFailure;
  }
  if (!result.heldBack.empty()) return kExitFailure;
  return result.Complete() ? kExitOk : kExitIncomplete;
}

}  // namespace crateline::cli
