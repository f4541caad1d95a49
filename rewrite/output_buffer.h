#pragma once
// The output buffer: rewritten bytes collect here and go to the temporary
// file in large pieces.

#include <cstdint>

#include "platform/replace_file.h"

// Output collects in a buffer as large as the input window and is written
// out once less than this much room is left.
constexpr int32_t kFlushSlack = 292;

struct OutputBuffer {
  platform::FileHandle file;
  char* bytes;
  int32_t capacity;
  int32_t fill;
  bool failed;  // a write failed; later bytes are dropped
};

// Appends any number of bytes, writing out each time the buffer fills past
// its threshold, so a replacement longer than the buffer is written in full.
void append_output(OutputBuffer* output, const char* bytes, int32_t count);

// Writes out what the buffer holds; false if any write failed.
bool flush_output(OutputBuffer* output);
