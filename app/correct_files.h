#pragma once
// Correcting the files named on the command line, one after the other.

#include <string>
#include <vector>

#include "rules/rule_table.h"

// Each file is rewritten through this temporary file beside it, which then
// takes its place.
constexpr const char kTempFileName[] = "quorbel.tmp";

// Corrects each file in turn, reporting a file that fails and going on with
// the next, then prints "Feito".
void correct_files(const RuleTable& table, const std::vector<std::string>& names);
