#include "rewrite/stream.h"

#include <cstring>

namespace {

// Rewritten bytes collect here and go to the sink in pieces of `capacity`.
// Until the first change they are only counted: the sink copies them from the
// input if the text changes at all.
struct OutputBuffer {
  const ByteSink* sink;
  char* bytes;
  int32_t capacity;
  int32_t fill;
  int64_t unchanged;  // bytes passed on before the first change
  bool changed;
  bool failed;  // a write failed; later bytes are dropped
};

// Copies the short pieces that a text dense with corrections is made of (the
// replacements and the runs between them) in a few overlapping moves, inline:
// a call per piece costs more than the copy, and some C libraries (wine's)
// copy them a byte at a time. Up to a few cache lines: beyond, the library's
// copy pays for its call.
constexpr int32_t kInlineCopy = 128;

void copy_bytes(char* to, const char* from, int32_t count) {
  auto size = static_cast<std::size_t>(count);
  if (count > kInlineCopy) {
    std::memcpy(to, from, size);
  } else if (count >= 16) {
    for (std::size_t i = 0; i + 16 < size; i += 16) std::memcpy(to + i, from + i, 16);
    std::memcpy(to + size - 16, from + size - 16, 16);
  } else if (count >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + size - 8, from + size - 8, 8);
  } else if (count >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + size - 4, from + size - 4, 4);
  } else {
    for (std::size_t i = 0; i < size; ++i) to[i] = from[i];
  }
}

void flush_output(OutputBuffer* output) {
  if (!output->changed) {
    output->unchanged += output->fill;
  } else if (output->fill > 0 && !output->failed) {
    output->failed = !output->sink->write(output->sink->context, output->bytes, output->fill);
  }
  output->fill = 0;
}

// A piece that does not fit goes out after what the buffer holds; one at
// least as large as the buffer goes out directly, so a replacement of any
// length is written in full.
void append_output(OutputBuffer* output, const char* bytes, int32_t count) {
  if (count > output->capacity - output->fill) {
    flush_output(output);
    if (count >= output->capacity) {
      if (!output->changed) {
        output->unchanged += count;
      } else if (!output->failed) {
        output->failed = !output->sink->write(output->sink->context, bytes, count);
      }
      return;
    }
  }
  copy_bytes(output->bytes + output->fill, bytes, count);
  output->fill += count;
}

// Called where a key matched, all output before it being passed on: from the
// first replacement that differs from its key on, the sink gets the bytes.
void note_change(OutputBuffer* output, const char* key, int32_t key_length, const char* replacement,
                 int32_t replacement_length) {
  if (output->changed ||
      (replacement_length == key_length && std::memcmp(key, replacement, static_cast<std::size_t>(key_length)) == 0)) {
    return;
  }
  output->unchanged += output->fill;
  output->fill = 0;
  output->changed = true;
  output->failed = !output->sink->begin(output->sink->context, output->unchanged);
}

// Scans window positions from `position` up to `end`, copying unmatched runs
// in bulk. Returns where scanning stopped; a match may carry it past `end`.
int32_t scan_window(const RuleTable& table, const char* window, int32_t position, int32_t end, OutputBuffer* output) {
  int32_t run_start = position;
  while (position < end) {
    StartMask candidates = next_starts(table.filter, window, &position, end);
    int32_t next = end - position < kStartMaskBits ? end : position + kStartMaskBits;
    while (candidates != 0) {
      int32_t at = position + lowest_bit(candidates);
      candidates &= candidates - 1;
      if (at < run_start) continue;  // inside the key just matched
      // The window holds kStartMaskReach readable bytes past `end`.
      Match match = lookup(table, window + at, kMaxKeyLength);
      if (match.entry == nullptr) continue;
      append_output(output, window + run_start, at - run_start);
      const char* replacement = replacement_of(match);
      note_change(output, window + at, match.key_length, replacement, match.replacement_length);
      append_output(output, replacement, match.replacement_length);
      run_start = at + match.key_length;
      if (run_start > next) next = run_start;
    }
    position = next;
  }
  append_output(output, window + run_start, position - run_start);
  return position;
}

}  // namespace

StreamResult rewrite_stream(const RuleTable& table, const ByteSource& input, const ByteSink& output,
                            int32_t window_size) {
  // Both buffers are obtained once and reused for every file; the window has
  // room past its end for what the start scan reads beyond a block.
  static char window[kLargeWindowSize + kStartMaskReach];
  static char output_bytes[kLargeWindowSize];
  OutputBuffer buffer{&output, output_bytes, window_size, 0, 0, false, false};

  int32_t filled = window_size;
  int32_t position = window_size;
  for (;;) {
    // The unscanned rest (at most one key long) moves to the window's start.
    int32_t rest = filled - position;
    std::memmove(window, window + position, static_cast<std::size_t>(rest));
    int32_t count = input.read(input.context, window + rest, window_size - rest);
    if (count < 0) return StreamResult::ReadFailed;
    filled = rest + count;
    if (filled < window_size) window[filled] = '\0';  // stops every key comparison
    // In a full window, stop where a key starting at the last scanned
    // position still lies wholly inside it.
    int32_t end = filled == window_size ? window_size - kMaxKeyLength : filled;
    position = scan_window(table, window, 0, end, &buffer);
    if (buffer.failed) return StreamResult::WriteFailed;
    if (filled < window_size) break;
  }
  flush_output(&buffer);
  if (buffer.failed) return StreamResult::WriteFailed;
  return buffer.changed ? StreamResult::Rewritten : StreamResult::Unchanged;
}
