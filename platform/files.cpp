#include "platform/files.h"

namespace platform {

int32_t read_fully(FileSystem& files, Handle file, char* buffer, int32_t size) {
  int32_t filled = 0;
  while (filled < size) {
    int32_t count = files.read(file, buffer + filled, size - filled);
    if (count < 0) return -1;
    if (count == 0) break;
    filled += count;
  }
  return filled;
}

bool write_fully(FileSystem& files, Handle file, const char* bytes, int32_t count) {
  for (int32_t done = 0; done < count;) {
    int32_t written = files.write(file, bytes + done, count - done);
    if (written <= 0) return false;
    done += written;
  }
  return true;
}

}  // namespace platform
