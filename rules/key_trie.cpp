#include "rules/key_trie.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "rules/allocation.h"
#include "rules/rule_file.h"

using std::size_t;

// Sixteen bytes, four to a cache line: each page of nodes costs a fault when
// first written, a large part of the set-up's time with many rules.
struct TrieNode {
  // Up to kInlineChildren children: their edge bytes, in order, so that most
  // steps find their child without touching another array. More: the index
  // of the node's child table, and the child count above it. A leaf: the
  // first bytes of its label.
  uint64_t child_bytes;
  // Offset in the rule text of a key that runs through this node; for a
  // terminal node, its own rule entry. Edge labels are read from it.
  uint32_t key_offset : 24;
  uint32_t depth : 8;  // bytes from the root, at most kMaxKeyLength
  uint32_t first_child : 24;
  uint32_t child_count : 4;  // up to kInlineChildren, or kManyChildren
  uint32_t flags : 2;
};

namespace {

static_assert(sizeof(TrieNode) == 16, "a trie node fills a quarter of a cache line");
// The rule text's size bounds the key offsets, and its shortest rule lines
// ("k^" and a line end) bound the keys and so the nodes.
static_assert(kMaxRuleFileSize < (1 << 24), "key offsets fit in 24 bits");
static_assert(2 * (kMaxRuleFileSize / 3 + 1) + 1 < (1 << 24), "node indexes fit in 24 bits");
// Masks what goes into the 24-bit fields, which the bounds above make a no-op.
constexpr uint32_t kField24 = (1U << 24) - 1;

// As many children as child_bytes holds edge bytes.
constexpr int kInlineChildren = 8;
constexpr uint32_t kManyChildren = 15;  // in child_count: a child table instead of inline bytes
constexpr uint32_t kTerminal = 1;       // a key ends here
constexpr uint32_t kRepeated = 2;       // ... and occurs more than once

constexpr uint64_t kEveryByte = 0x0101010101010101ULL;
// The start tables resolve a key's first three bytes at once.
constexpr int kStartBytes = 3;
constexpr int kPairCount = 65536;

constexpr uint32_t kLongerKeys = 1U << 31;        // in pair_starts
constexpr uint32_t kRepeatedShortKey = 1U << 30;  // in pair_starts
constexpr uint32_t kShortKeyNode = kRepeatedShortKey - 1;

int child_count(const TrieNode& node) {
  return node.child_count == kManyChildren ? static_cast<int>(node.child_bytes >> 32)
                                           : static_cast<int>(node.child_count);
}

// The byte that leads from a node at `parent_depth` to `child`.
uint8_t edge_byte(const KeyTrie& trie, const TrieNode& child, int parent_depth) {
  return static_cast<uint8_t>(trie.text[child.key_offset + static_cast<uint32_t>(parent_depth)]);
}

// While the trie is built, a node not yet given its children holds the keys
// below it, [first, last) in key order, and the depth of its parent, in the
// fields that its children will fill.
void hold_keys(TrieNode* node, int32_t first, int32_t last, int parent_depth) {
  node->first_child = static_cast<uint32_t>(first) & kField24;
  node->child_bytes = static_cast<uint64_t>(parent_depth) << 32 | static_cast<uint32_t>(last);
}

// A leaf has no child bytes; it keeps the first bytes of its label instead,
// so that most lookups that fail on a leaf never read the rule text: those
// from where a lookup arrives (after the parent's byte, and never before the
// third byte, which the start tables resolve) to the end of the key's sort
// prefix, so that the build does not read the rule text either.
int label_start(int parent_depth) { return parent_depth + 1 > kStartBytes ? parent_depth + 1 : kStartBytes; }

int label_end(int depth) { return depth < kSortPrefixBytes ? depth : kSortPrefixBytes; }

void keep_label_start(const SortedKeys& keys, int32_t key, TrieNode* leaf, int parent_depth) {
  int start = label_start(parent_depth);
  for (int j = start; j < label_end(static_cast<int>(leaf->depth)); ++j) {
    leaf->child_bytes |= uint64_t{key_byte(keys, key, j)} << (8 * (j - start));
  }
}

// Adds the children of node `index` after the last node: one per run of its
// keys that agree in the byte after the node. A run of one key (or of one key
// repeated) is a leaf at the key's end; a longer run's node ends where its
// keys part.
void add_children(const SortedKeys& keys, KeyTrie* trie, int32_t index) {
  TrieNode& node = trie->nodes[index];
  auto i = static_cast<int32_t>(node.first_child);
  auto last = static_cast<int32_t>(static_cast<uint32_t>(node.child_bytes));
  auto parent_depth = static_cast<int>(node.child_bytes >> 32);
  int32_t first_key = i;
  node.first_child = static_cast<uint32_t>(trie->node_count) & kField24;
  node.child_bytes = 0;
  int depth = static_cast<int>(node.depth);
  if (i < last && keys.keys[i].length == depth) {  // the shortest keys sort first
    node.flags = kTerminal;
    for (++i; i < last && keys.keys[i].length == depth; ++i) node.flags = kTerminal | kRepeated;
  }
  uint32_t children = 0;
  while (i < last) {
    int32_t first = i;
    int child_depth = keys.keys[first].length;
    for (++i; i < last && keys.keys[i].shared > depth; ++i) {
      if (keys.keys[i].shared < child_depth) child_depth = keys.keys[i].shared;
    }
    TrieNode& child = trie->nodes[trie->node_count++];
    child = TrieNode{0, keys.keys[first].offset & kField24, static_cast<uint8_t>(child_depth), 0, 0, 0};
    hold_keys(&child, first, i, depth);
    if (children < kInlineChildren) node.child_bytes |= uint64_t{key_byte(keys, first, depth)} << (8 * children);
    ++children;
  }
  if (children == 0) {
    keep_label_start(keys, first_key, &node, parent_depth);
  } else if (children > kInlineChildren) {
    node.child_count = kManyChildren;
    node.child_bytes = uint64_t{children} << 32;  // the table comes when all are known
  } else {
    node.child_count = children & kManyChildren;
  }
}

// Gives the nodes with more than kInlineChildren children a table of 256
// slots each: child position + 1, or 0. False when memory is exhausted.
bool add_child_tables(KeyTrie* trie) {
  std::size_t tables = 0;
  for (int32_t i = 0; i < trie->node_count; ++i) tables += trie->nodes[i].child_count == kManyChildren ? 1 : 0;
  trie->child_tables = static_cast<uint8_t*>(allocate(tables * 256));
  if (trie->child_tables == nullptr) return false;
  std::memset(trie->child_tables, 0, tables * 256);
  uint32_t table = 0;
  for (int32_t i = 0; i < trie->node_count; ++i) {
    TrieNode& node = trie->nodes[i];
    if (node.child_count != kManyChildren) continue;
    int children = child_count(node);
    // At most 252: no key holds NUL, CR, LF or the separator.
    for (int position = 0; position < children; ++position) {
      uint8_t byte = edge_byte(*trie, trie->nodes[node.first_child + static_cast<uint32_t>(position)],
                               static_cast<int>(node.depth));
      trie->child_tables[std::size_t{table} * 256 + byte] = static_cast<uint8_t>(position + 1);
    }
    node.child_bytes |= table++;
  }
  return true;
}

uint32_t triple_hash(uint32_t triple, int shift) { return (triple * kGoldenMultiplier) >> shift; }

void add_triple(KeyTrie* trie, unsigned byte0, unsigned byte1, unsigned byte2, size_t node) {
  uint32_t triple = (byte0 << 16 | byte1 << 8 | byte2) + 1;
  size_t mask = (size_t{1} << (32 - trie->triple_shift)) - 1;
  size_t slot = triple_hash(triple, trie->triple_shift);
  while (trie->triple_starts[slot] != 0) slot = (slot + 1) & mask;
  trie->triple_starts[slot] = uint64_t{node} << 32 | triple;
  trie->pair_starts[byte0 << 8 | byte1] |= kLongerKeys;
}

// Records a key of one or two bytes for a two-byte start: a later, longer one
// replaces an earlier one, and a repeated one marks the start.
void add_short_key(KeyTrie* trie, unsigned index, size_t node) {
  uint32_t& start = trie->pair_starts[index];
  start = (start & ~kShortKeyNode) | static_cast<uint32_t>(node + 1);
  if ((trie->nodes[node].flags & kRepeated) != 0) start |= kRepeatedShortKey;
}

// Adds the starts of every key below `node`, which has consumed `depth`
// bytes of the start that `prefix` holds.
void index_below(KeyTrie* trie, size_t node, unsigned prefix, int depth) {
  const TrieNode& parent = trie->nodes[node];
  for (auto child = static_cast<size_t>(parent.first_child);
       child < static_cast<size_t>(parent.first_child) + static_cast<size_t>(child_count(parent)); ++child) {
    const TrieNode& next = trie->nodes[child];
    unsigned start = prefix;
    auto next_depth = static_cast<int>(next.depth);
    for (int d = depth; d < kStartBytes && d < next_depth; ++d) start = start << 8 | edge_byte(*trie, next, d);
    if (next_depth >= kStartBytes) {
      add_triple(trie, start >> 16, start >> 8 & 0xFF, start & 0xFF, child);
      continue;
    }
    bool terminal = (next.flags & kTerminal) != 0;
    if (next_depth == 1 && terminal) {
      for (unsigned byte1 = 0; byte1 < 256; ++byte1) add_short_key(trie, start << 8 | byte1, child);
    } else if (next_depth == 2 && terminal) {
      add_short_key(trie, start, child);
    }
    index_below(trie, child, start, next_depth);
  }
}

// The tables that start a lookup at its first bytes. False when memory is
// exhausted.
bool index_starts(KeyTrie* trie) {
  size_t triples = 0;
  for (int32_t i = 0; i < trie->node_count; ++i) {
    const TrieNode& node = trie->nodes[i];
    if (node.depth >= kStartBytes) continue;
    for (int32_t child = 0; child < child_count(node); ++child) {
      if (trie->nodes[node.first_child + static_cast<uint32_t>(child)].depth >= kStartBytes) ++triples;
    }
  }
  int log = 1;
  while ((size_t{1} << log) < triples * 2) ++log;
  trie->triple_shift = 32 - log;
  trie->triple_starts = static_cast<uint64_t*>(allocate(sizeof(uint64_t) << log));
  trie->pair_starts = static_cast<uint32_t*>(allocate(sizeof(uint32_t) * kPairCount));
  if (trie->triple_starts == nullptr || trie->pair_starts == nullptr) return false;
  std::memset(trie->triple_starts, 0, sizeof(uint64_t) << log);
  std::memset(trie->pair_starts, 0, sizeof(uint32_t) * kPairCount);
  index_below(trie, 0, 0, 0);
  return true;
}

int32_t find_triple(const KeyTrie& trie, const unsigned char* text) {
  uint32_t triple = (static_cast<uint32_t>(text[0]) << 16 | static_cast<uint32_t>(text[1]) << 8 | text[2]) + 1;
  size_t mask = (size_t{1} << (32 - trie.triple_shift)) - 1;
  for (size_t slot = triple_hash(triple, trie.triple_shift);; slot = (slot + 1) & mask) {
    uint64_t entry = trie.triple_starts[slot];
    if (static_cast<uint32_t>(entry) == triple) return static_cast<int32_t>(entry >> 32);
    if (entry == 0) return -1;
  }
}

int32_t find_child(const KeyTrie& trie, const TrieNode& node, uint8_t byte) {
  auto first = static_cast<int32_t>(node.first_child);
  if (node.child_count == kManyChildren) {
    uint8_t slot = trie.child_tables[static_cast<size_t>(static_cast<uint32_t>(node.child_bytes)) * 256 + byte];
    return slot == 0 ? -1 : first + slot - 1;
  }
  // Finds the byte among the inline ones without a loop: a zero byte of
  // `difference` marks it; bytes past the children are masked off.
  uint64_t difference = node.child_bytes ^ (kEveryByte * byte);
  uint64_t zeros = (difference - kEveryByte) & ~difference & (kEveryByte << 7);
  if (node.child_count < kInlineChildren) zeros &= (uint64_t{1} << (8 * node.child_count)) - 1;
  if (zeros == 0) return -1;
  return first + static_cast<int32_t>(__builtin_ctzll(zeros) / 8);
}

}  // namespace

std::size_t trie_node_bytes(int32_t count) {
  // A node is the root, a key's end or a branch (fewer than the keys).
  return sizeof(TrieNode) * (2 * static_cast<size_t>(count) + 1);
}

bool build_key_trie(const SortedKeys& keys, void* memory, KeyTrie* trie) {
  *trie = KeyTrie{keys.text, static_cast<TrieNode*>(memory), 1, nullptr, nullptr, nullptr, 0};
  trie->nodes[0] = TrieNode{0, keys.keys[0].offset & kField24, 0, 0, 0, 0};
  hold_keys(&trie->nodes[0], 0, keys.count, 0);
  // Breadth first: the few nodes near the root, which nearly every lookup
  // visits, share a handful of cache lines.
  for (int32_t i = 0; i < trie->node_count; ++i) add_children(keys, trie, i);
  if (add_child_tables(trie) && index_starts(trie)) return true;
  release_key_trie(trie);
  return false;
}

TrieResult find_longest(const KeyTrie& trie, const char* text, int32_t readable, const char** entry,
                        int32_t* key_length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (bytes[0] == 0) return TrieResult::None;  // no key holds NUL; the text may end here
  uint32_t start = trie.pair_starts[static_cast<size_t>(bytes[0]) << 8 | bytes[1]];
  if ((start & kRepeatedShortKey) != 0) return TrieResult::Repeated;
  auto best = static_cast<int32_t>(start & kShortKeyNode) - 1;
  // Longer keys begin with two key bytes, never NUL, so text[2] is readable.
  int32_t node_index = (start & kLongerKeys) != 0 ? find_triple(trie, bytes) : -1;
  int depth = kStartBytes;  // bytes of the text known to match
  while (node_index >= 0) {
    const TrieNode& node = trie.nodes[node_index];
    auto node_depth = static_cast<int>(node.depth);
    if (node.child_count == 0) {
      int arrival = depth;
      int end = label_end(node_depth);
      while (depth < end && bytes[depth] == static_cast<uint8_t>(node.child_bytes >> (8 * (depth - arrival)))) ++depth;
      if (depth < end) break;
    }
    // The bytes matched so far hold no NUL, so a NUL among the readable ones
    // lies further on and readable is past depth.
    int end = node_depth < readable ? node_depth : readable;
    depth += common_length(trie.text + node.key_offset + depth, text + depth, end - depth);
    if (depth < node_depth) break;
    if (node.flags != 0) {
      if ((node.flags & kRepeated) != 0) return TrieResult::Repeated;
      best = node_index;
    }
    // A leaf may end a kMaxKeyLength key: the byte after it may be unreadable.
    if (node.child_count == 0) break;
    node_index = find_child(trie, node, bytes[depth]);
    ++depth;
  }
  if (best < 0) return TrieResult::None;
  const TrieNode& found = trie.nodes[best];
  *entry = trie.text + found.key_offset;
  *key_length = static_cast<int32_t>(found.depth);
  return TrieResult::Found;
}

void release_key_trie(KeyTrie* trie) {
  std::free(trie->nodes);
  std::free(trie->child_tables);
  std::free(trie->pair_starts);
  std::free(trie->triple_starts);
  *trie = KeyTrie{};
}
