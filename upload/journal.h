// The upload journal: which volumes of a source a server has taken, kept beside the source in
// ".crateline-upload.json", so that running the same upload again sends only the rest.
//
// Zimbra adds every message of an archive it is sent, however often (it does not recognise a
// message it already holds), so the journal is what keeps a retry from doubling the mail. It
// is written whole, atomically, after every volume: a run that is killed loses at most what it
// was sending. Each upload (source, server, user, target folder) has its own list; a volume made
// from a mail store records its messages (entry name and size), so that a changed store is
// sent what it gained, and a volume given as a file records the file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace crateline::upload {

enum class VolumeState {
  kAccepted,  // the server imported it (perhaps with faults, listed in the report)
  kUnknown,   // sent, at least partly, and no verdict came: it may be in the mailbox
};

struct JournalEntry {
  std::string name;  // as the user saw it: a file name, or "volume 3 of 7"
  VolumeState state = VolumeState::kAccepted;
  std::string when;  // UTC, ISO 8601
  std::string why;   // for kUnknown: what happened
  std::size_t faults = 0;
  std::vector<std::pair<std::string, std::uint64_t>> messages;  // entry names and sizes
  std::string file;  // a volume given as a file: its name, size and time
  std::uint64_t size = 0;
  std::int64_t modified = 0;
};

class Journal {
 public:
  // The journal of a source: beside it, in the same folder.
  static std::string PathFor(const std::string& source);

  // Reads the journal at `path`; none there is an empty one. Throws std::runtime_error, naming
  // the file, when it is there but cannot be read or is not a journal.
  explicit Journal(std::string path);

  // The entries of one upload, found by its key; this journal's to change.
  std::vector<JournalEntry>& Entries(const std::string& key);

  // Writes the journal in place of the old one; throws platform::FileError or
  // std::runtime_error. The uploads this object did not change are taken from the file as it
  // is then, so that two uploads from the same folder keep each other's entries.
  void Save() const;

  const std::string& Path() const { return path_; }

 private:
  using Uploads = std::vector<std::pair<std::string, std::vector<JournalEntry>>>;
  static Uploads Read(const std::string& path);

  std::string path_;
  Uploads uploads_;
  std::vector<std::string> changed_;  // the keys Entries handed out
};

// The key of an upload: the same source sent to the same place.
std::string UploadKey(const std::string& source, const std::string& url, const std::string& user,
                      const std::string& subfolder);

}  // namespace crateline::upload
