#pragma once
// Correcting the files named on the command line, one after the other.

#include <string>
#include <vector>

#include "rules/encoding.h"

// Each file is rewritten through this temporary file beside it, which then
// takes its place.
constexpr const char kTempFileName[] = "quorbel.tmp";

// Corrects each file in turn with the rules in its encoding, reporting a file
// that fails and going on with the next, then prints "Feito".
void correct_files(RuleTables* tables, const std::vector<std::string>& names);
