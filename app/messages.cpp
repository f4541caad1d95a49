#include "app/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Each ISO-8859-1 byte is the code point of its value, so one from 0x80 up
// becomes two UTF-8 bytes.
std::string latin1_to_utf8(const char* latin1) {
  std::string utf8;
  for (const char* p = latin1; *p != '\0'; ++p) {
    auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x80) {
      utf8 += *p;
    } else {
      utf8 += static_cast<char>(0xC0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
}

}  // namespace

void print(platform::Stream stream, const char* format, ...) {
  // Only the fixed text: names inserted with %s leave as they were given.
  std::string converted;
  if (platform::console_wants_utf8()) {
    converted = latin1_to_utf8(format);
    format = converted.c_str();
  }
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
