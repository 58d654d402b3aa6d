#include <gtest/gtest.h>

#include "cli/cli.h"
#include "run_cli.h"

namespace crateline::cli {
namespace {

using testing::RunCli;

TEST(Cli, VersionHelpAndUnknownOptions) {
  const auto version = RunCli({"--version"});
  EXPECT_EQ(version.status, kExitOk);
  EXPECT_EQ(version.out.rfind("crateline-cli ", 0), 0u);
  const auto help = RunCli({"--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_NE(help.out.find("Zimbra"), std::string::npos);
  const auto unknown = RunCli({"--no-such-option"});
  EXPECT_EQ(unknown.status, kExitUsage);
  EXPECT_NE(unknown.err.find("--help"), std::string::npos);
}

}  // namespace
}  // namespace crateline::cli
