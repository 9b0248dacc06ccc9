// Tests of the attribute readers: missing attributes, the boolean word lists, atol wrapping, names.
#include "manifest/xml_attributes.h"

#include <gtest/gtest.h>

#include "tests/support/model_fixture.h"

namespace korvel {
namespace {

class XmlAttributesTest : public ::testing::Test {
 protected:
  xmlNode* element(const std::string& attributes) {
    document = test::parseXml("<E " + attributes + "/>");
    return xmlDocGetRootElement(document.get());
  }
  test::XmlDocument document;
};

TEST_F(XmlAttributesTest, MissingAttributesGiveTheirDefaults) {
  xmlNode* e = element("");
  EXPECT_EQ(readText(e, "A"), std::nullopt);
  EXPECT_EQ(readText(e, "A", "fallback"), "fallback");
  EXPECT_EQ(readInteger(e, "A", 17), 17);
  EXPECT_TRUE(readBoolean(e, "A", true));
  EXPECT_FALSE(readBoolean(e, "A", false));
  EXPECT_EQ(readTriState(e, "A"), 2);
  EXPECT_EQ(readText(nullptr, "A"), std::nullopt);
}

TEST_F(XmlAttributesTest, BooleanWordsInAnyCaseAndOtherValuesTakeTheDefault) {
  for (const char* word : {"y", "YES", "t", "True", "on", "1"}) {
    xmlNode* e = element(std::string("A=\"") + word + "\"");
    EXPECT_TRUE(readBoolean(e, "A", false)) << word;
    EXPECT_EQ(readTriState(e, "A"), 1) << word;
  }
  for (const char* word : {"n", "No", "F", "false", "OFF", "0"}) {
    xmlNode* e = element(std::string("A=\"") + word + "\"");
    EXPECT_FALSE(readBoolean(e, "A", true)) << word;
    EXPECT_EQ(readTriState(e, "A"), 0) << word;
  }
  for (const char* word : {"", "maybe", "yess", "2"}) {
    xmlNode* e = element(std::string("A=\"") + word + "\"");
    EXPECT_TRUE(readBoolean(e, "A", true)) << word;
    EXPECT_FALSE(readBoolean(e, "A", false)) << word;
    EXPECT_EQ(readTriState(e, "A"), 2) << word;
  }
}

TEST_F(XmlAttributesTest, IntegersReadLikeAtolOnA32BitLong) {
  EXPECT_EQ(readInteger(element("A=\"  42xyz\""), "A"), 42);
  EXPECT_EQ(readInteger(element("A=\"-7\""), "A"), -7);
  EXPECT_EQ(readInteger(element("A=\"4294967295\""), "A"), -1);
  EXPECT_EQ(readInteger(element("A=\"abc\""), "A", 5), 0);
  EXPECT_EQ(readLimit(element("LimitDefault=\"1000\""), "LimitDefault"), 1000u);
}

TEST_F(XmlAttributesTest, SizesAreByteCountsOfAnyWidth) {
  struct Case {
    const char* text;
    std::int64_t size;
  };
  const Case cases[] = {
      {"  42xyz", 42},  {"abc", 0},  {"-0", 0},  {"2147483648", 2147483648LL},  {"8589934592", 8589934592LL},
      {"9223372036854775807", INT64_MAX},  {"9223372036854775808", kNotASize},  {"-1", kNotASize},
      {"-4294967295", kNotASize},
  };
  for (const Case& each : cases)
    EXPECT_EQ(readSize(element(std::string("A=\"") + each.text + "\""), "A"), each.size) << each.text;
  EXPECT_EQ(readSize(element(""), "A", 9), 9);
  // A limit keeps its old reading where a size has none: "-1" was the largest 32-bit limit.
  EXPECT_EQ(readLimit(element("L=\"3221225472\""), "L"), 3221225472u);
  EXPECT_EQ(readLimit(element("L=\"-1\""), "L"), 4294967295u);
}

TEST_F(XmlAttributesTest, ElementNamesCompareWithoutCase) {
  xmlNode* e = element("");
  EXPECT_TRUE(isElementNamed(e, "e"));
  EXPECT_FALSE(isElementNamed(e, "F"));
  EXPECT_FALSE(isElementNamed(nullptr, "E"));
  EXPECT_EQ(readText(e, "a"), std::nullopt) << "attribute names keep their case";
}

}  // namespace
}  // namespace korvel
