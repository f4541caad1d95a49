#include <windows.h>

#include <vector>

#include "platform/program_path.h"

namespace platform {

std::string program_path(const char* argv0) {
  // GetModuleFileNameA cuts the path to the buffer without saying how long it
  // is: grow until it fits.
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return argv0 != nullptr ? argv0 : "";
    if (length < size) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
