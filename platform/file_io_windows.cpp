// Message input and atomic archive output on Windows, through the wide functions with the
// long-path prefix, so that every path the search layer lists can be opened too.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <random>

#include "platform/file_io.h"
#include "platform/pending_outputs.h"
#include "platform/system_calls.h"

namespace crateline::platform {

namespace {

// "\\?\" for an absolute drive path, "\\?\UNC\" for a network path; '/' becomes '\', which the
// prefix no longer does for us.
std::u16string SystemPath(const std::string& path) {
  std::u16string wide = Utf8ToUtf16(path);
  for (char16_t& c : wide) {
    if (c == u'/') c = u'\\';
  }
  if (wide.rfind(u"\\\\?\\", 0) == 0) return wide;
  if (wide.rfind(u"\\\\", 0) == 0) return u"\\\\?\\UNC\\" + wide.substr(2);
  if (wide.size() >= 3 && wide[1] == u':' && wide[2] == u'\\') return u"\\\\?\\" + wide;
  return wide;
}

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::int64_t UnixSeconds(const FILETIME& time) {
  const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  constexpr std::uint64_t kTicksTo1970 = 116444736000000000ull;
  return ticks < kTicksTo1970 ? 0 : static_cast<std::int64_t>((ticks - kTicksTo1970) / 10000000u);
}

std::string FolderOf(const std::string& path) {
  const auto at = path.find_last_of("\\/");
  return at == std::string::npos ? "." : path.substr(0, at);
}

// Windows has no unnamed files; a hidden temporary file beside the destination is removed at
// any normal end of the program, an end from inside a progress event included.
class WindowsOutput final : public OutputFile {
 public:
  explicit WindowsOutput(const std::string& destination) : destination_(destination) {
    std::random_device random;
    const auto at = destination.find_last_of("\\/");
    const std::string name = at == std::string::npos ? destination : destination.substr(at + 1);
    for (int attempt = 0; attempt < 16 && handle_ == INVALID_HANDLE_VALUE; ++attempt) {
      temporary_ =
          FolderOf(destination) + "\\." + name + "." + std::to_string(random()) + ".partial";
      // FILE_SHARE_DELETE: the program may end mid-write from inside an event, with this
      // handle still open; the exit handler's delete must still take the file away.
      handle_ = CreateFileW(W(SystemPath(temporary_)), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
      if (handle_ == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (handle_ == INVALID_HANDLE_VALUE) {
      throw FileError(destination_, "create a file beside", static_cast<int>(GetLastError()));
    }
    RegisterPendingOutput(temporary_);
  }
  ~WindowsOutput() override { Discard(); }

  void Write(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
      if (!WriteFile(handle_, bytes, chunk, &written, nullptr)) {
        throw FileError(destination_, "write", static_cast<int>(GetLastError()));
      }
      bytes += written;
      size -= written;
    }
  }

  void Prepare() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;  // prepared before
    if (!FlushFileBuffers(handle_))
      throw FileError(destination_, "write", static_cast<int>(GetLastError()));
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  void Commit() override {
    Prepare();
    SetFileAttributesW(W(SystemPath(temporary_)), FILE_ATTRIBUTE_NORMAL);
    if (!MoveFileExW(W(SystemPath(temporary_)), W(SystemPath(destination_)),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      throw FileError(destination_, "replace", static_cast<int>(GetLastError()));
    }
    UnregisterPendingOutput(temporary_);
    temporary_.clear();
  }

  void Discard() noexcept override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (!temporary_.empty()) {
      DeleteFileW(W(SystemPath(temporary_)));
      UnregisterPendingOutput(temporary_);
      temporary_.clear();
    }
  }

 private:
  std::string destination_;
  std::string temporary_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::string SystemErrorText(int systemError) {
  wchar_t buffer[512] = {};
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(systemError), 0, buffer, 512, nullptr);
  std::u16string text(reinterpret_cast<const char16_t*>(buffer), n);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(systemError) : Utf16ToUtf8(text);
}

void UseUnnamedOutputs(bool) {}
void UseDirectOutputs(bool) {}
void SetDirectWriteCheck(std::function<int()>) {}

void RemoveFileQuietly(const std::string& path) noexcept {
  DeleteFileW(W(SystemPath(path)));
}

std::unique_ptr<OutputFile> CreateAtomicOutput(const std::string& destination) {
  return std::make_unique<WindowsOutput>(destination);
}

std::unique_ptr<FileLock> FileLock::TryAcquire(const std::string& path) {
  const HANDLE h = CreateFileW(W(SystemPath(path)), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw FileError(path, "open", static_cast<int>(GetLastError()));
  OVERLAPPED at{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return nullptr;
    throw FileError(path, "lock", static_cast<int>(error));
  }
  return std::unique_ptr<FileLock>(new FileLock(reinterpret_cast<std::intptr_t>(h)));
}

FileLock::~FileLock() {
  CloseHandle(reinterpret_cast<HANDLE>(handle_));  // and with it the lock
}

InputFile::InputFile(const std::string& path, const FileStatus& listed)
    : path_(path), handle_(-1), opened_(listed) {
  if (const int injected = InjectedOpenError(path)) throw FileError(path, "open", injected);
  // Links were left out when the tree was walked; other reparse points (a cloud placeholder)
  // are opened as the file they stand for.
  const HANDLE h =
      CreateFileW(W(SystemPath(path)), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw FileError(path, "open", static_cast<int>(GetLastError()));
  handle_ = reinterpret_cast<std::intptr_t>(h);
}

// Once the constructor it delegates to has run, a throw here closes the handle in the
// destructor.
InputFile::InputFile(const std::string& path) : InputFile(path, FileStatus{}) {
  const auto h = reinterpret_cast<HANDLE>(handle_);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) {
    throw FileError(path, "read", static_cast<int>(GetLastError()));
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw FileError(path, "read", "it is not a regular file");
  }
  opened_ = {(std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
             UnixSeconds(info.ftLastWriteTime), true};
}

InputFile::~InputFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

FileStatus InputFile::Status() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), &info)) {
    throw FileError(path_, "read", static_cast<int>(GetLastError()));
  }
  return {(std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
          UnixSeconds(info.ftLastWriteTime), true};
}

void InputFile::Seek(std::uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(reinterpret_cast<HANDLE>(handle_), at, nullptr, FILE_BEGIN)) {
    throw FileError(path_, "read", static_cast<int>(GetLastError()));
  }
}

void InputFile::WillNeed(std::uint64_t, std::uint64_t) const noexcept {
  // Windows takes no hint for a file not yet being read; within a file the cache manager reads
  // ahead of a sequential scan by itself (FILE_FLAG_SEQUENTIAL_SCAN at the open).
}

bool InputFile::CachedAt(std::uint64_t) const noexcept {
  return false;
}

std::optional<std::size_t> InputFile::ReadIfCached(void*, std::size_t) {
  return std::nullopt;  // the system does not say; every read counts as one from the disk
}

std::size_t InputFile::Read(void* buffer, std::size_t size) {
  BeforeRead(path_);
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) {
    throw FileError(path_, "read", static_cast<int>(GetLastError()));
  }
  return got;
}

}  // namespace crateline::platform

#endif  // _WIN32
