// Tests of the path tokens: the two ways of composing a path and the folders the tokens stand for.
#include "common/path_tokens.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/registry_fixture.h"
#include "tests/support/scoped_environment.h"

namespace korvel {
namespace {

constexpr const char* kShellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

class PathTokensTest : public ::testing::Test {
 protected:
  // A skip inside a helper would only leave the helper: callers return when this is true.
  static bool realRegistryOnly() { return !test::ScratchRegistry::available(); }

  test::ScopedEnvironment windir{"windir", std::string("C:\\WINDOWS")};
  test::ScratchRegistry registry;
};

TEST_F(PathTokensTest, CurrentDirectoryIsTheParentForDirectoriesButPlainTextForFiles) {
  EXPECT_EQ(resolvePathToken("x", "::CurrentDirectory::", "C:\\a"), "C:\\a");
  EXPECT_EQ(resolveFilePath("x", "::CurrentDirectory::", "C:\\a"), "::CurrentDirectory::\\x");
  EXPECT_EQ(resolvePathToken("x", "::CurrentDirectory::", nullptr), std::nullopt);
  EXPECT_EQ(resolvePathToken("x", "::CurrentDirectory::", ""), "");
}

TEST_F(PathTokensTest, PlainPathAttributeStandsAloneForDirectoriesAndTakesTheNameForFiles) {
  EXPECT_EQ(resolvePathToken("x", "D:\\y", "C:\\a"), "D:\\y");
  EXPECT_EQ(resolveFilePath("x", "D:\\y", "C:\\a"), "D:\\y\\x");
  EXPECT_EQ(resolveFilePath(nullptr, "D:\\y", "C:\\a"), "D:\\y");
  EXPECT_EQ(resolveFilePath("", "D:\\y", "C:\\a"), "D:\\y");
}

TEST_F(PathTokensTest, HomeDirectoryIsNoFolder) {
  EXPECT_EQ(resolvePathToken("x", "::HomeDirectory::", "C:\\a"), std::nullopt);
  EXPECT_EQ(resolveFilePath("x", "::HomeDirectory::", "C:\\a"), "x");
  EXPECT_EQ(resolveFilePath("", "::HomeDirectory::", "C:\\a"), std::nullopt);
}

TEST_F(PathTokensTest, WithoutPathDirectoriesCountEmptyTextsAsPresent) {
  EXPECT_EQ(resolvePathToken("x", nullptr, "C:\\a"), "C:\\a\\x");
  EXPECT_EQ(resolvePathToken(nullptr, nullptr, "C:\\a"), "C:\\a");
  EXPECT_EQ(resolvePathToken("x", nullptr, nullptr), "x");
  EXPECT_EQ(resolvePathToken(nullptr, nullptr, nullptr), std::nullopt);
  EXPECT_EQ(resolvePathToken("", nullptr, "C:\\a"), "C:\\a\\");
  EXPECT_EQ(resolvePathToken("x", nullptr, ""), "\\x");
  EXPECT_EQ(resolvePathToken("", "", ""), "");
}

TEST_F(PathTokensTest, WithoutPathFilesCountOnlyNonEmptyTexts) {
  EXPECT_EQ(resolveFilePath("x", nullptr, "C:\\a"), "C:\\a\\x");
  EXPECT_EQ(resolveFilePath("x", "", "C:\\a"), "C:\\a\\x");
  EXPECT_EQ(resolveFilePath("", "", "C:\\a"), "C:\\a");
  EXPECT_EQ(resolveFilePath("x", "", ""), "x");
  EXPECT_EQ(resolveFilePath("", "", ""), std::nullopt);
  EXPECT_EQ(resolveFilePath(nullptr, nullptr, nullptr), std::nullopt);
}

TEST_F(PathTokensTest, AcceptsOptionalAndStringArguments) {
  const std::optional<std::string> none;
  const std::optional<std::string> parent = std::string("C:\\a");
  EXPECT_EQ(resolvePathToken(std::string("x"), none, parent), "C:\\a\\x");
  EXPECT_EQ(resolveFilePath(std::string("x"), std::nullopt, none), "x");
}

TEST_F(PathTokensTest, WindowsHomeIsTheWindirValueInAnyLetterCase) {
  EXPECT_EQ(resolvePathToken("x", "::WindowsHome::", "C:\\a"), "C:\\WINDOWS");
  EXPECT_EQ(resolvePathToken("x", "::windowshome::", "C:\\a"), "C:\\WINDOWS");
  EXPECT_EQ(resolveFilePath("x", "::WINDOWSHOME::", "C:\\a"), "C:\\WINDOWS\\x");
  EXPECT_EQ(resolveFilePath("", "::WindowsHome::", "C:\\a"), std::nullopt);
  EXPECT_EQ(resolveFilePath(nullptr, "::WindowsHome::", "C:\\a"), std::nullopt);
}

TEST_F(PathTokensTest, WindowsHomeWithoutWindirFallsBackToTheName) {
  test::ScopedEnvironment unset("windir", std::nullopt);
  EXPECT_EQ(resolvePathToken("x", "::WindowsHome::", "C:\\a"), std::nullopt);
  EXPECT_EQ(resolveFilePath("x", "::WindowsHome::", "C:\\a"), "x");
}

TEST_F(PathTokensTest, TokenMustBeTheWholeAttribute) {
  EXPECT_EQ(resolvePathToken("x", "::WindowsHome::\\sub", "C:\\a"), "::WindowsHome::\\sub");
  EXPECT_EQ(resolveFilePath("x", " ::HomeDirectory::", "C:\\a"), " ::HomeDirectory::\\x");
}

TEST_F(PathTokensTest, DesktopAndStartMenuComeFromTheShellFoldersKey) {
  if (realRegistryOnly()) GTEST_SKIP() << "the real registry is read on this platform";
  registry.setCurrentUserValue(kShellFolders, "Desktop", "C:\\Users\\pat\\Desktop");
  registry.setCurrentUserValue(kShellFolders, "Start Menu", "C:\\Users\\pat\\Start Menu");
  EXPECT_EQ(resolvePathToken("x", "::Desktop::", "C:\\a"), "C:\\Users\\pat\\Desktop");
  EXPECT_EQ(resolvePathToken("x", "::startmenu::", "C:\\a"), "C:\\Users\\pat\\Start Menu");
  EXPECT_EQ(resolveFilePath("Game.lnk", "::Desktop::", nullptr), "C:\\Users\\pat\\Desktop\\Game.lnk");
  EXPECT_EQ(resolveFilePath("Game.lnk", "::StartMenu::", nullptr), "C:\\Users\\pat\\Start Menu\\Game.lnk");
}

TEST_F(PathTokensTest, UnreadableShellFolderIsNoFolder) {
  if (realRegistryOnly()) GTEST_SKIP() << "the real registry is read on this platform";
  EXPECT_EQ(resolvePathToken("x", "::Desktop::", "C:\\a"), std::nullopt);
  EXPECT_EQ(resolveFilePath("x", "::Desktop::", "C:\\a"), "x");

  registry.setCurrentUserValue(kShellFolders, "Desktop", "C:\\Desktop");
  EXPECT_EQ(resolvePathToken("x", "::StartMenu::", "C:\\a"), std::nullopt);
  EXPECT_EQ(resolveFilePath("x", "::StartMenu::", "C:\\a"), "x");
}

TEST_F(PathTokensTest, ShellFolderValueMustFitTheBufferWithItsTerminator) {
  if (realRegistryOnly()) GTEST_SKIP() << "the real registry is read on this platform";
  const std::string fits = "C:\\" + std::string(251, 'd');  // 254 characters and the terminator
  registry.setCurrentUserValue(kShellFolders, "Desktop", fits);
  registry.setCurrentUserValue(kShellFolders, "Start Menu", fits + "m");
  EXPECT_EQ(resolvePathToken("x", "::Desktop::", nullptr), fits);
  EXPECT_EQ(resolvePathToken("x", "::StartMenu::", nullptr), std::nullopt);
}

}  // namespace
}  // namespace korvel
