// The strtok-like splitter: plain and quote mode, restart and continuation.
#include "common/tokenizer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace korvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(TokenizerTest, PlainModeSkipsSeparatorsInARowAndKeepsQuotes) {
  EXPECT_THAT(Tokenizer::split("  a  b\"c d\" ", " "), ElementsAre("a", "b\"c", "d\""));
  EXPECT_THAT(Tokenizer::split("one,two,,three", ","), ElementsAre("one", "two", "three"));
  EXPECT_THAT(Tokenizer::split("", " "), IsEmpty());
  EXPECT_THAT(Tokenizer::split("    ", " "), IsEmpty());
  EXPECT_THAT(Tokenizer::split(nullptr, " "), IsEmpty());
}

TEST(TokenizerTest, PlainModeSeparatorIsTheWholeString) {
  // Only the first character is skipped in a row; the token ends at the whole separator.
  EXPECT_THAT(Tokenizer::split("::a:b::c", "::"), ElementsAre("a:b", "c"));
}

TEST(TokenizerTest, QuoteModeHandlesBothQuoteKinds) {
  EXPECT_THAT(Tokenizer::split("/a \"/path:C:\\My Games\" 'it is' /b", " ", true),
              ElementsAre("/a", "/path:C:\\My Games", "it is", "/b"));
  // Each quote kind is closed only by its own kind.
  EXPECT_THAT(Tokenizer::split("\"it's here\" 'say \"hi\"'", " ", true), ElementsAre("it's here", "say \"hi\""));
  EXPECT_THAT(Tokenizer::split("\"\" x", " ", true), ElementsAre("", "x"));
}

TEST(TokenizerTest, QuoteInsideATokenStartsTheTokenBehindIt) {
  // The quote comes before the next separator, so it decides: the text in front of it is left out.
  EXPECT_THAT(Tokenizer::split("ab\"c d\"e f", " ", true), ElementsAre("c d", "e", "f"));
}

TEST(TokenizerTest, UnclosedQuoteTakesTheRestAndEndsTheScan) {
  EXPECT_THAT(Tokenizer::split("a \"b c d", " ", true), ElementsAre("a", "b c d"));
  EXPECT_THAT(Tokenizer::split("'", " ", true), ElementsAre(""));
}

TEST(TokenizerTest, RestartWithTextAndContinueWithNull) {
  Tokenizer tokenizer;
  EXPECT_EQ(tokenizer.next(nullptr, " "), nullptr);  // nothing started yet
  EXPECT_STREQ(tokenizer.next("a b c", " "), "a");
  EXPECT_STREQ(tokenizer.next(nullptr, " "), "b");
  // A new text starts over; the old one is forgotten.
  EXPECT_STREQ(tokenizer.next("x,y", ","), "x");
  EXPECT_STREQ(tokenizer.next(nullptr, ","), "y");
  EXPECT_EQ(tokenizer.next(nullptr, ","), nullptr);
  EXPECT_EQ(tokenizer.next(nullptr, ","), nullptr);
}

TEST(TokenizerTest, WorksOnItsOwnCopy) {
  std::string text = "keep me";
  Tokenizer tokenizer;
  const char* first = tokenizer.next(text.c_str(), " ");
  text.assign("xxxxxxx");
  EXPECT_STREQ(first, "keep");
  EXPECT_STREQ(tokenizer.next(nullptr, " "), "me");
}

}  // namespace
}  // namespace korvel
