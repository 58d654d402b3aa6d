// TarArchive: writes a folder tree's messages as one gzip-compressed GNU tar that Zimbra's
// "Import" takes as the user's mail, folder by folder.
//
// Use: AddDirectoryTree(folder), then WriteCompressedArchive(file); each returns 1 on success
// (LastError() says why not). While the write runs, the listener hears PercentDone and
// ProgressInfo on the calling thread, at least ten times a second; its handlers may pump
// window events, may set `abort`, and may end the program (no file is left then either).
//
// Only messages go in: regular files named *.eml (any case), stored with a lower-case ".eml".
// Everything else is left out and reported (other files, links, devices, empty messages,
// messages of 2 GiB or more), as are messages that cannot be read. Each entry's time is the
// message's Date (else its newest Received date, else the file's time); its mode is 0644, or
// 0444 when the message's headers say it is unread. Folder names the importer would reject
// are repaired. Entries come in byte order of their names, so the same tree always gives the
// same bytes. The archive is written beside the destination and put there only when complete.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/gzip_writer.h"
#include "platform/file_io.h"

namespace crateline::archive {

class TarArchiveListener {
 public:
  virtual ~TarArchiveListener() = default;
  virtual void PercentDone(int percent, bool& abort) = 0;
  virtual void ProgressInfo(const std::string& name, const std::string& value) = 0;
};

struct PlannedMessage {
  std::string sourcePath;
  std::string entryName;  // folder path, '/', file name
  std::string folder;     // the Zimbra folder it lands in ("" is the archive root: Inbox)
  std::uint64_t size = 0;
  std::int64_t fileTime = 0;
};

struct ReportLine {
  std::string path;
  std::string text;
};

struct ArchiveReport {
  std::vector<ReportLine> leftOut;   // not archived
  std::vector<ReportLine> repaired;  // archived under a changed folder or name
  std::vector<ReportLine> warnings;  // archived, but Zimbra may not take it as it is
  std::uint64_t messagesWritten = 0;
  std::uint64_t bytesRead = 0;
  std::uint64_t unreadMessages = 0;
  bool Empty() const { return leftOut.empty() && repaired.empty() && warnings.empty(); }
};

// The report as the text the command line prints and writes beside the archive.
std::string FormatReport(const ArchiveReport& report);

// Writes the report beside the archive ("mail.tgz" → "mail.report.txt") and returns its path,
// or empty text when it could not be written.
std::string WriteReportBeside(const std::string& archivePath, const std::string& sourceFolder,
                              const ArchiveReport& report);

class TarArchive {
 public:
  using OutputFactory =
      std::function<std::unique_ptr<platform::OutputFile>(const std::string& destination)>;

  explicit TarArchive(TarArchiveListener* listener = nullptr);
  ~TarArchive();

  std::string OutputFormat = "gnu";  // the only format written

  std::int32_t AddDirectoryTree(const std::string& path);
  std::int32_t WriteCompressedArchive(const std::string& path);

  const std::string& LastError() const { return lastError_; }
  const ArchiveReport& Report() const { return report_; }
  const std::vector<PlannedMessage>& Plan() const { return plan_; }

  void SetCompressionLevel(CompressionLevel level) { level_ = level; }
  void SetThreads(int threads) { threads_ = threads; }
  // Stops the write in progress from another thread, like `abort`.
  void Cancel() { cancelled_.store(true); }
  // Where the archive's bytes go (tests: a sink that fails); by default an atomic file.
  void SetOutputFactory(OutputFactory factory) { outputFactory_ = std::move(factory); }

 private:
  class Writer;
  TarArchiveListener* listener_;
  std::string sourceRoot_;
  std::vector<PlannedMessage> plan_;
  ArchiveReport report_;
  std::size_t inventoryLeftOut_ = 0;  // what the walk left out, before any write
  std::string lastError_;
  CompressionLevel level_ = CompressionLevel::kDefault;
  int threads_ = 0;  // 0: one per processor
  std::atomic<bool> cancelled_{false};
  OutputFactory outputFactory_;
};

}  // namespace crateline::archive
