#include "platform/read_file.h"

#include <sys/stat.h>

#include <cerrno>

namespace platform {

std::FILE* open_for_reading(const char* path) {
  std::FILE* file = std::fopen(path, "rbe");
  if (file == nullptr) return nullptr;
  struct stat status {};
  if (fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
    (void)std::fclose(file);  // nothing was read from it
    errno = EISDIR;
    return nullptr;
  }
  return file;
}

}  // namespace platform
