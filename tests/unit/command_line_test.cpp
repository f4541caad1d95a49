#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace {

using Names = std::vector<std::string>;

Names split(const char* line) { return platform::split_command_line(line); }

TEST(CommandLineTest, ProgramNameWordIsSkipped) {
  EXPECT_EQ(split(""), Names{});
  EXPECT_EQ(split("quorbel.exe"), Names{});
  EXPECT_EQ(split("  C:\\q\\quorbel.exe   "), Names{});
  EXPECT_EQ(split("quorbel a"), Names{"a"});
  // A quoted program path holds blanks, and its backslash before the closing
  // quote is a path separator, not an escape.
  EXPECT_EQ(split("\"C:\\Program Files\\q.exe\" a"), Names{"a"});
  EXPECT_EQ(split("\"C:\\dir with blank\\\" a"), Names{"a"});
  EXPECT_EQ(split("C:\\\"my dir\"\\q.exe\tb"), Names{"b"});
}

TEST(CommandLineTest, SplitsAtBlanksAndTabs) {
  EXPECT_EQ(split("q a b"), (Names{"a", "b"}));
  EXPECT_EQ(split("q \t a\t\tb  \t"), (Names{"a", "b"}));
  EXPECT_EQ(split("q a\nb\rc\vd"), Names{"a\nb\rc\vd"});
}

TEST(CommandLineTest, QuotedPartsHoldBlanksAndJoinTheirNeighbours) {
  EXPECT_EQ(split("q \"a b\" c"), (Names{"a b", "c"}));
  EXPECT_EQ(split("q \"a\tb\""), Names{"a\tb"});
  EXPECT_EQ(split("q x\"a b\"y z"), (Names{"xa by", "z"}));
  EXPECT_EQ(split("q \"a\"\" b\""), Names{"a b"});
  EXPECT_EQ(split("q \"\" a \"\""), (Names{"", "a", ""}));
  // An unclosed quote runs to the end of the line.
  EXPECT_EQ(split("q \"a b  "), Names{"a b  "});
}

TEST(CommandLineTest, BackslashQuoteIsALiteralQuote) {
  EXPECT_EQ(split("q a\\\"b"), Names{"a\"b"});
  EXPECT_EQ(split("q \\\"a b\\\""), (Names{"\"a", "b\""}));
  EXPECT_EQ(split("q \"a \\\" b\""), Names{"a \" b"});
  // Only the backslash right before the quote pairs with it.
  EXPECT_EQ(split("q a\\\\\"b c\""), (Names{"a\\\"b", "c"}));
  EXPECT_EQ(split("q \\\\\"b c\""), (Names{"\\\"b", "c"}));
}

TEST(CommandLineTest, OtherBytesAreOrdinary) {
  EXPECT_EQ(split("q C:\\dir\\a.txt \\\\server\\share\\b dir\\"), (Names{"C:\\dir\\a.txt", "\\\\server\\share\\b", "dir\\"}));
  EXPECT_EQ(split("q *.txt a?.txt [ab] -n /x"), (Names{"*.txt", "a?.txt", "[ab]", "-n", "/x"}));
  EXPECT_EQ(split("q \xe9t\xe9 ^$%'"), (Names{"\xe9t\xe9", "^$%'"}));
}

}  // namespace
