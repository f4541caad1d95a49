// Rules and a text through the real streaming rewrite, compared with a
// whole-buffer rewrite by the reference lookup. The text repeats a
// fuzzer-chosen number of times, so it crosses several windows.

#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rewrite/stream.h"

namespace {

// Eight windows: enough to cross every boundary case, small enough to stay fast.
constexpr std::size_t kMaxText = 8 * kWindowSize;

std::string repeated_text(const std::string& piece, std::size_t repetitions) {
  std::string text;
  while (!piece.empty() && repetitions-- > 0 && text.size() < kMaxText) text += piece;
  if (text.size() > kMaxText) text.resize(kMaxText);
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
  std::string text = repeated_text(input.text, repetitions);

  int in = memory_file(text);
  int out = memory_file("");
  // Either window layout; the small one is crossed many times by short texts.
  int32_t window_size = (data[1] & 0x80) != 0 ? kLargeWindowSize : kWindowSize;
  require(rewrite_stream(loaded.table, in, out, window_size) == StreamResult::Done, "the stream failed on memory files");
  std::string streamed = read_all(out);
  close(in);
  close(out);
  require(streamed == rewrite_whole(loaded.table, text, input.text.size()),
          "the stream differs from the whole-buffer rewrite");
  release(&loaded);
  return 0;
}
