// Which lines of a rule file are rules, and how loading one fails.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "model.h"
#include "rules/allocation.h"

namespace {

using Lines = std::vector<std::string>;

Lines scan(std::string text, char separator) {
  text.push_back('\0');
  int32_t count = scan_rules(text.data(), separator, nullptr);
  std::vector<const char*> entries(static_cast<std::size_t>(count));
  EXPECT_EQ(scan_rules(text.data(), separator, entries.data()), count);
  return Lines(entries.begin(), entries.end());
}

TEST(RuleFile, ScanFindsRuleLinesAndEndsThemInPlace) {
  std::string key200(200, 'k');
  const struct {
    std::string text;
    char separator;
    Lines rules;
  } cases[] = {
      {"abc^xyz", '^', {"abc^xyz"}},
      {"abc^xyz", '$', {}},
      {"abc$xyz\n", '$', {"abc$xyz"}},
      {"a^1\r\nb^2\rc^3\n\n\r\rd^4", '^', {"a^1", "b^2", "c^3", "d^4"}},
      {"abc^\n^xyz\nabc\na^b^c\n", '^', {"abc^", "a^b^c"}},
      {" k ^ r \na|b\n", '^', {" k ^ r "}},
      {key200 + "^r\n" + key200 + "k^r\n", '^', {key200 + "^r"}},
      {std::string("a^1\nb^2\0x\nc^3\n", 14), '^', {"a^1", "b^2"}},  // NUL ends the text
      {std::string("a\0^1\nc^3\n", 9), '^', {}},
      {"\xEF\xBB\xBF" "a^1\n\xEF\xBB\xBF" "b^2", '^', {"a^1", "\xEF\xBB\xBF" "b^2"}},  // a byte-order mark first only
  };
  for (const auto& c : cases) EXPECT_EQ(scan(c.text, c.separator), c.rules) << c.text;
}

TEST(RuleFile, LoadReportsEachFailure) {
  std::string two_blocks = "a^b\n" + std::string(9000, '#');
  std::string limit = "k^v\n" + std::string(static_cast<std::size_t>(kMaxRuleFileSize) - 4, '#');
  // The bytes, the reads that succeed, the size it shrinks to on rewinding, the allocations that succeed.
  const struct {
    std::string bytes;
    int reads;
    std::size_t shrink_to;
    int allocations;
    LoadStatus status;
  } cases[] = {
      {limit, -1, std::string::npos, -1, LoadStatus::Loaded},
      {limit + "#", -1, std::string::npos, -1, LoadStatus::TooLarge},
      {"", -1, std::string::npos, -1, LoadStatus::NoRules},
      {"comment\n^x\n", -1, std::string::npos, -1, LoadStatus::NoRules},
      {two_blocks, 1, std::string::npos, -1, LoadStatus::MeasureFailed},
      {two_blocks, 3, std::string::npos, -1, LoadStatus::ReadFailed},
      {two_blocks, -1, 8192, -1, LoadStatus::FileShrank},
      {"a^b\n", -1, std::string::npos, 0, LoadStatus::NoMemoryForText},
      {"a^b\n", -1, std::string::npos, 1, LoadStatus::NoMemoryForEntries},
  };
  for (const auto& c : cases) {
    MemoryFile file{c.bytes, 0, c.reads, c.shrink_to};
    RuleSet rules{};
    fail_allocations_after(c.allocations);
    LoadResult result = load_rules(file.rule_source(), '^', &rules);
    fail_allocations_after(-1);
    EXPECT_EQ(result.status, c.status) << c.bytes.substr(0, 20);
    EXPECT_EQ(result.error, c.status == LoadStatus::ReadFailed ? EIO : 0);
    std::free(rules.text);
    std::free(rules.entries);
  }
}

}  // namespace
