#include "platform/read_file.h"

namespace platform {

// The C runtime refuses a directory itself (EACCES) and maps the system's
// failures to the errno values whose texts the report prints.
std::FILE* open_for_reading(const char* path) { return std::fopen(path, "rb"); }

}  // namespace platform
