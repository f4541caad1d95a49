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

// Sets the streams up once at start: standard error unbuffered; standard
// output unbuffered on a terminal and block-buffered (512 bytes) otherwise.
// A closed standard stream is opened on the null device, so that no file
// takes its place. Also keeps an exceeded file-size limit from killing the
// process, so that the write fails and is reported instead. False when the
// process cannot be set up safely.
bool setup_process();

enum class Stream { Out, Err };

// Redirected standard output is written in blocks of this size.
constexpr std::size_t kRedirectedBufferSize = 512;

// A piece of a message: the tool's own text, in ISO-8859-1, or a name.
struct MessagePiece {
  std::string_view bytes;
  bool is_name;
};

// Writes one message. The tool's texts leave as ISO-8859-1 with every line
// feed as CR LF, except: on Linux, in UTF-8 with bare line feeds to a stream
// whose locale names UTF-8, or names no character set and the stream is a
// terminal; on Windows, as UTF-16 to a console. Names leave as the system gave
// them (on Windows redirected, in the ANSI code page).
void write_message(Stream stream, const MessagePiece* pieces, std::size_t count);

// Writes out pending standard output; called at a normal end.
void flush_console();

// Called after the usage text, which ends "Pressione ENTER para continuar":
// reads a line where the console window closes with the process (see
// waits_for_enter), and does nothing elsewhere.
void wait_for_enter_in_own_console();

}  // namespace platform
