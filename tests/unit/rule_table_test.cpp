#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "match_cases.h"
#include "test_support.h"

namespace {

using LookupFunction = Match (*)(const RuleTable&, const char*);

std::string rewrite_whole(const RuleTable& table, std::string text, LookupFunction find) {
  std::size_t size = text.size();
  text.push_back('\0');
  std::string out;
  for (std::size_t i = 0; i < size;) {
    Match match = find(table, text.data() + i);
    if (match.entry == nullptr) {
      out += text[i++];
    } else {
      out += replacement_of(match);
      i += static_cast<std::size_t>(match.key_length);
    }
  }
  return out;
}

TEST(RuleTable, MatchCasesThroughBothLookups) {
  for (const MatchCase& c : match_cases()) {
    TestTable built;
    build_test_table(c.rules, '^', &built);
    EXPECT_EQ(rewrite_whole(built.table, c.text, lookup_reference), c.expected) << c.rules;
    EXPECT_EQ(rewrite_whole(built.table, c.text, lookup), c.expected) << c.rules;
  }
}

TEST(RuleTable, SortsSplitsAndStartsProbingAsDefined) {
  TestTable built;
  build_test_table("abc^3\nb^\na^1\nab^2\n", '^', &built);
  const RuleTable& t = built.table;
  EXPECT_EQ(t.probe_start, 2);
  ASSERT_EQ(t.main_count, 2);
  EXPECT_STREQ(t.main[0], "abc^3");
  EXPECT_STREQ(t.main[1], "b^");
  ASSERT_EQ(t.prefix_count, 2);
  EXPECT_STREQ(t.prefixes[0], "a^1");
  EXPECT_STREQ(t.prefixes[1], "ab^2");

  int32_t expected_start[][2] = {{1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 4}, {8, 4}, {9, 8}, {17, 16}};
  for (auto& [count, start] : expected_start) {
    std::string rules;
    for (int32_t i = 0; i < count; ++i) rules += "k" + std::to_string(i) + "^\n";
    build_test_table(rules, '^', &built);
    EXPECT_EQ(built.table.probe_start, start) << count;
  }
}

TEST(RuleTable, KeyOrderIsUnsignedAndShorterFirst) {
  EXPECT_LT(compare_keys("z^", "\xe9^", '^'), 0);
  EXPECT_LT(compare_keys("a^zzz", "a\x01^", '^'), 0);
  EXPECT_EQ(compare_keys("ab^1", "ab^2", '^'), 0);
  EXPECT_GT(compare_keys("b$", "ab$", '$'), 0);
}

// Random rule sets over small alphabets make prefixes and repeated keys common.
struct RandomRules {
  std::string text;
  std::map<std::string, std::string> unique;
  bool repeated = false;
};

RandomRules random_rules(std::mt19937* random, const std::string& alphabet, int count, std::size_t max_length,
                         bool allow_repeats) {
  RandomRules rules;
  for (int i = 0; i < count; ++i) {
    std::string key = random_string(random, alphabet, 1 + (*random)() % max_length);
    if (rules.unique.count(key) != 0 && !allow_repeats) continue;
    rules.repeated = rules.repeated || rules.unique.count(key) != 0;
    std::string replacement = "<" + std::to_string(i) + ">";
    rules.unique[key] = replacement;
    rules.text += key + "^" + replacement + "\n";
  }
  return rules;
}

TEST(RuleTable, LongestMatchAgreesWithTheModelAtEveryPosition) {
  std::mt19937 random(12345);
  const std::string alphabets[] = {"ab", "abc", "a\xe9\x80\xff", "abcdefgh"};
  for (int round = 0; round < 300; ++round) {
    const std::string& alphabet = alphabets[round % 4];
    // Keys around eight bytes exercise the cached key prefixes of the sort.
    std::size_t max_length = round % 10 == 0 ? 200 : round % 10 == 5 ? 12 : 1 + static_cast<std::size_t>(round % 6);
    RandomRules rules = random_rules(&random, alphabet, 1 + round % 40, max_length, false);
    TestTable built;
    build_test_table(rules.text, '^', &built);
    std::string text = random_string(&random, alphabet, 400);
    if (max_length == 200) text += rules.unique.rbegin()->first;
    std::string padded = text + '\0';
    for (std::size_t i = 0; i < text.size(); ++i) {
      int32_t expected = longest_key_at(rules.unique, text, i);
      Match fast = lookup(built.table, padded.data() + i);
      Match reference = lookup_reference(built.table, padded.data() + i);
      ASSERT_EQ(fast.entry == nullptr ? -1 : fast.key_length, expected) << rules.text << " at " << i;
      ASSERT_EQ(reference.entry, fast.entry) << rules.text << " at " << i;
    }
  }
}

TEST(RuleTable, FastLookupEqualsReferenceWhereKeysRepeat) {
  std::mt19937 random(777);
  for (int round = 0; round < 400; ++round) {
    RandomRules rules = random_rules(&random, round % 2 == 0 ? "ab" : "abc", 2 + round % 30,
                                     round % 5 == 0 ? 10 : 1 + static_cast<std::size_t>(round % 4), true);
    TestTable built;
    build_test_table(rules.text, '^', &built);
    std::string text = random_string(&random, "abc", 200) + '\0';
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
      Match fast = lookup(built.table, text.data() + i);
      Match reference = lookup_reference(built.table, text.data() + i);
      ASSERT_EQ(fast.entry, reference.entry) << rules.text << " at " << i;
      ASSERT_EQ(fast.key_length, reference.key_length);
    }
  }
}

TEST(RuleTable, ChainOfPrefixes) {
  std::string rules;
  for (int length = 1; length <= 199; ++length) rules += std::string(static_cast<std::size_t>(length), 'a') + "^" + std::to_string(length) + "\n";
  TestTable built;
  build_test_table(rules, '^', &built);
  EXPECT_EQ(built.table.main_count, 1);
  EXPECT_EQ(built.table.prefix_count, 198);
  std::string text = std::string(150, 'a') + "b";
  EXPECT_EQ(lookup_reference(built.table, text.c_str()).key_length, 150);
  EXPECT_EQ(lookup(built.table, text.c_str()).key_length, 150);
}

// Only kMaxKeyLength bytes are promised readable: a lookup that matches the
// longest key must not touch the byte after it (the sanitizer build sees it).
TEST(RuleTable, LongestKeyAtTheEndOfTheReadableBytes) {
  std::string key(static_cast<std::size_t>(kMaxKeyLength), 'k');
  TestTable built;
  build_test_table(key + "^x\n" + key.substr(0, 100) + "^y\n", '^', &built);
  std::vector<char> exact(key.begin(), key.end());
  EXPECT_EQ(lookup(built.table, exact.data()).key_length, kMaxKeyLength);
  EXPECT_EQ(lookup_reference(built.table, exact.data()).key_length, kMaxKeyLength);
}

}  // namespace
