#include "platform/process.h"

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform {

namespace {
bool utf8_locale = false;
}  // namespace

bool setup_process() {
  // A file opened later must never take the place of a closed standard
  // stream: messages would be written into it.
  for (int descriptor = 0; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) continue;
    int null = open("/dev/null", O_RDWR);
    if (null != descriptor && (null < 0 || dup2(null, descriptor) != descriptor || close(null) != 0)) return false;
  }
  // A setting that cannot be made leaves the default, with which the tool still works.
  (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
  if (isatty(STDOUT_FILENO)) {
    (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    // The C library sizes a buffer it allocates itself as it likes: give it one.
    static char buffer[kRedirectedBufferSize];
    (void)std::setvbuf(stdout, buffer, _IOFBF, kRedirectedBufferSize);
  }
  (void)std::signal(SIGXFSZ, SIG_IGN);
  // Only the character set: messages of the system (strerror) stay in English.
  utf8_locale = std::setlocale(LC_CTYPE, "") != nullptr && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  return true;
}

bool console_wants_utf8() { return utf8_locale; }

void write_console(Stream stream, const char* bytes, std::size_t count) {
  std::FILE* file = stream == Stream::Out ? stdout : stderr;
  // Translated in pieces so that an unbuffered stream still gets whole lines.
  // A console write that fails has no one left to tell, and the exit status
  // speaks only of the rule file.
  char piece[1024] = {};
  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (used + 2 > sizeof piece) {
      (void)std::fwrite(piece, 1, used, file);
      used = 0;
    }
    if (bytes[i] == '\n') piece[used++] = '\r';
    piece[used++] = bytes[i];
  }
  (void)std::fwrite(piece, 1, used, file);
}

void flush_console() { (void)std::fflush(stdout); }

std::string program_path(const char* argv0) {
  // readlink does not say how long the target is: grow until it fits.
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return argv0 != nullptr ? argv0 : "";
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::string> file_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace platform
