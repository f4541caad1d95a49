#include <windows.h>

#include "platform/arguments.h"
#include "platform/command_line.h"

// Turns off the start-up code's wildcard expansion: the names come from the
// raw command line anyway, and expanding would list directories for nothing.
extern "C" {
int _dowildcard = 0;
}

namespace platform {

// The C runtime's argv treats backslashes before quotes differently, so the
// names are split from the raw command line by the tool's own rules.
std::vector<std::string> file_arguments(int, char**) { return split_command_line(GetCommandLineA()); }

}  // namespace platform
