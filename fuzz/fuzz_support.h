#pragma once
// What the fuzz targets share: reading a fuzz input, files in memory, and
// loading rules through the tool's own loader and table build.

#include <cstddef>
#include <cstdint>
#include <string>

#include "rules/rule_file.h"
#include "rules/rule_table.h"

// A fuzz input after its target's header bytes: the rule-file bytes up to the
// first kTextMarker, the text after it (empty when there is no marker).
struct RulesAndText {
  std::string rules;
  std::string text;
};
constexpr char kTextMarker[] = "\n==>\n";

RulesAndText split_input(const uint8_t* data, std::size_t size);

// The first header byte picks the build: '$' the dollar build, anything else
// the caret build, so seed files start with the separator they use.
inline char separator_of(uint8_t byte) { return byte == '$' ? '$' : '^'; }

// Aborts with a message, which libFuzzer reports as a crash with its input.
void require(bool holds, const char* what);

// An anonymous in-memory file holding `bytes`, positioned at its start.
int memory_file(const std::string& bytes);
std::string read_all(int file);

// Rules loaded by load_rules from an in-memory file and built into a table.
struct LoadedRules {
  RuleSet set{};
  RuleTable table{};
};

// False when the file holds no rule; then nothing is held.
bool load_table(const std::string& file_bytes, char separator, LoadedRules* loaded);

// Frees what loading and building took, which the tool itself keeps until it
// exits, so that LeakSanitizer still watches everything else.
void release(LoadedRules* loaded);
