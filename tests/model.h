#pragma once
// What the unit tests and the fuzzers check the tool against: the longest-match
// model, whole-text rewrites by a lookup, rules and texts held in memory, and
// the check of every lookup on a rule file and a text.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

// The rule lines as read by hand: the text ends at its first NUL, lines end at
// CR or LF, and a line is a rule when its first separator follows a key of 1
// to kMaxKeyLength bytes. A UTF-8 byte-order mark at the start is skipped.
inline std::vector<std::string> rule_lines(const std::string& file, char separator) {
  std::string text = file.substr(0, file.find('\0'));
  std::vector<std::string> lines;
  for (std::size_t start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0; start < text.size();) {
    std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    std::size_t separator_at = text.find(separator, start);
    if (separator_at < end && separator_at > start && separator_at - start <= kMaxKeyLength) {
      lines.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return lines;
}

// Loads `rule_file` as the tool does and looks up at every position of `text`:
// the table must hold the model's rule lines, the fast lookup must equal the
// reference everywhere and, while no key repeats, find the model's longest
// key, reading no further than kMaxKeyLength bytes. Returns the first
// difference, or an empty string.
inline std::string check_lookups(const std::string& rule_file, char separator, const std::string& text) {
  std::vector<std::string> lines = rule_lines(rule_file, separator);
  LoadedTable rules(rule_file, separator);
  if (rules.built != !lines.empty()) return "the loader and the model disagree on whether there are rules";
  if (!rules.built) return "";
  const RuleTable& table = rules.table;
  std::vector<std::string> in_table(table.main, table.main + table.main_count);
  in_table.insert(in_table.end(), table.prefixes, table.prefixes + table.prefix_count);
  std::sort(in_table.begin(), in_table.end());
  std::sort(lines.begin(), lines.end());
  if (in_table != lines) return "the table's rules differ from the model's";
  Model model;
  for (const std::string& line : lines) {
    model.add(line.substr(0, line.find(separator)), line.substr(line.find(separator) + 1));
  }
  // Exactly sized, so that the sanitizer sees any read past their ends.
  std::vector<char> padded(text.begin(), text.end());
  padded.push_back('\0');
  std::vector<char> bare(text.begin(), text.end());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto at = [i](const char* what) { return what + (" at " + std::to_string(i)); };
    Match fast = lookup(table, padded.data() + i);
    Match reference = lookup_reference(table, padded.data() + i);
    if (fast.entry != reference.entry || fast.key_length != reference.key_length) return at("lookup_reference differs");
    if (fast.entry != nullptr && !may_start_at(table.trie, padded.data() + i)) return at("may_start_at missed a key");
    if (i + kMaxKeyLength <= text.size()) {
      Match without_nul = lookup(table, bare.data() + i);
      if (without_nul.entry != fast.entry || without_nul.key_length != fast.key_length) return at("no NUL after");
    }
    const auto* longest = model.repeated ? nullptr : model.longest_at(text, i);
    std::string expected = longest == nullptr ? "" : longest->first + separator + longest->second;
    if (!model.repeated && (fast.entry == nullptr ? "" : fast.entry) != expected) return at("the model differs");
  }
  return "";
}
