// The archive writer: a mail store's messages as one gzip-compressed GNU tar (or a set of
// volumes) that Zimbra's "Import" takes as the user's mail, folder by folder.
//
// Use: Read(source), which reads the store (mailbox/) and plans the archive: the Zimbra folder
// of every message, repaired and merged as Zimbra would find it, and what is left out and why;
// then Write(file). Both throw on failure (below). While either runs, the progress listener
// hears from it on the calling thread, at least ten times a second; its handlers may pump
// window events, may call Cancel(), and may end the program (no file is left then either).
//
// Only messages go in, stored with a lower-case ".eml". Each entry's time is the message's Date
// (else its newest Received date, else the file's time); its mode is 0644, or 0444 when the
// message is unread. Entries come in byte order of folder and name, so the same store always
// gives the same bytes. The archive is written beside the destination and put there only when
// complete. The report says what was left out, damaged, repaired and warned about.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
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

// What a run tells as it goes; every call is optional.
class ArchiveProgress {
 public:
  virtual ~ArchiveProgress() = default;
  // The store is being read: the folder or file at hand, and the messages found so far.
  virtual void Listing(const std::string& /*where*/, std::size_t /*messages*/) {}
  // A message is being written: what names it in the report.
  virtual void Writing(const std::string& /*message*/) {}
  // The share of the write done, 0 to 100; 100 only when the archive is complete.
  virtual void Percent(int /*percent*/) {}
};

// A line of the report: what (a path, or PATH:OFFSET for a message inside a file) and why.
using ReportLine = mailbox::Item;

struct PlannedMessage {
  static constexpr std::uint32_t kFileName = 0xFFFFFFFF;
  std::uint32_t message = 0;  // Plan::inventory.messages
  std::uint32_t folder = 0;   // Plan::folders
  // The entry's file name, unique in its folder (Plan::NameOf): Plan::names[name], or the
  // source file's own name (kFileName) where Zimbra takes that as it is, as it takes most.
  std::uint32_t name = kFileName;
};

// What an archive of a store will hold: the store's inventory, the Zimbra folder path of each
// of its folders, and the messages in the order they are written.
struct Plan {
  mailbox::Inventory inventory;
  std::vector<std::string> folders;            // archive folder paths; "" is the root (Inbox)
  std::vector<mailbox::ItemKind> folderKinds;  // what each holds
  std::vector<PlannedMessage> messages;        // in archive order
  std::vector<ReportLine> leftOut;             // the inventory's, and what Zimbra cannot take
  std::vector<ReportLine> repaired;            // folders repaired or merged, names escaped

  // Entry names that are not their file's own; a deque, so that views of them hold as it grows.
  std::deque<std::string> names;

  std::string_view NameOf(const PlannedMessage& message) const;
  std::string EntryName(const PlannedMessage& message) const;
  const mailbox::Message& Source(const PlannedMessage& message) const {
    return inventory.messages[message.message];
  }
  std::uint64_t TotalBytes() const;
  // What an entry counts for in a table: 1, or a calendar's events and tasks.
  std::uint64_t ItemsIn(const PlannedMessage& message) const;
  // Messages per folder, as Zimbra will show them (folders it finds the same are one row); a
  // folder of contacts counts its cards, a calendar's its events and tasks.
  std::vector<FolderCount> FolderTable() const;
};

// Plans the archive of an inventory; `tick`, when given, is called every so many messages
// (a window keeps its events flowing through it).
Plan MakePlan(mailbox::Inventory inventory, const std::function<void()>& tick = {});

// Zimbra reads nothing after an archive's first calendar: the plan's other calendars are left
// out, each named with the way to carry it (a volume of its own).
void KeepOneCalendar(Plan& plan);

// What a folder of this kind counts in a table: "" for messages, "contacts", "calendar items".
const char* UnitOf(mailbox::ItemKind kind);

// Counts messages by folder as Zimbra shows them: folders whose keys are equal are one row,
// named as the first of them; rows in byte order of their names.
class FolderTally {
 public:
  void Add(const std::string& archiveFolder, std::uint64_t messages = 1, const char* unit = "");
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
// by Write before any message is read.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The run was stopped (Cancel(), or a signal to end the program); nothing was put in place.
class Stopped : public std::runtime_error {
 public:
  Stopped() : std::runtime_error("the conversion was stopped; no archive was written") {}
};

// How a store is read and its archive written.
struct PackOptions {
  std::string format =
      {};  // the store format to read ("eml", ...); empty: the one that bids highest
  mailbox::ReadOptions read = {};  // an mbox file's folder, a profile's account, Gmail's labels
  CompressionLevel level = CompressionLevel::kDefault;
  int threads = 0;               // 0: one per processor
  std::uint64_t volumeSize = 0;  // cut into volumes of at most this many bytes; 0: one archive
};

class ArchiveWriter {
 public:
  using OutputFactory =
      std::function<std::unique_ptr<platform::OutputFile>(const std::string& destination)>;

  explicit ArchiveWriter(PackOptions options = {}, ArchiveProgress* progress = nullptr);
  ~ArchiveWriter();

  // Reads the store at `source` (a folder or a mail file) and plans its archive. Throws
  // mailbox::SourceError when it cannot be read at all, Stopped.
  void Read(const std::string& source);
  // Writes the archive at `path`; cut into volumes (VolumePath) when a volume size is set, all
  // of them put in place only when the last is complete. Throws OutputError, Stopped, and
  // std::runtime_error for a write that failed (none of the messages could be read, a full
  // disk, the source gone); nothing is put in place then.
  void Write(const std::string& path);
  // Writes volume `index` alone into `out`, without committing it (an upload sends it as it is
  // made), as the volume `name`; the report gathers what the volumes written since the first
  // (index 0) found. Throws as Write does.
  void WriteVolume(std::size_t index, platform::OutputFile& out, const std::string& name);
  // The messages (Plan().messages) the last volume written holds: those of its plan that could
  // be read.
  const std::vector<std::size_t>& LastVolumeWritten() const { return lastWritten_; }

  const ArchiveReport& Report() const { return report_; }
  const archive::Plan& Plan() const { return plan_; }
  const PackOptions& Options() const { return options_; }

  // Leaves out of the plan the messages `drop` names (an upload's, sent before), and cuts the
  // volumes again; returns how many it left out.
  std::size_t DropMessages(const std::function<bool(const PlannedMessage&)>& drop);
  // The volumes the plan's messages go in: one when no size is set.
  const std::vector<Volume>& Volumes() const { return volumes_; }
  // Stops the run in progress, from a progress handler or another thread.
  void Cancel() { cancelled_.store(true); }
  // Where the archive's bytes go (tests: a sink that fails); by default an atomic file.
  void SetOutputFactory(OutputFactory factory) { outputFactory_ = std::move(factory); }

 private:
  class Writer;
  void ResetReport();
  void WriteOne(std::size_t index, platform::OutputFile& out, const std::string& name);
  PackOptions options_;
  ArchiveProgress* progress_;
  archive::Plan plan_;
  std::vector<Volume> volumes_;
  std::vector<std::uint64_t> written_;    // messages written, by plan folder
  std::vector<std::size_t> lastWritten_;  // the messages of the last volume written
  ArchiveReport report_;
  std::atomic<bool> cancelled_{false};
  OutputFactory outputFactory_;
};

}  // namespace crateline::archive
