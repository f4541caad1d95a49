#pragma once
// What the unit tests and the fuzzers check the tool against: the longest-match
// model, whole-text rewrites by a lookup, and rules and texts held in memory.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "rewrite/stream.h"
#include "rules/rule_file.h"
#include "rules/rule_table.h"

// At each position the longest key wins and the scan goes on after it; a
// replacement is never scanned again. Which rule a repeated key takes is left
// to the tool's search order: compare such sets with lookup_reference instead.
struct Model {
  std::map<std::string, std::string, std::less<>> rules;
  std::set<std::size_t, std::greater<>> lengths;
  bool repeated = false;

  void add(const std::string& key, const std::string& replacement) {
    repeated = repeated || rules.count(key) != 0;
    rules[key] = replacement;
    lengths.insert(key.size());
  }
  const std::pair<const std::string, std::string>* longest_at(std::string_view text, std::size_t position) const {
    for (std::size_t length : lengths) {
      auto found = position + length <= text.size() ? rules.find(text.substr(position, length)) : rules.end();
      if (found != rules.end()) return &*found;
    }
    return nullptr;
  }
  std::string rewrite(std::string_view text) const {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
      const auto* rule = longest_at(text, i);
      out += rule == nullptr ? std::string(1, text[i]) : rule->second;
      i += rule == nullptr ? 1 : rule->first.size();
    }
    return out;
  }
};

// The whole text rewritten in one buffer by `find` (lookup or lookup_reference).
inline std::string rewrite_by(const RuleTable& table, std::string text, Match (*find)(const RuleTable&, const char*)) {
  std::size_t size = text.size();
  text.push_back('\0');
  std::string out;
  for (std::size_t i = 0; i < size;) {
    Match match = find(table, text.data() + i);
    out += match.entry == nullptr ? std::string(1, text[i]) : replacement_of(match);
    i += match.entry == nullptr ? 1 : static_cast<std::size_t>(match.key_length);
  }
  return out;
}

// Bytes in memory as the rule loader and the stream read and write them.
// `fail_after` reads (or writes) succeed and every later one fails (EIO); a
// `shrink_to` below the size makes the file seem to shrink after a rewind.
struct MemoryFile {
  std::string bytes;
  std::size_t offset = 0;
  int fail_after = -1;
  std::size_t shrink_to = std::string::npos;

  static int32_t read(void* context, char* buffer, int32_t size) {
    auto* file = static_cast<MemoryFile*>(context);
    if (file->fail_after >= 0 && file->fail_after-- == 0) {
      errno = EIO;
      return -1;
    }
    std::size_t count = std::min(static_cast<std::size_t>(size), file->bytes.size() - file->offset);
    std::memcpy(buffer, file->bytes.data() + file->offset, count);
    file->offset += count;
    return static_cast<int32_t>(count);
  }
  static bool rewind(void* context) {
    auto* file = static_cast<MemoryFile*>(context);
    file->offset = 0;
    file->bytes.resize(std::min(file->shrink_to, file->bytes.size()));
    return true;
  }
  static bool write(void* context, const char* bytes, int32_t count) {
    auto* file = static_cast<MemoryFile*>(context);
    if (file->fail_after >= 0 && file->fail_after-- == 0) return false;
    file->bytes.append(bytes, static_cast<std::size_t>(count));
    return true;
  }
  RuleSource rule_source() { return RuleSource{this, read, rewind}; }
  ByteSource source() { return ByteSource{this, read}; }
  ByteSink sink() { return ByteSink{this, write}; }
};

// Rule-file bytes loaded and built into a table as the tool does it.
struct LoadedTable {
  RuleSet set{};
  RuleTable table{};
  bool built = false;

  LoadedTable(const std::string& rule_file, char separator) {
    MemoryFile file{rule_file};
    built = load_rules(file.rule_source(), separator, &set).status == LoadStatus::Loaded &&
            build_rule_table(set, separator, &table) == BuildStatus::Built;
  }
  // What the tool keeps until it exits, freed so that leak checks see the rest.
  ~LoadedTable() {
    std::free(set.text);
    std::free(built ? table.main : set.entries);
    std::free(table.prefixes);
  }
  LoadedTable(const LoadedTable&) = delete;
  LoadedTable& operator=(const LoadedTable&) = delete;
};
