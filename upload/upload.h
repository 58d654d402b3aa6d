// crateline-cli upload: archives, a set of volumes, or a mail store packed on the way, sent to
// a Zimbra mailbox one volume per request, with the server's verdict on each.
//
// Every volume ends in one of three ways, and the journal (journal.h), written before its first
// byte goes, keeps the first two: accepted (the server imported it, listing the entries it
// could not take, which stay on the books until they go in), unknown (sent, at least in part,
// and no verdict: a cut connection, a gateway's 504, no answer in time, a run killed while it
// waited; the import may be running and is not sent again unless asked, since Zimbra would add
// every message twice), or refused before anything was imported (the login, the account, a
// connection that never opened), which stops the upload and is sent again next time; a login
// that expired is renewed once, where it can be, and the volume sent again. An upload stops at
// the first volume that is not accepted. One run at a time holds a journal.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "upload/http.h"
#include "upload/zimbra.h"

namespace crateline::upload {

struct UploadOptions {
  std::string url;  // the mail server, https://...
  Credentials credentials;
  TlsOptions tls;
  std::string subfolder;       // imported under this folder (created by the server)
  double answerTimeout = 900;  // seconds to wait for a verdict after a volume's last byte
  bool resendUnknown = false;  // send again the volumes the journal holds as unknown
  std::string journal;         // the journal's path; empty: beside the source
  // What a person found in the mailbox: a volume of unknown state imported, or to send again;
  // or the messages the server refused forgotten.
  struct Settlement {
    enum class As { kImported, kResend, kForgetRefused } as = As::kImported;
    std::uint32_t volume = 0;  // the journal's number of it
  };
  std::vector<Settlement> settle;
};

// The journal is held by another run of an upload of the same source.
class JournalBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A mail store's volumes when none is asked for. The server must import a volume within its
// proxy's minute after the upload; at an estimated 5 MiB of mail a second for a loaded server,
// 256 MiB of mail takes under that.
inline constexpr std::uint64_t kDefaultVolumeSize = 256ull * 1024 * 1024;

enum class Outcome { kAccepted, kSkipped, kUnknown, kRefused };

struct VolumeResult {
  std::size_t number = 0;  // from 1, of `count`
  std::size_t count = 0;
  std::string name;  // "mail-part01.tgz", or "volume 2 of 5"
  Outcome outcome = Outcome::kRefused;
  std::string why;             // for kUnknown and kRefused
  std::string verdict;         // the server's: success, warn or fail
  std::vector<Fault> faults;   // what the server could not import
  std::uint64_t messages = 0;  // in the volume (0 for a file: not read)
  std::uint64_t bytesSent = 0;
  double serverSeconds = 0;  // from the last byte to the verdict
};

class UploadListener {
 public:
  virtual ~UploadListener() = default;
  // The store's messages are being read, to know them by their bytes: `done` of `total`.
  virtual void Reading(std::uint64_t /*done*/, std::uint64_t /*total*/) {}
  // A volume is about to go: index from 0, `bytes` 0 when unknown (made on the way).
  virtual void VolumeStarting(std::size_t index, std::size_t count, const std::string& name,
                              std::uint64_t bytes) = 0;
  virtual void Sent(std::uint64_t bytes) = 0;
  virtual void VolumeDone(const VolumeResult& result) = 0;
};

// A volume the journal holds as unknown and that was not sent again.
struct HeldBack {
  std::uint32_t number = 0;  // the journal's, for --settle
  std::string name;
  std::string why;
};

struct UploadResult {
  std::vector<VolumeResult> volumes;
  archive::ArchiveReport packing;  // a mail store's report, as convert's
  // Every message the server has not imported, by this run or an earlier one (the journal's
  // books), with its fault.
  std::vector<archive::ReportLine> notImported;
  std::uint64_t messagesSentBefore = 0;  // a store's messages the journal had as sent
  std::vector<HeldBack> heldBack;        // volumes of unknown state, not sent again
  std::vector<std::string> settled;      // what --settle did, said
  std::string account;                   // the account, as the server names it
  std::string error;                     // why the upload stopped, when it did
  std::string journal;                   // the journal's path
  bool stopped = false;                  // by Ctrl-C

  // Every volume accepted (or accepted before), nothing on the books the server did not import,
  // nothing held back: everything settled.
  bool Complete() const;
};

// What an upload sends: .tgz files (an archive, or the volumes of one), or one mail store.
enum class SourceKind { kArchives, kStore };

// The kind of `sources`; throws std::invalid_argument for sources an upload cannot take.
SourceKind KindOfSources(const std::vector<std::string>& sources);

// Sends .tgz files. Throws LoginError when the login fails.
UploadResult UploadArchives(const std::vector<std::string>& files, const UploadOptions& options,
                            UploadListener& listener);

// Sends the mail store at `source`, which `store` has read and planned with its volumes cut (see
// kDefaultVolumeSize), one volume per request. Throws LoginError when the login fails.
UploadResult UploadStore(const std::string& source, archive::ArchiveWriter& store,
                         const UploadOptions& options, UploadListener& listener);

}  // namespace crateline::upload
