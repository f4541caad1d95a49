#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "rules/allocation.h"
#include "rules/rule_file.h"

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
  // ctest runs the cases side by side: each gets a file of its own.
  std::string path = ::testing::TempDir() + "quorbel_rule_file_test_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                     std::to_string(getpid()) + ".cfg";
  void write(const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  void TearDown() override {
    std::remove(path.c_str());
    fail_allocations_after(-1);
  }
};

TEST_F(LoadRules, ReportsEachFailure) {
  RuleSet rules{};
  LoadResult missing = load_rules((path + ".missing").c_str(), '^', &rules);
  EXPECT_EQ(missing.status, LoadStatus::CannotOpen);
  EXPECT_EQ(std::string(std::strerror(missing.error)), "No such file or directory");
  EXPECT_EQ(load_rules(::testing::TempDir().c_str(), '^', &rules).status, LoadStatus::CannotOpen);

  write("");
  EXPECT_EQ(load_rules(path.c_str(), '^', &rules).status, LoadStatus::NoRules);
  write("comment\n^x\n");
  EXPECT_EQ(load_rules(path.c_str(), '^', &rules).status, LoadStatus::NoRules);

  write("a^b\n");
  fail_allocations_after(0);
  EXPECT_EQ(load_rules(path.c_str(), '^', &rules).status, LoadStatus::NoMemoryForText);
  fail_allocations_after(1);
  EXPECT_EQ(load_rules(path.c_str(), '^', &rules).status, LoadStatus::NoMemoryForEntries);
}

TEST_F(LoadRules, AcceptsExactlyTheSizeLimit) {
  std::string body = "k^v\n";
  write(body + std::string(static_cast<std::size_t>(kMaxRuleFileSize) - body.size(), '#'));
  RuleSet rules{};
  ASSERT_EQ(load_rules(path.c_str(), '^', &rules).status, LoadStatus::Loaded);
  EXPECT_EQ(rules.count, 1);
  EXPECT_STREQ(rules.entries[0], "k^v");
  write(body + std::string(static_cast<std::size_t>(kMaxRuleFileSize) + 1 - body.size(), '#'));
  EXPECT_EQ(load_rules(path.c_str(), '^', &rules).status, LoadStatus::TooLarge);
}

}  // namespace
