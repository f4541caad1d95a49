#pragma once
// Correcting the files named on the command line, one after the other: the
// whole sequence for one file and every decision in it, over the primitives
// of platform::FileSystem.

#include <string>
#include <vector>

#include "platform/files.h"
#include "rules/encoding.h"

// How long a run waits for another run on the same file: it says so once it
// has waited kQuietWaitMs, and leaves the file as it is once it has waited
// kLongestWaitMs, so that nobody who may lock a file holds a run for long.
constexpr int kQuietWaitMs = 2000;
constexpr int kLongestWaitMs = 20000;

// Corrects each file in turn with the rules in its encoding, reporting a file
// that it leaves as it is and going on with the next, then prints "Feito".
// False when some file was left as it is.
bool correct_files(platform::FileSystem& files, RuleTables* tables, const std::vector<std::string>& names);
