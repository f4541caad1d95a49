#pragma once
// Splitting a Windows command line into the file names it holds. Plain code,
// built on every platform so that the rules are tested everywhere.

#include <string>
#include <vector>

namespace platform {

// The arguments after the program-name word: split at blanks and tabs; a
// double-quoted part may hold blanks and tabs and joins with the text around
// it, its quotes dropped; backslash + double quote is a literal double quote;
// other backslashes are ordinary; nothing else is special, no wildcard is
// expanded. An unclosed quote runs to the end of the line.
std::vector<std::string> split_command_line(const char* line);

}  // namespace platform
