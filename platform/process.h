#pragma once
// The process: its start-up settings, console streams, program path and
// arguments.

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The path the operating system reports for the running executable, never
// the word typed on the command line; argv0 only when the system cannot tell.
std::string program_path(const char* argv0);

// Every argument after the program name, in order; none is an option and no
// wildcard is expanded.
std::vector<std::string> file_arguments(int argc, char** argv);

enum class Stream { Out, Err };

// Redirected standard output is written in blocks of this size.
constexpr std::size_t kRedirectedBufferSize = 512;

// Sets the streams up once at start: standard error unbuffered; standard
// output unbuffered on a terminal and block-buffered (512 bytes) otherwise.
// A closed standard stream is opened on the null device, so that no file
// takes its place. Also keeps an exceeded file-size limit from killing the
// process, so that the write fails and is reported instead. False when the
// process cannot be set up safely. Also reads the locale's character set.
bool setup_process();

// True when the tool's own texts should leave in UTF-8 rather than as their
// ISO-8859-1 bytes: on Linux in a UTF-8 locale, never on Windows.
bool console_wants_utf8();

// Writes message bytes unchanged except that every line feed leaves the
// process as CR LF.
void write_console(Stream stream, const char* bytes, std::size_t count);

// Writes out pending standard output; called at a normal end.
void flush_console();

}  // namespace platform
