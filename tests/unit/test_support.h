#pragma once
// Building rule tables and plain models of the lookup for tests.

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "rules/allocation.h"
#include "rules/rule_table.h"

// A rule table built from rule-file text, as the tool would build it.
struct TestTable {
  RuleTable table{};
  std::vector<char> text;
};

inline void build_test_table(const std::string& rule_text, char separator, TestTable* built) {
  built->text.assign(rule_text.begin(), rule_text.end());
  built->text.push_back('\0');
  RuleSet rules{};
  rules.text = built->text.data();
  rules.count = scan_rules(rules.text, separator, nullptr);
  rules.entries = static_cast<const char**>(allocate(sizeof(const char*) * static_cast<std::size_t>(rules.count)));
  scan_rules(rules.text, separator, rules.entries);
  build_rule_table(rules, separator, &built->table);
}

// The longest key that matches at `position`, or -1; keys must be unique.
inline int32_t longest_key_at(const std::map<std::string, std::string>& rules, const std::string& text,
                              std::size_t position) {
  for (int32_t length = 200; length >= 1; --length) {
    if (position + static_cast<std::size_t>(length) <= text.size() &&
        rules.count(text.substr(position, static_cast<std::size_t>(length))) != 0) {
      return length;
    }
  }
  return -1;
}

// The whole-text rewrite by the longest-match model.
inline std::string model_rewrite(const std::map<std::string, std::string>& rules, const std::string& text) {
  std::set<std::size_t, std::greater<>> lengths;
  for (const auto& rule : rules) lengths.insert(rule.first.size());
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    auto found = rules.end();
    for (std::size_t length : lengths) {
      if (i + length <= text.size() && (found = rules.find(text.substr(i, length))) != rules.end()) break;
    }
    if (found == rules.end()) {
      out += text[i++];
    } else {
      out += found->second;
      i += found->first.size();
    }
  }
  return out;
}

// Random bytes from a small alphabet, so that keys share prefixes and repeat.
inline std::string random_string(std::mt19937* random, const std::string& alphabet, std::size_t length) {
  std::string s;
  for (std::size_t i = 0; i < length; ++i) s += alphabet[(*random)() % alphabet.size()];
  return s;
}
