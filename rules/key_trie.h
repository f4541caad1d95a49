#pragma once
// A compacted trie over the sorted keys that finds the longest key matching
// at a text position in a few steps, whatever the number of rules.

#include <cstdint>
#include <vector>

struct TrieNode {
  // The first edge bytes of up to kInlineChildren children, in order, so
  // that most steps find their child without touching another array; in a
  // leaf, the first bytes of its label instead.
  uint64_t child_bytes;
  // Offset in the rule text of a key that runs through this node; for a
  // terminal node, its own rule entry. Edge labels are read from it.
  uint32_t key_offset;
  int32_t first_child;
  // Index of this node's direct child table, or -1 when it has few children.
  int32_t child_table;
  uint16_t child_count;
  uint8_t depth;  // bytes from the root, at most kMaxKeyLength
  uint8_t flags;
};

constexpr uint16_t kInlineChildren = 8;

constexpr uint8_t kTerminal = 1;  // a key ends here
constexpr uint8_t kRepeated = 2;  // ... and occurs more than once

struct KeyTrie {
  const char* text;  // the rule text that key_offset counts from
  std::vector<TrieNode> nodes;
  std::vector<uint8_t> child_tables;   // 256 slots a table: child position + 1, or 0
  // Per two-byte start: the longest key of one or two bytes that matches
  // there (node + 1, or 0), and whether longer keys begin with it.
  std::vector<uint32_t> pair_starts;
  // Open-addressed: three-byte start + 1 in the low half, the first node at
  // depth 3 or more under it in the high half; 0 marks an empty slot.
  std::vector<uint64_t> triple_starts;
  int triple_shift;  // 32 - log2 of the table size
  // One bit per two-byte start: set where some key can match.
  std::vector<uint64_t> start_bits;
};

constexpr uint32_t kLongerKeys = 1U << 31;       // in pair_starts
constexpr uint32_t kRepeatedShortKey = 1U << 30;  // in pair_starts
constexpr uint32_t kShortKeyNode = kRepeatedShortKey - 1;

// Builds the trie over `count` entries in key order. False when memory is
// exhausted.
bool build_key_trie(const char* const* sorted, int32_t count, char separator, KeyTrie* trie);

// Whether some key can start at `text` (two readable bytes).
inline bool may_start_at(const KeyTrie& trie, const char* text) {
  unsigned index = static_cast<unsigned>(static_cast<unsigned char>(text[0])) << 8 |
                   static_cast<unsigned char>(text[1]);
  return (trie.start_bits[index >> 6] >> (index & 63) & 1) != 0;
}

// One bit per position of `text[0..count)`, count at most 64, set where some
// key can start; text[count] must be readable too. Free of branches, so the
// scan skips through text without mispredicting at every byte.
inline uint64_t start_mask(const KeyTrie& trie, const char* text, int count) {
  uint64_t mask = 0;
  for (int i = 0; i < count; ++i) {
    mask |= uint64_t{may_start_at(trie, text + i)} << i;
  }
  return mask;
}

enum class TrieResult { Found, None, Repeated };

// Finds the longest key that matches at `text`. Repeated: a key that occurs
// more than once matches here, so the trie cannot say which rule applies.
TrieResult find_longest(const KeyTrie& trie, const char* text, const char** entry, int32_t* key_length);
