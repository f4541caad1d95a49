#pragma once
// The output buffer: rewritten bytes collect here and go to the temporary
// file in large pieces.

#include <cstdint>

#include "platform/replace_file.h"

constexpr int32_t kOutputBufferSize = 8192;
// Written out once it holds this much.
constexpr int32_t kFlushThreshold = 7900;

struct OutputBuffer {
  platform::FileHandle file;
  int32_t fill;
  bool failed;  // a write failed; later bytes are dropped
  char bytes[kOutputBufferSize];
};

// Appends any number of bytes, writing out each time the threshold is reached,
// so a replacement longer than the buffer is written in full.
void append_output(OutputBuffer* output, const char* bytes, int32_t count);

// Writes out what the buffer holds; false if any write failed.
bool flush_output(OutputBuffer* output);
