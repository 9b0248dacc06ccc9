// The sibling launcher's folder from the registry's application paths, with a scratch registry.
#include "launcher/install_location.h"

#include <gtest/gtest.h>

#include "tests/support/registry_fixture.h"

namespace korvel {
namespace {

const char* kAppPaths = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Wendrel.exe";

class InstallLocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::ScratchRegistry::available()) GTEST_SKIP() << "the registry cannot be redirected here";
    registry = std::make_unique<test::ScratchRegistry>();
  }
  std::unique_ptr<test::ScratchRegistry> registry;
  std::string out = "stale";
};

TEST_F(InstallLocationTest, MissingEntryGivesTheFallback) {
  EXPECT_EQ(0, findInstallLocation("Wendrel.exe", out, "C:\\here", 256, "Path"));
  EXPECT_EQ("C:\\here", out);
}

TEST_F(InstallLocationTest, EntryWithDefaultAndPathGivesThePath) {
  registry->setLocalMachineValue(kAppPaths, "", "C:\\Games\\Wendrel\\Wendrel.exe");
  registry->setLocalMachineValue(kAppPaths, "Path", "C:\\Games\\Wendrel");
  EXPECT_EQ(1, findInstallLocation("Wendrel.exe", out, "C:\\here", 256, "Path"));
  EXPECT_EQ("C:\\Games\\Wendrel", out);
}

TEST_F(InstallLocationTest, PathWithoutDefaultValueCountsAsMissing) {
  registry->setLocalMachineValue(kAppPaths, "Path", "C:\\Games\\Wendrel");
  EXPECT_EQ(0, findInstallLocation("Wendrel.exe", out, "C:\\here", 256, "Path"));
  EXPECT_EQ("C:\\here", out);
}

TEST_F(InstallLocationTest, ValueLongerThanTheBufferIsRefused) {
  registry->setLocalMachineValue(kAppPaths, "", "x");
  registry->setLocalMachineValue(kAppPaths, "Path", std::string(300, 'p'));
  EXPECT_EQ(0, findInstallLocation("Wendrel.exe", out, "C:\\here", 256, "Path"));
  EXPECT_EQ("C:\\here", out);

  registry->setLocalMachineValue(kAppPaths, "Path", std::string(255, 'p'));
  EXPECT_EQ(1, findInstallLocation("Wendrel.exe", out, "C:\\here", 256, "Path"));
  EXPECT_EQ(255u, out.size());
}

TEST_F(InstallLocationTest, FallbackIsCutToTheBuffer) {
  EXPECT_EQ(0, findInstallLocation("Wendrel.exe", out, std::string(40, 'f'), 16, "Path"));
  EXPECT_EQ(std::string(15, 'f'), out);
}

}  // namespace
}  // namespace korvel
