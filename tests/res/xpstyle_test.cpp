#include "res/xpstyle.h"

#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>
#include <vector>

#include "platform/system_calls.h"

namespace crateline::res {
namespace {

TEST(XPStyle, KeepsShell32AndItsSizeForItsWholeLife) {
  platform::SystemCalls calls = platform::CurrentSystemCalls();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> inits;
  std::vector<std::string> loaded;
  std::vector<platform::ModuleHandle> freed;
  platform::ModuleHandle shell32 = 77;
  calls.InitCommonControlsEx = [&](std::uint32_t size, std::uint32_t classes) {
    inits.emplace_back(size, classes);
    return 1;
  };
  calls.LoadLibraryA = [&](const std::string& name) {
    loaded.push_back(name);
    return shell32;
  };
  calls.FreeLibrary = [&](platform::ModuleHandle h) {
    freed.push_back(h);
    return 1;
  };
  platform::ScopedSystemCalls scope(calls);
  {
    XPStyle control;
    EXPECT_EQ(inits, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{8, 0x200}}));
    EXPECT_EQ(loaded, std::vector<std::string>{"shell32.dll"});
    EXPECT_EQ(control.Shell32Handle(), 77);
    EXPECT_EQ(control.size(), QSize(54, 54));
    control.resize(200, 30);
    EXPECT_EQ(control.size(), QSize(54, 54));
    control.resize(54, 99);
    EXPECT_EQ(control.size(), QSize(54, 54));
    EXPECT_TRUE(freed.empty());
  }
  EXPECT_EQ(freed, std::vector<platform::ModuleHandle>{77});
  // A load that failed leaves nothing to release.
  shell32 = 0;
  { XPStyle control; }
  EXPECT_EQ(freed, std::vector<platform::ModuleHandle>{77});
}

TEST(Pictures, FaceAndWindowIcon) {
  const QImage face(":/crateline/xpstyle.bmp");
  ASSERT_FALSE(face.isNull());
  EXPECT_EQ(face.size(), QSize(54, 54));
  EXPECT_EQ(face.pixelColor(0, 0), QColor(255, 0, 255));  // the corners are clear
  EXPECT_EQ(face.pixelColor(53, 53), QColor(255, 0, 255));
  EXPECT_NE(face.pixelColor(27, 27), QColor(255, 0, 255));
  const QIcon icon = AppIcon();
  for (int size : {16, 24, 32, 48}) {
    EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
  }
}

}  // namespace
}  // namespace crateline::res
