#pragma once
// The run sequence: derive the rule-file path, then either print the usage
// text or load the rules, build the table and correct the named files.

#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "rules/rule_file.h"

// The rule-file path is derived in a buffer of kRulePathBufferSize bytes, of
// which the program path may fill kRulePathBound: the bound the tool has
// always used, kept so that a cut path gives the same rule-file path.
constexpr int kRulePathBufferSize = 8192;
constexpr int kRulePathBound = 8092;

// The rule file beside the program: a final ".exe" in any letter case
// becomes ".cfg", any other path gets ".cfg" appended.
std::string rule_file_path(const std::string& program);

// Loads the rules of the rule file at `path` from `source`. False when it
// cannot be used, after saying why.
bool load_rule_text(const RuleSource& source, const char* path, char separator, RuleSet* rules);

// The exit statuses: scripts tell from them whether every file was corrected.
constexpr int kDone = 0;           // the usage text, or every named file corrected or needing nothing
constexpr int kRulesUnusable = 1;  // no file was touched
constexpr int kSomeFileLeft = 2;   // some named file was left as it was

// Prints the usage text when no file is named, else loads the rules and
// corrects the `names`; returns the exit status. `program` is the program's
// path, or none when the system cannot tell where it lies: the usage text then
// shows `started_as`, and no rule file is read.
int run(platform::FileSystem& files, const std::optional<std::string>& program, const std::string& started_as,
        const std::vector<std::string>& names, char separator);
