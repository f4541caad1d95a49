#pragma once
// The process's console streams and start-up settings.

#include <cstddef>

namespace platform {

enum class Stream { Out, Err };

// Sets the streams up once at start: standard error unbuffered; standard
// output unbuffered on a terminal and block-buffered (512 bytes) otherwise.
// Also keeps an exceeded file-size limit from killing the process, so that
// the write fails and is reported instead, and reads the locale's character set.
void setup_process();

// True when the tool's own texts should leave in UTF-8 rather than as their
// ISO-8859-1 bytes: on Linux in a UTF-8 locale, never on Windows.
bool console_wants_utf8();

// Writes message bytes unchanged except that every line feed leaves the
// process as CR LF.
void write_console(Stream stream, const char* bytes, std::size_t count);

// Writes out pending standard output; called at a normal end.
void flush_console();

}  // namespace platform
