#include "platform/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace platform {

namespace {

// Per stream: whether it takes UTF-8 with bare line feeds, rather than
// ISO-8859-1 with CR LF.
bool utf8_out = false;
bool utf8_err = false;

// The character set that the environment's locale names, lower case and
// without hyphens ("utf8" for "pt_BR.UTF-8"); empty for "C", "POSIX", none
// set or a name without one. Told from the name alone: the locale need not be
// installed, and a static executable cannot load it anyway.
std::string locale_codeset() {
  const char* locale = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    locale = std::getenv(variable);
    if (locale != nullptr && *locale != '\0') break;
  }
  std::string name = locale != nullptr ? locale : "";
  std::string::size_type dot = name.find('.');
  if (dot == std::string::npos) return {};
  std::string codeset;
  for (char c : name.substr(dot + 1, name.find('@', dot) - dot - 1)) {
    if (c != '-') codeset += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return codeset;
}

// A terminal whose locale names no character set is most likely a UTF-8 one
// reached without the locale passed on (ssh, containers); redirected there,
// the output keeps the bytes the Windows build writes, so the two compare.
bool prints_utf8(const std::string& codeset, int descriptor) {
  return codeset == "utf8" || (codeset.empty() && isatty(descriptor) != 0);
}

bool is_executable_file(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Where a shell found the program started as `word`: a word with a slash is
// a path; else the first of the PATH's directories that holds it. Relative
// directories, the empty one included, would be the current directory, which
// never holds the program's rule file.
std::optional<std::string> shell_path(const std::string& word) {
  if (word.find('/') != std::string::npos) return word;
  if (word.empty()) return std::nullopt;
  const char* variable = std::getenv("PATH");
  std::string search = variable != nullptr ? variable : "/usr/local/bin:/usr/bin:/bin";
  for (std::string::size_type start = 0; start <= search.size();) {
    std::string::size_type end = std::min(search.find(':', start), search.size());
    std::string candidate = search.substr(start, end - start);
    if (!candidate.empty() && candidate[0] == '/' && is_executable_file(candidate.append("/").append(word))) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

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
  std::string codeset = locale_codeset();
  utf8_out = prints_utf8(codeset, STDOUT_FILENO);
  utf8_err = prints_utf8(codeset, STDERR_FILENO);
  return true;
}

void write_message(Stream stream, const MessagePiece* pieces, std::size_t count) {
  bool utf8 = stream == Stream::Out ? utf8_out : utf8_err;
  std::string line;
  for (const MessagePiece* piece = pieces; piece != pieces + count; ++piece) {
    for (char c : piece->bytes) {
      auto byte = static_cast<unsigned char>(c);
      if (c == '\n' && !utf8) {
        line += "\r\n";
      } else if (piece->is_name || byte < 0x80 || !utf8) {
        line += c;
      } else {  // each ISO-8859-1 byte is the code point of its value
        line += static_cast<char>(0xC0 | (byte >> 6));
        line += static_cast<char>(0x80 | (byte & 0x3F));
      }
    }
  }
  // In one piece, so that an unbuffered stream still gets whole lines. A
  // console write that fails has no one left to tell, and the exit status
  // speaks only of the rule file.
  (void)std::fwrite(line.data(), 1, line.size(), stream == Stream::Out ? stdout : stderr);
}

void flush_console() { (void)std::fflush(stdout); }

// A terminal window outlives the process.
void wait_for_enter_in_own_console() {}

std::optional<std::string> program_path(const char* argv0) {
  // readlink does not say how long the target is: grow until it fits.
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return shell_path(argv0);
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
