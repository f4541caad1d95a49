#pragma once
// Rewriting the files named on the command line, one after the other.

#include <string>
#include <vector>

#include "rules/rule_table.h"

// Every rewrite goes through this temporary file in the current directory.
// When the named file lies on another volume, the content is copied to the
// staging file beside it, which then takes its place.
constexpr const char kTempFileName[] = "quorbel.tmp";
constexpr const char kStagingFileName[] = "quorbel.stg";

// Rewrites each file in turn, reporting a file that fails and going on with
// the next, then prints "Feito".
void rewrite_files(const RuleTable& table, const std::vector<std::string>& names);
