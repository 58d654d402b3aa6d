// The conversion job: a mail store into a .tgz for Zimbra's "Import", done the same way for every
// face (the window, convert, upload): the checks of the destination before any work, the
// reading and planning of the store, the write (in volumes when asked), the report beside the
// archive, progress and stopping, and what came of it as a value.
//
// Use: Check(destination) before anything is read; Read(); then Write(destination). The writer
// (archive/archive.h) does the work; this is where the rules around it live, once.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"

namespace crateline::job {

enum class Status {
  kDone,          // read, or written with every message in it
  kIncomplete,    // written, but messages are not in it as they were read (the report names them)
  kCannotRead,    // the source cannot be read at all
  kCannotCreate,  // the archive file cannot be created at all; nothing was read
  kFailed,        // the write failed; nothing was put in place
  kStopped,       // Cancel(), or a signal to end the program
};

struct Result {
  Status status = Status::kDone;
  std::string error;               // why, when the status is a failure
  std::vector<std::string> files;  // what a write put in place: the archive, or its volumes
  std::string reportPath;          // the report written beside the archive, if one was
  std::string reportError;         // "its report could not be written: ...", or an old one removed

  bool Ok() const { return status == Status::kDone || status == Status::kIncomplete; }
  static Result Failure(Status status, std::string error) {
    Result result;
    result.status = status;
    result.error = std::move(error);
    return result;
  }
};

// Why an archive may not be written where asked.
enum class DestinationProblem {
  kNone,
  kNotTgz,        // Zimbra's Import takes no other suffix
  kInsideSource,  // nothing in the source is ever written
  kExists,        // a file the write would replace (the archive, a volume, the report)
};

struct DestinationCheck {
  DestinationProblem problem = DestinationProblem::kNone;
  std::string path;  // kExists: the file that is there
};

// Whether an archive of `source` may be written at `destination` (in volumes, when `volumeSize`
// is set); files already there are a problem unless `replace` (the user agreed to replace them).
DestinationCheck CheckDestination(const std::string& source, const std::string& destination,
                                  std::uint64_t volumeSize, bool replace);

class Conversion {
 public:
  explicit Conversion(std::string source, archive::PackOptions options = {},
                      archive::ArchiveProgress* progress = nullptr);

  // CheckDestination for this conversion.
  DestinationCheck Check(const std::string& destination, bool replace) const {
    return CheckDestination(source_, destination, writer_.Options().volumeSize, replace);
  }

  // Reads the store and plans its archive: kDone, kCannotRead or kStopped.
  Result Read();

  // Writes what Read planned. The report belongs to the archive beside it: written anew when
  // there is anything to report, else an earlier one removed. A failed write leaves what was
  // there, and writes its report only where no archive is there to be mistaken for its own.
  // With `replace`, volumes an earlier, larger set left beyond this one's are removed.
  Result Write(const std::string& destination, bool replace);

  void Cancel() { writer_.Cancel(); }
  const std::string& Source() const { return source_; }
  archive::ArchiveWriter& Writer() { return writer_; }
  const archive::ArchiveWriter& Writer() const { return writer_; }

 private:
  void FileReport(const std::string& destination, bool written, Result& result) const;
  std::string source_;
  archive::ArchiveWriter writer_;
};

// The volumes of an earlier set beside `destination` ("mail-part01.tgz", ... for "mail.tgz").
std::vector<std::string> ExistingVolumes(const std::string& destination);

// The messages a store holds (not its cards and calendars) and the folders Zimbra will make for
// everything it holds, below its top: what the window shows before a conversion.
struct Count {
  std::size_t messages = 0;
  std::size_t folders = 0;
};
Count CountOf(const archive::Plan& plan);

}  // namespace crateline::job
