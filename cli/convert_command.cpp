// crateline-cli convert and verify: the archive writer and the importer's view of an archive,
// for a terminal or a script.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>

#include "archive/archive.h"
#include "archive/verify.h"
#include "cli/commands.h"
#include "util/time_stamp.h"
#include "util/utf8_path.h"

namespace crateline::cli {
namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) {
  g_interrupted = 1;
}

// Ctrl-C asks the write to stop; the writer then removes what it wrote.
class InterruptScope {
 public:
  InterruptScope() {
    g_interrupted = 0;
    previous_ = std::signal(SIGINT, OnInterrupt);
  }
  ~InterruptScope() { std::signal(SIGINT, previous_); }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  void (*previous_)(int) = SIG_DFL;
};

std::string Size(std::uint64_t bytes) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1);
  if (bytes >= (1ull << 30))
    out << static_cast<double>(bytes) / (1ull << 30) << " GiB";
  else if (bytes >= (1ull << 20))
    out << static_cast<double>(bytes) / (1ull << 20) << " MiB";
  else if (bytes >= 1024)
    out << static_cast<double>(bytes) / 1024 << " KiB";
  else
    out << bytes << " B";
  return out.str();
}

std::string Duration(double seconds) {
  const long total = std::lround(seconds);
  std::ostringstream out;
  out << total / 60 << ":" << std::setw(2) << std::setfill('0') << total % 60;
  return out.str();
}

// Draws progress: a bar redrawn in place on a terminal, a line every tenth otherwise.
class ProgressListener final : public archive::TarArchiveListener {
 public:
  explicit ProgressListener(Streams streams) : streams_(streams) {}

  void SetTotals(std::uint64_t totalBytes, std::size_t totalMessages) {
    totalBytes_ = totalBytes;
    totalMessages_ = totalMessages;
    start_ = Clock::now();
  }

  void PercentDone(int percent, bool& abort) override {
    if (g_interrupted != 0) abort = true;
    percent_ = percent;
    Draw(false);
  }
  void ProgressInfo(const std::string&, const std::string& value) override {
    if (value != current_) {
      current_ = value;
      ++messages_;
    }
    Draw(false);
  }
  void Close() {
    if (drawn_) streams_.out << "\r\033[K" << std::flush;
  }

 private:
  void Draw(bool) {
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const std::uint64_t done = totalBytes_ * static_cast<std::uint64_t>(percent_) / 100;
    if (!streams_.outIsTerminal) {
      if (percent_ / 10 > lastTenth_ && percent_ < 100) {
        lastTenth_ = percent_ / 10;
        streams_.out << percent_ << "% (" << std::min(messages_, totalMessages_) << " of "
                     << totalMessages_ << " messages)\n";
      }
      return;
    }
    if (now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    drawn_ = true;
    constexpr int kWidth = 24;
    const int filled = percent_ * kWidth / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "]";
    std::ostringstream line;
    line << "\r" << bar << " " << std::setw(3) << percent_ << "%  "
         << std::min(messages_, totalMessages_) << "/" << totalMessages_ << " messages  "
         << Size(done);
    if (elapsed > 0.5 && done > 0) {
      const double rate = static_cast<double>(done) / elapsed;
      line << "  " << Size(static_cast<std::uint64_t>(rate)) << "/s  "
           << Duration(static_cast<double>(totalBytes_ - done) / rate) << " left";
    }
    streams_.out << line.str() << "\033[K" << std::flush;
  }

  Streams streams_;
  std::uint64_t totalBytes_ = 0;
  std::size_t totalMessages_ = 0;
  std::size_t messages_ = 0;
  std::string current_;
  int percent_ = 0;
  int lastTenth_ = 0;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDraw_{};
};

std::string DefaultArchiveName() {
  return util::ProposedArchiveName(util::LocalNow());
}

void PrintFolders(const std::vector<archive::PlannedMessage>& plan, std::ostream& out) {
  std::map<std::string, std::size_t> counts;
  for (const auto& message : plan) ++counts[message.folder.empty() ? "Inbox" : message.folder];
  out << "Folders Zimbra will fill:\n";
  for (const auto& [folder, count] : counts)
    out << "  " << std::setw(7) << count << "  " << folder << "\n";
}

void PrintHowToImport(const std::string& archive, std::ostream& out) {
  out << "To import it: in Zimbra's web client, Preferences > Import/Export > Import, choose\n"
         "  \""
      << archive
      << "\"\n"
         "or on the server:\n"
         "  zmmailbox -z -m USER postRestURL '//?fmt=tgz&resolve=skip' '"
      << archive << "'\n";
}

}  // namespace

int RunConvert(const ConvertOptions& options, Streams streams) {
  InterruptScope interrupt;
  archive::CompressionLevel level = archive::CompressionLevel::kDefault;
  if (!archive::ParseCompressionLevel(options.level, level)) {
    streams.err << "crateline-cli: --level takes fast, default or best, not \"" << options.level
                << "\"\n";
    return kExitUsage;
  }
  const std::string folder = AbsoluteFolderPath(options.folder);
  const std::string output = options.output.empty() ? DefaultArchiveName() : options.output;
  std::error_code ignored;
  const std::string destination = util::Utf8FromPath(
      std::filesystem::absolute(util::PathFromUtf8(output), ignored).make_preferred());
  if (!options.dryRun && !options.force &&
      std::filesystem::exists(util::PathFromUtf8(destination), ignored)) {
    streams.err << "crateline-cli: \"" << destination
                << "\" already exists; use --force to replace it\n";
    return kExitUsage;
  }

  const auto started = Clock::now();
  ProgressListener progress(streams);
  archive::TarArchive writer(&progress);
  writer.SetCompressionLevel(level);
  writer.SetThreads(options.threads);
  if (writer.AddDirectoryTree(folder) != 1) {
    streams.err << "crateline-cli: " << writer.LastError() << "\n";
    return kExitUsage;
  }
  if (g_interrupted != 0) {
    streams.err << "crateline-cli: stopped; nothing was written\n";
    return kExitInterrupted;
  }
  std::uint64_t totalBytes = 0;
  for (const auto& message : writer.Plan()) totalBytes += message.size;

  if (options.dryRun) {
    streams.out << writer.Plan().size() << " messages (" << Size(totalBytes)
                << ") would be archived.\n";
    PrintFolders(writer.Plan(), streams.out);
    if (!writer.Report().Empty()) streams.out << archive::FormatReport(writer.Report());
    return kExitOk;
  }

  progress.SetTotals(totalBytes, writer.Plan().size());
  const int result = writer.WriteCompressedArchive(destination);
  progress.Close();
  if (result != 1) {
    streams.err << "crateline-cli: " << writer.LastError() << "\n";
    return g_interrupted != 0 ? kExitInterrupted : kExitFailure;
  }

  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::uint64_t archiveSize = std::filesystem::file_size(util::PathFromUtf8(destination), ignored);
  const auto& report = writer.Report();
  streams.out << "Wrote \"" << destination << "\": " << report.messagesWritten << " messages ("
              << Size(report.bytesRead) << " into " << Size(archiveSize) << ") in " << std::fixed
              << std::setprecision(1) << seconds << " s, " << archive::DescribeCompression(level)
              << ".\n";
  if (report.unreadMessages > 0)
    streams.out << report.unreadMessages << " of them arrive unread.\n";
  PrintFolders(writer.Plan(), streams.out);
  if (!report.Empty()) {
    const std::string text = archive::FormatReport(report);
    streams.out << text;
    const std::string reportPath = archive::WriteReportBeside(destination, folder, report);
    if (!reportPath.empty()) streams.out << "This report is also in \"" << reportPath << "\".\n";
  }
  PrintHowToImport(destination, streams.out);
  return kExitOk;
}

int RunVerify(const VerifyOptions& options, Streams streams) {
  const std::string source = options.source.empty() ? "" : AbsoluteFolderPath(options.source);
  const archive::VerifyResult result = archive::VerifyArchive(options.archive, source);
  for (const auto& problem : result.problems) streams.out << "problem: " << problem << "\n";
  for (const auto& warning : result.warnings) streams.out << "warning: " << warning << "\n";
  streams.out << "Folders Zimbra will fill:\n";
  for (const auto& [folder, count] : result.folders) {
    streams.out << "  " << std::setw(7) << count << "  " << folder << "\n";
  }
  streams.out << result.messages << " messages (" << result.unread << " unread), "
              << result.problems.size() << " problems, " << result.warnings.size()
              << " warnings.\n";
  return result.Ok() ? kExitOk : kExitFailure;
}

}  // namespace crateline::cli
