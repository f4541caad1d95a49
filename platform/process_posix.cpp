#include "platform/process.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

namespace platform {

namespace {

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
  for (int descriptor = 0; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) continue;
    int null = open("/dev/null", O_RDWR);
    if (null != descriptor && (null < 0 || dup2(null, descriptor) != descriptor || close(null) != 0)) return false;
  }
  (void)std::signal(SIGXFSZ, SIG_IGN);
  return true;
}

void* obtain_memory(std::size_t size) {
  constexpr std::size_t kLargePage = 2 << 20;
  if (size < kLargePage) return std::malloc(size);
  void* block = std::aligned_alloc(kLargePage, (size + kLargePage - 1) / kLargePage * kLargePage);
  if (block != nullptr) (void)madvise(block, size, MADV_HUGEPAGE);  // a hint: without it, small pages
  return block;
}

Sink sink_of(Stream stream) {
  static const bool terminal[] = {isatty(STDOUT_FILENO) != 0, isatty(STDERR_FILENO) != 0};
  return terminal[stream == Stream::Out ? 0 : 1] ? Sink::Terminal : Sink::File;
}

std::string locale_codeset() {
  const char* locale = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    locale = std::getenv(variable);
    if (locale != nullptr && *locale != '\0') break;
  }
  std::string name = locale != nullptr ? locale : "";
  std::string::size_type dot = name.find('.');
  std::string codeset;
  if (dot == std::string::npos) return codeset;
  for (char c : name.substr(dot + 1, name.find('@', dot) - dot - 1)) {
    if (c != '-') codeset += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return codeset;
}

void write_console(Stream, const std::u16string&) {}  // no such console here

std::string name_for_output(std::string_view name) { return std::string(name); }

ConsoleFacts console_facts() { return {0, false, false}; }


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
