#ifndef _WIN32

#include "platform/posix_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace crateline::platform {
namespace {

// The longest piece handed to the kernel at once, its NUL included.
constexpr std::size_t kLongestPiece = PATH_MAX - 1;

}  // namespace

PathAt::PathAt(const std::string& path) : dir_(AT_FDCWD) {
  std::size_t start = 0;
  while (path.size() - start > kLongestPiece) {
    // The longest run of whole folders that fits; a name longer than the limit cannot exist.
    const std::size_t cut = path.rfind('/', start + kLongestPiece - 1);
    if (cut == std::string::npos || cut < start) {
      error_ = ENAMETOOLONG;
      break;
    }
    if (cut == start && start > 0) {  // an empty piece ("//"): nothing to open
      start = cut + 1;
      continue;
    }
    const std::string piece = cut == 0 ? "/" : path.substr(start, cut - start);
    const int next = openat(dir_, piece.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (next < 0) {
      error_ = errno;
      break;
    }
    if (owned_) close(dir_);
    dir_ = next;
    owned_ = true;
    start = cut + 1;
  }
  name_ = path.substr(start);
  if (name_.empty()) name_ = ".";
}

PathAt::~PathAt() {
  if (owned_) close(dir_);
}

int OpenLongPath(const std::string& path, int flags, unsigned mode) {
  const PathAt at(path);
  if (!at.ok()) {
    errno = at.error();
    return -1;
  }
  return openat(at.dir(), at.name(), flags, static_cast<mode_t>(mode));
}

int LstatLongPath(const std::string& path, struct stat& st) {
  const PathAt at(path);
  if (!at.ok()) {
    errno = at.error();
    return -1;
  }
  return fstatat(at.dir(), at.name(), &st, AT_SYMLINK_NOFOLLOW);
}

int StatLongPath(const std::string& path, struct stat& st) {
  const PathAt at(path);
  if (!at.ok()) {
    errno = at.error();
    return -1;
  }
  return fstatat(at.dir(), at.name(), &st, 0);
}

}  // namespace crateline::platform

#endif  // !_WIN32
