#include "util/path_logger.h"

#include <gtest/gtest.h>

#include <map>

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
  template <typename T>
  static std::vector<std::string> Keys(KeyedList<T>& list) {
    std::vector<std::string> keys;
    for (const auto& entry : list) keys.push_back(entry.first);
    return keys;
  }
  TreeLister tree_;
  std::vector<std::string> captions_;
  PathLogger logger_;
};

TEST_F(PathLoggerTest, BreadthFirstWithTheKeysOfTheLists) {
  logger_.PathLogInit();
  EXPECT_TRUE(logger_.fullFileNamesOnly);
  logger_.fullFileNamesOnly = false;
  logger_.LogPath("R");
  auto& paths = logger_.pathNames();
  EXPECT_EQ(Keys(paths), (std::vector<std::string>{"K0", "K2", "K3", "K4"}));
  EXPECT_EQ(paths.Item(1), S("R/"));
  EXPECT_EQ(paths.Item(2), S("R/A/"));
  EXPECT_EQ(paths.Item(3), S("R/B/"));
  EXPECT_EQ(paths.Item(4), S("R/A/C/"));

  EXPECT_EQ(Keys(logger_.fullFileNames()), (std::vector<std::string>{"K1", "K2", "K3", "K4"}));
  EXPECT_EQ(logger_.fullFileNames().Item("K3"), S("R/A/a.eml"));
  EXPECT_EQ(logger_.pathPointers().Item("K1"), 1);  // a file in the root
  for (std::size_t k = 1; k <= 4; ++k) {
    EXPECT_EQ(logger_.fullFileNames().Item(k),
              paths.Item(static_cast<std::size_t>(logger_.pathPointers().Item(k))) +
                  logger_.fileNames().Item(k));
  }
  EXPECT_EQ(logger_.Count(), 5);
  EXPECT_TRUE(captions_.empty());  // the label is only told in the full-names mode
}

TEST_F(PathLoggerTest, FullNamesOnlyCountsOnTheLabel) {
  logger_.PathLogInit();
  logger_.LogPath(S("R/"));  // with the separator: the same root entry
  EXPECT_EQ(logger_.pathNames().Item("K0"), S("R/"));
  EXPECT_EQ(logger_.fullFileNames().Count(), 4u);
  EXPECT_TRUE(logger_.fileNames().Empty());
  EXPECT_TRUE(logger_.pathPointers().Empty());
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

  logger_.PathLogInit();  // empties the lists, keeps the count
  EXPECT_TRUE(logger_.fullFileNames().Empty());
  EXPECT_EQ(logger_.Count(), 1);

  logger_.Terminate();
  EXPECT_THROW(logger_.LogPath("R"), PathLoggerError);
}

TEST_F(PathLoggerTest, AFolderThatCannotBeListedStopsTheWalkAndKeepsWhatItHas) {
  tree_.broken = S("R/B/");
  logger_.PathLogInit();
  EXPECT_THROW(logger_.LogPath("R"), PathLoggerError);
  EXPECT_EQ(logger_.pathNames().Count(), 4u);  // C was appended while A was expanded
  EXPECT_EQ(logger_.fullFileNames().Count(), 3u);
  EXPECT_EQ(logger_.Count(), 4);
}

TEST(PathLoggerOnDisk, EmptyRootLinksAndAFileForARoot) {
  testing::TempDir dir;
  PathLogger logger;
  logger.PathLogInit();
  logger.LogPath(dir.path().string());
  EXPECT_EQ(logger.pathNames().Count(), 1u);
  EXPECT_EQ(logger.Count(), 1);

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
