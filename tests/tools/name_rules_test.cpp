// Tests of the name rules: what Windows and the updater accept, and the URL spelling of names.
#include "tools/publish/name_rules.h"

#include <gtest/gtest.h>

namespace korvel::publish {
namespace {

TEST(NameRules, AcceptsOrdinaryWindowsNames) {
  for (const char* name : {"Wendrel.exe", "level one.map", "a+b=c;d,e'f(g)h&i!j$k@l~m", ".hidden", "console.log",
                           "COM10", "lpt0.txt", "x.y.z"}) {
    EXPECT_FALSE(nameProblem(name)) << name;
  }
}

TEST(NameRules, RefusesWhatWindowsOrTheAnsiFunctionsCannotTake) {
  for (const char* name : {"", ".", "..", "a/b", "a\\b", "a:b", "a*", "a?", "a\"", "a<", "a>", "a|", "a\x01",
                           "a\x7f", "a.", "a ", "con", "CON.txt", "aux.tar.gz", "com3", "LPT9.dat", "conin$",
                           "\xc3\xa9"}) {
    EXPECT_TRUE(nameProblem(name)) << name;
  }
}

TEST(NameRules, EncodesWhatAUrlWouldMisreadAndDecodesItBack) {
  EXPECT_EQ(encodeUrlSegment("plain-name_1.0~x"), "plain-name_1.0~x");
  EXPECT_EQ(encodeUrlSegment("level one#2 100%[a]{b}^`.map"), "level%20one%232%20100%25%5Ba%5D%7Bb%7D%5E%60.map");
  for (const char* name : {"a b", "100%", "#", "x%41y"}) EXPECT_EQ(decodeUrlSegment(encodeUrlSegment(name)), name);
  EXPECT_EQ(decodeUrlSegment("bad%zzescape%4"), "bad%zzescape%4");
}

}  // namespace
}  // namespace korvel::publish
