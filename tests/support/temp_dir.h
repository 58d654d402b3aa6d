// A folder under the system's temporary folder that lives as long as the object, with helpers
// to lay out files in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "util/separator.h"
#include "util/utf8_path.h"

namespace crateline::testing {

class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("crateline-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    // Give back write and search permission first, or a test's locked folder would stay.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
      }
    }
    std::filesystem::remove_all(path_, ignored);
#ifndef _WIN32
    // A tree deeper than the system's path limit defeats remove_all; rm walks it piece by piece.
    if (std::filesystem::exists(path_, ignored)) {
      (void)std::system(("rm -rf '" + path_.string() + "'").c_str());
    }
#endif
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const {
    return path_;
  }
  // The folder's path (UTF-8) with a trailing separator, as the scan holds folder paths.
  std::string folder() const {
    return util::Utf8FromPath(path_) + util::kPathSeparator;
  }

  // Writes a file (creating its folders) and returns its path.
  std::filesystem::path Write(const std::string& relative, const std::string& content = "x") {
    const auto file = path_ / util::PathFromUtf8(relative);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  std::filesystem::path Mkdir(const std::string& relative) {
    std::filesystem::create_directories(path_ / util::PathFromUtf8(relative));
    return path_ / util::PathFromUtf8(relative);
  }

 private:
  std::filesystem::path path_;
};

}  // namespace crateline::testing
