// Rule-file bytes through the loader and the table build, then a lookup at
// every position of a text: the fast lookup must equal the reference lookup
// everywhere and, while no key repeats, the longest matching key.

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

namespace {

// The rule lines as read by hand: the text ends at its first NUL, lines end at
// CR or LF, and a line is a rule when its first separator follows a key of 1
// to kMaxKeyLength bytes. A UTF-8 byte-order mark at the start is skipped.
std::vector<std::string> model_rule_lines(const std::string& file, char separator) {
  std::string text = file.substr(0, file.find('\0'));
  std::vector<std::string> lines;
  std::string::size_type start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  while (start < text.size()) {
    std::string::size_type end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    std::string::size_type key_length = line.find(separator);
    if (key_length != std::string::npos && key_length >= 1 && key_length <= kMaxKeyLength) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

struct Model {
  std::map<std::string, std::string, std::less<>> replacements;  // by key
  std::vector<std::size_t> lengths;                  // key lengths present, longest first
  bool repeated = false;
};

Model model_of(const std::vector<std::string>& lines, char separator) {
  Model model;
  std::set<std::size_t> lengths;
  for (const std::string& line : lines) {
    std::string::size_type key_length = line.find(separator);
    std::string key = line.substr(0, key_length);
    model.repeated = model.repeated || model.replacements.count(key) != 0;
    model.replacements[key] = line.substr(key_length + 1);
    lengths.insert(key.size());
  }
  model.lengths.assign(lengths.rbegin(), lengths.rend());
  return model;
}

// The longest key equal to the text at `position`, or null.
const std::pair<const std::string, std::string>* longest_at(const Model& model, const std::string& text,
                                                            std::size_t position) {
  for (std::size_t length : model.lengths) {
    if (position + length > text.size()) continue;
    auto found = model.replacements.find(std::string_view(text).substr(position, length));
    if (found != model.replacements.end()) return &*found;
  }
  return nullptr;
}

void check_loaded_lines(const LoadedRules& loaded, const std::vector<std::string>& lines) {
  require(loaded.set.count == static_cast<int32_t>(lines.size()), "rule count differs from the model");
  // The table holds every entry once, in key order; file order decides among equal keys.
  std::vector<std::string> in_table(loaded.table.main, loaded.table.main + loaded.table.main_count);
  in_table.insert(in_table.end(), loaded.table.prefixes, loaded.table.prefixes + loaded.table.prefix_count);
  std::vector<std::string> expected = lines;
  std::sort(in_table.begin(), in_table.end());
  std::sort(expected.begin(), expected.end());
  require(in_table == expected, "rule lines differ from the model");
}

void check_lookups(const LoadedRules& loaded, const Model& model, const std::string& text) {
  const RuleTable& table = loaded.table;
  // Exactly sized, so that the sanitizer sees any read past the final NUL.
  std::vector<char> padded(text.begin(), text.end());
  padded.push_back('\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* at = padded.data() + i;
    Match fast = lookup(table, at);
    Match reference = lookup_reference(table, at);
    require(fast.entry == reference.entry && fast.key_length == reference.key_length,
            "lookup differs from lookup_reference");
    if (!may_start_at(table.trie, at)) require(fast.entry == nullptr, "a key matches where may_start_at says none");
    if (model.repeated) continue;
    const auto* longest = longest_at(model, text, i);
    require((fast.entry == nullptr) == (longest == nullptr), "lookup and the longest key disagree on a match");
    if (longest == nullptr) continue;
    require(fast.key_length == static_cast<int32_t>(longest->first.size()), "lookup missed the longest key");
    require(longest->second == replacement_of(fast), "lookup found the wrong replacement");
  }
  // With no NUL after the text, only kMaxKeyLength bytes from a position on
  // are promised readable.
  if (text.size() < kMaxKeyLength) return;
  std::vector<char> bare(text.begin(), text.end());
  for (std::size_t i = 0; i + kMaxKeyLength <= text.size(); ++i) {
    Match fast = lookup(table, bare.data() + i);
    Match padded_fast = lookup(table, padded.data() + i);
    require(fast.key_length == padded_fast.key_length &&
                (fast.entry == nullptr) == (padded_fast.entry == nullptr),
            "lookup depends on bytes past kMaxKeyLength");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  char separator = separator_of(data[0]);
  RulesAndText input = split_input(data + 1, size - 1);
  LoadedRules loaded;
  if (!load_table(input.rules, separator, &loaded)) {
    require(model_rule_lines(input.rules, separator).empty(), "rules in the model, none loaded");
    return 0;
  }
  std::vector<std::string> lines = model_rule_lines(input.rules, separator);
  check_loaded_lines(loaded, lines);
  check_lookups(loaded, model_of(lines, separator), input.text);
  release(&loaded);
  return 0;
}
