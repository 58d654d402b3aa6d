#include "util/path_logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "support/temp_dir.h"

namespace crateline::util {
namespace {

// A tree in memory, listed in the order it was described.
class TreeLister : public DirectoryLister {
 public:
  std::map<std::string, std::pair<std::vector<std::string>, std::vector<std::string>>> folders;
  std::string broken;  // a folder whose listing fails
  bool FolderExists(const std::string& path) override {
    return folders.count(PathLogger::WithTrailingSeparator(path)) != 0;
  }
  std::vector<std::string> SubFolders(const std::string& path) override { return Get(path).first; }
  std::vector<std::string> Files(const std::string& path) override { return Get(path).second; }

 private:
  const std::pair<std::vector<std::string>, std::vector<std::string>>& Get(
      const std::string& path) {
    if (path == broken) throw PathLoggerError("cannot list the folder \"" + path + "\"");
    return folders.at(path);
  }
};

std::string S(const std::string& path) {  // a path in this system's separators
  std::string out = path;
  for (char& c : out) {
    if (c == '/') c = kPathSeparator;
  }
  return out;
}

class PathLoggerTest : public ::testing::Test {
 protected:
  PathLoggerTest()
      : logger_([this](const std::string& c) { captions_.push_back(c); },
                [this] { return std::make_unique<TreeLister>(tree_); }) {
    // R holds A (which holds C) and B, listed in that order; files in R, A and C.
    tree_.folders[S("R/")] = {{"A", "B"}, {"r1.eml", "r2.eml"}};
    tree_.folders[S("R/A/")] = {{"C"}, {"a.eml"}};
    tree_.folders[S("R/B/")] = {{}, {}};
    tree_.folders[S("R/A/C/")] = {{}, {"c.eml"}};
  }
  // A list as "key value" lines, its paths written with '/'.
  template <typename T>
  static std::vector<std::string> Entries(const KeyedList<T>& list) {
    std::vector<std::string> lines;
    for (const auto& [key, value] : list) {
      std::ostringstream line;
      line << key << ' ' << value;
      lines.push_back(line.str());
      std::replace(lines.back().begin(), lines.back().end(), kPathSeparator, '/');
    }
    return lines;
  }
  TreeLister tree_;
  std::vector<std::string> captions_;
  PathLogger logger_;
};

using Lines = std::vector<std::string>;

TEST_F(PathLoggerTest, BreadthFirstWithTheKeysOfTheLists) {
  logger_.PathLogInit();
  EXPECT_TRUE(logger_.fullFileNamesOnly);
  logger_.fullFileNamesOnly = false;
  logger_.LogPath("R");
  EXPECT_EQ(Entries(logger_.pathNames()), (Lines{"K0 R/", "K2 R/A/", "K3 R/B/", "K4 R/A/C/"}));
  EXPECT_EQ(Entries(logger_.fullFileNames()),
            (Lines{"K1 R/r1.eml", "K2 R/r2.eml", "K3 R/A/a.eml", "K4 R/A/C/c.eml"}));
  EXPECT_EQ(Entries(logger_.fileNames()),
            (Lines{"K1 r1.eml", "K2 r2.eml", "K3 a.eml", "K4 c.eml"}));
  EXPECT_EQ(Entries(logger_.pathPointers()), (Lines{"K1 1", "K2 1", "K3 2", "K4 4"}));
  EXPECT_EQ(logger_.Count(), 5);
  EXPECT_TRUE(captions_.empty());  // the label is only told in the full-names mode

  logger_.PathLogInit();     // back to full names only
  logger_.LogPath(S("R/"));  // with the separator: the same root entry
  EXPECT_EQ(logger_.pathNames().Item("K0"), S("R/"));
  EXPECT_EQ(logger_.fullFileNames().Count(), 4u);
  EXPECT_TRUE(logger_.fileNames().Empty() && logger_.pathPointers().Empty());
  ASSERT_EQ(captions_.size(), 4u);
  EXPECT_EQ(captions_.front(), "1 Messages Queued for Conversion.");
  EXPECT_EQ(captions_.back(), "4 Messages Queued for Conversion.");
}

TEST_F(PathLoggerTest, FailureCases) {
  PathLogger fresh;
  EXPECT_THROW(fresh.LogPath("R"), PathLoggerError);  // not initialised

  logger_.PathLogInit();
  logger_.LogPath("nowhere");  // no folder: nothing changes
  EXPECT_TRUE(logger_.pathNames().Empty());
  EXPECT_EQ(logger_.Count(), 0);

  logger_.LogPath("R");
  EXPECT_THROW(logger_.LogPath("R"), DuplicateKeyError);  // a second walk needs PathLogInit
  EXPECT_EQ(logger_.pathNames().Count(), 4u);
  EXPECT_EQ(logger_.Count(), 1);

  tree_.broken = S("R/B/");  // taken by the lister PathLogInit makes
  logger_.PathLogInit();     // empties the lists, keeps the count
  EXPECT_TRUE(logger_.fullFileNames().Empty());
  EXPECT_EQ(logger_.Count(), 1);
  // A folder that cannot be listed stops the walk; what it found stays.
  EXPECT_THROW(logger_.LogPath("R"), PathLoggerError);
  EXPECT_EQ(logger_.pathNames().Count(), 4u);  // C was appended while A was expanded
  EXPECT_EQ(logger_.fullFileNames().Count(), 3u);
  EXPECT_EQ(logger_.Count(), 4);

  logger_.Terminate();
  EXPECT_THROW(logger_.LogPath("R"), PathLoggerError);
}

TEST(PathLoggerOnDisk, LinksAndAFileForARoot) {
  testing::TempDir dir;
  PathLogger logger;
  dir.Write("sub/a.eml");
  dir.Write("b.eml");
#ifndef _WIN32  // making links needs a privilege on Windows
  std::filesystem::create_directory_symlink(dir.path(), dir.path() / "sub" / "loop");
#endif
  logger.PathLogInit();
  logger.LogPath(dir.path().string());
  EXPECT_EQ(logger.pathNames().Count(), 2u);  // the root and sub; the loop is not entered
  EXPECT_EQ(logger.fullFileNames().Count(), 2u);

  logger.PathLogInit();
  logger.LogPath((dir.path() / "b.eml").string());  // a file is no folder
  EXPECT_TRUE(logger.pathNames().Empty());
}

}  // namespace
}  // namespace crateline::util
