#pragma once
// The full path of the running executable.

#include <string>

namespace platform {

// The path the operating system reports for the running executable, never
// the word typed on the command line; argv0 only when the system cannot tell.
std::string program_path(const char* argv0);

}  // namespace platform
