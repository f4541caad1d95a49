#include <gtest/gtest.h>

#include <random>
#include <string>

#include "match_cases.h"
#include "rewrite/stream.h"
#include "test_support.h"

namespace {

// Streams `text` through the rewrite between two memory files.
class StreamTest : public ::testing::Test {
 protected:
  std::string stream(const RuleTable& table, const std::string& text, int32_t window_size) {
    MemoryFile input{text};
    MemoryFile output;
    EXPECT_EQ(rewrite_stream(table, input.source(), output.sink(), window_size), StreamResult::Done);
    return output.bytes;
  }
};

constexpr int32_t kWindowSizes[] = {kWindowSize, kLargeWindowSize};

TEST_F(StreamTest, MatchCases) {
  for (const MatchCase& c : match_cases()) {
    TestTable built;
    build_test_table(c.rules, '^', &built);
    for (int32_t window_size : kWindowSizes) EXPECT_EQ(stream(built.table, c.text, window_size), c.expected) << c.rules;
  }
}

TEST_F(StreamTest, AgreesWithTheModelAcrossWindowBoundaries) {
  std::mt19937 random(99);
  std::map<std::string, std::string> rules;
  std::string rule_text;
  auto add = [&](const std::string& key, const std::string& replacement) {
    if (rules.emplace(key, replacement).second) rule_text += key + "^" + replacement + "\n";
  };
  const std::string alphabet = std::string("ab\r\n\0\xe9", 6);
  for (int i = 0; i < 60; ++i) {
    std::string key = random_string(&random, "ab\xe9", 1 + random() % 5);
    add(key, "[" + std::to_string(i) + "]");
  }
  std::string long_key = random_string(&random, "ab", 200);
  add(long_key, "<200>");
  add(long_key.substr(0, 150), "<150>");
  TestTable built;
  build_test_table(rule_text, '^', &built);

  // Sizes around both window layouts' boundaries, and texts long enough to
  // cross many small windows.
  for (std::size_t size : {0, 1, 7991, 7992, 7993, 8191, 8192, 8193, 16384, 262143, 262144, 262145, 600000}) {
    std::string text = random_string(&random, alphabet, size);
    // Long keys that straddle each window boundary and end the text.
    for (std::size_t at : {7900, 7950, 7991, 7992, 8100, 16200, 261900, 261944, 262000}) {
      if (at + long_key.size() <= text.size()) text.replace(at, long_key.size(), long_key);
    }
    if (size >= 200) text.replace(size - 200, 200, long_key);
    std::string expected = model_rewrite(rules, text);
    for (int32_t window_size : kWindowSizes) {
      ASSERT_EQ(stream(built.table, text, window_size), expected) << "size " << size << " window " << window_size;
    }
  }
}

TEST_F(StreamTest, LongReplacementsAreWrittenWhole) {
  for (std::size_t length : {292, 293, 300, 8192, 1 << 20}) {
    std::mt19937 random(static_cast<unsigned>(length));
    std::string replacement = random_string(&random, "xyz", length);
    TestTable built;
    build_test_table("k^" + replacement + "\n", '^', &built);
    std::string text = std::string(7890, '.') + "k.k" + std::string(9000, '.') + "k";
    std::string expected = std::string(7890, '.') + replacement + "." + replacement + std::string(9000, '.') + replacement;
    for (int32_t window_size : kWindowSizes) EXPECT_EQ(stream(built.table, text, window_size), expected) << length;
  }
}

TEST(StreamFailures, ReadAndWriteErrorsAreReported) {
  TestTable built;
  build_test_table("a^b\n", '^', &built);
  MemoryFile input{std::string(300000, 'a')};
  MemoryFile output;
  input.fail_after = 1;
  EXPECT_EQ(rewrite_stream(built.table, input.source(), output.sink(), kWindowSize), StreamResult::ReadFailed);
  input = MemoryFile{std::string(300000, 'a')};
  output.fail_after = 0;
  EXPECT_EQ(rewrite_stream(built.table, input.source(), output.sink(), kLargeWindowSize), StreamResult::WriteFailed);
}

}  // namespace
