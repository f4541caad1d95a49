#pragma once
// Building rule tables and plain models of the lookup for tests.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "rewrite/stream.h"
#include "rules/allocation.h"
#include "rules/rule_table.h"

// Bytes in memory as the rule loader and the stream read and write them.
// `fail_after` reads (or writes) succeed and every later one fails; a
// `shrink_to` below the size makes the file seem to shrink after a rewind.
struct MemoryFile {
  std::string bytes;
  std::size_t offset = 0;
  int fail_after = -1;
  std::size_t shrink_to = std::string::npos;
  bool rewound = false;

  static int32_t read(void* context, char* buffer, int32_t size) {
    auto* file = static_cast<MemoryFile*>(context);
    if (file->fail_after == 0) return -1;
    if (file->fail_after > 0) --file->fail_after;
    std::size_t end = file->rewound && file->shrink_to < file->bytes.size() ? file->shrink_to : file->bytes.size();
    std::size_t count = std::min(static_cast<std::size_t>(size), end - std::min(end, file->offset));
    std::memcpy(buffer, file->bytes.data() + file->offset, count);
    file->offset += count;
    return static_cast<int32_t>(count);
  }
  static bool rewind(void* context) {
    auto* file = static_cast<MemoryFile*>(context);
    file->offset = 0;
    file->rewound = true;
    return true;
  }
  static bool write(void* context, const char* bytes, int32_t count) {
    auto* file = static_cast<MemoryFile*>(context);
    if (file->fail_after == 0) return false;
    if (file->fail_after > 0) --file->fail_after;
    file->bytes.append(bytes, static_cast<std::size_t>(count));
    return true;
  }
  RuleSource rule_source() { return RuleSource{this, read, rewind}; }
  ByteSource source() { return ByteSource{this, read}; }
  ByteSink sink() { return ByteSink{this, write}; }
};

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
