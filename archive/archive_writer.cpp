// Read reads the store and plans the archive; Write streams the planned messages through the
// tar framing into one parallel gzip member per volume, telling the progress listener on the
// calling thread as it goes.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <thread>

#include "archive/archive.h"
#include "archive/line_meter.h"
#include "archive/read_ahead.h"
#include "archive/tar_format.h"
#include "mailbox/cards.h"
#include "mailbox/made.h"
#include "mailbox/message_headers.h"
#include "platform/platform.h"
#include "platform/termination.h"
#include "scan/listing.h"

namespace crateline::archive {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWholeMessageLimit = 64 * 1024 * 1024;  // read at once: an exact snapshot
constexpr std::size_t kReadPiece = 1024 * 1024;
constexpr auto kEventInterval = std::chrono::milliseconds(100);
constexpr std::uint32_t kModeRead = 0644;
constexpr std::uint32_t kModeUnread = 0444;  // no owner-write bit: the importer marks it unread
constexpr std::uint64_t kLargestMessage = (std::uint64_t{1} << 31) - 1;
// Read-ahead: enough files, and bytes, to keep a disk busy while a chunk is compressed, few
// enough that the open files and the cache they fill stay small.
constexpr std::size_t kAheadFiles = 64;
constexpr std::uint64_t kAheadBytes = 16 * 1024 * 1024;

}  // namespace

// Writes one volume (the whole plan when there are none) into one gzip member.
class ArchiveWriter::Writer {
 public:
  Writer(ArchiveWriter& owner, platform::OutputFile& out, const Volume& volume)
      : owner_(owner),
        plan_(owner.plan_),
        report_(owner.report_),
        out_(out),
        volume_(volume),
        gzip_(
            owner.options_.level, Threads(owner.options_.threads),
            [this](const char* data, std::size_t size) { out_.Write(data, size); },
            [this] { Events(); }),
        written_(plan_.folders.size(), 0) {
    totalBytes_ = plan_.TotalBytes();
    nextAhead_ = volume.first;
  }

  // Returns the messages written, by plan folder.
  const std::vector<std::uint64_t>& Run() {
    const std::size_t end = volume_.first + volume_.count;
    for (std::size_t i = volume_.first; i < end; ++i) {
      const PlannedMessage& message = plan_.messages[i];
      current_ = plan_.inventory.LabelOf(plan_.Source(message));
      Progress();
      CheckStop();
      WriteMessage(i, message);
      Events();
    }
    gzip_.Write(tar::EndOfArchive());
    gzip_.Finish();
    report_.compressionSeconds += gzip_.CompressionSeconds();
    if (end == plan_.messages.size()) Percent(100, true);
    CheckStop();
    return written_;
  }

 private:
  static int Threads(int wanted) {
    if (wanted > 0) return wanted;
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }

  void CheckStop() {
    if (owner_.cancelled_.load() || platform::TerminationRequested()) throw Stopped();
  }

  void Progress() {
    lastProgress_ = Clock::now();
    if (owner_.progress_ != nullptr) owner_.progress_->Writing(current_);
  }

  void Percent(int percent, bool force) {
    const auto now = Clock::now();
    if (!force && percent == lastPercent_ && now - lastPercentAt_ < kEventInterval) return;
    lastPercent_ = percent;
    lastPercentAt_ = now;
    if (owner_.progress_ != nullptr) owner_.progress_->Percent(percent);
  }

  // Keeps the events coming while a large message is read or the workers are behind.
  void Events() {
    const std::uint64_t done = report_.bytesRead;
    int percent = totalBytes_ == 0 ? 99 : static_cast<int>(done * 100 / totalBytes_);
    percent = std::min(percent, 99);  // 100 only once the archive is complete
    Percent(percent, false);
    if (Clock::now() - lastProgress_ >= kEventInterval) Progress();
    CheckStop();
  }

  void Body(const char* data, std::size_t size) {
    gzip_.Write(data, size);
    report_.bytesRead += size;
    lines_.Add(data, size);
  }

  void LeaveOut(const std::string& why) { report_.leftOut.push_back({current_, why}); }
  void Damaged(const std::string& why) { report_.damaged.push_back({current_, why}); }

  // A message that cannot be opened is left out, unless the whole source has gone.
  void CannotOpen(const std::exception& error) {
    std::string root = plan_.inventory.root;
    if (root.size() > 1 && root.back() == scan::kSeparator) root.pop_back();
    std::string why;
    if (scan::KindAt(root, &why) == scan::EntryKind::kNone) {
      throw std::runtime_error("the source \"" + root + "\" is no longer there (" + why + ")");
    }
    LeaveOut(std::string("could not be read: ") + error.what());
  }

  // The file of message `index`, opened ahead or now (which throws FileError), and the next
  // messages' files asked for.
  std::unique_ptr<platform::InputFile> Open(std::size_t index, bool& hinted) {
    std::unique_ptr<platform::InputFile> file;
    hinted = false;
    if (!ahead_.empty() && ahead_.front().index == index) {
      file = std::move(ahead_.front().file);
      hinted = ahead_.front().hinted;
      bytesAhead_ -= ahead_.front().bytes;
      ahead_.pop_front();
    }
    ReadAhead(index + 1);
    if (!file) file = OpenSource(plan_.Source(plan_.messages[index]));
    return file;
  }

  // A whole file is opened as the walk listed it a moment ago, its size and time not asked
  // again until it has been read (ReadHead); a byte range of a file is opened as it is now.
  std::unique_ptr<platform::InputFile> OpenSource(const mailbox::Message& message) const {
    std::string path = plan_.inventory.PathOf(message);
    if (!message.wholeFile) return std::make_unique<platform::InputFile>(path);
    return std::make_unique<platform::InputFile>(
        path, platform::FileStatus{message.length, message.fallbackTime, true});
  }

  // Opens the files of the messages from `from` on and asks the system for their bytes, so that
  // on a cold disk the reads overlap the compression instead of adding to it (where the cache
  // does not hold them already: read_ahead.h).
  void ReadAhead(std::size_t from) {
    nextAhead_ = std::max(nextAhead_, from);
    while (nextAhead_ < volume_.first + volume_.count && ahead_.size() < kAheadFiles &&
           bytesAhead_ < kAheadBytes) {
      const mailbox::Message& message = plan_.Source(plan_.messages[nextAhead_]);
      if (message.built) {  // nothing to read ahead: the item is made when its turn comes
        ++nextAhead_;
        continue;
      }
      Ahead next{nextAhead_++, nullptr, std::min(message.length, kAheadBytes), false};
      try {
        next.file = OpenSource(message);
        if (aheadPolicy_.Hinting()) {
          const std::uint64_t offset = message.wholeFile ? 0 : message.offset;
          bool hint = true;
          if (aheadPolicy_.ProbeNext()) {
            const bool cached = next.file->CachedAt(offset);
            aheadPolicy_.Observed(cached);
            hint = !cached;
          }
          if (hint) next.file->WillNeed(offset, next.bytes);
          next.hinted = true;
        }
      } catch (const platform::FileError&) {
        // Opened again in its turn, where the failure is reported with the message.
      }
      bytesAhead_ += next.bytes;
      ahead_.push_back(std::move(next));
    }
  }

  void WriteMessage(std::size_t index, const PlannedMessage& planned) {
    const mailbox::Message& message = plan_.Source(planned);
    std::unique_ptr<platform::InputFile> in;
    platform::FileStatus before;
    std::string_view head;
    bool whole = false;
    bool hinted = false;
    bool unchanged = false;  // the status after the read was taken already, and matched
    std::uint64_t size = message.length;
    if (message.built) {
      if (!Make(message, head)) return;
      whole = true;
      size = head.size();
    } else {
      try {
        in = Open(index, hinted);
        // As it was when listed, or opened (a moment ago): a change since then, before or
        // during the read, shows in the status taken after it.
        before = in->OpenedStatus();
        if (!message.wholeFile) in->Seek(message.offset);
        const std::uint64_t expected = message.wholeFile ? before.size : message.length;
        head =
            ReadHead(*in, message, expected, !message.wholeFile, whole, hinted, before, unchanged);
        if (message.wholeFile && !unchanged) {
          const platform::FileStatus now = in->Status();
          if (!now.regular) NotRegular(message);
          if (now.size != before.size || now.modified != before.modified) {
            // Not as listed: changed since, maybe while it was read. Read again from the
            // start, as it is now; only a change during this read is one to report.
            before = now;
            in->Seek(0);
            head = ReadHead(*in, message, before.size, false, whole, true, before, unchanged);
          }
        }
      } catch (const platform::FileError& error) {
        CannotOpen(error);
        return;
      }
    }
    if (message.built) {
      // Made whole a moment ago: its size is what was made.
    } else if (message.wholeFile) {
      // Streamed, the entry keeps the size the file had when opened, unless more than that was
      // read already (the file grew meanwhile): never less than what is about to be written.
      size = whole ? head.size() : std::max<std::uint64_t>(before.size, head.size());
    } else if (head.size() < std::min<std::uint64_t>(message.length, kWholeMessageLimit)) {
      LeaveOut("the file changed after it was read: it now ends before this message does");
      return;
    }
    if (size == 0) {
      LeaveOut("an empty message; Zimbra rejects empty messages");
      return;
    }
    if (size > kLargestMessage) {  // also keeps the size field in range
      LeaveOut("2 GiB or larger; Zimbra cannot take a message this size");
      return;
    }

    const bool mail = message.kind == mailbox::ItemKind::kMail;
    if (message.kind == mailbox::ItemKind::kContact && whole &&
        mailbox::cards::FitForZimbra(head, fitted_)) {
      head = fitted_;
      size = head.size();
    }
    // Zimbra takes neither a date nor a read state from a contact's or a calendar's entry.
    const mailbox::MessageFacts facts = mail
                                            ? mailbox::ReadMessageFacts(head.substr(
                                                  0, std::min(head.size(), mailbox::kHeaderWindow)))
                                            : mailbox::MessageFacts{};
    bool unread = facts.unread;
    if (message.state != mailbox::ReadState::kFromHeaders) {
      unread = message.state == mailbox::ReadState::kUnread;
    }
    const std::int64_t mtime = mailbox::EntryTime(message, facts, before.modified)
                                   .value_or(static_cast<std::int64_t>(std::time(nullptr)));
    if (unread) ++report_.unreadMessages;
    if (!facts.unknownZone.empty()) {
      report_.warnings.push_back({current_, "its Date names the time zone \"" + facts.unknownZone +
                                                "\", which is not known; read as UTC (-0000)"});
    }

    gzip_.Write(
        tar::FileHeader(plan_.EntryName(planned), size, mtime, unread ? kModeUnread : kModeRead));
    lines_.Reset();
    Body(head.data(), head.size());
    if (!whole) StreamRest(*in, size - head.size(), message.wholeFile);
    static constexpr char kZeros[tar::kBlockSize] = {};
    gzip_.Write(kZeros, tar::PaddingFor(size));
    ++report_.messagesWritten;
    written_[planned.folder] += plan_.ItemsIn(planned);
    owner_.lastWritten_.push_back(index);

    if (whole && message.wholeFile && !unchanged) {
      try {
        const platform::FileStatus after = in->Status();
        if (after.size != before.size || after.modified != before.modified) {
          Damaged("changed while it was being read; the archive holds it as it was read");
        }
      } catch (const platform::FileError&) {
      }
    }
    if (lines_.TooLong() && mail) {
      report_.warnings.push_back(
          {current_, "has a line longer than 10,240 bytes; Zimbra rejects such messages"});
    }
  }

  // A whole file is opened as it was listed, a regular file, and not asked then: something put
  // in its place since (a device would give bytes without end) is no message.
  [[noreturn]] void NotRegular(const mailbox::Message& message) const {
    throw platform::FileError(plan_.inventory.PathOf(message), "read", "it is not a regular file");
  }

  // A message made from a store's item, into `head`; false when the item cannot give it.
  bool Make(const mailbox::Message& message, std::string_view& head) {
    try {
      mailbox::Built made = maker_.Make(plan_.inventory.PathOf(message), message);
      for (auto& why : made.warnings) report_.warnings.push_back({current_, std::move(why)});
      made_ = std::move(made.bytes);
    } catch (const mailbox::ItemError& error) {
      LeaveOut(std::string("the store cannot give this item: ") + error.what());
      return false;
    }
    head = made_;
    return true;
  }

  // Reads the message up to kWholeMessageLimit into the writer's buffer, which only grows, so
  // that most messages cost neither an allocation nor clearing; `whole` tells whether that is all
  // of it. The first read asks for the expected size (one more byte shows the end of a whole
  // file); a byte range is read no further than its length. That first read also tells the
  // read-ahead whether the file was in the cache.
  //
  // A whole file read to the size it had `before` (when listed, or opened) is asked its status
  // before another read: when that is still what it was (`unchanged`), those bytes are all of
  // it, as they were before the read began, and the read that would only find the end is
  // spared.
  std::string_view ReadHead(platform::InputFile& in, const mailbox::Message& message,
                            std::uint64_t expected, bool range, bool& whole, bool hinted,
                            const platform::FileStatus& before, bool& unchanged) {
    const std::uint64_t limit =
        range ? std::min<std::uint64_t>(expected, kWholeMessageLimit) : kWholeMessageLimit;
    std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(expected + (range ? 0 : 1), limit));
    if (head_.size() < want) head_.resize(want);
    std::size_t have = 0;
    whole = false;
    unchanged = false;
    bool asked = false;
    for (;;) {
      if (!range && !asked && have >= expected && have > 0) {
        asked = true;
        const platform::FileStatus now = in.Status();
        if (!now.regular) NotRegular(message);
        if (now.size == before.size && now.modified == before.modified && now.size == have) {
          whole = unchanged = true;
          break;
        }
      }
      if (have == want) {
        if (want >= limit) break;
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want * 2, limit));
        if (head_.size() < want) head_.resize(want);
      }
      const std::size_t size = std::min(kReadPiece, want - have);
      std::optional<std::size_t> cached;
      if (have == 0) {
        cached = in.ReadIfCached(head_.data(), size);
        // A file hinted or probed says nothing: its own hint may have brought it in.
        if (!hinted) aheadPolicy_.Observed(cached.has_value());
      }
      const std::size_t n = cached ? *cached : in.Read(head_.data() + have, size);
      if (n == 0) {
        whole = !range;
        break;
      }
      have += n;
      if (have >= kReadPiece) Events();
    }
    if (range) whole = have == expected;
    return {head_.data(), have};
  }

  // The rest of a large message, exactly `remaining` bytes as its header promised: a message
  // that shrinks meanwhile is padded with line breaks, one that grows is cut, and both are
  // reported as damaged, so the archive stays readable whatever happens to the file.
  void StreamRest(platform::InputFile& in, std::uint64_t remaining, bool wholeFile) {
    std::string piece(kReadPiece, '\0');
    const std::uint64_t promised = remaining;
    while (remaining > 0) {
      std::size_t n = 0;
      try {
        n = in.Read(piece.data(),
                    static_cast<std::size_t>(std::min<std::uint64_t>(kReadPiece, remaining)));
      } catch (const platform::FileError& error) {
        Damaged(std::string("could not be read to its end (") + error.what() +
                "); the rest of the archived copy is " + std::to_string(remaining) +
                " blank lines");
        Pad(remaining);
        return;
      }
      if (n == 0) {
        Damaged("shrank while it was being read; the archived copy ends in " +
                std::to_string(remaining) + " blank lines");
        Pad(remaining);
        return;
      }
      Body(piece.data(), n);
      remaining -= n;
      Events();
    }
    char extra = 0;
    try {
      // A byte range ends where the next message begins: only a whole file can grow.
      if (wholeFile && in.Read(&extra, 1) != 0) {
        Damaged("grew while it was being read; the archive holds its first " +
                std::to_string(promised) + " bytes after the first read");
      }
    } catch (const platform::FileError&) {
    }
  }

  void Pad(std::uint64_t remaining) {
    const std::string blank(
        static_cast<std::size_t>(std::min<std::uint64_t>(kReadPiece, remaining)), '\n');
    while (remaining > 0) {
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(blank.size(), remaining));
      Body(blank.data(), take);
      remaining -= take;
    }
  }

  ArchiveWriter& owner_;
  const archive::Plan& plan_;
  ArchiveReport& report_;
  platform::OutputFile& out_;
  const Volume& volume_;
  GzipWriter gzip_;
  std::vector<std::uint64_t> written_;  // messages written, by plan folder
  std::uint64_t totalBytes_ = 0;
  std::string current_;
  Clock::time_point lastProgress_{};
  Clock::time_point lastPercentAt_{};
  int lastPercent_ = -1;
  LineMeter lines_;
  std::string head_;  // ReadHead's buffer
  mailbox::ItemMaker maker_;
  std::string made_;    // the message made last
  std::string fitted_;  // the card written last, made fit for Zimbra
  struct Ahead {
    std::size_t index;
    std::unique_ptr<platform::InputFile> file;  // none when it could not be opened ahead
    std::uint64_t bytes;
    bool hinted;  // opened while hinting: its bytes asked for, or found in the cache
  };
  ReadAheadPolicy aheadPolicy_;
  std::deque<Ahead> ahead_;
  std::size_t nextAhead_ = 0;
  std::uint64_t bytesAhead_ = 0;
};

ArchiveWriter::ArchiveWriter(PackOptions options, ArchiveProgress* progress)
    : options_(std::move(options)), progress_(progress) {}
ArchiveWriter::~ArchiveWriter() = default;

void ArchiveWriter::Read(const std::string& source) {
  plan_ = {};
  report_ = {};
  cancelled_.store(false);
  mailbox::ReadOptions options = options_.read;
  auto lastEvent = Clock::time_point{};
  options.tick = [&](const std::string& where, std::size_t messages) {
    // Events while the store is read too: a network share can take long to list.
    if (Clock::now() - lastEvent >= kEventInterval) {
      lastEvent = Clock::now();
      if (progress_ != nullptr) progress_->Listing(where, messages);
    }
    if (cancelled_.load() || platform::TerminationRequested()) throw Stopped();
  };
  plan_ = MakePlan(mailbox::ReadSource(source, options, options_.format),
                   [&] { options.tick(plan_.inventory.root, plan_.inventory.messages.size()); });
  if (options_.volumeSize == 0) KeepOneCalendar(plan_);
  volumes_ = PlanVolumes(plan_, options_.volumeSize);
  ResetReport();
}

std::size_t ArchiveWriter::DropMessages(const std::function<bool(const PlannedMessage&)>& drop) {
  const std::size_t before = plan_.messages.size();
  std::erase_if(plan_.messages, drop);
  volumes_ = PlanVolumes(plan_, options_.volumeSize);
  return before - plan_.messages.size();
}

void ArchiveWriter::ResetReport() {
  report_ = {};
  written_.assign(plan_.folders.size(), 0);
  report_.leftOut = plan_.leftOut;
  report_.notMail = plan_.inventory.notMail;
  report_.passedOver = plan_.inventory.passedOver;
  report_.repaired = plan_.repaired;
  report_.warnings = plan_.inventory.warnings;
  report_.notes = plan_.inventory.notes;
}

void ArchiveWriter::WriteOne(std::size_t index, platform::OutputFile& out,
                             const std::string& name) {
  lastWritten_.clear();
  std::vector<std::uint64_t> counts;
  {
    Writer writer(*this, out, volumes_[index]);
    counts = writer.Run();
  }
  FolderTally volume;
  FolderTally all;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    written_[i] += counts[i];
    const char* unit = UnitOf(plan_.folderKinds[i]);
    if (counts[i] > 0) volume.Add(plan_.folders[i], counts[i], unit);
    if (written_[i] > 0) all.Add(plan_.folders[i], written_[i], unit);
  }
  report_.folders = all.Rows();
  if (options_.volumeSize > 0) {
    VolumeSummary summary{name, 0, volume.Rows()};
    for (const auto count : counts) summary.messages += count;
    report_.volumes.push_back(std::move(summary));
  }
}

void ArchiveWriter::Write(const std::string& path) {
  ResetReport();  // what an earlier write found is its own
  cancelled_.store(false);
  if (plan_.messages.empty()) {
    throw std::runtime_error(plan_.inventory.root.empty()
                                 ? "no mail store was read"
                                 : "there are no messages to archive in \"" + plan_.inventory.root +
                                       "\"");
  }
  std::vector<std::unique_ptr<platform::OutputFile>> outs;
  const auto open = [&](const std::string& name) {
    try {
      outs.push_back(outputFactory_ ? outputFactory_(name) : platform::CreateAtomicOutput(name));
    } catch (const platform::FileError& error) {
      throw OutputError(error.what());
    }
  };
  const auto name = [&](std::size_t i) {
    return options_.volumeSize > 0 ? VolumePath(path, i, volumes_.size()) : path;
  };
  open(name(0));  // raises OutputError: nothing is read when the archive cannot be made
  try {
    for (std::size_t i = 0; i < volumes_.size(); ++i) {
      if (i > 0) open(name(i));
      WriteOne(i, *outs.back(), name(i));
      if (lastWritten_.empty() && options_.volumeSize > 0) {
        // None of the volume's messages could be read: an archive of nothing is no volume.
        outs.back()->Discard();
        outs.pop_back();
        report_.volumes.pop_back();
        continue;
      }
      // Set aside complete and closed: however many volumes there are, one file is open.
      outs.back()->Prepare();
    }
    if (report_.messagesWritten == 0)
      throw std::runtime_error("none of the messages could be read");
    // Only now is anything put in place; until here what was there is untouched.
    for (auto& out : outs) out->Commit();
  } catch (...) {
    for (auto& out : outs) out->Discard();
    throw;
  }
}

void ArchiveWriter::WriteVolume(std::size_t index, platform::OutputFile& out,
                                const std::string& name) {
  if (index == 0) ResetReport();
  cancelled_.store(false);
  if (index >= volumes_.size() || plan_.messages.empty()) {
    throw std::runtime_error("there is no volume " + std::to_string(index + 1) + " to write");
  }
  WriteOne(index, out, name);
}

}  // namespace crateline::archive
