#pragma once
// Matching cases that every lookup and the streaming rewrite must agree on.
// Rules are written for the caret build.

#include <string>
#include <vector>

struct MatchCase {
  std::string rules;
  std::string text;
  std::string expected;
};

inline std::vector<MatchCase> match_cases() {
  using namespace std::string_literals;
  return {
      {"teh^the\n", "teh cat teh", "the cat the"},
      {"a^b\nb^c\n", "ab", "bc"},                    // replacements are not rescanned
      {"aa^x\n", "aaa", "xa"},                       // left to right, no overlap
      {"a^1\nab^2\nabc^3\n", "abcd abx ax", "3d 2x 1x"},
      {"abc^3\na^1\nab^2\n", "abcd abx ax", "3d 2x 1x"},
      {"z^Z\n\xe9^E\n", "z\xe9", "ZE"},
      {"k^1\nk^2\n", "k", "2"},                      // repeated key: the probe order decides
      {"k^1\nk^2\nm^3\n", "km", "13"},
      {"ab^1\nab^2\nabc^3\n", "abcd", "1cd"},
      {"7c^7\n1b^1\nabc^3\n2c^2\n8b^8\nab^4\nab^5\n9a^9\n", "abcd", "3d"},
      {"x^\n", "axbxc", "abc"},                      // empty replacement deletes
      {"a^b^c\n", "a", "b^c"},
      {"ab^X\n", "a\0b\rab\n\0"s, "a\0b\rX\n\0"s},  // NUL, CR, LF are copied, never matched
      {"abc^Y\n", "ab", "ab"},                       // a key cut off by the end of the text
  };
}
