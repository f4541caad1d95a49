#pragma once
// Streaming one file through the input window, replacing every key
// occurrence, into the temporary file.

#include "platform/replace_file.h"
#include "rules/rule_table.h"

constexpr int32_t kWindowSize = 8192;

enum class StreamResult { Done, ReadFailed, WriteFailed };

// Reads `input` to its end and writes the rewritten bytes to `output`.
StreamResult rewrite_stream(const RuleTable& table, platform::FileHandle input, platform::FileHandle output);
