// Rules and a text through the real streaming rewrite, compared with a
// whole-buffer rewrite by the reference lookup. The text repeats a
// fuzzer-chosen number of times, so it crosses several windows.

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rewrite/stream.h"

namespace {

// Rewritten texts stay below this, or long replacements would exhaust memory.
constexpr std::size_t kMaxOutput = 16 << 20;

std::size_t longest_replacement(const RuleTable& table) {
  std::size_t longest = 0;
  auto measure = [&](const char* entry) {
    longest = std::max(longest, std::strlen(std::strchr(entry, table.separator) + 1));
  };
  std::for_each(table.main, table.main + table.main_count, measure);
  std::for_each(table.prefixes, table.prefixes + table.prefix_count, measure);
  return longest;
}

// Long enough to cross window boundaries several times (eight small windows,
// two large ones), unless long replacements would make the output too large.
std::size_t text_limit(const RuleTable& table, int32_t window_size) {
  std::size_t windows = window_size == kWindowSize ? 8 * static_cast<std::size_t>(kWindowSize)
                                                   : 2 * static_cast<std::size_t>(kLargeWindowSize) + kWindowSize;
  return std::min(windows, kMaxOutput / std::max<std::size_t>(longest_replacement(table), 1));
}

std::string repeated_text(const std::string& piece, std::size_t repetitions, std::size_t limit) {
  std::string text;
  while (!piece.empty() && repetitions-- > 0 && text.size() < limit) text += piece;
  if (text.size() > limit) text.resize(limit);
  return text;
}

// The text repeats every `period` bytes and a lookup reads at most
// kMaxKeyLength of them, so away from the end each answer repeats too.
std::string rewrite_whole(const RuleTable& table, const std::string& text, std::size_t period) {
  std::vector<char> padded(text.begin(), text.end());
  padded.push_back('\0');
  std::vector<Match> answers(period);
  std::vector<bool> known(period);
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool repeats = i + kMaxKeyLength <= text.size();
    std::size_t slot = i % period;
    if (!repeats || !known[slot]) {
      answers[slot] = lookup_reference(table, padded.data() + i);
      known[slot] = repeats;
    }
    Match match = answers[slot];
    if (match.entry == nullptr) {
      out += text[i++];
    } else {
      out += replacement_of(match);
      i += static_cast<std::size_t>(match.key_length);
    }
  }
  return out;
}

}  // namespace

// Header: the separator byte, then the repetition count as two bytes, low first.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  char separator = separator_of(data[0]);
  std::size_t repetitions = 1 + (data[1] | static_cast<std::size_t>(data[2]) << 8);
  RulesAndText input = split_input(data + 3, size - 3);
  LoadedRules loaded;
  if (!load_table(input.rules, separator, &loaded)) return 0;
  // Either window layout; the small one is crossed many times by short texts.
  int32_t window_size = (data[1] & 0x80) != 0 ? kLargeWindowSize : kWindowSize;
  std::string text = repeated_text(input.text, repetitions, text_limit(loaded.table, window_size));

  int in = memory_file(text);
  int out = memory_file("");
  auto read_from = [](void* context, char* buffer, int32_t count) {
    return static_cast<int32_t>(read(*static_cast<int*>(context), buffer, static_cast<size_t>(count)));
  };
  auto write_to = [](void* context, const char* bytes, int32_t count) {
    return write(*static_cast<int*>(context), bytes, static_cast<size_t>(count)) == count;
  };
  require(rewrite_stream(loaded.table, ByteSource{&in, read_from}, ByteSink{&out, write_to}, window_size) ==
              StreamResult::Done,
          "the stream failed on memory files");
  std::string streamed = read_all(out);
  close(in);
  close(out);
  require(streamed == rewrite_whole(loaded.table, text, input.text.size()),
          "the stream differs from the whole-buffer rewrite");
  release(&loaded);
  return 0;
}
