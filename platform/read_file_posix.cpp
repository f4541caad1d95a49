#include "platform/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

std::FILE* open_for_reading(const char* path) {
  // Opened without waiting, so a FIFO without a writer reads as empty instead
  // of blocking the run.
  int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat status {};
  if (fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode)) {
    (void)close(descriptor);  // nothing was read from it
    errno = EISDIR;
    return nullptr;
  }
  (void)fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) (void)close(descriptor);
  return file;
}

}  // namespace platform
