#pragma once
// A hash table of every key, for sets of short keys that end in a few bytes,
// as whole-word rules all end in a blank: at a text position, the bytes that
// can end a key give the few lengths worth trying, longest first, and each
// length is one exact probe. Where a text is dense with matches, this costs
// less per candidate than the start filter's confirmation and the trie walk
// together.

#include <cstdint>

#include "rules/key_trie.h"
#include "rules/keys.h"

// The end bytes of a position are one 32-bit mask.
constexpr int kShortKeyMaxLength = 32;
// Each end byte costs a vector compare at every candidate; whole words end in
// a blank, sometimes also in punctuation.
constexpr int kShortKeyEndBytes = 4;

struct ShortKey;

struct ShortKeyTable {
  const char* text;  // the rule text that the slots' offsets count from
  ShortKey* slots;   // null when the keys do not suit; owns the table's memory
  uint64_t* tags;    // eight a group of eight slots: a byte of the key's hash, or 0 for a free slot
  int group_shift;   // 64 - log2 of the group count
  // Bit L-1: some key is L bytes long.
  uint32_t lengths;
  uint8_t end_bytes[kShortKeyEndBytes];  // the keys' distinct last bytes
  int end_count;
  // Keys longer than eight bytes, one bit each by their first eight in a
  // table of this many bits: a position whose first eight bytes begin none
  // tries no longer length.
  uint64_t* long_heads;
  int long_head_shift;     // 64 - log2 of the bit count
  uint64_t head_masks[9];  // the first n bytes of a word loaded from the text
};

// Builds the table when the keys suit it; `table->slots` stays null when they
// do not. False when memory is exhausted.
bool build_short_keys(const SortedKeys& keys, ShortKeyTable* table);

// As find_longest, through the table, and the length of the key's replacement.
TrieResult find_short_key(const ShortKeyTable& table, const char* text, int32_t readable, const char** entry,
                          int32_t* key_length, int32_t* replacement_length);

void release_short_keys(ShortKeyTable* table);
