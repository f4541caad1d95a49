#pragma once
// The rule table: the rules sorted by key and split into a main table and a
// prefix list, answering "which rule applies at this text position".

#include <cstdint>

#include "rules/key_trie.h"
#include "rules/rule_file.h"
#include "rules/short_keys.h"
#include "rules/start_filter.h"

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
  ShortKeyTable short_keys;  // used instead of the trie where it was built
  StartFilter filter;
};

// A rule that applies at a text position; entry is null when none does.
struct Match {
  const char* entry;
  int32_t key_length;
  int32_t replacement_length;  // the bytes replacement_of() gives
};

enum class BuildStatus { Built, NoMemory };

// Sorts and splits the loaded rules; `rules.entries` becomes the main table.
BuildStatus build_rule_table(const RuleSet& rules, char separator, RuleTable* table);

// The rule that applies at `text`, of which `readable` bytes may be read: at
// least kMaxKeyLength, or fewer with a NUL among them, which no key holds.
Match lookup(const RuleTable& table, const char* text, int32_t readable);

// The binary search over the main table and backward scan of the prefix list
// that define which rule applies, also where keys repeat: of two rules with
// one key, the one the search's probe order meets first applies, whatever
// their order in the file, as it always has. Plain and slow: lookup() defers
// to it wherever a repeated key matches, and the tests hold lookup() to it.
Match lookup_in_search_order(const RuleTable& table, const char* text, int32_t readable);

// The replacement of a matched entry: the bytes after its key's separator.
inline const char* replacement_of(const Match& match) { return match.entry + match.key_length + 1; }

// Frees what build_rule_table obtained. The tool keeps its table until it
// exits; tests free theirs, so that leak checks see the rest.
void release_rule_table(RuleTable* table);
