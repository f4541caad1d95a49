// Rules and a text through the streaming rewrite, compared with a rewrite of
// the whole text in one buffer by the same lookup (which the rules target
// holds to the reference). The text repeats a fuzzer-chosen number of times,
// so it crosses several windows.

#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz.h"
#include "model.h"

namespace {

// Rewritten texts stay below this, or long replacements would exhaust memory.
constexpr std::size_t kMaxOutput = 16 << 20;

std::size_t longest_replacement(const RuleTable& table) {
  std::size_t longest = 1;
  for (const auto* list : {&table.main, &table.prefixes}) {
    int32_t count = list == &table.main ? table.main_count : table.prefix_count;
    for (int32_t i = 0; i < count; ++i) {
      longest = std::max(longest, std::strlen(std::strchr((*list)[i], table.separator) + 1));
    }
  }
  return longest;
}

}  // namespace

// Header: the separator byte, then the repetition count as two bytes, low
// first; the top bit of the first of them picks the large window.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  char separator = separator_of(data[0]);
  std::size_t repetitions = 1 + (data[1] | static_cast<std::size_t>(data[2]) << 8);
  int32_t window_size = (data[1] & 0x80) != 0 ? kLargeWindowSize : kWindowSize;
  auto [rule_file, piece] = rules_and_text(data + 3, size - 3);
  LoadedTable rules(rule_file, separator);
  if (!rules.built || piece.empty()) return 0;
  // Eight small windows or two large ones, unless the output would grow too large.
  std::size_t limit = std::min(window_size == kWindowSize ? 8 * std::size_t{kWindowSize}
                                                          : 2 * std::size_t{kLargeWindowSize} + kWindowSize,
                               kMaxOutput / longest_replacement(rules.table));
  std::string text;
  while (repetitions-- > 0 && text.size() < limit) text += piece;
  text.resize(std::min(text.size(), limit));

  MemoryFile input{text};
  MemoryFile output;
  require(rewrite_stream(rules.table, input.source(), output.sink(), window_size) == StreamResult::Done,
          "the stream failed in memory");
  require(output.bytes == rewrite_by(rules.table, text, lookup), "the stream differs from the whole-buffer rewrite");
  return 0;
}
