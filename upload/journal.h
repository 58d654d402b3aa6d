// The upload journal: what a server has been sent of a source and what it said, kept beside
// the source in ".crateline-upload.json" (or where --journal puts it), so that running the same
// upload again sends only the rest, and never anything twice.
//
// Zimbra adds every message of an archive it is sent, however often (it does not recognise a
// message it already holds), so the journal is what keeps a retry from doubling the mail:
// - it is written ahead: a volume and its messages are recorded as being sent before its first
//   byte goes, and settled by the verdict; a run that finds a volume still "sending" (the run
//   before was killed) holds it as unknown, since the server may have imported it;
// - messages are known by their bytes (length and two checksums), volumes given as files by
//   their bytes too, and an upload by the source's name beside the journal, the server, the
//   account's own name and the target folder: moving, touching or reaching the source by
//   another path sends nothing twice;
// - the messages the server refused stay on its books until they go in;
// - it is written whole, atomically, at every change, and one run at a time holds it (Lock).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_io.h"

namespace crateline::upload {

enum class VolumeState {
  kSending,   // its first byte was about to go when this was written; no verdict yet
  kAccepted,  // the server imported it (its faults are on the books)
  kUnknown,   // sent, at least partly, and no verdict came: it may be in the mailbox
};

struct JournalMessage {
  std::string digest;  // of its bytes: MessageDigest
  std::string entry;   // its name in the archive, for people
};

// A message the server did not import, kept until it goes in.
struct RefusedMessage {
  std::string digest;  // empty for an entry of a volume given as a file
  std::string entry;
  std::string source;  // the message's own name (a path, or PATH:OFFSET)
  std::string why;     // the server's fault
};

struct JournalEntry {
  std::uint32_t number = 0;  // in its upload, from 1: what --settle names
  std::string name;          // as the user saw it: a file name, or "volume 3 of 7"
  VolumeState state = VolumeState::kSending;
  std::string when;  // UTC, ISO 8601
  std::string why;   // for kUnknown: what happened
  std::vector<JournalMessage> messages;
  // A journal of an earlier version knew messages by their entry name and size.
  std::vector<std::pair<std::string, std::uint64_t>> named;
  std::string file;  // a volume given as a file: its name, size and digest
  std::uint64_t size = 0;
  std::string fileDigest;
};

// What one upload (a source, to one account and folder) holds.
struct Books {
  std::vector<JournalEntry> volumes;
  std::vector<RefusedMessage> refused;
  JournalEntry& Add(JournalEntry entry);  // numbered after the last
};

// Which upload: the source by its name (the journal lies beside it), the server, the account
// as the server names it, and the folder imported into.
struct UploadKey {
  std::string source;
  std::string server;
  std::string account;
  std::string subfolder;
};

class Journal {
 public:
  // The journal of a source: beside it, in the same folder.
  static std::string PathFor(const std::string& source);

  // Reads the journal at `path`; none there is an empty one. Throws std::runtime_error, naming
  // the file, when it is there but cannot be read or is not a journal this program knows.
  explicit Journal(std::string path);

  // The books of one upload, this journal's to change. `earlier` names the same upload as a
  // journal of an earlier version did (by the source's absolute path and the account as
  // given); its books are taken over.
  Books& BooksOf(const UploadKey& key, const std::string& earlier = "");

  // Writes the journal in place of the old one, whole or not at all; throws platform::FileError
  // or std::runtime_error. The uploads this object did not change are taken from the file as
  // it is then, so that two uploads from the same folder keep each other's books.
  void Save() const;

  // Holds the journal for this run: nullptr when another run holds it. Throws
  // platform::FileError when its lock file cannot be made.
  std::unique_ptr<platform::FileLock> Lock() const;

  const std::string& Path() const { return path_; }

 private:
  struct Upload {
    UploadKey key;
    std::string earlier;  // an earlier version's key
    Books books;
    bool takenOver = false;  // an earlier version's books, now under a key of this one
  };
  static std::vector<Upload> Read(const std::string& path);

  std::string path_;
  std::vector<Upload> uploads_;
  std::vector<std::size_t> changed_;  // the uploads BooksOf handed out
};

// A message's bytes told by their length and two checksums, as text: what the journal knows a
// message, and a volume given as a file, by.
std::string MessageDigest(std::uint64_t length, std::uint32_t crc, std::uint32_t adler);

// The key an earlier version gave an upload: the same source sent to the same place.
std::string EarlierUploadKey(const std::string& source, const std::string& url,
                             const std::string& user, const std::string& subfolder);

}  // namespace crateline::upload
