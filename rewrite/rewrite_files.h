#pragma once
// Rewriting the files named on the command line, one after the other.

#include <string>
#include <vector>

#include "rules/rule_table.h"

// The temporary file, in the current directory, that every rewrite goes through.
constexpr const char kTempFileName[] = "quorbel.tmp";

// Rewrites each file in turn, reporting a file that fails and going on with
// the next, then prints "Feito".
void rewrite_files(const RuleTable& table, const std::vector<std::string>& names);
