#pragma once
// A rules or stream input is a separator byte ('$' for the dollar build, any other for the caret build), the
// target's other header bytes, the rule-file bytes up to the first "\n==>\n", and the text.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

inline char separator_of(uint8_t byte) { return byte == '$' ? '$' : '^'; }

inline std::pair<std::string, std::string> rules_and_text(const uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t marker = std::min(bytes.find("\n==>\n"), size);
  return {bytes.substr(0, marker), bytes.substr(std::min(marker + 5, size))};
}

// Aborts, which libFuzzer reports as a crash with its input.
inline void require(bool holds, const std::string& what) {
  if (holds) return;
  std::fprintf(stderr, "MISMATCH: %s\n", what.c_str());
  std::abort();
}
