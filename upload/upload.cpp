#include "upload/upload.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "archive/fingerprint.h"
#include "archive/verify.h"
#include "mailbox/made.h"
#include "platform/file_io.h"
#include "platform/termination.h"
#include "upload/byte_pipe.h"
#include "upload/journal.h"
#include "util/utf8_path.h"

namespace crateline::upload {
namespace {

constexpr std::size_t kReadPiece = 1 << 20;

std::string NowUtc() {
  const std::time_t now = std::time(nullptr);
  char text[32] = "";
  if (const std::tm* utc = std::gmtime(&now))
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
  return text;
}

std::string FileName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\')) {
    trimmed.pop_back();
  }
  return util::Utf8FromPath(util::PathFromUtf8(trimmed).filename());
}

std::string Bytes(std::uint64_t n) {
  return std::to_string(n) + " bytes";
}

// The digest of `length` bytes of a file from `offset` (to its end when `whole`); empty when
// it cannot be read.
std::string DigestOf(const std::string& path, std::uint64_t offset, std::uint64_t length,
                     bool whole) {
  try {
    platform::InputFile in(path);
    in.Seek(offset);
    archive::Digest digest;
    std::string buffer(kReadPiece, '\0');
    for (std::uint64_t left = whole ? UINT64_MAX : length; left > 0;) {
      const std::size_t n = in.Read(
          buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left)));
      if (n == 0) break;
      digest.Add(buffer.data(), n);
      left -= n;
    }
    const auto [size, crc, adler] = digest.Done();
    return MessageDigest(size, crc, adler);
  } catch (const platform::FileError&) {
    return "";  // the writer leaves it out, and says why
  }
}

// The same of a message made from a store's item.
std::string MadeDigest(mailbox::ItemMaker& maker, const std::string& path,
                       const mailbox::Message& item) {
  try {
    const std::string bytes = maker.Make(path, item).bytes;
    archive::Digest digest;
    digest.Add(bytes.data(), bytes.size());
    const auto [size, crc, adler] = digest.Done();
    return MessageDigest(size, crc, adler);
  } catch (const mailbox::ItemError&) {
    return "";  // the writer leaves it out, and says why
  }
}

// The server's address as one upload's: scheme and host in lower case, no default port, no
// final '/'.
std::string ServerOf(const std::string& url) {
  std::string out = url;
  const auto scheme = out.find("://");
  const auto hostEnd = scheme == std::string::npos ? out.size() : out.find('/', scheme + 3);
  for (std::size_t i = 0; i < std::min(hostEnd, out.size()); ++i) {
    out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[i])));
  }
  for (const char* port : {"https://", "http://"}) {
    const std::string suffix = std::string(port) == "https://" ? ":443" : ":80";
    if (out.rfind(port, 0) != 0) continue;
    const auto end = out.find('/', std::string(port).size());
    const auto host = out.substr(0, end);
    if (host.size() > suffix.size() && host.ends_with(suffix)) {
      out.erase(host.size() - suffix.size(), suffix.size());
    }
  }
  while (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

// A verdict page as it comes, and whether it came whole.
struct AnswerReader {
  CallbackPageReader page{kCallback};
};

// A journal that cannot be read is one the upload cannot go by.
Journal ReadJournal(const std::string& path) {
  try {
    return Journal(path);
  } catch (const std::runtime_error& e) {
    throw std::invalid_argument(e.what());
  }
}

// What became of a volume, from how far its request got and what the server answered.
void Judge(const Response& response, const AnswerReader& answer, const std::string& makingFailed,
           VolumeResult& result) {
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
      // What left this machine need not have reached the server: say no more than is known.
      result.outcome = Outcome::kUnknown;
      result.why = "the connection broke after " + Bytes(response.bytesSent) +
                   " had left for the server: " + response.error;
    }
    return;
  }
  const std::string status = "HTTP " + std::to_string(response.status);
  if (response.status == 200) {
    const Verdict& verdict = answer.page.Result();
    result.verdict = verdict.result;
    result.faults = verdict.faults;
    if (verdict.found && !answer.page.Whole()) {
      result.outcome = Outcome::kUnknown;
      result.why = "the server's verdict broke off before its end (" + response.error +
                   "): which messages it could not import is not known";
    } else if (verdict.found && (verdict.result == "success" || verdict.result == "warn")) {
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
  // Statuses that say nothing was imported (the request was not taken in: the login, the
  // address, the size, the rate) and those after which what was imported is not known. Any
  // other is unknown: sending it again could double the mail.
  static const struct {
    long status;
    Outcome outcome;
    const char* why;
  } kStatuses[] = {
      {400, Outcome::kRefused, ": the server did not understand the request"},
      {401, Outcome::kRefused, ": the server did not accept the login for this mailbox"},
      {403, Outcome::kRefused, ": the server did not accept the login for this mailbox"},
      {404, Outcome::kRefused, ": the server has no such mailbox or folder"},
      {408, Outcome::kRefused, ": the server gave up waiting for the request; try again"},
      {413, Outcome::kRefused,
       ": the volume is too large for the server; use a smaller --volume-size"},
      {414, Outcome::kRefused, ": the server did not take the request's address (too long)"},
      {429, Outcome::kRefused, ": the server takes no more requests for now; try again later"},
      {502, Outcome::kUnknown, " from a gateway: the server may still be importing the volume"},
      {503, Outcome::kUnknown, " from a gateway: the server may still be importing the volume"},
      {504, Outcome::kUnknown, " from a gateway: the server may still be importing the volume"},
  };
  result.outcome = Outcome::kUnknown;
  result.why = status + " from the server: what it imported of the volume is not known";
  if (response.status >= 300 && response.status < 400) {
    // A redirect takes nothing in: the request went to the wrong address.
    result.outcome = Outcome::kRefused;
    result.why = status + ": the server sent the request elsewhere" +
                 (response.location.empty() ? "" : " (to " + response.location + ")") +
                 "; give --url the address it names (https, the host name the server knows "
                 "itself by)";
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
        source_(source),
        http_(options.tls),
        journal_(
            ReadJournal(options.journal.empty() ? Journal::PathFor(source) : options.journal)) {
    result_.journal = journal_.Path();
  }

  UploadResult SendFiles(const std::vector<std::string>& files) {
    Open();
    std::vector<std::pair<std::size_t, std::string>> pending;  // index, digest
    for (std::size_t i = 0; i < files.size(); ++i) {
      const platform::FileStatus status = platform::InputFile(files[i]).Status();
      const std::string digest = DigestOf(files[i], 0, 0, true);
      const JournalEntry* known = FindFile(FileName(files[i]), status.size, digest);
      if (known != nullptr && (known->state == VolumeState::kAccepted || !options_.resendUnknown)) {
        Skip(i + 1, files.size(), FileName(files[i]), *known);
        continue;
      }
      pending.emplace_back(i, digest);
    }
    for (const auto& [index, digest] : pending) {
      const std::size_t i = index;  // captured below, which a structured binding cannot be
      if (!Going()) break;
      const std::string name = FileName(files[i]);
      const archive::VerifyResult check = archive::VerifyArchive(files[i]);
      if (!check.Ok()) {
        result_.error = "\"" + name + "\" is not an archive Zimbra imports whole (" +
                        check.problems.front() + "); run crateline-cli verify on it";
        break;
      }
      JournalEntry ahead = Ahead(name);
      ahead.file = archive::SafeText(name);  // JSON holds UTF-8 only; a name need not be
      ahead.size = platform::InputFile(files[i]).Status().size;
      ahead.fileDigest = digest;
      const std::uint32_t number = WriteAhead(std::move(ahead));
      if (number == 0) break;
      listener_.VolumeStarting(i, files.size(), name, books_->volumes.back().size);
      VolumeResult volume;
      volume.number = i + 1;
      volume.count = files.size();
      volume.name = name;
      volume.messages = check.messages;
      SendOnce(volume, [&](Request& request) {
        auto in = std::make_shared<platform::InputFile>(files[i]);
        request.length = static_cast<std::int64_t>(in->Status().size);
        request.reader = [in](char* buffer, std::size_t size) { return in->Read(buffer, size); };
        return std::string();
      });
      Settle(number, volume, {}, {});
    }
    return Finish();
  }

  UploadResult SendStore(archive::ArchiveWriter& tar) {
    Open();
    const archive::Plan& plan = tar.Plan();
    // Every message by its bytes, what the journal knows it by.
    std::vector<std::string> digests(plan.inventory.messages.size());
    std::uint64_t read = 0;
    mailbox::ItemMaker maker;
    for (const auto& planned : plan.messages) {
      const mailbox::Message& message = plan.Source(planned);
      digests[planned.message] = message.built
                                     ? MadeDigest(maker, plan.inventory.PathOf(message), message)
                                     : DigestOf(plan.inventory.PathOf(message), message.offset,
                                                message.length, message.wholeFile);
      listener_.Reading(++read, plan.messages.size());
      if (!Going()) return Finish();
    }
    Known known = KnownMessages();
    tar.DropMessages([&](const archive::PlannedMessage& message) {
      const std::string& digest = digests[message.message];
      const std::pair<std::string, std::uint64_t> named{plan.EntryName(message),
                                                        plan.Source(message).length};
      if (!digest.empty() && known.refused.count(digest) != 0) return false;  // once more
      if (TakeOne(known.accepted, digest) || known.acceptedNamed.count(named) != 0) {
        ++result_.messagesSentBefore;
        return true;
      }
      return !options_.resendUnknown &&
             (TakeOne(known.unknown, digest) || known.unknownNamed.count(named) != 0);
    });
    const auto& volumes = tar.Volumes();
    for (std::size_t i = 0; i < volumes.size() && !plan.messages.empty() && Going(); ++i) {
      const std::string name =
          "volume " + std::to_string(i + 1) + " of " + std::to_string(volumes.size());
      // Written ahead: every message the volume is to hold.
      JournalEntry ahead = Ahead(name);
      std::map<std::string, std::pair<std::string, std::string>> planned;  // entry → digest, source
      for (std::size_t m = volumes[i].first; m < volumes[i].first + volumes[i].count; ++m) {
        const archive::PlannedMessage& message = plan.messages[m];
        ahead.messages.push_back({digests[message.message], plan.EntryName(message)});
        planned[plan.EntryName(message)] = {digests[message.message],
                                            plan.inventory.LabelOf(plan.Source(message))};
      }
      const std::uint32_t number = WriteAhead(std::move(ahead));
      if (number == 0) break;
      listener_.VolumeStarting(i, volumes.size(), name, 0);
      VolumeResult volume;
      volume.number = i + 1;
      volume.count = volumes.size();
      volume.name = name;
      volume.messages = volumes[i].count;
      SendOnce(volume, [&](Request& request) { return SendMade(tar, i, name, request); });
      // What the volume holds is what went in: a message left out (unreadable, say) goes when it
      // can be.
      std::vector<JournalMessage> went;
      for (const std::size_t m : tar.LastVolumeWritten()) {
        const archive::PlannedMessage& message = plan.messages[m];
        went.push_back({digests[message.message], plan.EntryName(message)});
      }
      Settle(number, volume, planned, went);
    }
    result_.packing = tar.Report();
    return Finish();
  }

 private:
  // What the books hold, by each message's bytes, counted: two copies of one message (in two
  // folders, say) are two messages, of which the journal may have had one.
  struct Known {
    std::map<std::string, std::uint64_t> accepted, unknown;
    std::set<std::string> refused;
    std::set<std::pair<std::string, std::uint64_t>> acceptedNamed, unknownNamed;
  };

  // Takes one of the copies counted for `digest`; false when none is left.
  static bool TakeOne(std::map<std::string, std::uint64_t>& counted, const std::string& digest) {
    const auto it = counted.find(digest);
    if (digest.empty() || it == counted.end() || it->second == 0) return false;
    --it->second;
    return true;
  }

  // Holds the journal, logs in, finds this upload's books, and settles what the run before left:
  // nothing goes before the journal is known to be writable, since a volume the server took
  // that the journal does not record would be sent again next time.
  void Open() {
    try {
      lock_ = journal_.Lock();
    } catch (const platform::FileError& e) {
      throw std::invalid_argument(std::string("the upload journal cannot be written (") + e.what() +
                                  "): give --journal FILE in a folder that can be written");
    }
    if (!lock_) {
      throw JournalBusy("another upload of this source is running (it holds the journal \"" +
                        journal_.Path() + "\"); let it finish, or stop it, before starting again");
    }
    SaveOrRefuse();  // before the login: nothing is asked of the server for nothing
    LogIn();
    result_.account = session_.account;
    const UploadKey key{archive::SafeText(FileName(source_)), ServerOf(options_.url),
                        session_.account, archive::SafeText(options_.subfolder)};
    books_ = &journal_.BooksOf(
        key,
        EarlierUploadKey(source_, options_.url, options_.credentials.user, options_.subfolder));
    // A volume still being sent is one whose run ended before its verdict.
    for (auto& volume : books_->volumes) {
      if (volume.state != VolumeState::kSending) continue;
      volume.state = VolumeState::kUnknown;
      volume.why =
          "the run that sent it ended before the server's verdict (it was killed, or the "
          "machine stopped): the server may have imported it";
    }
    ApplySettlements();
    SaveOrRefuse();
  }

  void SaveOrRefuse() {
    try {
      journal_.Save();
    } catch (const std::exception& e) {
      throw std::invalid_argument(std::string("the upload journal cannot be written (") + e.what() +
                                  "); without it, running the upload again would send everything "
                                  "again: give --journal FILE in a folder that can be written");
    }
  }

  void ApplySettlements() {
    for (const auto& settlement : options_.settle) {
      if (settlement.as == UploadOptions::Settlement::As::kForgetRefused) {
        result_.settled.push_back(std::to_string(books_->refused.size()) +
                                  " message(s) the server refused are forgotten");
        books_->refused.clear();
        continue;
      }
      const auto it = std::find_if(books_->volumes.begin(), books_->volumes.end(),
                                   [&](const auto& v) { return v.number == settlement.volume; });
      if (it == books_->volumes.end()) {
        throw std::invalid_argument("the journal has no volume " +
                                    std::to_string(settlement.volume) + " for this upload");
      }
      if (it->state == VolumeState::kAccepted) {
        if (settlement.as == UploadOptions::Settlement::As::kResend) {
          throw std::invalid_argument("volume " + std::to_string(settlement.volume) +
                                      " was imported; sending it again would put its messages "
                                      "into the mailbox twice");
        }
        continue;
      }
      if (settlement.as == UploadOptions::Settlement::As::kImported) {
        it->state = VolumeState::kAccepted;
        it->why = "found in the mailbox, as a person settled it";
        result_.settled.push_back("volume " + std::to_string(it->number) + " (" + it->name +
                                  ") is taken as imported");
      } else {
        result_.settled.push_back("volume " + std::to_string(it->number) + " (" + it->name +
                                  ") will be sent again");
        books_->volumes.erase(it);
      }
    }
  }

  void LogIn() { session_ = Login(http_, options_.url, options_.credentials); }

  bool Going() {
    if (platform::TerminationRequested()) result_.stopped = true;
    return result_.error.empty() && !result_.stopped;
  }

  Known KnownMessages() const {
    Known known;
    for (const auto& entry : books_->volumes) {
      const bool accepted = entry.state == VolumeState::kAccepted;
      for (const auto& message : entry.messages) {
        if (!message.digest.empty()) ++(accepted ? known.accepted : known.unknown)[message.digest];
      }
      for (const auto& named : entry.named) {
        (accepted ? known.acceptedNamed : known.unknownNamed).insert(named);
      }
    }
    for (const auto& refused : books_->refused) known.refused.insert(refused.digest);
    return known;
  }

  static JournalEntry Ahead(const std::string& name) {
    JournalEntry entry;
    entry.name = name;
    entry.state = VolumeState::kSending;
    entry.when = NowUtc();
    return entry;
  }

  // Records a volume as being sent; its number, or 0 (with the error said) when the journal
  // could not be written, and nothing may go.
  std::uint32_t WriteAhead(JournalEntry entry) {
    const std::uint32_t number = books_->Add(std::move(entry)).number;
    try {
      journal_.Save();
      return number;
    } catch (const std::exception& e) {
      result_.error = std::string(
                          "the upload journal could not be written, so nothing more was "
                          "sent: ") +
                      e.what();
      return 0;
    }
  }

  Request ImportRequest() const {
    Request request;
    request.url = ImportUrl(options_.url, options_.credentials.user, options_.subfolder);
    // A server that will not take the request (the login, the size) says so before the volume
    // goes, rather than reset the connection under it: then nothing was imported, and that is
    // known.
    request.headers = {"Content-Type: application/x-compressed-tar", "Expect: 100-continue"};
    request.cookie = session_.cookie;
    request.basicUser = session_.basicUser;
    request.basicPassword = session_.basicPassword;
    request.answerTimeout = options_.answerTimeout;
    return request;
  }

  // Sends a volume, the request's body set by `body` (which returns why making it failed, if
  // it did); a login that has expired by then (401: nothing was imported) is renewed once and
  // the volume sent again.
  void SendOnce(VolumeResult& volume, const std::function<std::string(Request& request)>& body) {
    for (int attempt = 0;; ++attempt) {
      Request request = ImportRequest();
      AnswerReader answer;
      request.onAnswer = [&answer](const char* data, std::size_t size) {
        answer.page.Feed(data, size);
      };
      std::string makingFailed;
      const Response response = Post(request, body, makingFailed);
      Judge(response, answer, makingFailed, volume);
      if (response.status != 401 || volume.outcome != Outcome::kRefused || attempt > 0 ||
          !session_.renewable || !Going()) {
        return;
      }
      try {
        LogIn();
      } catch (const LoginError&) {
        return;  // the 401 says it
      }
    }
  }

  struct Making {
    BytePipe pipe;
    std::thread maker;
    std::string failed;
  };

  Response Post(Request& request, const std::function<std::string(Request&)>& body,
                std::string& makingFailed) {
    makingFailed = body(request);
    const auto progress = [&](std::uint64_t sent) {
      listener_.Sent(sent);
      return true;
    };
    if (!making_) return http_.Post(request, progress);
    // A volume made on the way: however the request ends (even by an exception), the maker is
    // let go and waited for; with the reader gone, its next write fails and it stops.
    Response response;
    {
      struct Release {
        Making& making;
        ~Release() {
          making.pipe.CloseReader();
          making.maker.join();
        }
      } release{*making_};
      response = http_.Post(request, progress);
    }
    makingFailed = making_->failed;
    making_.reset();
    return response;
  }

  // Starts making volume `index` into a pipe the request reads.
  std::string SendMade(archive::ArchiveWriter& tar, std::size_t index, const std::string& name,
                       Request& request) {
    making_ = std::make_unique<Making>();
    Making* making = making_.get();
    making->maker = std::thread([&tar, index, name, making] {
      try {
        tar.WriteVolume(index, making->pipe, name);
        making->pipe.Commit();
      } catch (const std::exception& error) {
        making->failed = error.what();
        making->pipe.Discard();
      }
    });
    request.reader = [making](char* buffer, std::size_t size) {
      return making->pipe.Read(buffer, size);
    };
    return {};
  }

  // What the journal says of a file: accepted, if it was ever; else unknown; else nothing.
  const JournalEntry* FindFile(const std::string& name, std::uint64_t size,
                               const std::string& digest) const {
    const JournalEntry* found = nullptr;
    for (const auto& entry : books_->volumes) {
      if (entry.file.empty() || entry.size != size) continue;
      // A journal of an earlier version knew files by their name, size and time.
      const bool same = entry.fileDigest.empty() ? entry.file == archive::SafeText(name)
                                                 : entry.fileDigest == digest;
      if (same && (found == nullptr || entry.state == VolumeState::kAccepted)) found = &entry;
    }
    return found;
  }

  void Skip(std::size_t number, std::size_t count, const std::string& name,
            const JournalEntry& entry) {
    VolumeResult volume;
    volume.number = number;
    volume.count = count;
    volume.name = name;
    volume.outcome = Outcome::kSkipped;
    if (entry.state != VolumeState::kAccepted) {
      volume.outcome = Outcome::kUnknown;
      volume.why = "held back: an earlier upload of it ended without a verdict (" + entry.why + ")";
    }
    result_.volumes.push_back(volume);
    listener_.VolumeDone(volume);
  }

  // Settles the volume written ahead as `number` by its verdict: accepted or unknown (with the
  // messages that went in), or taken off the books when it was refused (nothing of it was
  // imported, so it goes again next time); the server's faults go on the books.
  void Settle(std::uint32_t number, const VolumeResult& volume,
              const std::map<std::string, std::pair<std::string, std::string>>& planned,
              const std::vector<JournalMessage>& went) {
    auto it = std::find_if(books_->volumes.begin(), books_->volumes.end(),
                           [&](const auto& v) { return v.number == number; });
    if (volume.outcome == Outcome::kRefused) {
      books_->volumes.erase(it);
    } else {
      it->state =
          volume.outcome == Outcome::kAccepted ? VolumeState::kAccepted : VolumeState::kUnknown;
      it->why = volume.why;
      it->when = NowUtc();
      // Unknown: everything it was to hold may be in the mailbox, and is held back.
      if (volume.outcome == Outcome::kAccepted && it->file.empty()) it->messages = went;
    }
    std::set<std::string> faulted;
    for (const auto& fault : volume.faults) {
      const std::string code = fault.code.empty() ? "" : fault.code + ": ";
      RefusedMessage refused;
      refused.entry = fault.path;
      refused.why = "the server did not import it: " + code + fault.message;
      if (fault.path.empty()) {
        refused.source = volume.name;
        refused.why = "the server reported, for no entry in particular: " + code + fault.message;
      } else if (const auto at = planned.find(fault.path); at != planned.end()) {
        refused.digest = at->second.first;
        refused.source = at->second.second;
      } else {
        refused.source = volume.name + ": " + fault.path;
      }
      faulted.insert(fault.path);
      books_->refused.push_back(std::move(refused));
    }
    // A message that went in now is off the books: the same bytes, or the same message (its
    // file, or its place in its file) mended.
    if (volume.outcome == Outcome::kAccepted) {
      std::set<std::string> imported;
      for (const auto& message : went) {
        if (faulted.count(message.entry) != 0) continue;
        if (!message.digest.empty()) imported.insert(message.digest);
        if (const auto at = planned.find(message.entry); at != planned.end()) {
          imported.insert(at->second.second);
        }
      }
      std::erase_if(books_->refused, [&](const RefusedMessage& refused) {
        return (!refused.digest.empty() && imported.count(refused.digest) != 0 &&
                faulted.count(refused.entry) == 0) ||
               (!refused.source.empty() && imported.count(refused.source) != 0);
      });
    }
    try {
      journal_.Save();
    } catch (const std::exception& e) {
      result_.error = std::string("the upload journal could not be written: ") + e.what();
    }
    if (volume.outcome == Outcome::kRefused || volume.outcome == Outcome::kUnknown) {
      if (result_.error.empty()) result_.error = volume.name + ": " + volume.why;
    }
    if (platform::TerminationRequested()) result_.stopped = true;
    result_.volumes.push_back(volume);
    listener_.VolumeDone(volume);
  }

  // The books as the run leaves them: every message not imported, every volume held back.
  UploadResult Finish() {
    if (books_ != nullptr) {
      for (const auto& refused : books_->refused) {
        result_.notImported.push_back({refused.source, refused.why});
      }
      const Known known = KnownMessages();
      for (const auto& volume : books_->volumes) {
        if (volume.state == VolumeState::kAccepted) continue;
        // An unknown volume whose every message, or whose file, went in since (sent again) is
        // settled.
        const bool settled =
            volume.file.empty()
                ? !volume.messages.empty() &&
                      std::all_of(
                          volume.messages.begin(), volume.messages.end(),
                          [&](const auto& m) { return known.accepted.count(m.digest) != 0; })
                : std::any_of(books_->volumes.begin(), books_->volumes.end(), [&](const auto& v) {
                    return v.state == VolumeState::kAccepted && !v.file.empty() &&
                           v.size == volume.size && v.fileDigest == volume.fileDigest;
                  });
        if (!settled) result_.heldBack.push_back({volume.number, volume.name, volume.why});
      }
    }
    return std::move(result_);
  }

  const UploadOptions& options_;
  UploadListener& listener_;
  std::string source_;
  HttpClient http_;
  Journal journal_;
  std::unique_ptr<platform::FileLock> lock_;
  Books* books_ = nullptr;
  Session session_;
  std::unique_ptr<Making> making_;  // the volume being made, while it is sent
  UploadResult result_;
};

// What an upload is known by: a source reached through a link is the one it leads to, with the
// journal beside it.
std::string KeyPath(std::string key) {
  while (key.size() > 1 && (key.back() == '/' || key.back() == '\\')) key.pop_back();
  std::error_code unresolved;
  const auto resolved = std::filesystem::weakly_canonical(util::PathFromUtf8(key), unresolved);
  return unresolved ? key : util::Utf8FromPath(resolved);
}

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
  return error.empty() && !stopped && notImported.empty() && packing.Complete() && heldBack.empty();
}

SourceKind KindOfSources(const std::vector<std::string>& sources) {
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
  return archives > 0 ? SourceKind::kArchives : SourceKind::kStore;
}

UploadResult UploadArchives(const std::vector<std::string>& files, const UploadOptions& options,
                            UploadListener& listener) {
  // A set's journal is kept under the set's name, so that its volumes share one upload.
  Uploader uploader(options, listener, KeyPath(archive::SetPathOf(files.front())));
  return uploader.SendFiles(files);
}

UploadResult UploadStore(const std::string& source, archive::ArchiveWriter& store,
                         const UploadOptions& options, UploadListener& listener) {
  Uploader uploader(options, listener, KeyPath(source));
  return uploader.SendStore(store);
}

}  // namespace crateline::upload
