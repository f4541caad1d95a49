#pragma once
// Reading a fuzz input, and failing it. An input after its target's header
// bytes is the rule-file bytes up to the first kTextMarker, then the text.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

constexpr char kTextMarker[] = "\n==>\n";

inline std::pair<std::string, std::string> rules_and_text(const uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t marker = bytes.find(kTextMarker);
  if (marker == std::string::npos) return {bytes, ""};
  return {bytes.substr(0, marker), bytes.substr(marker + sizeof kTextMarker - 1)};
}

// The first header byte picks the build: '$' the dollar build, anything else
// the caret build, so seed files start with the separator they use.
inline char separator_of(uint8_t byte) { return byte == '$' ? '$' : '^'; }

// Aborts with a message, which libFuzzer reports as a crash with its input.
inline void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "MISMATCH: %s\n", what);
  std::abort();
}
