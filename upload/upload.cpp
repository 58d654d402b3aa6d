#include "upload/upload.h"

#include <ctime>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "archive/verify.h"
#include "platform/file_io.h"
#include "platform/termination.h"
#include "upload/byte_pipe.h"
#include "upload/journal.h"
#include "util/utf8_path.h"

namespace crateline::upload {
namespace {

std::string NowUtc() {
  const std::time_t now = std::time(nullptr);
  char text[32] = "";
  if (const std::tm* utc = std::gmtime(&now))
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
  return text;
}

std::string FileName(const std::string& path) {
  return util::Utf8FromPath(util::PathFromUtf8(path).filename());
}

std::string Bytes(std::uint64_t n) {
  return std::to_string(n) + " bytes";
}

// What became of a volume, from how far its request got and what the server answered.
void Judge(const Response& response, const std::string& makingFailed, VolumeResult& result) {
  result.bytesSent = response.bytesSent;
  result.serverSeconds = response.secondsAfterBody;
  const bool nothingSent = response.bytesSent == 0 && !response.bodySent;
  // An answer counts first: a verdict that came just before Ctrl-C is still the verdict.
  if (response.status == 0 && (response.stopped || platform::TerminationRequested())) {
    result.outcome = nothingSent ? Outcome::kRefused : Outcome::kUnknown;
    result.why = nothingSent ? "stopped before anything was sent"
                             : "stopped after " + Bytes(response.bytesSent) + " were sent";
    return;
  }
  if (response.status == 0) {
    if (response.readerFailed) {
      result.outcome = nothingSent ? Outcome::kRefused : Outcome::kUnknown;
      result.why =
          "the volume could not be made: " + (makingFailed.empty() ? response.error : makingFailed);
    } else if (nothingSent) {
      result.outcome = Outcome::kRefused;
      result.why = "nothing could be sent: " + response.error;
    } else if (response.timedOut) {
      result.outcome = Outcome::kUnknown;
      result.why =
          "no verdict came within the time allowed after the last byte; the import may "
          "still be running";
    } else {
      result.outcome = Outcome::kUnknown;
      result.why = "the connection broke after " + Bytes(response.bytesSent) +
                   (response.bodySent ? " (all of it)" : "") + ": " + response.error;
    }
    return;
  }
  const std::string status = "HTTP " + std::to_string(response.status);
  if (response.status == 200) {
    const Verdict verdict = ParseCallbackPage(response.body, kCallback);
    result.verdict = verdict.result;
    result.faults = verdict.faults;
    if (verdict.found && (verdict.result == "success" || verdict.result == "warn")) {
      result.outcome = Outcome::kAccepted;
    } else if (verdict.found) {
      result.outcome = Outcome::kUnknown;
      result.why = "the server's import failed (" + verdict.result + ")" +
                   (verdict.faults.empty() ? "" : ": " + verdict.faults.front().message) +
                   "; what it added before is kept";
    } else {
      result.outcome = Outcome::kUnknown;
      result.why = "the server answered " + status +
                   " without a verdict (a page from something between us and it?)";
    }
    return;
  }
  // Statuses that say nothing was imported (the login, the address, the size) and those after
  // which what was imported is not known.
  static const struct {
    long status;
    Outcome outcome;
    const char* why;
  } kStatuses[] = {
      {400, Outcome::kRefused, ": the server did not understand the request"},
      {401, Outcome::kRefused, ": the server did not accept the login for this mailbox"},
      {403, Outcome::kRefused, ": the server did not accept the login for this mailbox"},
      {404, Outcome::kRefused, ": the server has no such mailbox or folder"},
      {413, Outcome::kRefused,
       ": the volume is too large for the server; use a smaller --volume-size"},
      {502, Outcome::kUnknown, " from a gateway: the server may still be importing the volume"},
      {503, Outcome::kUnknown, " from a gateway: the server may still be importing the volume"},
      {504, Outcome::kUnknown, " from a gateway: the server may still be importing the volume"},
  };
  result.outcome = Outcome::kUnknown;
  result.why = status + " from the server: what it imported of the volume is not known";
  if (response.status >= 300 && response.status < 400) {
    // A redirect takes nothing in: the request went to the wrong address.
    result.outcome = Outcome::kRefused;
    result.why = status +
                 ": the server sent the request elsewhere; give --url the address it "
                 "names (https, the host name the server knows itself by)";
  }
  for (const auto& known : kStatuses) {
    if (known.status == response.status) {
      result.outcome = known.outcome;
      result.why = status + known.why;
    }
  }
}

class Uploader {
 public:
  Uploader(const UploadOptions& options, UploadListener& listener, const std::string& source)
      : options_(options),
        listener_(listener),
        http_(options.tls),
        journal_(Journal::PathFor(source)),
        entries_(journal_.Entries(
            UploadKey(source, options.url, options.credentials.user, options.subfolder))) {
    result_.journal = journal_.Path();
  }

  UploadResult SendFiles(const std::vector<std::string>& files) {
    CheckJournal();
    LogIn();
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < files.size(); ++i) {
      const platform::FileStatus status = platform::InputFile(files[i]).Status();
      const JournalEntry* known = FindFile(archive::SafeText(FileName(files[i])), status);
      if (known != nullptr && (known->state == VolumeState::kAccepted || !options_.resendUnknown)) {
        Skip(i + 1, files.size(), FileName(files[i]), known->state);
        continue;
      }
      pending.push_back(i);
    }
    for (std::size_t i : pending) {
      if (!Going()) break;
      const std::string name = FileName(files[i]);
      const archive::VerifyResult check = archive::VerifyArchive(files[i]);
      if (!check.Ok()) {
        result_.error = "\"" + name + "\" is not an archive Zimbra imports whole (" +
                        check.problems.front() + "); run crateline-cli verify on it";
        break;
      }
      platform::InputFile in(files[i]);
      const platform::FileStatus status = in.Status();
      listener_.VolumeStarting(i, files.size(), name, status.size);
      Request request = ImportRequest();
      request.reader = [&](char* buffer, std::size_t size) { return in.Read(buffer, size); };
      request.length = static_cast<std::int64_t>(status.size);
      VolumeResult volume;
      volume.number = i + 1;
      volume.count = files.size();
      volume.name = name;
      volume.messages = check.messages;
      Judge(Post(request), "", volume);
      JournalEntry entry = Entry(volume);
      entry.file = archive::SafeText(name);  // JSON holds UTF-8 only; a name need not be
      entry.size = status.size;
      entry.modified = status.modified;
      Finish(volume, std::move(entry), {});
    }
    return std::move(result_);
  }

  UploadResult SendStore(const std::string& store) {
    archive::TarArchive tar;
    tar.SetCompressionLevel(options_.level);
    tar.SetThreads(options_.threads);
    tar.SetSourceFormat(options_.format);
    tar.SetReadOptions(options_.read);
    tar.SetVolumeSize(options_.volumeSize > 0 ? options_.volumeSize : kDefaultVolumeSize);
    if (tar.AddDirectoryTree(store) != 1) throw std::invalid_argument(tar.LastError());
    CheckJournal();
    LogIn();  // after the store is read: a source that cannot be sent needs no login
    const archive::Plan& plan = tar.Plan();
    // What the journal holds as sent is not sent again.
    std::set<std::pair<std::string, std::uint64_t>> accepted, unknown;
    for (const auto& entry : entries_) {
      auto& into = entry.state == VolumeState::kAccepted ? accepted : unknown;
      into.insert(entry.messages.begin(), entry.messages.end());
    }
    // An unknown volume sent again and accepted since is settled.
    for (const auto& entry : entries_) {
      if (entry.state != VolumeState::kUnknown || options_.resendUnknown) continue;
      for (const auto& message : entry.messages) {
        if (accepted.count(message) == 0) {
          ++result_.unknownHeldBack;
          break;
        }
      }
    }
    tar.DropMessages([&](const archive::PlannedMessage& message) {
      const std::pair<std::string, std::uint64_t> key{plan.EntryName(message),
                                                      plan.Source(message).length};
      if (accepted.count(key) != 0) {
        ++result_.messagesSentBefore;
        return true;
      }
      return !options_.resendUnknown && unknown.count(key) != 0;
    });
    const auto& volumes = tar.Volumes();
    if (plan.messages.empty()) {
      result_.packing = tar.Report();
      return std::move(result_);
    }
    for (std::size_t i = 0; i < volumes.size() && Going(); ++i) {
      const std::string name =
          "volume " + std::to_string(i + 1) + " of " + std::to_string(volumes.size());
      listener_.VolumeStarting(i, volumes.size(), name, 0);
      BytePipe pipe;
      std::string makingFailed;
      std::thread maker([&] {
        if (tar.WriteVolume(i, pipe, name) == 1) {
          pipe.Commit();
        } else {
          makingFailed = tar.LastError();
          pipe.Discard();
        }
      });
      // However the request ends (even by an exception), the maker is let go and waited for:
      // with the reader gone, its next write fails and it stops.
      Response response;
      {
        struct Release {
          BytePipe& pipe;
          std::thread& maker;
          ~Release() {
            pipe.CloseReader();
            maker.join();
          }
        } release{pipe, maker};
        Request request = ImportRequest();
        request.reader = [&](char* buffer, std::size_t size) { return pipe.Read(buffer, size); };
        response = Post(request);
      }
      VolumeResult volume;
      volume.number = i + 1;
      volume.count = volumes.size();
      volume.name = name;
      volume.messages = volumes[i].count;
      Judge(response, makingFailed, volume);
      JournalEntry entry = Entry(volume);
      std::map<std::string, std::string> sources;  // entry name → the message's own name
      // Only what went in: a message left out (unreadable, say) is sent when it can be.
      for (const std::size_t m : tar.LastVolumeWritten()) {
        const archive::PlannedMessage& message = plan.messages[m];
        entry.messages.emplace_back(plan.EntryName(message), plan.Source(message).length);
        sources[plan.EntryName(message)] = plan.inventory.LabelOf(plan.Source(message));
      }
      Finish(volume, std::move(entry), sources);
    }
    result_.packing = tar.Report();
    return std::move(result_);
  }

 private:
  // Nothing goes before the journal is known to be writable: a volume the server took that
  // the journal does not record would be sent again next time.
  void CheckJournal() {
    try {
      journal_.Save();
    } catch (const std::exception& e) {
      throw std::invalid_argument(std::string("the upload journal cannot be written (") + e.what() +
                                  "); without it, running the upload again would send everything "
                                  "again");
    }
  }

  void LogIn() { session_ = Login(http_, options_.url, options_.credentials); }

  bool Going() {
    if (platform::TerminationRequested()) result_.stopped = true;
    return result_.error.empty() && !result_.stopped;
  }

  Request ImportRequest() const {
    Request request;
    request.url = ImportUrl(options_.url, options_.credentials.user, options_.subfolder);
    request.headers = {"Content-Type: application/x-compressed-tar"};
    request.cookie = session_.cookie;
    request.basicUser = session_.basicUser;
    request.basicPassword = session_.basicPassword;
    request.answerTimeout = options_.answerTimeout;
    return request;
  }

  Response Post(const Request& request) {
    return http_.Post(request, [&](std::uint64_t sent) {
      listener_.Sent(sent);
      return true;
    });
  }

  // What the journal says of a file: accepted, if it was ever; else unknown; else nothing.
  const JournalEntry* FindFile(const std::string& name, const platform::FileStatus& status) {
    const JournalEntry* found = nullptr;
    for (const auto& entry : entries_) {
      if (entry.file == name && entry.size == status.size && entry.modified == status.modified &&
          (found == nullptr || entry.state == VolumeState::kAccepted)) {
        found = &entry;
      }
    }
    return found;
  }

  void Skip(std::size_t number, std::size_t count, const std::string& name, VolumeState state) {
    VolumeResult volume;
    volume.number = number;
    volume.count = count;
    volume.name = name;
    volume.outcome = Outcome::kSkipped;
    if (state == VolumeState::kUnknown) {
      volume.outcome = Outcome::kUnknown;
      volume.why =
          "held back: an earlier upload of it ended without a verdict (see the journal); "
          "check the mailbox, then add --resend-unknown to send it again";
      ++result_.unknownHeldBack;
    }
    result_.volumes.push_back(volume);
    listener_.VolumeDone(volume);
  }

  static JournalEntry Entry(const VolumeResult& volume) {
    JournalEntry entry;
    entry.name = volume.name;
    entry.state =
        volume.outcome == Outcome::kAccepted ? VolumeState::kAccepted : VolumeState::kUnknown;
    entry.when = NowUtc();
    entry.why = volume.why;
    entry.faults = volume.faults.size();
    return entry;
  }

  // Records the volume: in the journal unless it was refused (nothing of it was imported, so
  // it goes again next time), and its faults as report lines.
  void Finish(const VolumeResult& volume, JournalEntry entry,
              const std::map<std::string, std::string>& sources) {
    if (volume.outcome != Outcome::kRefused) {
      entries_.push_back(std::move(entry));
      try {
        journal_.Save();
      } catch (const std::exception& e) {
        result_.error = std::string("the upload journal could not be written: ") + e.what();
      }
    }
    for (const auto& fault : volume.faults) {
      const std::string code = fault.code.empty() ? "" : fault.code + ": ";
      if (fault.path.empty()) {
        result_.notImported.push_back(
            {volume.name,
             "the server reported, for no entry in particular: " + code + fault.message});
        continue;
      }
      const auto it = sources.find(fault.path);
      result_.notImported.push_back(
          {it != sources.end() ? it->second : volume.name + ": " + fault.path,
           "the server did not import it: " + code + fault.message});
    }
    if (volume.outcome == Outcome::kRefused || volume.outcome == Outcome::kUnknown) {
      if (result_.error.empty()) result_.error = volume.name + ": " + volume.why;
    }
    if (platform::TerminationRequested()) result_.stopped = true;
    result_.volumes.push_back(volume);
    listener_.VolumeDone(volume);
  }

  const UploadOptions& options_;
  UploadListener& listener_;
  HttpClient http_;
  Journal journal_;
  std::vector<JournalEntry>& entries_;
  Session session_;
  UploadResult result_;
};

bool IsArchiveFile(const std::string& path) {
  std::error_code error;
  return path.ends_with(".tgz") &&
         std::filesystem::is_regular_file(util::PathFromUtf8(path), error);
}

}  // namespace

bool UploadResult::Complete() const {
  for (const auto& volume : volumes) {
    if (volume.outcome != Outcome::kAccepted && volume.outcome != Outcome::kSkipped) return false;
  }
  return error.empty() && !stopped && notImported.empty() && packing.Complete() &&
         unknownHeldBack == 0;
}

UploadResult Upload(const std::vector<std::string>& sources, const UploadOptions& options,
                    UploadListener& listener) {
  if (sources.empty()) throw std::invalid_argument("nothing to upload");
  std::size_t archives = 0;
  for (const auto& source : sources) archives += IsArchiveFile(source) ? 1 : 0;
  if (archives != 0 && archives != sources.size()) {
    throw std::invalid_argument(
        "give either .tgz archives (an archive, or the volumes of one) or one mail store");
  }
  if (archives == 0 && sources.size() > 1) {
    throw std::invalid_argument("give one mail store at a time");
  }
  for (const auto& source : sources) {
    std::error_code error;
    if (!std::filesystem::exists(util::PathFromUtf8(source), error)) {
      throw std::invalid_argument("\"" + source + "\" does not exist");
    }
  }
  // A set's journal is kept under the set's name, so that its volumes share one upload.
  const std::string key = archives > 0 ? archive::SetPathOf(sources.front()) : sources.front();
  Uploader uploader(options, listener, key);
  return archives > 0 ? uploader.SendFiles(sources) : uploader.SendStore(sources.front());
}

}  // namespace crateline::upload
