#pragma once
// The process: its start-up settings, console streams, program path and
// arguments. Names (paths and arguments) travel through the tool as the
// system gives them on Linux and as UTF-8 on Windows.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The path the operating system reports for the running executable, never
// the word typed on the command line. Without that report, the word as the
// shell found it: as given when it holds a directory, else looked up in the
// PATH's absolute directories. None when it cannot be found, so that no rule
// file is taken from the current directory.
std::optional<std::string> program_path(const char* argv0);

// Every argument after the program name, in order; none is an option and no
// wildcard is expanded.
std::vector<std::string> file_arguments(int argc, char** argv);

// Sets the process up once at start. A closed standard stream is opened on
// the null device: a file opened later must never take its place, or
// messages would be written into it. An exceeded file-size limit does not kill
// the process, so that the write fails and is reported instead. Messages
// bring their own line ends. False when the process cannot be set up safely.
bool setup_process();

// Memory for the rules and their tables, held until the process ends and
// released with std::free: large blocks on the system's large pages where it
// has them, since touching each small page first costs a fault, which is
// most of the set-up's time with hundreds of thousands of rules.
void* obtain_memory(std::size_t size);

enum class Stream { Out, Err };

// What a stream leads to: a file, pipe or device; a terminal, which takes
// bytes; or a Windows console, which takes UTF-16.
enum class Sink { File, Terminal, Console };
Sink sink_of(Stream stream);

// The character set that the environment's locale names, in lower case
// without hyphens ("utf8" for "pt_BR.UTF-8"); empty where it names none
// ("C", "POSIX", none set). Told from the name alone: the locale need not be
// installed. Windows has no such locale: always empty there.
std::string locale_codeset();

// Writes UTF-16 to a console: accents read right whatever its code page. A
// console write that fails has no one left to tell.
void write_console(Stream stream, const std::u16string& text);

// A name as programs that read redirected output expect it: as given on
// Linux; on Windows in the ANSI code page, with "?" for what it lacks.
std::string name_for_output(std::string_view name);

// What Windows tells of the console a process runs in; nothing elsewhere.
struct ConsoleFacts {
  unsigned long attached_processes;  // 0 without a console
  bool input_is_console;
  bool output_is_console;
};
ConsoleFacts console_facts();

}  // namespace platform
