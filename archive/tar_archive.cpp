// WriteCompressedArchive: streams the planned messages through the tar framing into one
// parallel gzip member, raising the listener's events on the calling thread as it goes.
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

#include "archive/archive.h"
#include "archive/message_headers.h"
#include "archive/tar_format.h"
#include "platform/platform.h"
#include "scan/search.h"
#include "util/utf8_path.h"

namespace crateline::archive {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWholeMessageLimit = 64 * 1024 * 1024;  // read at once: an exact snapshot
constexpr std::size_t kReadPiece = 1024 * 1024;
constexpr std::size_t kHeaderWindow = 256 * 1024;  // where a message's headers are looked for
constexpr std::size_t kLongestLine = 10240;        // the importer rejects longer lines
constexpr auto kEventInterval = std::chrono::milliseconds(100);
constexpr std::uint32_t kModeRead = 0644;
constexpr std::uint32_t kModeUnread = 0444;  // no owner-write bit: the importer marks it unread
constexpr const char* kEventName = "Reading";

struct Stopped {};  // the run was stopped through `abort` or Cancel()

bool UsableTime(std::int64_t t) {
  return t > 0 && t <= tar::kMaxMtime;
}

}  // namespace

class TarArchive::Writer {
 public:
  Writer(TarArchive& owner, platform::OutputFile& out)
      : owner_(owner),
        out_(out),
        gzip_(
            owner.level_, Threads(owner.threads_),
            [this](const char* data, std::size_t size) { out_.Write(data, size); },
            [this] { Events(); }) {
    for (const auto& message : owner_.plan_) totalBytes_ += message.size;
  }

  void Run() {
    for (const auto& message : owner_.plan_) {
      current_ = message.sourcePath;
      Progress();
      CheckStop();
      WriteMessage(message);
      Events();
    }
    gzip_.Write(tar::EndOfArchive());
    gzip_.Finish();
    if (owner_.report_.messagesWritten == 0) {
      throw std::runtime_error("none of the messages could be read");
    }
    Percent(100, true);
    CheckStop();
  }

 private:
  static int Threads(int wanted) {
    if (wanted > 0) return wanted;
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }

  void CheckStop() {
    if (owner_.cancelled_.load()) throw Stopped{};
  }

  void Progress() {
    lastProgress_ = Clock::now();
    if (owner_.listener_ != nullptr) owner_.listener_->ProgressInfo(kEventName, current_);
  }

  void Percent(int percent, bool force) {
    const auto now = Clock::now();
    if (!force && percent == lastPercent_ && now - lastPercentAt_ < kEventInterval) return;
    lastPercent_ = percent;
    lastPercentAt_ = now;
    bool abort = false;
    if (owner_.listener_ != nullptr) owner_.listener_->PercentDone(percent, abort);
    if (abort) owner_.cancelled_.store(true);
  }

  // Keeps the events coming while a large message is read or the workers are behind.
  void Events() {
    const std::uint64_t done = owner_.report_.bytesRead;
    int percent = totalBytes_ == 0 ? 99 : static_cast<int>(done * 100 / totalBytes_);
    percent = std::min(percent, 99);  // 100 only once the archive is complete
    Percent(percent, false);
    if (Clock::now() - lastProgress_ >= kEventInterval) Progress();
    CheckStop();
  }

  void Body(const char* data, std::size_t size) {
    gzip_.Write(data, size);
    owner_.report_.bytesRead += size;
    // Track the longest line (without its CR LF) as the data passes.
    const char* end = data + size;
    for (const char* p = data; p < end;) {
      const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      if (newline == nullptr) {
        lineLength_ += static_cast<std::size_t>(end - p);
        lastByte_ = end[-1];
        break;
      }
      const auto* at = static_cast<const char*>(newline);
      lineLength_ += static_cast<std::size_t>(at - p);
      const char before = at > p ? at[-1] : lastByte_;
      if (before == '\r' && lineLength_ > 0) --lineLength_;
      longestLine_ = std::max(longestLine_, lineLength_);
      lineLength_ = 0;
      lastByte_ = '\n';
      p = at + 1;
    }
    longestLine_ = std::max(longestLine_, lineLength_);
  }

  void LeaveOut(const std::string& path, const std::string& why) {
    owner_.report_.leftOut.push_back({path, why});
  }
  void Warn(const std::string& path, const std::string& why) {
    owner_.report_.warnings.push_back({path, why});
  }

  // A message that cannot be opened is left out, unless the whole source folder has gone.
  void CannotOpen(const PlannedMessage& message, const std::exception& error) {
    std::string root = owner_.sourceRoot_;
    if (root.size() > 1) root.pop_back();
    if (scan::GetEntryAttributes(root) == platform::kInvalidFileAttributes) {
      throw std::runtime_error("the source folder \"" + root + "\" is no longer there (" +
                               platform::GetApiErrorText(platform::LastApiError) + ")");
    }
    LeaveOut(message.sourcePath, std::string("could not be read: ") + error.what());
  }

  void WriteMessage(const PlannedMessage& message) {
    std::unique_ptr<platform::InputFile> in;
    platform::FileStatus before;
    std::string head;
    bool whole = false;
    try {
      in = std::make_unique<platform::InputFile>(message.sourcePath);
      before = in->Status();
      head = ReadHead(*in, before.size, whole);
    } catch (const platform::FileError& error) {
      CannotOpen(message, error);
      return;
    }
    // Streamed, the entry keeps the size the file had when opened, unless more than that was
    // read already (the file grew meanwhile): never less than what is about to be written.
    const std::uint64_t size =
        whole ? head.size() : std::max<std::uint64_t>(before.size, head.size());
    if (size == 0) {
      LeaveOut(message.sourcePath, "an empty message; Zimbra rejects empty messages");
      return;
    }
    if (size >= (std::uint64_t{1} << 31)) {  // also keeps the size field in range
      LeaveOut(message.sourcePath, "2 GiB or larger; Zimbra cannot take a message this size");
      return;
    }

    const MessageFacts facts =
        ReadMessageFacts(std::string_view(head).substr(0, std::min(head.size(), kHeaderWindow)));
    std::int64_t mtime = facts.date.value_or(0);
    if (!UsableTime(mtime)) mtime = facts.received.value_or(0);
    if (!UsableTime(mtime)) mtime = before.modified;
    if (!UsableTime(mtime)) mtime = message.fileTime;
    if (!UsableTime(mtime)) mtime = static_cast<std::int64_t>(std::time(nullptr));
    if (facts.unread) ++owner_.report_.unreadMessages;

    gzip_.Write(
        tar::FileHeader(message.entryName, size, mtime, facts.unread ? kModeUnread : kModeRead));
    lineLength_ = longestLine_ = 0;
    lastByte_ = '\n';
    Body(head.data(), head.size());
    if (!whole) StreamRest(*in, message, size - head.size());
    gzip_.Write(std::string(tar::PaddingFor(size), '\0'));
    ++owner_.report_.messagesWritten;

    if (whole) {
      try {
        const platform::FileStatus after = in->Status();
        if (after.size != before.size || after.modified != before.modified) {
          Warn(message.sourcePath, "changed while it was being read; the archive holds it as read");
        }
      } catch (const platform::FileError&) {
      }
    }
    if (longestLine_ > kLongestLine) {
      Warn(message.sourcePath, "has a line longer than 10,240 bytes; Zimbra rejects such messages");
    }
  }

  // Reads the message up to kWholeMessageLimit; `whole` tells whether that reached its end.
  // The buffer starts at the size the file had when opened (one more byte shows the end).
  std::string ReadHead(platform::InputFile& in, std::uint64_t expected, bool& whole) {
    std::string data(
        static_cast<std::size_t>(std::min<std::uint64_t>(expected + 1, kWholeMessageLimit)), '\0');
    std::size_t have = 0;
    whole = false;
    for (;;) {
      if (have == data.size()) {
        if (data.size() >= kWholeMessageLimit) break;
        data.resize(std::min(data.size() * 2, kWholeMessageLimit));
      }
      const std::size_t n = in.Read(data.data() + have, std::min(kReadPiece, data.size() - have));
      if (n == 0) {
        whole = true;
        break;
      }
      have += n;
      if (have >= kReadPiece) Events();
    }
    data.resize(have);
    return data;
  }

  // The rest of a large message, exactly `remaining` bytes as its header promised: a message
  // that shrinks meanwhile is padded with line breaks, one that grows is cut, and both are
  // reported, so the archive stays readable whatever happens to the file.
  void StreamRest(platform::InputFile& in, const PlannedMessage& message, std::uint64_t remaining) {
    std::string piece(kReadPiece, '\0');
    const std::uint64_t promised = remaining;
    while (remaining > 0) {
      std::size_t n = 0;
      try {
        n = in.Read(piece.data(),
                    static_cast<std::size_t>(std::min<std::uint64_t>(kReadPiece, remaining)));
      } catch (const platform::FileError& error) {
        Warn(message.sourcePath, std::string("could not be read to its end (") + error.what() +
                                     "); the rest of the archived copy is blank lines");
        n = 0;
      }
      if (n == 0) {
        if (owner_.report_.warnings.empty() ||
            owner_.report_.warnings.back().path != message.sourcePath) {
          Warn(message.sourcePath, "shrank while it was being read; the archived copy ends in " +
                                       std::to_string(remaining) + " blank lines");
        }
        const std::string blank(
            static_cast<std::size_t>(std::min<std::uint64_t>(kReadPiece, remaining)), '\n');
        while (remaining > 0) {
          const auto take =
              static_cast<std::size_t>(std::min<std::uint64_t>(blank.size(), remaining));
          Body(blank.data(), take);
          remaining -= take;
        }
        return;
      }
      Body(piece.data(), n);
      remaining -= n;
      Events();
    }
    char extra = 0;
    try {
      if (in.Read(&extra, 1) != 0) {
        Warn(message.sourcePath, "grew while it was being read; the archive holds its first " +
                                     std::to_string(promised) + " bytes after the first read");
      }
    } catch (const platform::FileError&) {
    }
  }

  TarArchive& owner_;
  platform::OutputFile& out_;
  GzipWriter gzip_;
  std::uint64_t totalBytes_ = 0;
  std::string current_;
  Clock::time_point lastProgress_{};
  Clock::time_point lastPercentAt_{};
  int lastPercent_ = -1;
  std::size_t lineLength_ = 0;
  std::size_t longestLine_ = 0;
  char lastByte_ = '\n';
};

std::int32_t TarArchive::WriteCompressedArchive(const std::string& path) {
  lastError_.clear();
  report_.warnings.clear();
  report_.leftOut.resize(inventoryLeftOut_);  // what an earlier write left out is its own
  report_.messagesWritten = report_.bytesRead = report_.unreadMessages = 0;
  cancelled_.store(false);
  if (plan_.empty()) {
    lastError_ = sourceRoot_.empty()
                     ? "no folder was added to the archive"
                     : "there are no messages to archive in \"" + sourceRoot_ + "\"";
    return 0;
  }
  std::unique_ptr<platform::OutputFile> out;
  try {
    out = outputFactory_ ? outputFactory_(path) : platform::CreateAtomicOutput(path);
    {
      Writer writer(*this, *out);
      writer.Run();
    }
    out->Commit();
    return 1;
  } catch (const Stopped&) {
    lastError_ = "the conversion was stopped; no archive was written";
  } catch (const std::exception& e) {
    lastError_ = e.what();
  }
  if (out) out->Discard();
  report_.leftOut.resize(inventoryLeftOut_);  // what the failed run left out is moot
  return 0;
}

std::string FormatReport(const ArchiveReport& report) {
  std::string text;
  const auto section = [&](const char* title, const std::vector<ReportLine>& lines) {
    if (lines.empty()) return;
    text += std::string(title) + " (" + std::to_string(lines.size()) + "):\n";
    for (const auto& line : lines) text += "  " + line.path + "\n      " + line.text + "\n";
  };
  section("Left out", report.leftOut);
  section("Repaired", report.repaired);
  section("Warnings", report.warnings);
  return text;
}

std::string WriteReportBeside(const std::string& archivePath, const std::string& sourceFolder,
                              const ArchiveReport& report) {
  const std::string stem = archivePath.size() > 4 && archivePath.ends_with(".tgz")
                               ? archivePath.substr(0, archivePath.size() - 4)
                               : archivePath;
  const std::string path = stem + ".report.txt";
  std::ofstream file(util::PathFromUtf8(path), std::ios::binary);
  file << "Crateline report for \"" << archivePath << "\" (source \"" << sourceFolder << "\")\n\n"
       << FormatReport(report);
  file.close();
  return file ? path : std::string();
}

}  // namespace crateline::archive
