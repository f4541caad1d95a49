#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "rules/allocation.h"
#include "rules/rule_file.h"
#include "test_support.h"

namespace {

std::vector<std::string> scan(std::string text, char separator) {
  text.push_back('\0');
  int32_t count = scan_rules(text.data(), separator, nullptr);
  std::vector<const char*> entries(static_cast<std::size_t>(count));
  EXPECT_EQ(scan_rules(text.data(), separator, entries.data()), count);
  return std::vector<std::string>(entries.begin(), entries.end());
}

TEST(ScanRules, FindsRuleLinesAndEndsThemInPlace) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(scan("abc^xyz", '^'), Lines({"abc^xyz"}));
  EXPECT_EQ(scan("abc^xyz", '$'), Lines());
  EXPECT_EQ(scan("abc$xyz\n", '$'), Lines({"abc$xyz"}));
  EXPECT_EQ(scan("a^1\r\nb^2\rc^3\n\n\r\rd^4", '^'), Lines({"a^1", "b^2", "c^3", "d^4"}));
  EXPECT_EQ(scan("abc^\n^xyz\nabc\na^b^c\n", '^'), Lines({"abc^", "a^b^c"}));
  EXPECT_EQ(scan(" k ^ r \n", '^'), Lines({" k ^ r "}));
  EXPECT_EQ(scan("a|b\n", '^'), Lines());
  std::string key200(200, 'k');
  std::string key201(201, 'k');
  EXPECT_EQ(scan(key200 + "^r\n" + key201 + "^r\n", '^'), Lines({key200 + "^r"}));
}

TEST(ScanRules, NulEndsTheText) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(scan(std::string("a^1\nb^2\0x\nc^3\n", 14), '^'), Lines({"a^1", "b^2"}));
  EXPECT_EQ(scan(std::string("a\0^1\nc^3\n", 9), '^'), Lines());
}

class LoadRules : public ::testing::Test {
 protected:
  MemoryFile file;
  LoadStatus load(const std::string& bytes, RuleSet* rules) {
    file.bytes = bytes;
    file.offset = 0;
    file.rewound = false;
    return load_rules(file.rule_source(), '^', rules).status;
  }
  void TearDown() override { fail_allocations_after(-1); }
};

TEST_F(LoadRules, ReportsEachFailure) {
  RuleSet rules{};
  EXPECT_EQ(load("", &rules), LoadStatus::NoRules);
  EXPECT_EQ(load("comment\n^x\n", &rules), LoadStatus::NoRules);

  fail_allocations_after(0);
  EXPECT_EQ(load("a^b\n", &rules), LoadStatus::NoMemoryForText);
  fail_allocations_after(1);
  EXPECT_EQ(load("a^b\n", &rules), LoadStatus::NoMemoryForEntries);
  fail_allocations_after(-1);

  std::string two_blocks = "a^b\n" + std::string(9000, '#');
  file.fail_after = 1;  // the second block of the measuring pass
  EXPECT_EQ(load(two_blocks, &rules), LoadStatus::MeasureFailed);
  file.fail_after = 3;  // the second block of the loading pass
  EXPECT_EQ(load(two_blocks, &rules), LoadStatus::ReadFailed);
  file.fail_after = -1;
  file.shrink_to = 8192;
  EXPECT_EQ(load(two_blocks, &rules), LoadStatus::FileShrank);
}

TEST_F(LoadRules, AcceptsExactlyTheSizeLimit) {
  std::string body = "k^v\n";
  RuleSet rules{};
  ASSERT_EQ(load(body + std::string(static_cast<std::size_t>(kMaxRuleFileSize) - body.size(), '#'), &rules),
            LoadStatus::Loaded);
  EXPECT_EQ(rules.count, 1);
  EXPECT_STREQ(rules.entries[0], "k^v");
  EXPECT_EQ(load(body + std::string(static_cast<std::size_t>(kMaxRuleFileSize) + 1 - body.size(), '#'), &rules),
            LoadStatus::TooLarge);
}

}  // namespace
