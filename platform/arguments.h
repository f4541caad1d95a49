#pragma once
// The names of the files to rewrite, as the command line gives them.

#include <string>
#include <vector>

namespace platform {

// Every argument after the program name, in order; none is an option and no
// wildcard is expanded.
std::vector<std::string> file_arguments(int argc, char** argv);

}  // namespace platform
