#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "platform/command_line.h"
#include "platform/process.h"

// Turns off the start-up code's wildcard expansion: the names come from the
// raw command line anyway, and expanding would list directories for nothing.
extern "C" {
int _dowildcard = 0;
}

namespace platform {

bool setup_process() {
  // A file opened later must never take the place of a closed standard
  // stream: messages would be written into it.
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (_get_osfhandle(descriptor) != -1) continue;
    int null = _open("NUL", _O_RDWR);
    if (null < 0 || (null != descriptor && (_dup2(null, descriptor) != 0 || _close(null) != 0))) return false;
  }
  // Text mode turns each line feed into CR LF, on a console and redirected.
  _setmode(_fileno(stdout), _O_TEXT);
  _setmode(_fileno(stderr), _O_TEXT);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  if (_isatty(_fileno(stdout))) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stdout, nullptr, _IOFBF, kRedirectedBufferSize);
  }
  return true;
}

bool console_wants_utf8() { return false; }

void write_console(Stream stream, const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stream == Stream::Out ? stdout : stderr);
}

void flush_console() { std::fflush(stdout); }

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

// The C runtime's argv treats backslashes before quotes differently, so the
// names are split from the raw command line by the tool's own rules.
std::vector<std::string> file_arguments(int, char**) { return split_command_line(GetCommandLineA()); }

}  // namespace platform
