// The names a manifest may give to files and folders of the installation, and the paths the file
// functions refuse.
#include "common/name_rules.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

TEST(NameRulesTest, OnlyOnePlainComponentIsAName) {
  for (const char* good : {"game.dat", "Wendrel.exe", "a", "..a", "a..b", "name with blanks.txt", "cone.d", "com0",
                           "lpt10", "nul_", "caf\xC3\xA9.txt"})
    EXPECT_TRUE(isPlainName(good)) << good;
  for (const char* bad : {"", ".", "..", "..\\escape.txt", "../escape.txt", "a\\b", "a/b", "\\etc\\passwd",
                          "C:", "C:\\x", "file.txt:stream", " leading", "trailing ", "trailing.", "tab\there",
                          "del\x7F", "CON", "con.txt", "con.d", "con .txt", "Nul", "aux.dat", "PRN", "COM1", "com9.log", "LPT3",
                          "CONIN$", "conout$.log",
                          "wd_patch_lock", "WD_Patch_Lock", "wd_patch_version", "WD_PATCH_VERSION"})
    EXPECT_FALSE(isPlainName(bad)) << bad;
}

TEST(NameRulesTest, TheFileFunctionsRefusePathsThatClimbOutOfTheirFolder) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("inside.txt"), "stays"));
  const std::string climbing = dir.file("sub\\..\\inside.txt");
  EXPECT_TRUE(platform::hasParentComponent(climbing));
  EXPECT_FALSE(platform::hasParentComponent(dir.file("a..b\\..c")));
  EXPECT_FALSE(platform::File::open(climbing, "rb").isOpen());
  EXPECT_FALSE(platform::File::open(dir.file("..\\outside.txt"), "wb").isOpen());
  EXPECT_FALSE(platform::deleteFile(climbing));
  EXPECT_FALSE(platform::renameFile(dir.file("inside.txt"), dir.file("x\\..\\moved.txt")));
  EXPECT_FALSE(platform::replaceFile(dir.file("inside.txt"), climbing));
  EXPECT_FALSE(platform::createDirectory(dir.file("..\\made")));
  EXPECT_EQ(test::readFile(dir.file("inside.txt")), "stays");
}

}  // namespace
}  // namespace korvel
