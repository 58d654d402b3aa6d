// TarArchive: writes a mail store's messages as one gzip-compressed GNU tar that Zimbra's
// "Import" takes as the user's mail, folder by folder.
//
// Use: AddDirectoryTree(source), then WriteCompressedArchive(file); each returns 1 on success
// (LastError() says why not). AddDirectoryTree reads the store (mailbox/) and plans the archive:
// the Zimbra folder of every message, repaired and merged as Zimbra would find it, and what is
// left out and why. While either call runs, the listener hears ProgressInfo (and, writing,
// PercentDone) on the calling thread, at least ten times a second; its handlers may pump
// window events, may set `abort`, and may end the program (no file is left then either).
//
// Only messages go in, stored with a lower-case ".eml". Each entry's time is the message's Date
// (else its newest Received date, else the file's time); its mode is 0644, or 0444 when the
// message is unread. Entries come in byte order of folder and name, so the same store always
// gives the same bytes. The archive is written beside the destination and put there only when
// complete. The report says what was left out, damaged, repaired and warned about.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/gzip_writer.h"
#include "archive/volumes.h"
#include "archive/zimbra_names.h"
#include "mailbox/mailbox.h"
#include "platform/file_io.h"

namespace crateline::archive {

class TarArchiveListener {
 public:
  virtual ~TarArchiveListener() = default;
  virtual void PercentDone(int percent, bool& abort) = 0;
  virtual void ProgressInfo(const std::string& name, const std::string& value) = 0;
};

// A line of the report: what (a path, or PATH:OFFSET for a message inside a file) and why.
using ReportLine = mailbox::Item;

struct PlannedMessage {
  std::uint32_t message = 0;  // Plan::inventory.messages
  std::uint32_t folder = 0;   // Plan::folders
  std::string name;           // the entry's file name, unique in its folder
};

// What an archive of a store will hold: the store's inventory, the Zimbra folder path of each
// of its folders, and the messages in the order they are written.
struct Plan {
  mailbox::Inventory inventory;
  std::vector<std::string> folders;      // archive folder paths; "" is the root (Inbox)
  std::vector<PlannedMessage> messages;  // in archive order
  std::vector<ReportLine> leftOut;       // the inventory's, and what Zimbra cannot take
  std::vector<ReportLine> repaired;      // folders repaired or merged, names escaped

  std::string EntryName(const PlannedMessage& message) const;
  const mailbox::Message& Source(const PlannedMessage& message) const {
    return inventory.messages[message.message];
  }
  std::uint64_t TotalBytes() const;
  // Messages per folder, as Zimbra will show them (folders it finds the same are one row).
  std::vector<FolderCount> FolderTable() const;
};

// Plans the archive of an inventory; `tick`, when given, is called every so many messages
// (a window keeps its events flowing through it).
Plan MakePlan(mailbox::Inventory inventory, const std::function<void()>& tick = {});

// Counts messages by folder as Zimbra shows them: folders whose keys are equal are one row,
// named as the first of them; rows in byte order of their names.
class FolderTally {
 public:
  void Add(const std::string& archiveFolder, std::uint64_t messages = 1);
  std::vector<FolderCount> Rows() const;

 private:
  std::vector<FolderCount> rows_;
  std::unordered_map<std::string, std::size_t> index_;  // Zimbra's key → row
};

// A volume as written: its file and what it holds.
struct VolumeSummary {
  std::string path;
  std::uint64_t messages = 0;
  std::vector<FolderCount> folders;
};

struct ArchiveReport {
  std::vector<ReportLine> leftOut;     // messages not archived, and places not read
  std::vector<ReportLine> damaged;     // archived, but changed while read: the copy may differ
  std::vector<ReportLine> passedOver;  // what the store marks deleted, and chats: not mail
  std::vector<ReportLine> notMail;     // files that hold no mail
  std::vector<ReportLine> repaired;    // archived under a changed folder or name
  std::vector<ReportLine> warnings;    // archived, but Zimbra may not take it as it is
  std::vector<std::string> notes;      // what was passed over as a whole
  std::vector<FolderCount> folders;    // what was written, by folder
  std::vector<VolumeSummary> volumes;  // when the archive was cut into volumes
  std::uint64_t messagesWritten = 0;
  std::uint64_t bytesRead = 0;
  std::uint64_t unreadMessages = 0;
  double compressionSeconds = 0;  // processor time the compressor took, all threads together
  // Every message found is in the archive as it was read.
  bool Complete() const { return leftOut.empty() && damaged.empty(); }
  bool Empty() const {
    return Complete() && passedOver.empty() && notMail.empty() && repaired.empty() &&
           warnings.empty() && notes.empty() && volumes.empty();
  }
};

// The report as the text the command line prints and writes beside the archive. Paths are
// shown with control characters escaped (SafeText), so the text is safe on a terminal.
std::string FormatReport(const ArchiveReport& report);

// One sentence that counts what the report holds, e.g. "2 message(s) or folder(s) left out and
// 1 warning(s)."; empty when it holds nothing.
std::string ReportSummary(const ArchiveReport& report);

// Text safe to print: control characters (C0, DEL, C1), bytes that are not UTF-8 and the
// characters that reorder text on screen are written as \xNN or \u{NNNN}.
std::string SafeText(const std::string& text);

// The report's path for an archive: "mail.tgz" → "mail.report.txt".
std::string ReportPathFor(const std::string& archivePath);

// Writes the report beside the archive, whole or not at all (it replaces what was there);
// returns its path. Throws platform::FileError when it cannot be written completely.
std::string WriteReportBeside(const std::string& archivePath, const std::string& source,
                              const ArchiveReport& report);

// What a report beside an archive names as left out, damaged or passed over, by the text it
// shows; empty when there is no report.
std::vector<std::string> ReadReportedMessages(const std::string& archivePath);

// The archive file cannot be created at all (no such folder, no right to write there): raised
// by WriteCompressedArchive before any message is read, instead of a result of 0.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TarArchive {
 public:
  using OutputFactory =
      std::function<std::unique_ptr<platform::OutputFile>(const std::string& destination)>;

  explicit TarArchive(TarArchiveListener* listener = nullptr);
  ~TarArchive();

  std::string OutputFormat = "gnu";  // the only format written

  std::int32_t AddDirectoryTree(const std::string& path);
  // Writes the archive at `path`; cut into volumes (VolumePath) when a volume size is set, all
  // of them put in place only when the last is complete.
  std::int32_t WriteCompressedArchive(const std::string& path);
  // Writes volume `index` alone into `out`, without committing it (an upload sends it as it is
  // made), as the volume `name`; the report gathers what the volumes written since the first
  // (index 0) found.
  std::int32_t WriteVolume(std::size_t index, platform::OutputFile& out, const std::string& name);
  // The messages (Plan().messages) the last volume written holds: those of its plan that could
  // be read.
  const std::vector<std::size_t>& LastVolumeWritten() const { return lastWritten_; }

  const std::string& LastError() const { return lastError_; }
  const ArchiveReport& Report() const { return report_; }
  const archive::Plan& Plan() const { return plan_; }

  void SetCompressionLevel(CompressionLevel level) { level_ = level; }
  void SetThreads(int threads) { threads_ = threads; }
  // Cuts the archive into volumes of at most this many bytes (volumes.h); 0, the default,
  // writes one archive.
  void SetVolumeSize(std::uint64_t bytes);
  // Leaves out of the plan the messages `drop` names (an upload's, sent before), and cuts the
  // volumes again; returns how many it left out.
  std::size_t DropMessages(const std::function<bool(const PlannedMessage&)>& drop);
  // The volumes the plan's messages go in: one when no size is set.
  const std::vector<Volume>& Volumes() const { return volumes_; }
  // The store format to read ("eml", ...); empty: the one that bids highest.
  void SetSourceFormat(std::string format) { format_ = std::move(format); }
  // How the store is read (an mbox file's folder, a profile's account, Gmail's labels).
  void SetReadOptions(mailbox::ReadOptions options) { readOptions_ = std::move(options); }
  // Stops the write in progress from another thread, like `abort`.
  void Cancel() { cancelled_.store(true); }
  // Where the archive's bytes go (tests: a sink that fails); by default an atomic file.
  void SetOutputFactory(OutputFactory factory) { outputFactory_ = std::move(factory); }

 private:
  class Writer;
  void ResetReport();
  void WriteOne(std::size_t index, platform::OutputFile& out, const std::string& name);
  TarArchiveListener* listener_;
  archive::Plan plan_;
  std::vector<Volume> volumes_;
  std::uint64_t volumeSize_ = 0;
  std::vector<std::uint64_t> written_;    // messages written, by plan folder
  std::vector<std::size_t> lastWritten_;  // the messages of the last volume written
  ArchiveReport report_;
  std::string lastError_;
  std::string format_;
  mailbox::ReadOptions readOptions_;
  CompressionLevel level_ = CompressionLevel::kDefault;
  int threads_ = 0;  // 0: one per processor
  std::atomic<bool> cancelled_{false};
  OutputFactory outputFactory_;
};

}  // namespace crateline::archive
