#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/command_line.h"
#include "platform/process.h"
#include "platform/utf16.h"

// Turns off the start-up code's wildcard expansion: the names come from the
// raw command line anyway, and expanding would list directories for nothing.
extern "C" {
int _dowildcard = 0;
}

namespace platform {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the wide functions take UTF-16");

// Whether each stream is a console, which takes its lines in UTF-16.
bool console_out = false;
bool console_err = false;

// Older consoles refuse a single write of more than 64 KiB.
constexpr std::size_t kConsoleChunk = 8192;

bool is_console(DWORD stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(stream), &mode) != 0;
}

}  // namespace

std::string name_for_output(std::string_view name) {
  std::u16string utf16 = utf16_from_utf8(name);
  if (utf16.empty()) return {};
  auto length = static_cast<int>(utf16.size());
  const auto* units = reinterpret_cast<const wchar_t*>(utf16.data());
  // No look-alike letters ("o" for "ő"), which could name another file; a
  // UTF-8 code page, which lacks nothing, takes no such flag.
  DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int size = WideCharToMultiByte(CP_ACP, flags, units, length, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(std::max(size, 0)), '?');
  if (size > 0) (void)WideCharToMultiByte(CP_ACP, flags, units, length, &ansi[0], size, nullptr, nullptr);
  return ansi;
}

bool setup_process() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (_get_osfhandle(descriptor) != -1) continue;
    int null = _open("NUL", _O_RDWR);
    if (null < 0 || (null != descriptor && (_dup2(null, descriptor) != 0 || _close(null) != 0))) return false;
  }
  // A file on a drive without its disk fails rather than asking in a window.
  SetErrorMode(SEM_FAILCRITICALERRORS);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  console_out = is_console(STD_OUTPUT_HANDLE);
  console_err = is_console(STD_ERROR_HANDLE);
  return true;
}

// Large pages take a privilege that users do not hold.
void* obtain_memory(std::size_t size) { return std::malloc(size); }

Sink sink_of(Stream stream) { return (stream == Stream::Out ? console_out : console_err) ? Sink::Console : Sink::File; }

std::string locale_codeset() { return {}; }

void write_console(Stream stream, const std::u16string& text) {
  HANDLE console = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  for (std::size_t at = 0; at < text.size();) {
    DWORD written = 0;
    auto count = static_cast<DWORD>(std::min(text.size() - at, kConsoleChunk));
    if (!WriteConsoleW(console, reinterpret_cast<const wchar_t*>(text.data() + at), count, &written, nullptr) ||
        written == 0) {
      return;
    }
    at += written;
  }
}

ConsoleFacts console_facts() {
  DWORD processes[2];  // enough to tell whether another process shares the console
  return {GetConsoleProcessList(processes, 2), is_console(STD_INPUT_HANDLE), console_out};
}

std::optional<std::string> program_path(const char*) {
  // GetModuleFileNameW cuts the path to the buffer without saying how long
  // it is: grow until it fits, up to the longest path there is.
  constexpr std::size_t kLongestPath = 32768;
  for (std::vector<wchar_t> buffer(MAX_PATH); buffer.size() <= 2 * kLongestPath; buffer.resize(buffer.size() * 2)) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0) return std::nullopt;
    if (length < size) return utf8_from_utf16(std::u16string(buffer.data(), buffer.data() + length));
  }
  return std::nullopt;
}

// The C runtime's argv treats backslashes before quotes differently, so the
// names are split from the raw command line by the tool's own rules, which
// concern ASCII bytes alone: UTF-8 holds them only as themselves.
std::vector<std::string> file_arguments(int, char**) {
  const wchar_t* line = GetCommandLineW();
  return split_command_line(utf8_from_utf16(std::u16string(line, line + wcslen(line))).c_str());
}

}  // namespace platform
