#include "util/path_logger.h"

#include <filesystem>
#include <limits>

#include "util/event_pump.h"
#include "util/utf8_path.h"

namespace crateline::util {
namespace {

namespace fs = std::filesystem;

// Paths are UTF-8 text everywhere in the program; std::filesystem wants them as char8_t.
fs::path PathFromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}
std::string Utf8FromPath(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

class SystemLister final : public DirectoryLister {
 public:
  bool FolderExists(const std::string& path) override {
    std::error_code error;
    return fs::is_directory(PathFromUtf8(path), error);
  }
  std::vector<std::string> SubFolders(const std::string& path) override { return List(path, true); }
  std::vector<std::string> Files(const std::string& path) override { return List(path, false); }

 private:
  static std::vector<std::string> List(const std::string& path, bool folders) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator it(PathFromUtf8(path), error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
      const fs::file_status status = it->symlink_status(error);
      if (error) break;
      const bool isFolder = fs::is_directory(status);
      std::error_code dangling;  // a link to nothing is no folder, and no reason to stop
      const bool linkToFolder = fs::is_symlink(status) && fs::is_directory(it->status(dangling));
      if (linkToFolder) continue;  // never followed, never taken for a file
      if (isFolder == folders) names.push_back(Utf8FromPath(it->path().filename()));
    }
    if (error) throw PathLoggerError("cannot list the folder \"" + path + "\": " + error.message());
    return names;
  }
};

void Advance(std::int32_t& counter) {
  if (counter == std::numeric_limits<std::int32_t>::max()) {
    throw PathLoggerError("the walk found more entries than it can count (2,147,483,647)");
  }
  ++counter;
}

template <typename List>
List& Held(std::optional<List>& list) {
  if (!list) list.emplace();
  return *list;
}

}  // namespace

std::unique_ptr<DirectoryLister> MakeSystemLister() {
  return std::make_unique<SystemLister>();
}

PathLogger::PathLogger(CaptionSink setCaption, ListerFactory makeLister)
    : setCaption_(std::move(setCaption)), makeLister_(std::move(makeLister)) {}

std::string PathLogger::WithTrailingSeparator(const std::string& path, char separator) {
  return !path.empty() && path.back() == separator ? path : path + separator;
}

KeyedList<std::string>& PathLogger::fileNames() {
  return Held(fileNames_);
}
KeyedList<std::string>& PathLogger::pathNames() {
  return Held(pathNames_);
}
KeyedList<std::int32_t>& PathLogger::pathPointers() {
  return Held(pathPointers_);
}
KeyedList<std::string>& PathLogger::fullFileNames() {
  return Held(fullFileNames_);
}

void PathLogger::PathLogInit() {
  lister_ = makeLister_();
  fullFileNamesOnly = true;
  fileNames_.reset();
  pathNames_.reset();
  pathPointers_.reset();
  fullFileNames_.reset();
}

void PathLogger::Terminate() {
  lister_.reset();
  fileNames_.reset();
  pathNames_.reset();
  pathPointers_.reset();
  fullFileNames_.reset();
}

void PathLogger::LogPath(const std::string& path) {
  if (!lister_) throw PathLoggerError("the path logger is not initialised (PathLogInit)");
  if (!lister_->FolderExists(path)) return;
  std::int32_t i = 1;
  std::int32_t j = 1;
  count_ = 1;
  pathNames().Add("K0", WithTrailingSeparator(path));
  while (i <= j) {
    const std::string folder = pathNames().Item(static_cast<std::size_t>(i));
    const std::vector<std::string> subfolders = lister_->SubFolders(folder);
    PumpEvents();
    for (const auto& name : subfolders) {
      PumpEvents();
      Advance(j);
      pathNames().Add(CounterKey(j), folder + name + kPathSeparator);
    }
    for (const auto& name : lister_->Files(folder)) {
      PumpEvents();
      const std::string key = CounterKey(count_);
      fullFileNames().Add(key, folder + name);
      if (!fullFileNamesOnly) {
        fileNames().Add(key, name);
        pathPointers().Add(key, i);
      }
      Advance(count_);
      if (fullFileNamesOnly && setCaption_) {
        setCaption_(std::to_string(count_ - 1) + " Messages Queued for Conversion.");
      }
    }
    Advance(i);
  }
}

}  // namespace crateline::util
