// The letter-case comparisons that order the patch cache document and match names on disk.
#include "common/text_format.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(TextFormatTest, ComparesInUpperCaseWithPrefixesFirst) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
    bool less;
  };
  const Case cases[] = {
      {"Game.DAT", "game.dat", true, false},
      {"data\\a.pak", "DATA\\B.pak", false, true},
      {"ab", "abc", false, true},
      {"abc", "ab", false, false},
      {"_x", "ax", false, false},  // '_' sorts after every letter once letters are upper case
      {"Zeta", "alpha_", false, false},
      {"caf\xC3\xA9", "cafe", false, false},  // bytes above 127 compare unsigned, after ASCII
      {"", "", true, false},
      {"", "a", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(equalsIgnoreCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(lessIgnoreCase(c.a, c.b), c.less) << c.a << " < " << c.b;
  }
}

// A file's path as its folder joins it against the installation folder joined with the file's path
// below it: the same path whatever the split, and never one that only has the same letters.
TEST(TextFormatTest, JoinedPathsCompareWhateverTheirSplit) {
  struct Case {
    const char* a1;
    const char* a2;
    const char* b1;
    const char* b2;
    bool equal;
  };
  const Case cases[] = {
      {"C:\\Game\\data", "a.pak", "c:\\game", "DATA\\A.PAK", true},
      {"C:\\Game", "data\\a.pak", "C:\\Game\\data", "a.pak", true},
      {"C:\\Game", "a.pak", "C:\\Game", "a.pak", true},
      {"C:\\Game\\data", "a.pak", "C:\\Game", "dataXa.pak", false},
      {"C:\\Gamedata", "a.pak", "C:\\Game", "data\\a.pak", false},
      {"C:\\Game\\data", "a.pak", "C:\\Game", "data\\b.pak", false},
      {"C:\\Game\\data", "a.pak", "C:\\Game", "data\\a.pa", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(joinedEqualsIgnoreCase(c.a1, c.a2, c.b1, c.b2), c.equal) << c.a1 << " + " << c.a2;
    EXPECT_EQ(joinedEqualsIgnoreCase(c.b1, c.b2, c.a1, c.a2), c.equal) << c.b1 << " + " << c.b2;
  }
}

}  // namespace
}  // namespace korvel
