// PathLogger: walks a folder tree breadth-first and records its folders and files in keyed
// lists: pathNames (every folder, root first, each with its trailing separator), fullFileNames
// (every file's full path), and, unless fullFileNamesOnly, fileNames (bare names) and
// pathPointers (the 1-based position in pathNames of each file's folder).
//
// Keys: the root folder is "K0", the folder at position p >= 2 is "Kp" (there is no "K1");
// the k-th file is "Kk" in every file list. Within a folder, entries come in the order the
// directory lister yields them; nothing is sorted or filtered. Links to folders are not
// followed, so a link loop cannot make the walk endless.
//
// Use: PathLogInit(), optionally set fullFileNamesOnly = false, LogPath(root) once, read the
// lists, Terminate(). A failure of the file system stops the walk with a PathLoggerError naming
// the folder; what was recorded until then stays.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/keyed_list.h"
#include "util/separator.h"

namespace crateline::util {

class PathLoggerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the walk asks of the file system; replaceable for tests.
class DirectoryLister {
 public:
  virtual ~DirectoryLister() = default;
  virtual bool FolderExists(const std::string& path) = 0;
  // Names of the immediate subfolders (links to folders left out) and of the files; throw
  // PathLoggerError when the folder cannot be listed.
  virtual std::vector<std::string> SubFolders(const std::string& path) = 0;
  virtual std::vector<std::string> Files(const std::string& path) = 0;
};

// The system's directories, through the standard library.
std::unique_ptr<DirectoryLister> MakeSystemLister();

class PathLogger {
 public:
  using CaptionSink = std::function<void(const std::string&)>;
  using ListerFactory = std::function<std::unique_ptr<DirectoryLister>()>;

  // The sink receives "N Messages Queued for Conversion." in the fullFileNamesOnly mode.
  explicit PathLogger(CaptionSink setCaption = {}, ListerFactory makeLister = MakeSystemLister);

  void PathLogInit();
  void LogPath(const std::string& path);
  void Terminate();

  std::int32_t Count() const { return count_; }
  bool fullFileNamesOnly = false;

  // The instance's own lists (an empty one is made when none is held).
  KeyedList<std::string>& fileNames();
  KeyedList<std::string>& pathNames();
  KeyedList<std::int32_t>& pathPointers();
  KeyedList<std::string>& fullFileNames();

  static std::string WithTrailingSeparator(const std::string& path,
                                           char separator = kPathSeparator);

 private:
  CaptionSink setCaption_;
  ListerFactory makeLister_;
  std::unique_ptr<DirectoryLister> lister_;
  std::int32_t count_ = 0;
  std::optional<KeyedList<std::string>> fileNames_;
  std::optional<KeyedList<std::string>> pathNames_;
  std::optional<KeyedList<std::int32_t>> pathPointers_;
  std::optional<KeyedList<std::string>> fullFileNames_;
};

}  // namespace crateline::util
