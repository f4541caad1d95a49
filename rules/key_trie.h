#pragma once
// A compacted trie over the sorted keys that finds the longest key matching
// at a text position in a few steps, whatever the number of rules; the start
// tables lead from a position's first bytes into it.

#include <cstddef>
#include <cstdint>

#include "rules/keys.h"

struct TrieNode;

struct KeyTrie {
  const char* text;  // the rule text that the nodes' key offsets count from
  TrieNode* nodes;   // breadth first: the root, then each level's nodes; owns the memory they lie in
  int32_t node_count;
  uint8_t* child_tables;  // 256 slots a table: child position + 1, or 0
  // Per two-byte start: the longest key of one or two bytes that matches
  // there (node + 1, or 0), and whether longer keys begin with it.
  uint32_t* pair_starts;
  // Open-addressed: three-byte start + 1 in the low half, the first node at
  // depth 3 or more under it in the high half; 0 marks an empty slot.
  uint64_t* triple_starts;
  int triple_shift;  // 32 - log2 of the table size
};

// The bytes that the nodes of a trie over `count` keys may take.
std::size_t trie_node_bytes(int32_t count);

// Builds the trie over the keys, its nodes in the first
// trie_node_bytes(keys.count) bytes of `memory` (an allocate() block, which
// the trie owns from then on, built or not). False when memory is exhausted.
bool build_key_trie(const SortedKeys& keys, void* memory, KeyTrie* trie);

enum class TrieResult { Found, None, Repeated };

// Finds the longest key that matches at `text`, of which `readable` bytes may
// be read (at least kMaxKeyLength, or a NUL among them). Repeated: a key that
// occurs more than once matches here, so the trie cannot say which rule
// applies.
TrieResult find_longest(const KeyTrie& trie, const char* text, int32_t readable, const char** entry,
                        int32_t* key_length);

void release_key_trie(KeyTrie* trie);
