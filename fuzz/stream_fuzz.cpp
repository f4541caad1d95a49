// The stream against a rewrite of the whole text by lookup (which the rules
// target holds to the model), the text repeated so that it crosses windows.

#include "fuzz.h"
#include "model.h"

// Header after the separator: the repetitions as two bytes, low first, whose
// top bit picks the large window.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  char separator = separator_of(data[0]);
  auto [rule_file, piece] = rules_and_text(data + 3, size - 3);
  LoadedTable rules(rule_file, separator);
  if (!rules.built || piece.empty()) return 0;
  std::size_t repetitions = 1 + (data[1] | std::size_t{data[2]} << 8);
  bool large = (data[1] & 0x80) != 0;
  // Eight small windows or two large ones, and an output below 16 MiB.
  std::size_t limit = large ? 2 * std::size_t{kLargeWindowSize} + kWindowSize : 8 * std::size_t{kWindowSize};
  for (const auto& [key, line] : Model(rule_file, separator).lines) {
    limit = std::min(limit, (std::size_t{16} << 20) / (line.size() - key.size()));  // replacement + 1
  }
  std::string text;
  while (repetitions-- > 0 && text.size() < limit) text += piece;
  text.resize(std::min(text.size(), limit));
  require(stream(rules.table, text, large ? kLargeWindowSize : kWindowSize) == rewrite_by(rules.table, text, lookup),
          "the stream differs from the whole-buffer rewrite");
  return 0;
}
