#include "platform/console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace platform {

namespace {
// Redirected standard output is written in blocks of this size.
constexpr std::size_t kRedirectedBufferSize = 512;
}  // namespace

void setup_process() {
  // Text mode turns each line feed into CR LF, on a console and redirected.
  _setmode(_fileno(stdout), _O_TEXT);
  _setmode(_fileno(stderr), _O_TEXT);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  if (_isatty(_fileno(stdout))) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stdout, nullptr, _IOFBF, kRedirectedBufferSize);
  }
}

bool console_wants_utf8() { return false; }

void write_console(Stream stream, const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stream == Stream::Out ? stdout : stderr);
}

void flush_console() { std::fflush(stdout); }

}  // namespace platform
