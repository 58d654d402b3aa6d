// crateline-cli convert and verify: the archive writer and the importer's view of an archive,
// for a terminal or a script.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "archive/archive.h"
#include "archive/verify.h"
#include "cli/commands.h"
#include "job/conversion.h"
#include "platform/processor_time.h"
#include "platform/termination.h"
#include "util/time_stamp.h"
#include "util/utf8_path.h"

namespace crateline::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using archive::SafeText;

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
class ProgressListener final : public archive::ArchiveProgress {
 public:
  explicit ProgressListener(Streams streams) : streams_(streams) {}

  void SetTotals(std::uint64_t totalBytes, std::size_t totalMessages) {
    totalBytes_ = totalBytes;
    totalMessages_ = totalMessages;
    start_ = Clock::now();
    writing_ = true;
  }

  void Percent(int percent) override {
    percent_ = percent;
    Draw();
  }
  void Writing(const std::string& value) override {
    if (value != current_) {
      current_ = value;
      ++messages_;
    }
    Draw();
  }
  void Close() {
    if (drawn_) streams_.out << "\r\033[K" << std::flush;
  }

 private:
  void Draw() {
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const std::uint64_t done = totalBytes_ * static_cast<std::uint64_t>(percent_) / 100;
    if (!streams_.outIsTerminal) {
      if (percent_ / 10 > lastTenth_) {
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
  bool writing_ = false;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDraw_{};
};

// "N messages" for a plan of mail; "N entries (mail, contacts and calendars)" for one that
// holds cards or calendars too, whose entries are no messages.
std::string EntriesText(const archive::Plan& plan, std::uint64_t count) {
  const bool mailOnly = std::all_of(
      plan.messages.begin(), plan.messages.end(),
      [&](const auto& message) { return plan.Source(message).kind == mailbox::ItemKind::kMail; });
  return std::to_string(count) +
         (mailOnly ? " messages" : " entries (mail, contacts and calendars)");
}

void PrintFolders(const std::vector<archive::FolderCount>& folders, std::ostream& out) {
  out << "Folders Zimbra will fill:\n";
  for (const auto& [folder, count, unit] : folders) {
    out << "  " << std::setw(7) << count << "  " << SafeText(folder);
    if (*unit != '\0') out << "  (" << unit << ")";
    out << "\n";
  }
}

void PrintHowToImport(const std::string& archive, std::ostream& out) {
  out << "To import it: in Zimbra's web client, Preferences > Import/Export > Import, choose\n"
         "  \""
      << SafeText(archive)
      << "\"\n"
         "or on the server:\n"
         "  zmmailbox -z -m USER postRestURL '//?fmt=tgz&resolve=skip' '"
      << SafeText(archive) << "'\n";
}

// The checks of -o before any work: a .tgz, outside the source, not replacing without --force.
bool CheckDestination(const job::Conversion& conversion, const ConvertOptions& options,
                      const std::string& destination, std::ostream& err) {
  const job::DestinationCheck check =
      conversion.Check(destination, options.dryRun || options.force);
  switch (check.problem) {
    case job::DestinationProblem::kNone:
      return true;
    case job::DestinationProblem::kNotTgz: {
      std::string hint = destination;
      const auto dot = hint.rfind('.');
      const auto slash = hint.find_last_of("/\\");
      if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) hint.resize(dot);
      err << "crateline-cli: the archive must be a .tgz file (Zimbra's Import takes no other "
             "suffix); for example -o \""
          << SafeText(hint) << ".tgz\"\n";
      return false;
    }
    case job::DestinationProblem::kInsideSource:
      err << "crateline-cli: \"" << SafeText(destination)
          << "\" is inside what is being converted, \"" << SafeText(conversion.Source())
          << "\"; write the archive somewhere else, so that nothing in the source is changed\n";
      return false;
    case job::DestinationProblem::kExists:
      err << "crateline-cli: \"" << SafeText(check.path)
          << "\" already exists; use --force to replace it\n";
      return false;
  }
  return false;
}

void PrintVolumePlan(const archive::ArchiveWriter& writer, const std::string& destination,
                     std::ostream& out) {
  const auto& volumes = writer.Volumes();
  out << "Volumes (" << volumes.size() << "):\n";
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    out << "  " << SafeText(archive::VolumePath(destination, i, volumes.size())) << ": "
        << volumes[i].count << " messages, " << Size(volumes[i].tarBytes)
        << " before compression\n";
  }
}

// All the processor time of the run so far, and the compressor's part of it; the rest is
// listing, reading, the header and line checks, the CRC, the copies and the writing.
void PrintProcessorTime(double compressing, std::ostream& out) {
  const double total = platform::ProcessProcessorSeconds();
  const double rest = total > 0 ? std::max(0.0, total - compressing) / total : 0;
  out << std::fixed << std::setprecision(2) << "Processor time: " << total
      << " s, of which compressing " << compressing << " s (the rest " << std::setprecision(1)
      << rest * 100 << "%).\n";
}

}  // namespace

int RunConvert(const ConvertOptions& options, Streams streams) {
  archive::CompressionLevel level = archive::CompressionLevel::kDefault;
  if (!archive::ParseCompressionLevel(options.level, level)) {
    streams.err << "crateline-cli: --level takes fast, default or best, not \""
                << SafeText(options.level) << "\"\n";
    return kExitUsage;
  }
  const std::string folder = AbsoluteSourcePath(options.folder);
  const std::string output =
      options.output.empty() ? util::ProposedArchiveName(util::LocalNow()) : options.output;
  std::error_code ignored;
  const std::string destination = util::Utf8FromPath(
      fs::absolute(util::PathFromUtf8(output), ignored).lexically_normal().make_preferred());
  std::uint64_t volumeSize = 0;
  if (!options.volumeSize.empty()) {
    constexpr std::uint64_t kSmallest = 1024 * 1024;
    if (!archive::ParseSize(options.volumeSize, volumeSize) || volumeSize < kSmallest) {
      streams.err << "crateline-cli: --volume-size takes a size of at least 1M, such as 500M or "
                     "2G, not \""
                  << SafeText(options.volumeSize) << "\"\n";
      return kExitUsage;
    }
  }
  ProgressListener progress(streams);
  archive::PackOptions pack{options.source.format, options.source.read, level, options.threads,
                            volumeSize};
  job::Conversion conversion(folder, std::move(pack), &progress);
  if (!CheckDestination(conversion, options, destination, streams.err)) return kExitUsage;

  const auto started = Clock::now();
  const job::Result read = conversion.Read();
  if (!read.Ok()) {
    streams.err << "crateline-cli: " << SafeText(read.error) << "\n";
    return read.status == job::Status::kStopped ? StoppedStatus() : kExitUsage;
  }
  const archive::ArchiveWriter& writer = conversion.Writer();
  const archive::Plan& plan = writer.Plan();
  const std::uint64_t totalBytes = plan.TotalBytes();

  if (options.dryRun) {
    streams.out << EntriesText(plan, plan.messages.size()) << " (" << Size(totalBytes)
                << ") would be archived.\n";
    PrintFolders(plan.FolderTable(), streams.out);
    if (volumeSize > 0) PrintVolumePlan(writer, destination, streams.out);
    if (!writer.Report().Empty()) streams.out << archive::FormatReport(writer.Report());
    // The status the run would have, as far as it can be known before a byte is read.
    if (plan.messages.empty()) {
      streams.err << "crateline-cli: there are no messages to archive in \""
                  << SafeText(plan.inventory.root) << "\"\n";
      return kExitFailure;
    }
    return writer.Report().Complete() ? kExitOk : kExitIncomplete;
  }

  if (!streams.outIsTerminal) {
    streams.out << "Writing \"" << SafeText(destination)
                << "\": " << EntriesText(plan, plan.messages.size()) << " (" << Size(totalBytes)
                << ")\n"
                << std::flush;
  }
  progress.SetTotals(totalBytes, plan.messages.size());
  const job::Result result = conversion.Write(destination, options.force);
  progress.Close();
  const auto& report = writer.Report();
  if (!result.Ok()) {
    streams.err << "crateline-cli: " << SafeText(result.error) << "\n";
    if (result.status == job::Status::kStopped) return StoppedStatus();
    // Nothing went in: the report says why each message did not.
    if (report.messagesWritten == 0 && !report.Empty()) {
      streams.err << archive::FormatReport(report);
    }
    if (!result.reportPath.empty()) {
      streams.err << "crateline-cli: the report of this run is in \"" << SafeText(result.reportPath)
                  << "\"\n";
    }
    return kExitFailure;
  }

  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::uint64_t archiveSize = 0;
  for (const auto& path : result.files) {
    archiveSize += fs::file_size(util::PathFromUtf8(path), ignored);
  }
  streams.out << "Wrote \"" << SafeText(destination) << "\"";
  if (!report.volumes.empty()) streams.out << " in " << report.volumes.size() << " volumes";
  streams.out << ": " << EntriesText(plan, report.messagesWritten) << " (" << Size(report.bytesRead)
              << " into " << Size(archiveSize) << ") in " << std::fixed << std::setprecision(1)
              << seconds << " s, " << archive::DescribeCompression(level) << ".\n";
  if (options.stats) PrintProcessorTime(report.compressionSeconds, streams.out);
  if (!result.error.empty()) streams.err << "crateline-cli: " << SafeText(result.error) << "\n";
  if (report.unreadMessages > 0)
    streams.out << report.unreadMessages << " of them arrive unread.\n";
  PrintFolders(report.folders, streams.out);

  int status = report.Complete() ? kExitOk : kExitIncomplete;
  if (!report.Empty()) streams.out << archive::FormatReport(report);
  if (!result.reportPath.empty()) {
    streams.out << "This report is also in \"" << SafeText(result.reportPath) << "\".\n";
  }
  if (!result.reportError.empty()) {
    streams.err << "crateline-cli: the archive was written, but " << SafeText(result.reportError)
                << "\n";
    status = kExitFailure;
  }
  if (!report.Complete()) {
    streams.out << report.leftOut.size() + report.damaged.size()
                << " message(s) or place(s) are not in the archive as they were read: see "
                   "\"Left out\" and \"Damaged\" above.\n";
  }
  if (report.volumes.empty()) {
    PrintHowToImport(destination, streams.out);
  } else {
    streams.out << "Import each volume on its own, one after the other (the report lists what each "
                   "holds),\nor send them all with:\n  crateline-cli upload \""
                << SafeText(destination.substr(0, destination.size() - 4))
                << "\"-part*.tgz --url URL --user USER\n";
  }
  return status;
}

int RunVerify(const VerifyOptions& options, Streams streams) {
  std::error_code ignored;
  for (const auto& archive : options.archives) {
    const fs::path archivePath = util::PathFromUtf8(archive);
    if (fs::is_directory(archivePath, ignored)) {
      streams.err << "crateline-cli: \"" << SafeText(archive)
                  << "\" is a folder; verify reads an archive (a .tgz), and takes the folder it "
                     "came from with --source\n";
      return kExitUsage;
    }
    if (!fs::exists(archivePath, ignored)) {
      streams.err << "crateline-cli: cannot read \"" << SafeText(archive)
                  << "\": " << std::make_error_code(std::errc::no_such_file_or_directory).message()
                  << "\n";
      return kExitUsage;
    }
  }
  const std::string source = options.source.empty() ? "" : AbsoluteSourcePath(options.source);
  const archive::VerifyResult result = archive::VerifyArchives(
      options.archives, source, options.sourceOptions.format, options.sourceOptions.read);
  for (const auto& problem : result.problems) streams.out << "problem: " << problem << "\n";
  for (const auto& warning : result.warnings) streams.out << "warning: " << warning << "\n";
  PrintFolders(result.folders, streams.out);
  streams.out << result.messages << " messages (" << result.unread << " unread)";
  if (result.contacts > 0) streams.out << ", " << result.contacts << " contacts";
  if (result.calendarItems > 0) streams.out << ", " << result.calendarItems << " calendar items";
  if (options.archives.size() > 1) streams.out << " in " << options.archives.size() << " archives";
  streams.out << ", " << result.problems.size() << " problems, " << result.warnings.size()
              << " warnings.\n";
  if (!source.empty()) {
    streams.out << "Of the source's messages, contacts and calendars, " << result.sourceMessages
                << " are in the archive as they should be, and " << result.reportedLeftOut
                << " are named in the report as left out or damaged; a census of the source by "
                   "its content alone found "
                << result.censusMessages << ".\n";
  }
  return result.Ok() ? kExitOk : kExitFailure;
}

}  // namespace crateline::cli
