// Which rule applies where: a table of cases through both lookups, the model
// and the stream at both window sizes; random rule sets; the stream across
// window boundaries, and its failures.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "model.h"

using namespace std::string_literals;

constexpr int32_t kWindowSizes[] = {kWindowSize, kLargeWindowSize};

// Bytes from a small alphabet, so that keys share prefixes and repeat.
static std::string random_string(std::mt19937& random, const std::string& alphabet, std::size_t length) {
  std::string s;
  while (s.size() < length) s += alphabet[random() % alphabet.size()];
  return s;
}

// The stream at both window sizes through every scan path that this processor
// has and that serves the keys, with the short keys where the build chose them,
// their candidates confirmed or not, and with the trie; `ran` gathers a bit for
// each path taken.
static void expect_stream(const std::string& rule_file, char separator, const std::string& text,
                          const std::string& expected, unsigned* ran) {
  LoadedTable rules(rule_file, separator);
  RuleTable unconfirmed = rules.table;
  unconfirmed.filter.confirms = !rules.table.filter.confirms;
  for (RuleTable table : {rules.table, unconfirmed, with_trie(rules.table)}) {
    for (int path = 0; path < kScanPaths; ++path) {
      if (!scan_path_serves(table.filter, static_cast<ScanPath>(path))) continue;
      table.filter.path = static_cast<ScanPath>(path);
      *ran |= 1U << path;
      for (int32_t size : kWindowSizes) {
        ASSERT_EQ(stream(table, text, size), expected)
            << rule_file << " path " << path << " window " << size << " short keys " << (table.short_keys.slots != nullptr);
      }
    }
  }
}

// Says which scan paths a test ran, in its output and its XML report.
static void report_paths(unsigned ran) {
  const char* names[kScanPaths] = {"pairs", "listed SSE2", "nibbles AVX2", "nibbles AVX-512"};
  std::string list;
  for (int path = 0; path < kScanPaths; ++path) list += (ran >> path & 1) != 0 ? std::string(" ") + names[path] : "";
  std::printf("scan paths run:%s\n", list.c_str());
  testing::Test::RecordProperty("scan_paths", list);
}

TEST(Match, CasesThroughEveryLookupAndTheStream) {
  std::string prefix_chain;  // a, aa, aaa, ... up to one byte short of the longest key
  for (std::size_t n = 1; n < kMaxKeyLength; ++n) prefix_chain += std::string(n, 'a') + "^" + std::to_string(n) + "\n";
  std::string key200(kMaxKeyLength, 'k');
  std::string big(1 << 20, 'r');  // far longer than the output buffer
  std::string dots(9000, '.');    // longer than a small window
  const struct { std::string rules, text, expected; } cases[] = {
      {"teh^the\n", "teh cat teh", "the cat the"},
      {"a^b\nb^c\n", "ab", "bc"},  // replacements are not rescanned
      {"aa^x\n", "aaa", "xa"},     // left to right, no overlap
      {"a^1\nab^2\nabc^3\n", "abcd abx ax", "3d 2x 1x"},
      {"abc^3\na^1\nab^2\n", "abcd abx ax", "3d 2x 1x"},
      {"abcdefgh^1\nabcdefghzz^3\nabcdefghaa^2\n", "abcdefghaa abcdefghzz abcdefghx", "2 3 1x"},  // eight bytes
      {"z^Z\n\xe9^E\n", "z\xe9", "ZE"},  // bytes compare unsigned
      {"k^1\nk^2\n", "k", "2"},          // a repeated key: the search order decides
      {"k^1\nk^2\nm^3\n", "km", "13"},
      {"ab^1\nab^2\nabc^3\n", "abcd", "1cd"},
      {"7c^7\n1b^1\nabc^3\n2c^2\n8b^8\nab^4\nab^5\n9a^9\n", "abcd", "3d"},
      {"x^\n", "axbxc", "abc"},  // an empty replacement deletes
      {"a^a\nx^y\n", "aaa", "aaa"},  // a key that stands for itself changes nothing
      {"a^b^c\n", "a", "b^c"},
      {"ab^X\n", "a\0b\rab\n\0"s, "a\0b\rX\n\0"s},  // NUL, CR and LF are copied, never matched
      {"abc^Y\n", "ab", "ab"},                       // a key cut off by the end of the text
      {prefix_chain, std::string(150, 'a') + "b", "150b"},
      {key200 + "^x\n" + key200.substr(0, 100) + "^y\n", key200, "x"},  // nothing readable after the longest key
      {"k^" + big + "\n", dots + "k.k" + dots + "k", dots + big + "." + big + dots + big},
      // Whole words past sixteen bytes: one head and tail with two middles, and a longer key over an inner blank.
      {" abcdefghijklmnopq ^1\n abcdefghiZklmnopq ^5\n abcdefghijklmnopq rst ^3\n abcdefghijklmnopr ^2\n ab ^4\n",
       " abcdefghijklmnopq rst  abcdefghijklmnopr  abcdefghijklmnopq x ab  abcdefghiZklmnopq ", "321x45"},
      {" abcdefghijklmnopqrstu ^1\n abcdefghijklmnopqrstu ^2\n", "x abcdefghijklmnopqrstu ", "x2"},
  };
  unsigned ran = 0;
  for (const auto& c : cases) {
    LoadedTable rules(c.rules, '^');
    EXPECT_EQ(rewrite_by(rules.table, c.text, lookup_in_search_order), c.expected) << c.rules;
    EXPECT_EQ(check_lookups(c.rules, '^', c.text), "") << c.rules;  // lookup, at every position
    expect_stream(c.rules, '^', c.text, c.expected, &ran);
  }
  report_paths(ran);
}

TEST(Match, RandomRuleSetsAgreeWithTheModelAndTheReference) {
  std::mt19937 random(12345);
  unsigned ran = 0;
  const std::string alphabets[] = {"ab", "abc", "a\xe9\x80\xff", "abcdefgh"};
  for (int round = 0; round < 600; ++round) {
    const std::string& alphabet = alphabets[round % 4];
    char separator = round % 3 == 0 ? '$' : '^';
    // Keys around eight bytes reach the sort's cached key prefixes.
    std::size_t max_length = round % 10 == 0 ? 200 : round % 10 == 5 ? 12 : 1 + static_cast<std::size_t>(round % 6);
    std::set<std::string> keys;
    std::string rule_file;
    for (int i = 0; i < 1 + round % 40; ++i) {
      std::string key = random_string(random, alphabet, 1 + random() % max_length);
      if (!keys.insert(key).second && round % 2 == 0) continue;  // every other set without repeats
      rule_file += key + separator + std::to_string(i) + "\n";
    }
    std::string text = random_string(random, alphabet, 400) + *keys.rbegin();
    ASSERT_EQ(check_lookups(rule_file, separator, text), "") << rule_file;
    LoadedTable rules(rule_file, separator);
    if (rules.built) expect_stream(rule_file, separator, text, rewrite_by(rules.table, text, lookup_in_search_order), &ran);
  }
  report_paths(ran);
}

TEST(Match, StreamAcrossWindowBoundaries) {
  std::mt19937 random(99);
  std::string long_key = random_string(random, "ab", kMaxKeyLength);
  std::set<std::string> keys{long_key, long_key.substr(0, 150)};
  while (keys.size() < 62) keys.insert(random_string(random, "ab\xe9", 1 + random() % 5));
  std::string rule_file;
  for (const std::string& key : keys) rule_file += key + "^[" + std::to_string(rule_file.size()) + "]\n";
  LoadedTable rules(rule_file, '^');
  unsigned ran = 0;
  for (std::size_t size : {0, 1, 7991, 7992, 7993, 8191, 8192, 8193, 16384, 262143, 262144, 262145, 600000}) {
    std::string text = random_string(random, "ab\r\n\0\xe9"s, size);
    // The longest key across each window boundary of either layout, and at the end.
    std::vector<std::size_t> starts{7900, 7950, 7991, 7992, 8100, 16200, 261900, 261944, 262000, size - 200};
    for (std::size_t at : starts) {
      if (at <= size && at + long_key.size() <= size) text.replace(at, long_key.size(), long_key);
    }
    // lookup_in_search_order, which the cases hold to the model
    expect_stream(rule_file, '^', text, rewrite_by(rules.table, text, lookup_in_search_order), &ran);
  }
  report_paths(ran);
}
