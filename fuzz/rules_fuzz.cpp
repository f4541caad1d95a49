// Rule-file bytes through the loader and the table build, then a lookup at
// every position of a text: the fast lookup must equal the reference lookup
// everywhere and, while no key repeats, find the model's longest key.

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz.h"
#include "model.h"

namespace {

// The rule lines as read by hand: the text ends at its first NUL, lines end at
// CR or LF, and a line is a rule when its first separator follows a key of 1
// to kMaxKeyLength bytes.
std::vector<std::string> rule_lines(const std::string& file, char separator) {
  std::string text = file.substr(0, file.find('\0'));
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    std::string line = text.substr(start, end - start);
    std::size_t key_length = line.find(separator);
    if (key_length != std::string::npos && key_length >= 1 && key_length <= kMaxKeyLength) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  char separator = separator_of(data[0]);
  auto [rule_file, text] = rules_and_text(data + 1, size - 1);
  std::vector<std::string> lines = rule_lines(rule_file, separator);
  LoadedTable rules(rule_file, separator);
  require(rules.built == !lines.empty(), "the loader and the model disagree on whether there are rules");
  if (!rules.built) return 0;
  // The table holds every rule line once; the order among equal keys is the search's.
  const RuleTable& table = rules.table;
  std::vector<std::string> in_table(table.main, table.main + table.main_count);
  in_table.insert(in_table.end(), table.prefixes, table.prefixes + table.prefix_count);
  std::sort(in_table.begin(), in_table.end());
  std::sort(lines.begin(), lines.end());
  require(in_table == lines, "the table's rules differ from the model's");

  Model model;
  for (const std::string& line : lines) {
    model.add(line.substr(0, line.find(separator)), line.substr(line.find(separator) + 1));
  }
  // Exactly sized, so that the sanitizer sees any read past the final NUL.
  std::vector<char> padded(text.begin(), text.end());
  padded.push_back('\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    Match fast = lookup(table, padded.data() + i);
    Match reference = lookup_reference(table, padded.data() + i);
    require(fast.entry == reference.entry && fast.key_length == reference.key_length,
            "lookup differs from lookup_reference");
    require(fast.entry == nullptr || may_start_at(table.trie, padded.data() + i),
            "a key matches where may_start_at says none");
    if (model.repeated) continue;
    const auto* longest = model.longest_at(text, i);
    require(fast.entry == nullptr ? longest == nullptr
                                  : longest != nullptr && fast.entry == longest->first + separator + longest->second,
            "lookup differs from the model's longest key");
  }
  // With no NUL after the text, only kMaxKeyLength bytes from a position on
  // are promised readable.
  std::vector<char> bare(text.begin(), text.end());
  for (std::size_t i = 0; i + kMaxKeyLength <= text.size(); ++i) {
    Match fast = lookup(table, bare.data() + i);
    Match with_nul = lookup(table, padded.data() + i);
    require(fast.entry == with_nul.entry && fast.key_length == with_nul.key_length,
            "lookup depends on bytes past kMaxKeyLength");
  }
  return 0;
}
