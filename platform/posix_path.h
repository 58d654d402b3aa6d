// Paths longer than the system's limit, on POSIX systems.
//
// A mail tree can be deeper than PATH_MAX (4,096 bytes on Linux); the kernel then refuses the
// whole path (ENAMETOOLONG), although every folder on the way can be opened one below the
// other. PathAt resolves such a path in pieces, each below the limit, through the folder
// handle of the piece before it, and hands out a folder handle and a last piece for the *at()
// calls (openat, fstatat). A path below the limit costs nothing: the handle is AT_FDCWD and
// the piece is the path itself. This is what the long-path prefix "\\?\" gives on Windows.
#pragma once
#ifndef _WIN32

#include <string>

#include <sys/stat.h>

namespace crateline::platform {

class PathAt {
 public:
  explicit PathAt(const std::string& path);
  ~PathAt();
  PathAt(const PathAt&) = delete;
  PathAt& operator=(const PathAt&) = delete;

  // False when a folder on the way could not be opened; error() then holds its errno.
  bool ok() const { return error_ == 0; }
  int error() const { return error_; }
  int dir() const { return dir_; }
  const char* name() const { return name_.c_str(); }

 private:
  int dir_;
  bool owned_ = false;
  int error_ = 0;
  std::string name_;
};

// open(), lstat() and stat() of a path of any length; -1 and errno as the calls themselves.
int OpenLongPath(const std::string& path, int flags, unsigned mode = 0);
int LstatLongPath(const std::string& path, struct stat& st);
int StatLongPath(const std::string& path, struct stat& st);

}  // namespace crateline::platform

#endif  // !_WIN32
