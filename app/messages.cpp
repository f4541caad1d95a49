#include "app/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

void print(platform::Stream stream, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (length > 0) {
    std::vector<char> bytes(static_cast<std::size_t>(length) + 1);
    (void)std::vsnprintf(bytes.data(), bytes.size(), format, again);  // measured above
    platform::write_console(stream, bytes.data(), static_cast<std::size_t>(length));
  }
  va_end(again);
}

void print_error_report(const char* name, int error) {
  print(platform::Stream::Err, "%s: %s\n", name, std::strerror(error));
}
