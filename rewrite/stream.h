#pragma once
// Streaming one file through the input window, replacing every key
// occurrence, into the output.

#include <cstdint>

#include "rules/rule_table.h"

// The window keeps one longest key of lookahead, so its size changes nothing
// in the output, only how often the input is read and the output written.
// 8 KiB is the smallest layout; the tool reads 32 times as much at once,
// which takes most of the system-call cost out of large files.
constexpr int32_t kWindowSize = 8192;
constexpr int32_t kLargeWindowSize = 32 * kWindowSize;

// Where the bytes come from: `read` fills up to `size` bytes and returns the
// count, short only at the end, or -1 when the read fails.
struct ByteSource {
  void* context;
  int32_t (*read)(void* context, char* buffer, int32_t size);
};

// Where the rewritten bytes go: `write` takes all `count` bytes or fails.
struct ByteSink {
  void* context;
  bool (*write)(void* context, const char* bytes, int32_t count);
};

enum class StreamResult { Done, ReadFailed, WriteFailed };

// Reads `input` to its end and writes the rewritten bytes to `output`,
// through a window of `window_size` bytes (kWindowSize to kLargeWindowSize).
// The output is written in pieces of `window_size` bytes, and the last rest.
StreamResult rewrite_stream(const RuleTable& table, const ByteSource& input, const ByteSink& output,
                            int32_t window_size);
