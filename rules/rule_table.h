#pragma once
// The rule table: the rules sorted by key and split into a main table and a
// prefix list, answering "which rule applies at this text position".

#include <cstdint>

#include "rules/key_trie.h"
#include "rules/rule_file.h"

struct RuleTable {
  char separator;
  // Sorted entries that are not a proper prefix of the entry after them.
  const char** main;
  int32_t main_count;
  // Sorted entries that were a proper prefix of the entry after them.
  const char** prefixes;
  int32_t prefix_count;
  // First probe of the binary search: half the smallest power of two that is
  // at least the rule count and at least 2.
  int32_t probe_start;
  KeyTrie trie;
};

// A rule that applies at a text position; entry is null when none does.
struct Match {
  const char* entry;
  int32_t key_length;
};

enum class BuildStatus { Built, NoMemory };

// Sorts and splits the loaded rules; `rules.entries` may be released.
BuildStatus build_rule_table(const RuleSet& rules, char separator, RuleTable* table);

// The rule that applies at `text`, which holds at least kMaxKeyLength
// readable bytes or a NUL before its readable bytes end.
Match lookup(const RuleTable& table, const char* text);

// The binary search over the main table and backward scan of the prefix list
// that define which rule applies, also where keys repeat: of two rules with
// one key, the one the search's probe order meets first applies, whatever
// their order in the file, as it always has. Plain and slow: the oracle for
// lookup(), which defers to it wherever a repeated key matches.
Match lookup_reference(const RuleTable& table, const char* text);

// Orders keys as unsigned bytes; the end of a key counts as 0, so a key sorts
// before the keys it is a proper prefix of.
int compare_keys(const char* a, const char* b, char separator);

// The replacement of a matched entry: the bytes after its key's separator.
inline const char* replacement_of(const Match& match) { return match.entry + match.key_length + 1; }
