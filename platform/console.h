#pragma once
// The process's console streams and start-up settings.

#include <cstddef>

namespace platform {

enum class Stream { Out, Err };

// Sets the streams up once at start: standard error unbuffered; standard
// output unbuffered on a terminal and block-buffered (512 bytes) otherwise.
// A closed standard stream is opened on the null device, so that no file
// takes its place. Also keeps an exceeded file-size limit from killing the
// process, so that the write fails and is reported instead. False when the
// process cannot be set up safely.
bool setup_process();

// Writes message bytes unchanged except that every line feed leaves the
// process as CR LF.
void write_console(Stream stream, const char* bytes, std::size_t count);

// Writes out pending standard output; called at a normal end.
void flush_console();

}  // namespace platform
