#pragma once
// Opening the rule file.

#include <cstdio>

namespace platform {

// Opens a file for binary reading. Returns null with errno set when it cannot
// be opened or is a directory, which the standard streams on some systems
// would otherwise open and then fail to read.
std::FILE* open_for_reading(const char* path);

}  // namespace platform
