// Message input and atomic archive output on POSIX systems.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <system_error>

#include "platform/file_io.h"
#include "platform/pending_outputs.h"
#include "platform/posix_path.h"

namespace crateline::platform {

std::string SystemErrorText(int systemError) {
  return std::error_code(systemError, std::generic_category()).message();
}

namespace {

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::atomic<bool> g_unnamedAllowed{true};
std::atomic<bool> g_directAllowed{true};

std::function<int()>& InstalledDirectWriteCheck() {
  static std::function<int()> check;
  return check;
}

// Direct writes (past the page cache) go in whole blocks from an aligned buffer.
constexpr std::size_t kDirectAlignment = 4096;
constexpr std::size_t kDirectBuffer = 4 * 1024 * 1024;

// Whether the file lies on a local disk file system known to take direct writes well. Others
// (network and user-space file systems, tmpfs) may refuse them, or serve them slowly, one
// round trip a write.
bool DirectWritesSuit(int fd) {
#ifdef __linux__
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) return false;
  constexpr unsigned long kExt4 = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E;
  const auto type = static_cast<unsigned long>(info.f_type);
  return type == kExt4 || type == kXfs || type == kBtrfs;
#else
  (void)fd;
  return false;
#endif
}

struct AlignedFree {
  void operator()(char* p) const { std::free(p); }
};

class PosixOutput final : public OutputFile {
 public:
  explicit PosixOutput(const std::string& destination)
      : destination_(destination), folder_(FolderOf(destination)) {
#ifdef O_TMPFILE
    // An unnamed file vanishes with the process, however it ends.
    // It is given its name through /proc at the end, so it is used only where /proc is there.
    if (g_unnamedAllowed.load() && access("/proc/self/fd", X_OK) == 0) {
      fd_ = open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    }
#endif
    if (fd_ < 0) OpenNamedTemporary();
    StartDirect();
  }
  ~PosixOutput() override {
    Discard();
  }

  void Write(const void* data, std::size_t size) override {
    if (!buffer_) {
      WriteThrough(data, size);
      return;
    }
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const std::size_t take = std::min(size, kDirectBuffer - used_);
      std::memcpy(buffer_.get() + used_, bytes, take);
      used_ += take;
      bytes += take;
      size -= take;
      if (used_ == kDirectBuffer) FlushDirect();
      if (!buffer_) {  // refused: the rest goes through the cache
        WriteThrough(bytes, size);
        return;
      }
    }
  }

 private:
  // An archive is read once, by the upload or the server, long after it is written: copying
  // hundreds of megabytes into the page cache costs the writer processor time (and evicts the
  // mail still to be read) for nothing. Where the file system takes them well, whole blocks
  // are written past the cache, and only the last, partial one through it.
  void StartDirect() {
#ifdef O_DIRECT
    if (!g_directAllowed.load() || !DirectWritesSuit(fd_)) return;
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_DIRECT) != 0) return;
    buffer_.reset(static_cast<char*>(std::aligned_alloc(kDirectAlignment, kDirectBuffer)));
    if (!buffer_) StopDirect();
#endif
  }

  // Back to writing through the cache, for the tail or where a direct write was refused.
  void StopDirect() {
#ifdef O_DIRECT
    const int flags = fcntl(fd_, F_GETFL);
    if (flags >= 0) fcntl(fd_, F_SETFL, flags & ~O_DIRECT);
#endif
  }

  // Writes the buffer's whole blocks directly and keeps the rest; a file system that refuses
  // (it may want a larger alignment than it claims) gets everything through the cache from
  // then on, the same bytes in the same place.
  void FlushDirect() {
    const std::size_t whole = used_ - used_ % kDirectAlignment;
    std::size_t done = 0;
    while (done < whole) {
      const auto& check = InstalledDirectWriteCheck();
      const int injected = check ? check() : 0;
      const ssize_t n =
          injected != 0 ? (errno = injected, -1) : write(fd_, buffer_.get() + done, whole - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EINVAL) throw FileError(destination_, "write", errno);
      if (n > 0) done += static_cast<std::size_t>(n);
      if (n <= 0 || done % kDirectAlignment != 0) {  // refused, or a short write: no more
        StopDirect();
        WriteThrough(buffer_.get() + done, used_ - done);
        buffer_.reset();
        used_ = 0;
        return;
      }
    }
    std::memmove(buffer_.get(), buffer_.get() + whole, used_ - whole);
    used_ -= whole;
  }

  // Everything left in the buffer, the partial block through the cache.
  void FinishDirect() {
    if (!buffer_) return;
    FlushDirect();
    if (!buffer_) return;
    StopDirect();
    WriteThrough(buffer_.get(), used_);
    buffer_.reset();
    used_ = 0;
  }

  void WriteThrough(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = write(fd_, bytes, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw FileError(destination_, "write", errno);
      }
      bytes += n;
      size -= static_cast<std::size_t>(n);
    }
  }

 public:
  void Prepare() override {
    if (fd_ < 0) return;  // prepared before
    FinishDirect();
    if (fsync(fd_) != 0) throw FileError(destination_, "write", errno);
    if (temporary_.empty()) {
      // Give the unnamed file a name beside the destination, for the rename to come.
      temporary_ = TemporaryName();
      const std::string self = "/proc/self/fd/" + std::to_string(fd_);
      if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        const int error = errno;
        temporary_.clear();
        throw FileError(destination_, "create", error);
      }
      RegisterPendingOutput(temporary_);
    }
    close(fd_);
    fd_ = -1;
  }

  void Commit() override {
    Prepare();
    if (rename(temporary_.c_str(), destination_.c_str()) != 0) {
      throw FileError(destination_, "replace", errno);
    }
    UnregisterPendingOutput(temporary_);
    temporary_.clear();
    // The rename is durable only once the folder is.
    const int folder = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      fsync(folder);
      close(folder);
    }
  }

  void Discard() noexcept override {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) {
      unlink(temporary_.c_str());
      UnregisterPendingOutput(temporary_);
      temporary_.clear();
    }
  }

 private:
  std::string TemporaryName() const {
    std::random_device random;
    const auto slash = destination_.rfind('/');
    const std::string name =
        slash == std::string::npos ? destination_ : destination_.substr(slash + 1);
    return folder_ + "/." + name + "." + std::to_string(random()) + ".partial";
  }

  void OpenNamedTemporary() {
    for (int attempt = 0; attempt < 16; ++attempt) {
      const std::string candidate = TemporaryName();
      fd_ = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd_ >= 0) {
        temporary_ = candidate;
        RegisterPendingOutput(temporary_);
        return;
      }
      if (errno != EEXIST) break;
    }
    throw FileError(destination_, "create a file beside", errno);
  }

  std::string destination_;
  std::string folder_;
  std::string temporary_;  // empty while the file has no name
  int fd_ = -1;
  std::unique_ptr<char, AlignedFree> buffer_;  // while writing directly: what is not written yet
  std::size_t used_ = 0;
};

}  // namespace

void UseUnnamedOutputs(bool allowed) {
  g_unnamedAllowed.store(allowed);
}

void UseDirectOutputs(bool allowed) {
  g_directAllowed.store(allowed);
}

void SetDirectWriteCheck(std::function<int()> check) {
  InstalledDirectWriteCheck() = std::move(check);
}

void RemoveFileQuietly(const std::string& path) noexcept {
  unlink(path.c_str());
}

std::unique_ptr<OutputFile> CreateAtomicOutput(const std::string& destination) {
  return std::make_unique<PosixOutput>(destination);
}

std::unique_ptr<FileLock> FileLock::TryAcquire(const std::string& path) {
  // flock locks belong to the open file, so a second open in this very process is refused too.
  const int fd = OpenLongPath(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw FileError(path, "open", errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) return nullptr;
    throw FileError(path, "lock", error);
  }
  return std::unique_ptr<FileLock>(new FileLock(fd));
}

FileLock::~FileLock() {
  close(static_cast<int>(handle_));  // and with it the lock
}

InputFile::InputFile(const std::string& path, const FileStatus& listed)
    : path_(path), handle_(-1), opened_(listed) {
  if (const int injected = InjectedOpenError(path)) throw FileError(path, "open", injected);
  // O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for the regular files
  // that are the only ones read.
  const int fd = OpenLongPath(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw FileError(path, "open", errno);
  handle_ = fd;
}

// Once the constructor it delegates to has run, a throw here closes the file in the destructor.
InputFile::InputFile(const std::string& path) : InputFile(path, FileStatus{}) {
  struct stat st {};
  if (fstat(static_cast<int>(handle_), &st) != 0) throw FileError(path, "read", errno);
  if (!S_ISREG(st.st_mode)) throw FileError(path, "read", "it is not a regular file");
  opened_ = {static_cast<std::uint64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
             true};
}

InputFile::~InputFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

FileStatus InputFile::Status() const {
  struct stat st {};
  if (fstat(static_cast<int>(handle_), &st) != 0) throw FileError(path_, "read", errno);
  return {static_cast<std::uint64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
          S_ISREG(st.st_mode)};
}

void InputFile::Seek(std::uint64_t offset) {
  if (lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) < 0) {
    throw FileError(path_, "read", errno);
  }
}

void InputFile::WillNeed(std::uint64_t offset, std::uint64_t length) const noexcept {
#ifdef POSIX_FADV_WILLNEED
  // The kernel queues the reads and returns; a failure only means no head start.
  (void)posix_fadvise(static_cast<int>(handle_), static_cast<off_t>(offset),
                      static_cast<off_t>(length), POSIX_FADV_WILLNEED);
#else
  (void)offset;
  (void)length;
#endif
}

std::size_t InputFile::Read(void* buffer, std::size_t size) {
  BeforeRead(path_);
  for (;;) {
    const ssize_t n = read(static_cast<int>(handle_), buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw FileError(path_, "read", errno);
  }
}

bool InputFile::CachedAt(std::uint64_t offset) const noexcept {
#ifdef RWF_NOWAIT
  char byte = 0;
  iovec piece{&byte, 1};
  ssize_t n = 0;
  do {
    n = preadv2(static_cast<int>(handle_), &piece, 1, static_cast<off_t>(offset), RWF_NOWAIT);
  } while (n < 0 && errno == EINTR);
  return n >= 0;
#else
  (void)offset;
  return false;
#endif
}

std::optional<std::size_t> InputFile::ReadIfCached(void* buffer, std::size_t size) {
  BeforeRead(path_);
#ifdef RWF_NOWAIT
  iovec piece{buffer, size};
  for (;;) {
    // Offset -1: from the file's position, as read() does.
    const ssize_t n = preadv2(static_cast<int>(handle_), &piece, 1, -1, RWF_NOWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    // Not cached (EAGAIN), or a kernel or file system that takes no such flag.
    if (errno == EAGAIN || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) {
      return std::nullopt;
    }
    throw FileError(path_, "read", errno);
  }
#else
  (void)buffer;
  (void)size;
  return std::nullopt;
#endif
}

}  // namespace crateline::platform

#endif  // !_WIN32
