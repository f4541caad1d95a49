#pragma once
// What the unit tests and the fuzzers hold the tool to: the longest-match model, files in memory, and the check of
// every lookup.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdlib.h>  // setenv
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/stream.h"
#include "rules/encoding.h"
#include "rules/rule_table.h"

// The rule file read by hand: the text ends at its first NUL, a leading UTF-8 byte-order mark is skipped, lines end
// at CR or LF, and a line is a rule when its first separator follows 1 to kMaxKeyLength bytes. At each position the
// longest key wins; of two rules with one key the table's search order picks, which only lookup_in_search_order can tell.
struct Model {
  std::multimap<std::string, std::string, std::less<>> lines;  // key, whole line
  std::set<std::size_t, std::greater<>> lengths;
  bool repeated = false;

  Model(const std::string& file, char separator) {
    std::string text = file.substr(0, file.find('\0'));
    for (std::size_t start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0; start < text.size();) {
      std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
      std::size_t key_length = text.find(separator, start) - start;  // huge when there is none
      if (key_length > 0 && key_length <= kMaxKeyLength && start + key_length < end) {
        repeated = repeated || lines.count(text.substr(start, key_length)) != 0;
        lines.emplace(text.substr(start, key_length), text.substr(start, end - start));
        lengths.insert(key_length);
      }
      start = end + 1;
    }
  }
  Match at(std::string_view text, std::size_t i) const {
    for (std::size_t length : lengths) {
      auto found = i + length <= text.size() ? lines.find(text.substr(i, length)) : lines.end();
      if (found != lines.end()) {
        return {found->second.c_str(), static_cast<int32_t>(length),
                static_cast<int32_t>(found->second.size() - length - 1)};
      }
    }
    return {nullptr, 0, 0};
  }
};

// Bytes in memory as the loader and the stream read and write them. The read or write after the first `fail_after`
// fails (EIO); a rewind puts `rewound` in the bytes' place, as a file that changes between measuring and reading. As
// a sink it starts from the first bytes of `input`, as the tool's temporary file does.
struct MemoryFile {
  std::string bytes;
  int fail_after = -1;
  std::optional<std::string> rewound;
  std::size_t offset = 0;
  const std::string* input = nullptr;

  bool fails() { return fail_after >= 0 && fail_after-- == 0; }
  static int32_t read(void* context, char* buffer, int32_t size) {
    auto* file = static_cast<MemoryFile*>(context);
    if (file->fails()) {
      errno = EIO;
      return -1;
    }
    std::size_t count = file->bytes.copy(buffer, static_cast<std::size_t>(size), file->offset);
    file->offset += count;
    return static_cast<int32_t>(count);
  }
  static bool rewind(void* context) {
    auto* file = static_cast<MemoryFile*>(context);
    file->offset = 0;
    file->bytes = file->rewound.value_or(file->bytes);
    return true;
  }
  static bool begin(void* context, int64_t unchanged) {
    auto* file = static_cast<MemoryFile*>(context);
    file->bytes = file->input->substr(0, static_cast<std::size_t>(unchanged));
    return !file->fails();
  }
  static bool write(void* context, const char* bytes, int32_t count) {
    auto* file = static_cast<MemoryFile*>(context);
    if (file->fails()) return false;
    file->bytes.append(bytes, static_cast<std::size_t>(count));
    return true;
  }
  RuleSource rules() { return RuleSource{this, read, rewind}; }
  ByteSource source() { return ByteSource{this, read}; }
  ByteSink sink() { return ByteSink{this, begin, write}; }
};

// Rule-file bytes loaded and built into the tables a run's files get, as the tool does it: `table` holds the rules as
// written. Freed again (the tool keeps them until it exits) so that leak checks see the rest.
struct LoadedTable {
  RuleSet set{};
  RuleTables tables{};
  RuleTable& table = tables.as_written;
  bool built = false;

  LoadedTable(const std::string& rule_file, char separator) {
    MemoryFile file{rule_file};
    built = load_rules(file.rules(), separator, &set).status == LoadStatus::Loaded &&
            build_rule_tables(set, separator, &tables) == BuildStatus::Built;
  }
  LoadedTable(const LoadedTable&) = delete;
  LoadedTable& operator=(const LoadedTable&) = delete;
  ~LoadedTable() {
    std::free(set.text);
    if (built) {
      release_rule_tables(&tables);
    } else {
      std::free(set.entries);
    }
  }
};

// A whole text rewritten in one buffer by lookup or lookup_in_search_order (std::string keeps a NUL after it).
inline std::string rewrite_by(const RuleTable& table, const std::string& text,
                              Match (*find)(const RuleTable&, const char*, int32_t)) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    Match match = find(table, text.c_str() + i, static_cast<int32_t>(text.size() - i + 1));
    out += match.entry == nullptr ? text.substr(i, 1) : replacement_of(match);
    i += match.entry == nullptr ? 1 : static_cast<std::size_t>(match.key_length);
  }
  return out;
}

inline std::string stream(const RuleTable& table, const std::string& text, int32_t window_size) {
  MemoryFile input{text}, output;
  output.input = &text;
  switch (rewrite_stream(table, input.source(), output.sink(), window_size)) {
    case StreamResult::Unchanged:
      return output.bytes.empty() ? text : "(an unchanged stream wrote)";
    case StreamResult::Rewritten:
      return output.bytes;
    default:
      return "(the stream failed in memory)";
  }
}

// The table with the trie in place of the short keys, where the build chose them.
inline RuleTable with_trie(const RuleTable& table) {
  RuleTable trie = table;
  trie.short_keys.slots = nullptr;
  trie.filter.confirms = true;
  return trie;
}

inline bool same(Match a, Match b) {
  if (a.entry == nullptr || b.entry == nullptr) return a.entry == b.entry;
  return a.key_length == b.key_length && a.replacement_length == b.replacement_length &&
         std::string_view(a.entry) == b.entry;
}

// Loads `rule_file` as the tool does and looks up at every position of `text`: the table must hold the model's rule
// lines; lookup, through the short keys where built and through the trie, must equal lookup_in_search_order
// everywhere and, unless a key repeats, the model; all must read no more than the bytes they are told are readable.
// Returns the first difference, or "".
inline std::string check_lookups(const std::string& rule_file, char separator, const std::string& text) {
  Model model(rule_file, separator);
  LoadedTable rules(rule_file, separator);
  if (rules.built == model.lines.empty()) return "the loader and the model disagree on whether there are rules";
  if (!rules.built) return "";
  const RuleTable& table = rules.table;
  // The model's lines in key order, equal keys in file order, split into keys that are a proper prefix of the next
  // and the others.
  std::vector<std::string> main, prefixes;
  for (auto line = model.lines.begin(); line != model.lines.end(); ++line) {
    auto next = std::next(line);
    bool prefix = next != model.lines.end() && next->first.size() > line->first.size() &&
                  next->first.compare(0, line->first.size(), line->first) == 0;
    (prefix ? prefixes : main).push_back(line->second);
  }
  if (main != std::vector<std::string>(table.main, table.main + table.main_count) ||
      prefixes != std::vector<std::string>(table.prefixes, table.prefixes + table.prefix_count)) {
    return "the table's rules or their order differ from the model's";
  }
  // Exactly sized, so that the sanitizer sees any read past their ends.
  std::vector<char> padded(text.begin(), text.end()), bare(text.begin(), text.end());
  padded.push_back('\0');
  RuleTable trie = with_trie(table);
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto at = [i](const char* what) { return what + (" at " + std::to_string(i)); };
    auto readable = static_cast<int32_t>(padded.size() - i);
    Match fast = lookup(table, padded.data() + i, readable);
    if (!same(fast, lookup_in_search_order(table, padded.data() + i, readable))) {
      return at("lookup_in_search_order differs");
    }
    if (!same(fast, lookup(trie, padded.data() + i, readable))) return at("the trie differs");
    if (!model.repeated && !same(fast, model.at(text, i))) return at("the model differs");
    if (i + kMaxKeyLength > text.size()) continue;  // the lookups need the NUL before then
    if (!same(fast, lookup(table, bare.data() + i, kMaxKeyLength)) ||
        !same(fast, lookup(trie, bare.data() + i, kMaxKeyLength)) ||
        !same(fast, lookup_in_search_order(table, bare.data() + i, kMaxKeyLength))) {
      return at("a lookup with no NUL after differs");
    }
  }
  return "";
}

// The tests compare the tool's texts as its redirected output carries them in the C locale, whatever the locale they
// are started in; the tool reads the locale when it first prints.
inline const int kTextsInTheCLocale = setenv("LC_ALL", "C", 1);

// A text as the tool prints it where its output is redirected in the C locale: every "%s" replaced by the next of
// `names`, every LF leaving as CR LF.
inline std::string printed(std::string text, std::initializer_list<std::string> names = {}) {
  for (const std::string& name : names) text.replace(text.find("%s"), 2, name);
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.insert(at, "\r");
  return text;
}
