// The system functions, emulated on POSIX systems.
//
// Crateline's platform and file-search layers are written against kernel32. Where there is no
// kernel32 this file answers in its place, the way those layers expect Windows to answer:
//  - an NT-family system, version 10.0 build 0, whose wide functions all exist (build 0 marks
//    a system that is not Windows; the probe then takes the wide, long-path paths as on any
//    current Windows);
//  - Windows error codes, mapped from errno, in a thread-local last error;
//  - FormatMessage answered from our own message table, which for a code that stands for an
//    errno is the C library's text for that errno;
//  - directory search with '*' and '?' matched without regard to ASCII case, as the find
//    functions do, and the attributes, times and sizes of each entry from lstat;
//  - no 8.3 short names: the short-name query answers with the long name, as Windows does on a
//    volume where short names are turned off;
//  - the ANSI code page is ISO-8859-1, so narrow text converts byte for byte where it can.
// Search handles live in a table private to this file; they are not thread-safe, like the
// layers that use them.
#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/posix_path.h"
#include "platform/system_calls.h"

namespace crateline::platform {
namespace {

thread_local std::uint32_t g_lastError = 0;

// Codes for errno values with no Windows counterpart: the customer bit (29) marks them as ours.
constexpr std::uint32_t kErrnoCodeBit = 0x20000000u;

std::uint32_t CodeFromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EROFS:
      return kErrorWriteProtect;
    case ETXTBSY:
      return kErrorSharingViolation;
    case EEXIST:
      return kErrorFileExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENOSYS:
    case EOPNOTSUPP:
      return kErrorCallNotImplemented;
    case EILSEQ:
      return kErrorInvalidName;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EBUSY:
      return kErrorBusy;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case EIO:
      return kErrorIoDevice;
    case ELOOP:
      return kErrorCantResolveFilename;
    default:
      return kErrnoCodeBit | static_cast<std::uint32_t>(error);
  }
}

struct Message {
  std::uint32_t code;
  int errnoValue;    // the errno whose C library text is the message, or 0
  const char* text;  // the message when errnoValue is 0
};

constexpr Message kMessages[] = {
    {kErrorSuccess, 0, "The operation succeeded."},
    {kErrorFileNotFound, ENOENT, nullptr},
    {kErrorPathNotFound, 0, "The folder in the path does not exist."},
    {kErrorTooManyOpenFiles, EMFILE, nullptr},
    {kErrorAccessDenied, EACCES, nullptr},
    {kErrorInvalidHandle, EBADF, nullptr},
    {kErrorNotEnoughMemory, ENOMEM, nullptr},
    {kErrorNoMoreFiles, 0, "The listing has no more entries."},
    {kErrorWriteProtect, EROFS, nullptr},
    {kErrorSharingViolation, ETXTBSY, nullptr},
    {kErrorFileExists, EEXIST, nullptr},
    {kErrorInvalidParameter, EINVAL, nullptr},
    {kErrorDiskFull, ENOSPC, nullptr},
    {kErrorCallNotImplemented, ENOSYS, nullptr},
    {kErrorInsufficientBuffer, 0, "The buffer is too small for the answer."},
    {kErrorInvalidName, 0, "The file name, folder name or volume label syntax is not valid."},
    {kErrorModNotFound, 0, "The library could not be found."},
    {kErrorProcNotFound, 0, "The library has no function of that name."},
    {kErrorDirNotEmpty, ENOTEMPTY, nullptr},
    {kErrorBusy, EBUSY, nullptr},
    {kErrorAlreadyExists, EEXIST, nullptr},
    {kErrorFilenameExcedRange, ENAMETOOLONG, nullptr},
    {kErrorDirectory, ENOTDIR, nullptr},
    {kErrorIoDevice, EIO, nullptr},
    {kErrorCantResolveFilename, ELOOP, nullptr},
};

bool LookUpMessage(std::uint32_t code, std::string& text) {
  int errnoValue = 0;
  if ((code & kErrnoCodeBit) != 0 && (code & ~kErrnoCodeBit) < 0x10000) {
    errnoValue = static_cast<int>(code & ~kErrnoCodeBit);
  } else {
    const Message* found = nullptr;
    for (const Message& m : kMessages) {
      if (m.code == code) found = &m;
    }
    if (found == nullptr) return false;
    if (found->errnoValue == 0) {
      text = found->text;
    }
    errnoValue = found->errnoValue;
  }
  if (errnoValue != 0) text = std::error_code(errnoValue, std::generic_category()).message();
  text += "\r\n";  // the system's messages end in a line break; callers clean it off
  return true;
}

template <typename Char>
std::uint32_t FormatMessageInto(std::uint32_t flags, std::uint32_t code, Char* buffer,
                                std::uint32_t size) {
  std::string text;
  if ((flags & kFormatMessageFromSystem) == 0 || !LookUpMessage(code, text)) {
    g_lastError = kErrorMrMidNotFound;
    return 0;
  }
  std::basic_string<Char> converted;
  if constexpr (sizeof(Char) == 2) {
    converted = Utf8ToUtf16(text);
  } else {
    converted = Utf8ToAnsi(text);
  }
  if (converted.size() + 1 > size) {
    g_lastError = kErrorInsufficientBuffer;
    return 0;
  }
  std::copy(converted.begin(), converted.end(), buffer);
  buffer[converted.size()] = Char(0);
  return static_cast<std::uint32_t>(converted.size());
}

// Libraries and the functions they export, as far as the probes ask.
struct Library {
  const char* name;
  std::initializer_list<const char*> exports;
};
const Library kLibraries[] = {
    {"kernel32",
     {"LoadLibraryA",
      "GetProcAddress",
      "FreeLibrary",
      "GetVersion",
      "GetVersionExA",
      "GetVersionExW",
      "GetLastError",
      "SetLastError",
      "FormatMessageA",
      "FormatMessageW",
      "FindFirstFileA",
      "FindFirstFileW",
      "FindNextFileA",
      "FindNextFileW",
      "FindClose",
      "GetFileAttributesA",
      "GetFileAttributesW",
      "GetFileAttributesExA",
      "GetFileSizeEx",
      "GetDiskFreeSpaceExA",
      "GetCompressedFileSizeA",
      "GetCompressedFileSizeW",
      "CopyFileExA",
      "GetLongPathNameA",
      "GetShortPathNameA",
      "GetShortPathNameW",
      "FileTimeToSystemTime",
      "lstrcatA"}},
    {"comctl32", {"InitCommonControls", "InitCommonControlsEx"}},
    {"shell32", {"SHBrowseForFolderA", "SHGetPathFromIDListA", "ShellExecuteA"}},
};

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

ModuleHandle EmulatedLoadLibrary(const std::string& name) {
  std::string wanted = LowerAscii(name);
  if (wanted.size() > 4 && wanted.ends_with(".dll")) wanted.resize(wanted.size() - 4);
  for (std::size_t i = 0; i < std::size(kLibraries); ++i) {
    if (wanted == kLibraries[i].name) return static_cast<ModuleHandle>(i + 1);
  }
  g_lastError = kErrorModNotFound;
  return 0;
}

const Library* LibraryOf(ModuleHandle module) {
  if (module < 1 || module > static_cast<ModuleHandle>(std::size(kLibraries))) return nullptr;
  return &kLibraries[module - 1];
}

const void* EmulatedGetProcAddress(ModuleHandle module, const std::string& procedure) {
  const Library* library = LibraryOf(module);
  if (library == nullptr) {
    g_lastError = kErrorInvalidHandle;
    return nullptr;
  }
  for (const char* name : library->exports) {
    if (procedure == name) return name;  // any stable non-null address will do
  }
  g_lastError = kErrorProcNotFound;
  return nullptr;
}

constexpr std::uint32_t kMajor = 10;
constexpr std::uint32_t kMinor = 0;
constexpr std::uint32_t kBuild = 0;
constexpr std::uint32_t kPlatformNT = 2;

template <typename Info>
int EmulatedGetVersionEx(Info& info, std::uint32_t expectedSize) {
  if (info.dwOSVersionInfoSize != expectedSize) {
    g_lastError = kErrorInsufficientBuffer;
    return 0;
  }
  info.dwMajorVersion = kMajor;
  info.dwMinorVersion = kMinor;
  info.dwBuildNumber = kBuild;
  info.dwPlatformId = kPlatformNT;
  std::fill(std::begin(info.szCSDVersion), std::end(info.szCSDVersion), 0);
  return 1;
}

// ---- Paths, times and attributes ------------------------------------------------------------

// The long-path prefixes mean nothing here: \\?\UNC\server\... is //server/..., \\?\x is x.
void AssignNativePath(std::u16string_view view, std::string& out) {
  out.clear();
  // Compared unit by unit: this runs for every entry the scan asks about.
  if (view.size() >= 4 && view[0] == u'\\' && view[1] == u'\\' && view[2] == u'?' &&
      view[3] == u'\\') {
    view.remove_prefix(4);
    if (view.size() >= 4 && view[0] == u'U' && view[1] == u'N' && view[2] == u'C' &&
        view[3] == u'\\') {
      out = "//";
      view.remove_prefix(4);
    }
  }
  AppendUtf8(view, out);
}

std::string NativePath(const char16_t* wide) {
  std::string path;
  AssignNativePath(wide, path);
  return path;
}

// The same, in a buffer of the thread's that the next call overwrites: for the attribute query
// the scan makes of every entry, whose emulation calls nothing that converts a path again.
const std::string& ScratchNativePath(const char16_t* wide) {
  thread_local std::string path;
  AssignNativePath(wide, path);
  return path;
}
std::string NativePath(const char* ansi) {
  return AnsiToUtf8(ansi);
}

constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

FileTime ToFileTime(const struct timespec& ts) {
  std::uint64_t ticks = 0;
  if (ts.tv_sec >= -kSecondsFrom1601To1970) {
    ticks = static_cast<std::uint64_t>(ts.tv_sec + kSecondsFrom1601To1970) * 10000000u +
            static_cast<std::uint64_t>(ts.tv_nsec) / 100u;
  }
  return {static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
}

bool IsDotName(std::string_view name) {
  return name == "." || name == "..";
}

std::string BaseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const auto slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::uint32_t AttributesOf(const struct stat& st, std::string_view name,
                           const std::function<bool(struct stat&)>& statTarget) {
  std::uint32_t attributes = 0;
  if (S_ISLNK(st.st_mode)) {
    attributes |= kAttrReparsePoint;
    struct stat target {};
    if (statTarget(target) && S_ISDIR(target.st_mode)) attributes |= kAttrDirectory;
  } else if (S_ISDIR(st.st_mode)) {
    attributes |= kAttrDirectory;
  } else if (!S_ISREG(st.st_mode)) {
    attributes |= 0x40;  // FILE_ATTRIBUTE_DEVICE: a FIFO, socket or device, not a plain file
  }
  if (!S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0) attributes |= kAttrReadOnly;
  if (name.size() > 1 && name[0] == '.' && !IsDotName(name)) attributes |= kAttrHidden;
  if (attributes == 0) attributes = kAttrNormal;
  return attributes;
}

// Into a buffer the caller has zeroed; a name too long for it is cut, still ending in a NUL.
template <typename Char>
void CopyName(std::string_view utf8, Char (&out)[kMaxPath]) {
  thread_local std::basic_string<Char> name;  // its capacity serves every entry of a scan
  name.clear();
  if constexpr (sizeof(Char) == 2) {
    AppendUtf16(utf8, name);
  } else {
    name = Utf8ToAnsi(std::string(utf8));
  }
  std::copy_n(name.begin(), std::min<std::size_t>(name.size(), kMaxPath - 1), out);
}

template <typename Char>
void FillFindData(const struct stat& st, std::string_view name, std::uint32_t attributes,
                  BasicFindData<Char>& data) {
  data = BasicFindData<Char>{};
  data.dwFileAttributes = attributes;
  data.ftCreationTime = ToFileTime(st.st_ctim);  // POSIX keeps no portable birth time
  data.ftLastAccessTime = ToFileTime(st.st_atim);
  data.ftLastWriteTime = ToFileTime(st.st_mtim);
  if ((attributes & kAttrDirectory) == 0 && S_ISREG(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<std::uint32_t>(size >> 32);
    data.nFileSizeLow = static_cast<std::uint32_t>(size);
  }
  if (S_ISLNK(st.st_mode)) data.dwReserved0 = kReparseTagSymlink;
  CopyName(name, data.cFileName);
}

// ---- Pattern matching -------------------------------------------------------------------------

char FoldAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// '*' matches any run of bytes, '?' one character; everything else compares without regard to
// ASCII case. Iterative with one backtrack point, so no pattern makes it slow.
bool MatchesPattern(std::string_view pattern, std::string_view name) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (pattern.size() > 1 && pattern[0] == '*' && pattern.find_first_of("*?", 1) == pattern.npos) {
    // "*.eml", the scan's pattern: the name ends in the rest
    const std::string_view rest = pattern.substr(1);
    return name.size() >= rest.size() &&
           std::equal(rest.begin(), rest.end(), name.end() - rest.size(),
                      [](char a, char b) { return FoldAscii(a) == FoldAscii(b); });
  }
  std::size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || FoldAscii(pattern[p]) == FoldAscii(name[n]))) {
      if (pattern[p] == '?') {
        // one whole UTF-8 character
        ++n;
        while (n < name.size() && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) ++n;
        ++p;
      } else {
        ++p, ++n;
      }
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// ---- Directory search -------------------------------------------------------------------------

// What the last listed folder's entries looked like when they were listed. Windows answers a
// find from the folder's index, which holds each entry's kind, times and sizes; here a listing
// gives each entry's name and kind (d_type), and the rest costs a stat. So an entry is described
// from its kind alone (its times, sizes and read-only bit deferred: kDetailsDeferred, asked for
// through GetFileAttributesExW when a caller reads them); only a link or an entry of unknown kind
// is looked at when listed. The scan asks about each entry again (its attributes) and lists each
// folder twice: the attribute queries for an entry of the folder listed last are answered from
// its listing, for at most a second after the listing began, and its details from a handle on
// the folder; any other path, or an older listing, is asked of the file system afresh.
struct ListedEntry {
  std::uint32_t attributes = 0;
  std::shared_ptr<const struct stat> st;  // the entry's stat; absent when only its kind is known
};

// Milliseconds of a monotonic clock that is cheap to read (a tick of a few milliseconds is
// plenty for a lifetime of a second): the cache's freshness is checked at every lookup.
std::int64_t MonotonicMilliseconds() {
#ifdef CLOCK_MONOTONIC_COARSE
  constexpr clockid_t kClock = CLOCK_MONOTONIC_COARSE;
#else
  constexpr clockid_t kClock = CLOCK_MONOTONIC;
#endif
  struct timespec now {};
  clock_gettime(kClock, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// One listing of a folder: its entries in the order the system gave them.
struct Listing {
  Listing() = default;
  Listing(const Listing&) = delete;  // its entries' names point into its own blocks
  Listing& operator=(const Listing&) = delete;

  std::string folder;
  std::int64_t started = MonotonicMilliseconds();
  bool complete = false;        // every entry is here: it can be listed again from memory
  struct timespec changed {};   // the folder's ctime when its listing began
  struct timespec modified {};  // and its mtime: entries added, removed or renamed change both
  struct timespec began {};     // the wall time the listing began
  struct Entry {
    std::string_view name;  // in `names_`
    ListedEntry listed;
    std::size_t hash = 0;
  };
  std::vector<Entry> entries;

  // The entry of this name, or nullptr. The scan asks about each entry just after it was
  // listed, so the entry after the one found last is tried before the index.
  const ListedEntry* Find(std::string_view name) const {
    for (std::size_t at = cursor_; at < entries.size() && at <= cursor_ + 1; ++at) {
      if (entries[at].name == name) return &entries[cursor_ = at].listed;
    }
    if (slots_.empty()) return nullptr;
    const std::uint32_t slot = slots_[SlotOf(name, Hash(name))];
    if (slot == 0) return nullptr;
    return &entries[cursor_ = slot - 1].listed;
  }
  // Adds an entry unless its name is there already (an entry renamed while its folder was
  // being listed can be listed twice; it is kept once, as first seen), and returns the entry
  // kept, so that every answer about the name is the same.
  const ListedEntry& Add(std::string_view name, const ListedEntry& listed) {
    if ((entries.size() + 1) * 2 > slots_.size()) Grow();
    const std::size_t hash = Hash(name);
    std::uint32_t& slot = slots_[SlotOf(name, hash)];
    if (slot == 0) {
      entries.push_back({Keep(name), listed, hash});
      slot = static_cast<std::uint32_t>(entries.size());
    }
    cursor_ = slot - 1;
    return entries[cursor_].listed;
  }
  // The entry at `at` was listed again from memory: it is the one asked about next.
  void Replayed(std::size_t at) const { cursor_ = at; }

 private:
  static std::size_t Hash(std::string_view name) { return std::hash<std::string_view>{}(name); }
  // The slot that holds `name`, or the free one where it belongs (linear probing).
  std::size_t SlotOf(std::string_view name, std::size_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint32_t slot = slots_[i];
      if (slot == 0) return i;
      const Entry& entry = entries[slot - 1];
      if (entry.hash == hash && entry.name == name) return i;
    }
  }
  // At most half the slots are taken, so that a probe ends soon.
  void Grow() {
    slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), 0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      slots_[SlotOf(entries[i].name, entries[i].hash)] = static_cast<std::uint32_t>(i + 1);
    }
  }
  // Names are kept end to end in blocks that never move, so that a listing of thousands of
  // entries costs a few allocations instead of one a name.
  std::string_view Keep(std::string_view name) {
    if (names_.empty() || names_.back().size - names_.back().used < name.size()) {
      const std::size_t size = std::max(kNameBlock, name.size());
      names_.push_back({std::make_unique<char[]>(size), 0, size});
    }
    NameBlock& block = names_.back();
    char* kept = block.bytes.get() + block.used;
    std::copy(name.begin(), name.end(), kept);
    block.used += name.size();
    return {kept, name.size()};
  }

  struct NameBlock {
    std::unique_ptr<char[]> bytes;
    std::size_t used = 0, size = 0;
  };
  static constexpr std::size_t kNameBlock = 16 * 1024;
  std::vector<NameBlock> names_;
  std::vector<std::uint32_t> slots_;  // entry index + 1 by hash; 0 is a free slot
  mutable std::size_t cursor_ = 0;    // the entry found last
};

class ListingCache {
 public:
  // A listing of folder begins, `folderFd` its open handle: keep what is known of the folder
  // while it is fresh, else start over. The listing that the new one's entries go into.
  std::shared_ptr<Listing> Begin(const std::string& folder, int folderFd) {
    if (!(current_ && current_->folder == folder && Fresh())) {
      current_ = std::make_shared<Listing>();
      current_->folder = folder;
      struct stat st {};
      if (folderFd >= 0 && fstat(folderFd, &st) == 0) {
        current_->changed = st.st_ctim;
        current_->modified = st.st_mtim;
      }
      clock_gettime(CLOCK_REALTIME, &current_->began);
    }
    if (folderFd >= 0) fd_ = folderFd;
    return current_;
  }
  // The folder's last listing, when it is complete, fresh and the folder has not changed since
  // (the scan lists every folder twice in a row): a new listing can be served from it. It stays
  // valid for its holder.
  std::shared_ptr<const Listing> Replay(const std::string& folder) {
    if (!current_ || current_->folder != folder || !current_->complete || !Fresh()) {
      return nullptr;
    }
    struct stat st {};
    const auto same = [](const struct timespec& a, const struct timespec& b) {
      return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    if (StatLongPath(folder, st) != 0 || !same(st.st_ctim, current_->changed) ||
        !same(st.st_mtim, current_->modified)) {
      return nullptr;
    }
    // A folder changed just before its listing began could change again within the same tick
    // of its file system's clock (2 s on FAT) and show the same time: it is listed afresh.
    constexpr long kRacySeconds = 2;
    if (st.st_ctim.tv_sec + kRacySeconds >= current_->began.tv_sec) return nullptr;
    return current_;
  }
  const ListedEntry* Find(std::string_view folder, std::string_view name) {
    if (!current_ || folder != current_->folder || current_->entries.empty() || !Fresh()) {
      return nullptr;
    }
    return current_->Find(name);
  }
  // An entry of the folder listed last, looked up by its full path.
  const ListedEntry* FindPath(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size()) return nullptr;
    return Find(path.substr(0, slash + 1), path.substr(slash + 1));
  }
  // A handle on the folder listed last, when `path` is one of its entries; else -1.
  int FolderFdOf(std::string_view path) {
    const auto slash = path.rfind('/');
    if (fd_ < 0 || !current_ || slash == std::string_view::npos ||
        path.substr(0, slash + 1) != current_->folder || !Fresh()) {
      return -1;
    }
    return fd_;
  }
  // The listing with this handle ends: its handle is no longer there to ask through.
  void End(int folderFd) {
    if (folderFd == fd_) fd_ = -1;
  }

 private:
  bool Fresh() const {
    return current_ && MonotonicMilliseconds() - current_->started < kLifetimeMilliseconds;
  }

  static constexpr std::int64_t kLifetimeMilliseconds = 1000;
  std::shared_ptr<Listing> current_;
  int fd_ = -1;
};

ListingCache& Listed() {
  static ListingCache cache;
  return cache;
}

struct Search {
  DIR* dir = nullptr;
  std::shared_ptr<const Listing> replay;  // served from memory instead of `dir`
  // What `dir` lists goes into this listing only, even once another has taken its place in
  // the cache: a listing is complete only with what its own searches read to the end.
  std::shared_ptr<Listing> listing;
  bool firstListing = false;  // no entry of the folder was known when `dir` was opened
  std::size_t next = 0;
  std::string folder;  // with its trailing '/'
  std::string pattern;
  bool everyName = false;  // the pattern is "*" or "*.*"
  ~Search() {
    if (dir == nullptr) return;
    Listed().End(dirfd(dir));
    closedir(dir);
  }
};

std::map<SearchHandle, std::unique_ptr<Search>>& Searches() {
  static std::map<SearchHandle, std::unique_ptr<Search>> searches;
  return searches;
}
SearchHandle g_nextHandle = 0x1000;

// What the directory entry alone says of the entry: its kind, and hidden by its name.
bool AttributesFromKind(unsigned char kind, std::string_view name, std::uint32_t& attributes) {
  switch (kind) {
    case DT_DIR:
      attributes = kAttrDirectory;
      break;
    case DT_REG:
      attributes = 0;
      break;
    case DT_FIFO:
    case DT_SOCK:
    case DT_CHR:
    case DT_BLK:
      attributes = 0x40;  // FILE_ATTRIBUTE_DEVICE, as AttributesOf has it
      break;
    default:
      return false;  // a link, or a file system that does not say: look at it
  }
  if (name.size() > 1 && name[0] == '.' && !IsDotName(name)) attributes |= kAttrHidden;
  if (attributes == 0) attributes = kAttrNormal;
  return true;
}

template <typename Char>
void FillFindData(const ListedEntry& entry, std::string_view name, BasicFindData<Char>& data) {
  if (entry.st) {
    FillFindData(*entry.st, name, entry.attributes, data);
    return;
  }
  data = BasicFindData<Char>{};
  data.dwFileAttributes = entry.attributes;
  data.dwReserved1 = kDetailsDeferred;
  CopyName(name, data.cFileName);
}

// Reads on to the next entry that matches; false with the last error set when there is none.
template <typename Char>
bool NextMatch(Search& search, BasicFindData<Char>& data) {
  if (search.replay) {
    while (search.next < search.replay->entries.size()) {
      const Listing::Entry& entry = search.replay->entries[search.next++];
      if (!search.everyName && !MatchesPattern(search.pattern, entry.name)) continue;
      search.replay->Replayed(search.next - 1);
      FillFindData(entry.listed, entry.name, data);
      return true;
    }
    g_lastError = kErrorNoMoreFiles;
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(search.dir);
    if (entry == nullptr) {
      g_lastError = errno == 0 ? kErrorNoMoreFiles : CodeFromErrno(errno);
      if (errno == 0 && search.everyName) search.listing->complete = true;
      return false;
    }
    const std::string_view name = entry->d_name;
    if (!search.everyName && !MatchesPattern(search.pattern, name)) continue;
    // A first listing meets each name once: nothing is known of it to look up.
    const ListedEntry* known = search.firstListing ? nullptr : Listed().Find(search.folder, name);
    if (known != nullptr) {
      FillFindData(*known, name, data);
      return true;
    }
    ListedEntry listed;
    if (!AttributesFromKind(entry->d_type, name, listed.attributes)) {
      const int dirFd = dirfd(search.dir);
      auto st = std::make_shared<struct stat>();
      if (fstatat(dirFd, entry->d_name, st.get(), AT_SYMLINK_NOFOLLOW) != 0) {
        continue;  // removed since it was listed: the system would not list it either
      }
      const auto statTarget = [&](struct stat& target) {
        return fstatat(dirFd, entry->d_name, &target, 0) == 0;
      };
      listed.attributes = AttributesOf(*st, name, statTarget);
      listed.st = std::move(st);
    }
    FillFindData(search.listing->Add(name, listed), name, data);
    return true;
  }
}

template <typename Char>
SearchHandle EmulatedFindFirstFile(const std::string& spec, BasicFindData<Char>& data) {
  const auto slash = spec.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : spec.substr(0, slash + 1);
  std::string pattern = slash == std::string::npos ? spec : spec.substr(slash + 1);
  if (pattern.empty()) {
    g_lastError = kErrorFileNotFound;
    return kInvalidHandle;
  }
  auto search = std::make_unique<Search>();
  search->folder = folder;
  search->pattern = std::move(pattern);
  search->everyName = search->pattern == "*" || search->pattern == "*.*";
  search->replay = Listed().Replay(folder);
  if (!search->replay) {
    const int folderFd = OpenLongPath(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    search->dir = folderFd < 0 ? nullptr : fdopendir(folderFd);
    if (search->dir == nullptr && folderFd >= 0) close(folderFd);
    if (search->dir == nullptr) {
      g_lastError = errno == ENOENT ? kErrorPathNotFound : CodeFromErrno(errno);
      return kInvalidHandle;
    }
    search->listing = Listed().Begin(folder, dirfd(search->dir));
    search->firstListing = search->listing->entries.empty();
  }
  if (!NextMatch(*search, data)) {
    if (g_lastError == kErrorNoMoreFiles) g_lastError = kErrorFileNotFound;
    return kInvalidHandle;
  }
  const SearchHandle handle = g_nextHandle++;
  Searches().emplace(handle, std::move(search));
  g_lastError = kErrorSuccess;
  return handle;
}

template <typename Char>
int EmulatedFindNextFile(SearchHandle handle, BasicFindData<Char>& data) {
  auto it = Searches().find(handle);
  if (it == Searches().end()) {
    g_lastError = kErrorInvalidHandle;
    return 0;
  }
  return NextMatch(*it->second, data) ? 1 : 0;
}

int EmulatedFindClose(SearchHandle handle) {
  if (Searches().erase(handle) == 0) {
    g_lastError = kErrorInvalidHandle;
    return 0;
  }
  return 1;
}

// A missing file in an existing folder is "file not found"; a missing folder on the way is
// "path not found", as the system tells them apart.
std::uint32_t MissingPathCode(const std::string& path) {
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const auto slash = parent.rfind('/');
  parent = slash == std::string::npos ? "." : parent.substr(0, slash == 0 ? 1 : slash);
  struct stat st {};
  return (StatLongPath(parent, st) == 0 && S_ISDIR(st.st_mode)) ? kErrorFileNotFound
                                                                : kErrorPathNotFound;
}

bool StatPath(const std::string& path, struct stat& st) {
  if (LstatLongPath(path, st) == 0) return true;
  g_lastError = errno == ENOENT ? MissingPathCode(path) : CodeFromErrno(errno);
  return false;
}

std::uint32_t EmulatedGetFileAttributes(const std::string& path) {
  if (const ListedEntry* known = Listed().FindPath(path)) return known->attributes;
  struct stat st {};
  if (!StatPath(path, st)) return kInvalidFileAttributes;
  const auto statTarget = [&](struct stat& target) { return StatLongPath(path, target) == 0; };
  return AttributesOf(st, BaseName(path), statTarget);
}

// The entry's full description: relative to the folder listed last when it is one of its
// entries (the scan's and the walks' case), else by its path.
int EmulatedGetFileAttributesEx(const std::string& path, FileAttributeData& data) {
  struct stat st {};
  const int folderFd = Listed().FolderFdOf(path);
  bool ok = false;
  if (folderFd >= 0) {
    ok = fstatat(folderFd, path.c_str() + path.rfind('/') + 1, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!ok) g_lastError = errno == ENOENT ? kErrorFileNotFound : CodeFromErrno(errno);
  } else {
    ok = StatPath(path, st);
  }
  if (!ok) return 0;
  const auto statTarget = [&](struct stat& target) { return StatLongPath(path, target) == 0; };
  data.dwFileAttributes = AttributesOf(st, BaseName(path), statTarget);
  data.ftCreationTime = ToFileTime(st.st_ctim);
  data.ftLastAccessTime = ToFileTime(st.st_atim);
  data.ftLastWriteTime = ToFileTime(st.st_mtim);
  if ((data.dwFileAttributes & kAttrDirectory) == 0 && S_ISREG(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<std::uint32_t>(size >> 32);
    data.nFileSizeLow = static_cast<std::uint32_t>(size);
  }
  g_lastError = kErrorSuccess;
  return 1;
}

template <typename Char>
std::uint32_t EmulatedGetShortPathName(const Char* path, const std::string& native, Char* shortPath,
                                       std::uint32_t size) {
  struct stat st {};
  if (Listed().FindPath(native) == nullptr && !StatPath(native, st)) return 0;
  const std::basic_string<Char> answer(path);  // copied first: the buffers may be one
  if (answer.size() + 1 > size) return static_cast<std::uint32_t>(answer.size() + 1);
  std::copy(answer.begin(), answer.end(), shortPath);
  shortPath[answer.size()] = Char(0);
  return static_cast<std::uint32_t>(answer.size());
}

std::uint32_t EmulatedGetCompressedFileSize(const std::string& path, std::uint32_t* high) {
  struct stat st {};
  if (!StatPath(path, st)) return kInvalidFileSize;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (high != nullptr) *high = static_cast<std::uint32_t>(size >> 32);
  g_lastError = kErrorSuccess;  // a low word of 0xFFFFFFFF is then no failure
  return static_cast<std::uint32_t>(size);
}

int EmulatedFileTimeToSystemTime(const FileTime& time, SystemTime& out) {
  const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  if (ticks > 0x7FFFFFFFFFFFFFFFull) {
    g_lastError = kErrorInvalidParameter;
    return 0;
  }
  const std::uint64_t seconds = ticks / 10000000u;
  const auto days = static_cast<std::int64_t>(seconds / 86400u);
  const std::uint64_t secondOfDay = seconds % 86400u;
  // Civil date from a day count (proleptic Gregorian), counted here from 1601-01-01, which
  // begins a 400-year cycle.
  const std::int64_t era = days / 146097;
  const std::int64_t dayOfEra = days % 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t year = 1601 + era * 400 + yearOfEra;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int monthDays[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int month = 0;
  while (dayOfYear >= monthDays[month]) dayOfYear -= monthDays[month++];
  out.wYear = static_cast<std::uint16_t>(year);
  out.wMonth = static_cast<std::uint16_t>(month + 1);
  out.wDay = static_cast<std::uint16_t>(dayOfYear + 1);
  out.wDayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  out.wHour = static_cast<std::uint16_t>(secondOfDay / 3600);
  out.wMinute = static_cast<std::uint16_t>(secondOfDay / 60 % 60);
  out.wSecond = static_cast<std::uint16_t>(secondOfDay % 60);
  out.wMilliseconds = static_cast<std::uint16_t>(ticks / 10000u % 1000u);
  return 1;
}

}  // namespace

std::string Utf8ToAnsi(const std::string& text) {
  std::string out;
  for (char16_t unit : Utf8ToUtf16(text)) {
    out += unit < 0x100 ? static_cast<char>(unit) : '?';
  }
  return out;
}

std::string AnsiToUtf8(const std::string& text) {
  std::u16string wide;
  for (char c : text) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  return Utf16ToUtf8(wide);
}

SystemCalls NativeSystemCalls() {
  SystemCalls calls;
  calls.LoadLibraryA = EmulatedLoadLibrary;
  calls.GetProcAddress = EmulatedGetProcAddress;
  calls.FreeLibrary = [](ModuleHandle module) {
    if (LibraryOf(module) != nullptr) return 1;
    g_lastError = kErrorInvalidHandle;
    return 0;
  };
  calls.GetVersion = [] { return kMajor | (kMinor << 8) | (kBuild << 16); };
  calls.GetVersionExW = [](OsVersionInfoW& i) {
    return EmulatedGetVersionEx(i, kOsVersionInfoWSize);
  };
  calls.GetVersionExA = [](OsVersionInfoA& i) {
    return EmulatedGetVersionEx(i, kOsVersionInfoASize);
  };
  calls.GetLastError = [] { return g_lastError; };
  calls.SetLastError = [](std::uint32_t code) { g_lastError = code; };
  calls.FormatMessageW = [](std::uint32_t flags, std::uint32_t id, std::uint32_t, char16_t* buffer,
                            std::uint32_t size) {
    return FormatMessageInto(flags, id, buffer, size);
  };
  calls.FormatMessageA = [](std::uint32_t flags, std::uint32_t id, std::uint32_t, char* buffer,
                            std::uint32_t size) {
    return FormatMessageInto(flags, id, buffer, size);
  };
  calls.FindFirstFileW = [](const char16_t* path, FindDataW& data) {
    return EmulatedFindFirstFile(NativePath(path), data);
  };
  calls.FindFirstFileA = [](const char* path, FindDataA& data) {
    return EmulatedFindFirstFile(NativePath(path), data);
  };
  calls.FindNextFileW = EmulatedFindNextFile<char16_t>;
  calls.FindNextFileA = EmulatedFindNextFile<char>;
  calls.FindClose = EmulatedFindClose;
  calls.GetFileAttributesW = [](const char16_t* path) {
    return EmulatedGetFileAttributes(ScratchNativePath(path));
  };
  calls.GetFileAttributesA = [](const char* path) {
    return EmulatedGetFileAttributes(NativePath(path));
  };
  calls.GetFileAttributesExW = [](const char16_t* path, FileAttributeData& data) {
    return EmulatedGetFileAttributesEx(NativePath(path), data);
  };
  calls.GetShortPathNameW = [](const char16_t* path, char16_t* out, std::uint32_t size) {
    return EmulatedGetShortPathName(path, NativePath(path), out, size);
  };
  calls.GetShortPathNameA = [](const char* path, char* out, std::uint32_t size) {
    return EmulatedGetShortPathName(path, NativePath(path), out, size);
  };
  calls.GetCompressedFileSizeW = [](const char16_t* path, std::uint32_t* high) {
    return EmulatedGetCompressedFileSize(NativePath(path), high);
  };
  calls.GetCompressedFileSizeA = [](const char* path, std::uint32_t* high) {
    return EmulatedGetCompressedFileSize(NativePath(path), high);
  };
  calls.FileTimeToSystemTime = EmulatedFileTimeToSystemTime;
  // Nothing to register: the toolkit draws the controls itself.
  calls.InitCommonControlsEx = [](std::uint32_t size, std::uint32_t) { return size == 8 ? 1 : 0; };
  return calls;
}

}  // namespace crateline::platform

#endif  // !_WIN32
