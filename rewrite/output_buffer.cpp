#include "rewrite/output_buffer.h"

#include <cstring>

void append_output(OutputBuffer* output, const char* bytes, int32_t count) {
  while (count > 0) {
    int32_t room = output->capacity - output->fill;
    int32_t take = count < room ? count : room;
    std::memcpy(output->bytes + output->fill, bytes, static_cast<std::size_t>(take));
    output->fill += take;
    bytes += take;
    count -= take;
    if (output->fill >= output->capacity - kFlushSlack) flush_output(output);
  }
}

bool flush_output(OutputBuffer* output) {
  if (output->fill > 0 && !output->failed) {
    output->failed = !platform::write_all(output->file, output->bytes, output->fill);
  }
  output->fill = 0;
  return !output->failed;
}
