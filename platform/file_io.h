// Reading message files and writing the archive, through the system's own file calls so that
// every path the search layer can list (long paths, any name) can also be opened.
//
// The archive is never written in place: AtomicOutputFile writes an unnamed (or hidden
// temporary) file in the destination's folder and puts it at the destination only in Commit,
// after every byte is on the disk. Until then the destination is untouched, and a run that
// fails, is stopped or is killed leaves nothing behind: the temporary file goes with Discard,
// with the object's destruction, and with the program's normal end (RemovePendingOutputs, run
// at exit), and where the system offers unnamed files not even a kill leaves one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace crateline::platform {

// A file operation failed; the message names the path and the system's reason.
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& path, const std::string& action, int systemError);
  // A failure the system did not report, with our own reason.
  FileError(const std::string& path, const std::string& action, const std::string& reason);
  const std::string& path() const { return path_; }
  int systemError() const { return systemError_; }

 private:
  std::string path_;
  int systemError_;
};

struct FileStatus {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // seconds since 1970-01-01 UTC
  bool regular = false;
};

class InputFile {
 public:
  // The seam for tests: a check asked before every open, returning the system's error code
  // to fail that open with (as a file no one may read fails), or 0 to let it go on. None by
  // default; a test sets it and clears it with {}.
  using OpenCheck = std::function<int(const std::string& path)>;
  static void SetOpenCheck(OpenCheck check);
  // The same for reads: called before every read of `path`, so that a test can change the file
  // while it is being read.
  using ReadCheck = std::function<void(const std::string& path)>;
  static void SetReadCheck(ReadCheck check);

  // Opens for reading without following a final link; throws FileError.
  explicit InputFile(const std::string& path);
  // Opens a regular file whose status the caller took a moment ago (listing its folder), and
  // takes that for the status it has when opened, without asking again: a change since shows
  // in a later Status() all the same.
  InputFile(const std::string& path, const FileStatus& listed);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  FileStatus Status() const;
  // The status the file had when it was opened (taken then anyway, to refuse what is not a
  // regular file): a change since shows in a later Status().
  const FileStatus& OpenedStatus() const { return opened_; }
  // Reads on from `offset` bytes into the file. Throws FileError.
  void Seek(std::uint64_t offset);
  // Reads up to size bytes; 0 at the end. Throws FileError.
  std::size_t Read(void* buffer, std::size_t size);
  // Reads as Read does, but only what the system has in its cache; nothing (and nothing read)
  // when the bytes would have to wait for the disk, or the system cannot tell. Throws FileError.
  std::optional<std::size_t> ReadIfCached(void* buffer, std::size_t size);
  // Whether the system's cache holds the byte at `offset` (or it lies past the end); false
  // when it does not or the system cannot tell. Never waits for the disk; the position stays.
  bool CachedAt(std::uint64_t offset) const noexcept;
  // Asks the system to start reading these bytes into its cache now, without waiting, so that
  // a Read later finds them there. Only a hint: it never fails, and does nothing where the
  // system takes no such hint.
  void WillNeed(std::uint64_t offset, std::uint64_t length) const noexcept;

 private:
  std::string path_;
  std::intptr_t handle_;
  FileStatus opened_;
};

// An exclusive lock on a file (made when missing), held while the object lives and let go by
// the system when the process ends, however it ends, so that a killed holder leaves no lock
// behind. A second holder, in this process or another, is refused at once, never kept waiting.
class FileLock {
 public:
  // The lock, or nullptr when someone else holds it; throws FileError when the file cannot be
  // opened or made.
  static std::unique_ptr<FileLock> TryAcquire(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  explicit FileLock(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_;
};

class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Throws FileError (a full disk names the destination and the system's reason).
  virtual void Write(const void* data, std::size_t size) = 0;
  // Flushes to the disk and sets the file aside, complete, under a temporary name, with no
  // handle kept open, for a Commit later: outputs written one after another (the volumes of
  // one archive) are all put in place at the end, however many there are. Optional.
  virtual void Prepare() {}
  // Flushes to the disk and puts the file at its destination, replacing what was there.
  virtual void Commit() = 0;
  // Drops what was written; the destination stays as it was. Never throws.
  virtual void Discard() noexcept = 0;
};

// The whole of a file that is read whole (an address book, a calendar, a photo); throws
// FileError.
std::string ReadWholeFile(const std::string& path);

// A new output for destination, in destination's folder; throws FileError when the folder
// cannot take it.
std::unique_ptr<OutputFile> CreateAtomicOutput(const std::string& destination);

// Whether new outputs may be unnamed files where the system offers them (the default); tests
// turn it off to exercise the named temporary file that other systems get.
void UseUnnamedOutputs(bool allowed);

// Whether outputs on a local disk are written past the system's cache, in whole blocks (the
// default where the system offers it); tests turn it off to compare. The check, asked before
// each such write, injects its failure: the system error to fail it with, or 0. None by
// default; a test sets it and clears it with {}.
void UseDirectOutputs(bool allowed);
void SetDirectWriteCheck(std::function<int()> check);

// Removes one file, quietly: for cleaning up after a failure, which it must not mask.
void RemoveFileQuietly(const std::string& path) noexcept;

// Removes the temporary files of outputs neither committed nor discarded (registered at exit).
void RemovePendingOutputs() noexcept;

// The system's text for an errno value (or a Windows code on Windows).
std::string SystemErrorText(int systemError);

}  // namespace crateline::platform
