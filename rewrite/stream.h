#pragma once
// Streaming one file through the input window, replacing every key
// occurrence, into the output.

#include <cstdint>

#include "rules/rule_file.h"
#include "rules/rule_table.h"

// The window keeps one longest key of lookahead, so its size changes nothing
// in the output, only how often the input is read and the output written.
// 8 KiB is the smallest layout; the tool reads 32 times as much at once,
// which takes most of the system-call cost out of large files.
constexpr int32_t kWindowSize = 8192;
constexpr int32_t kLargeWindowSize = 32 * kWindowSize;

// Where the bytes come from: `read` fills up to `size` bytes and returns the
// count, short only at the end, or -1 with errno set.
struct ByteSource {
  void* context;
  int32_t (*read)(void* context, char* buffer, int32_t size);
};

// Where the rewritten bytes go. Nothing goes there while the output still
// equals the input: at the first change `begin` learns how many leading bytes
// the two share, and every output byte after those goes to `write`. Each
// takes all it is given or fails.
struct ByteSink {
  void* context;
  bool (*begin)(void* context, int64_t unchanged);
  bool (*write)(void* context, const char* bytes, int32_t count);
};

// Unchanged: no key occurred whose replacement differs from it, and the sink
// received nothing.
enum class StreamResult { Unchanged, Rewritten, ReadFailed, WriteFailed };

// Reads `input` to its end and writes the rewritten bytes to `output`,
// through a window of `window_size` bytes (kWindowSize to kLargeWindowSize).
// The output is written in pieces of `window_size` bytes, and the last rest.
StreamResult rewrite_stream(const RuleTable& table, const ByteSource& input, const ByteSink& output,
                            int32_t window_size);
