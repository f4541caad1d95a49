#pragma once
// Streaming one file through the input window, replacing every key
// occurrence, into the temporary file.

#include "platform/replace_file.h"
#include "rules/rule_table.h"

// The window keeps one longest key of lookahead, so its size changes nothing
// in the output, only how often files are read and written. 8 KiB is the
// smallest layout; the tool reads 32 times as much at once, which takes most
// of the system-call cost out of large files.
constexpr int32_t kWindowSize = 8192;
constexpr int32_t kLargeWindowSize = 32 * kWindowSize;

enum class StreamResult { Done, ReadFailed, WriteFailed };

// Reads `input` to its end and writes the rewritten bytes to `output`,
// through a window of `window_size` bytes (kWindowSize to kLargeWindowSize).
StreamResult rewrite_stream(const RuleTable& table, platform::FileHandle input, platform::FileHandle output,
                            int32_t window_size);
