#include "rules/key_trie.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

using std::size_t;

namespace {

constexpr uint64_t kEveryByte = 0x0101010101010101ULL;
// The start tables resolve a key's first three bytes at once.
constexpr int kStartBytes = 3;
constexpr int kInlineLabelBytes = 8;

// A node while the trie is built: `mark` is where its children begin among
// the pending (closed, not yet placed) nodes.
struct OpenNode {
  const char* key;
  size_t mark;
  uint8_t depth;
  uint8_t flags;
};

struct Builder {
  const char* text;
  char separator;
  KeyTrie* trie;
  std::vector<OpenNode> open;
  std::vector<TrieNode> pending;
};

int key_length(const char* key, char separator) {
  int length = 0;
  while (key[length] != separator) ++length;
  return length;
}

int common_length(const char* a, const char* b, char separator) {
  int j = 0;
  while (a[j] != separator && a[j] == b[j]) ++j;
  return j;
}

// The byte that leads from a node at `parent_depth` to `child`.
uint8_t edge_byte(const KeyTrie& trie, const TrieNode& child, int parent_depth) {
  return static_cast<uint8_t>(trie.text[child.key_offset + static_cast<uint32_t>(parent_depth)]);
}

// A leaf has no child bytes; it keeps the first bytes of its label instead,
// so that most lookups that fail on a leaf never read the rule text. They
// start where a lookup arrives: after the parent's byte, and never before the
// third byte, which the start tables resolve.
void keep_label_start(const KeyTrie* trie, TrieNode* leaf, int parent_depth) {
  int arrival = parent_depth + 1 > kStartBytes ? parent_depth + 1 : kStartBytes;
  for (int i = 0; i < kInlineLabelBytes && arrival + i < leaf->depth; ++i) {
    leaf->child_bytes |= uint64_t{edge_byte(*trie, *leaf, arrival + i)} << (8 * i);
  }
}

// Places the node's children, which are the pending nodes after its mark,
// and leaves the node itself pending for its parent.
void close_node(Builder* builder) {
  OpenNode node = builder->open.back();
  builder->open.pop_back();
  KeyTrie* trie = builder->trie;
  TrieNode closed{0,
                  static_cast<uint32_t>(node.key - builder->text),
                  static_cast<int32_t>(trie->nodes.size()),
                  -1,
                  static_cast<uint16_t>(builder->pending.size() - node.mark),
                  node.depth,
                  node.flags};
  if (closed.child_count > kInlineChildren) {
    closed.child_table = static_cast<int32_t>(trie->child_tables.size() / 256);
    trie->child_tables.resize(trie->child_tables.size() + 256, 0);
  }
  for (size_t i = node.mark; i < builder->pending.size(); ++i) {
    const TrieNode& child = builder->pending[i];
    uint8_t byte = edge_byte(*trie, child, node.depth);
    auto position = static_cast<unsigned>(i - node.mark);
    if (closed.child_table >= 0) {
      trie->child_tables[static_cast<size_t>(closed.child_table) * 256 + byte] = static_cast<uint8_t>(position + 1);
    } else {
      closed.child_bytes |= uint64_t{byte} << (8 * position);
    }
    trie->nodes.push_back(child);
    if (child.child_count == 0) keep_label_start(trie, &trie->nodes.back(), node.depth);
  }
  builder->pending.resize(node.mark);
  builder->pending.push_back(closed);
}

void add_key(Builder* builder, const char* key, int shared) {
  // Close the nodes below the common part; if none ends exactly there, the
  // last closed one hangs from a new branching node at that depth.
  while (builder->open.back().depth > shared) {
    const char* deeper_key = builder->open.back().key;
    close_node(builder);
    if (builder->open.back().depth < shared) {
      builder->open.push_back(OpenNode{deeper_key, builder->pending.size() - 1, static_cast<uint8_t>(shared), 0});
    }
  }
  int length = key_length(key, builder->separator);
  if (length == shared) {
    // Equal to the previous key: sorted order leaves no other way.
    builder->open.back().flags |= kRepeated;
    return;
  }
  builder->open.push_back(OpenNode{key, builder->pending.size(), static_cast<uint8_t>(length), kTerminal});
}

// Renumbers the nodes breadth first: the few nodes near the root, which
// nearly every lookup visits, then share a handful of cache lines.
void order_breadth_first(KeyTrie* trie, const TrieNode& root) {
  std::vector<TrieNode> nodes;
  nodes.reserve(trie->nodes.size() + 1);
  nodes.push_back(root);
  for (size_t i = 0; i < nodes.size(); ++i) {
    auto first = static_cast<size_t>(nodes[i].first_child);
    nodes[i].first_child = static_cast<int32_t>(nodes.size());
    nodes.insert(nodes.end(), trie->nodes.begin() + static_cast<std::ptrdiff_t>(first),
                 trie->nodes.begin() + static_cast<std::ptrdiff_t>(first + nodes[i].child_count));
  }
  trie->nodes = std::move(nodes);
}

uint32_t triple_hash(uint32_t triple, int shift) { return (triple * 0x9E3779B1U) >> shift; }

void add_triple(KeyTrie* trie, unsigned byte0, unsigned byte1, unsigned byte2, size_t node) {
  uint32_t triple = (byte0 << 16 | byte1 << 8 | byte2) + 1;
  size_t mask = trie->triple_starts.size() - 1;
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
       child < static_cast<size_t>(parent.first_child) + parent.child_count; ++child) {
    const TrieNode& next = trie->nodes[child];
    unsigned start = prefix;
    for (int d = depth; d < kStartBytes && d < next.depth; ++d) start = start << 8 | edge_byte(*trie, next, d);
    if (next.depth >= kStartBytes) {
      add_triple(trie, start >> 16, start >> 8 & 0xFF, start & 0xFF, child);
      continue;
    }
    bool terminal = (next.flags & kTerminal) != 0;
    if (next.depth == 1 && terminal) {
      for (unsigned byte1 = 0; byte1 < 256; ++byte1) add_short_key(trie, start << 8 | byte1, child);
    } else if (next.depth == 2 && terminal) {
      add_short_key(trie, start, child);
    }
    index_below(trie, child, start, next.depth);
  }
}

// Lists the starts when there are few: a byte that begins a one-byte key or
// more than kPairsPerByte two-byte starts stands for all 256 of them.
void list_few_starts(KeyTrie* trie) {
  constexpr unsigned kPairsPerByte = 4;
  trie->single_starts.clear();
  trie->pair_starts_listed.clear();
  size_t listed = 0;
  for (unsigned byte0 = 0; byte0 < 256 && listed <= kFewStarts; ++byte0) {
    const uint32_t* starts = &trie->pair_starts[byte0 << 8];
    unsigned seconds = 0;
    for (unsigned byte1 = 0; byte1 < 256; ++byte1) seconds += starts[byte1] != 0 ? 1 : 0;
    if (seconds == 0) continue;
    if (seconds > kPairsPerByte) {
      trie->single_starts.push_back(static_cast<uint8_t>(byte0));
      ++listed;
      continue;
    }
    for (unsigned byte1 = 0; byte1 < 256; ++byte1) {
      if (starts[byte1] == 0) continue;
      trie->pair_starts_listed.push_back(static_cast<uint8_t>(byte0));
      trie->pair_starts_listed.push_back(static_cast<uint8_t>(byte1));
      ++listed;
    }
  }
  trie->few_starts = listed <= kFewStarts;
}

uint32_t low_bytes(const char* bytes) {
  uint32_t low = 0;
  std::memcpy(&low, bytes, sizeof low);
  return low;
}

void set_bit(std::vector<uint32_t>* bits, uint32_t index) { (*bits)[index >> 5] |= 1U << (index & 31); }

// Sets the prefix and first-byte bits of every key, in tables of about 32
// bits a key so that few positions pass by chance, and within 1 MiB each.
void index_prefixes(KeyTrie* trie, const char* const* sorted, int32_t count, char separator) {
  constexpr int kMinBitsLog = 14;
  constexpr int kMaxBitsLog = 23;
  constexpr int kFirstBytes = 4;
  int bits_log = kMinBitsLog;
  while (bits_log < kMaxBitsLog && (size_t{1} << bits_log) < static_cast<size_t>(count) * 32) ++bits_log;
  trie->prefix_shift = 32 - bits_log;
  trie->prefix_bits.assign((size_t{1} << bits_log) / 32, 0);
  bool length_occurs[kPrefixBytes + 1] = {};
  int first_bytes = kFirstBytes;
  std::vector<char> prefixes(static_cast<size_t>(count) * kPrefixBytes, 0);
  for (int32_t i = 0; i < count; ++i) {
    char* bytes = &prefixes[static_cast<size_t>(i) * kPrefixBytes];
    int length = 0;
    while (length < kPrefixBytes && sorted[i][length] != separator) {
      bytes[length] = sorted[i][length];
      ++length;
    }
    length_occurs[length] = true;
    if (length < first_bytes) first_bytes = length;
    set_bit(&trie->prefix_bits, prefix_hash(low_bytes(bytes), low_bytes(bytes + 4), trie->prefix_shift));
  }
  char first_mask[kFirstBytes] = {};
  std::memset(first_mask, 0xFF, static_cast<size_t>(first_bytes));
  trie->first_mask = low_bytes(first_mask);
  trie->first_bits.assign(first_bytes > 2 ? trie->prefix_bits.size() : 0, 0);
  for (int32_t i = 0; i < count && first_bytes > 2; ++i) {
    uint32_t low = low_bytes(&prefixes[static_cast<size_t>(i) * kPrefixBytes]) & trie->first_mask;
    set_bit(&trie->first_bits, prefix_hash(low, 0, trie->prefix_shift));
  }
  trie->prefix_mask_count = 0;
  for (int length = 1; length <= kPrefixBytes; ++length) {
    if (!length_occurs[length]) continue;
    char bytes[kPrefixBytes] = {};
    std::memset(bytes, 0xFF, static_cast<size_t>(length));
    trie->prefix_masks[trie->prefix_mask_count++] = PrefixMask{low_bytes(bytes), low_bytes(bytes + 4)};
  }
}

// The tables that start a lookup at its first bytes; the root is node 0.
void index_starts(KeyTrie* trie) {
  size_t triples = 0;
  for (const TrieNode& node : trie->nodes) {
    if (node.depth >= kStartBytes) continue;
    for (int32_t child = node.first_child; child < node.first_child + node.child_count; ++child) {
      if (trie->nodes[static_cast<size_t>(child)].depth >= kStartBytes) ++triples;
    }
  }
  size_t slots = 2;
  while (slots < triples * 2) slots *= 2;
  trie->triple_starts.assign(slots, 0);
  trie->triple_shift = 32;
  for (size_t size = slots; size > 1; size /= 2) --trie->triple_shift;
  trie->pair_starts.assign(65536, 0);
  index_below(trie, 0, 0, 0);
  trie->start_bits.assign(65536 / 32, 0);
  for (uint32_t index = 0; index < 65536; ++index) {
    if (trie->pair_starts[index] != 0) set_bit(&trie->start_bits, index);
  }
  list_few_starts(trie);
}

int32_t find_triple(const KeyTrie& trie, const unsigned char* text) {
  uint32_t triple = (static_cast<uint32_t>(text[0]) << 16 | static_cast<uint32_t>(text[1]) << 8 | text[2]) + 1;
  size_t mask = trie.triple_starts.size() - 1;
  for (size_t slot = triple_hash(triple, trie.triple_shift);; slot = (slot + 1) & mask) {
    uint64_t entry = trie.triple_starts[slot];
    if (static_cast<uint32_t>(entry) == triple) return static_cast<int32_t>(entry >> 32);
    if (entry == 0) return -1;
  }
}

int32_t find_child(const KeyTrie& trie, const TrieNode& node, uint8_t byte) {
  if (node.child_table >= 0) {
    uint8_t slot = trie.child_tables[static_cast<size_t>(node.child_table) * 256 + byte];
    return slot == 0 ? -1 : node.first_child + slot - 1;
  }
  // Finds the byte among the inline ones without a loop: a zero byte of
  // `difference` marks it; bytes past the children are masked off.
  uint64_t difference = node.child_bytes ^ (kEveryByte * byte);
  uint64_t zeros = (difference - kEveryByte) & ~difference & (kEveryByte << 7);
  if (node.child_count < kInlineChildren) zeros &= (uint64_t{1} << (8 * node.child_count)) - 1;
  if (zeros == 0) return -1;
  return node.first_child + static_cast<int32_t>(__builtin_ctzll(zeros) / 8);
}

}  // namespace

bool build_key_trie(const char* const* sorted, int32_t count, char separator, KeyTrie* trie) {
  try {
    trie->text = sorted[0];
    for (int32_t i = 1; i < count; ++i) {
      if (sorted[i] < trie->text) trie->text = sorted[i];
    }
    trie->nodes.clear();
    trie->child_tables.clear();
    trie->nodes.reserve(static_cast<size_t>(count) * 2);
    Builder builder{trie->text, separator, trie, {}, {}};
    builder.open.push_back(OpenNode{sorted[0], 0, 0, 0});
    for (int32_t i = 0; i < count; ++i) {
      int shared = i == 0 ? 0 : common_length(sorted[i - 1], sorted[i], separator);
      add_key(&builder, sorted[i], shared);
    }
    while (!builder.open.empty()) close_node(&builder);
    order_breadth_first(trie, builder.pending.back());
    index_starts(trie);
    index_prefixes(trie, sorted, count, separator);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

TrieResult find_longest(const KeyTrie& trie, const char* text, const char** entry, int32_t* key_length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (bytes[0] == 0) return TrieResult::None;  // no key holds NUL; the text may end here
  uint32_t start = trie.pair_starts[static_cast<size_t>(bytes[0]) << 8 | bytes[1]];
  if ((start & kRepeatedShortKey) != 0) return TrieResult::Repeated;
  auto best = static_cast<int32_t>(start & kShortKeyNode) - 1;
  // Longer keys begin with two key bytes, never NUL, so text[2] is readable.
  int32_t node_index = (start & kLongerKeys) != 0 ? find_triple(trie, bytes) : -1;
  int depth = kStartBytes;  // bytes of the text known to match
  while (node_index >= 0) {
    const TrieNode& node = trie.nodes[static_cast<size_t>(node_index)];
    if (node.child_count == 0) {
      int arrival = depth;
      while (depth < node.depth && depth - arrival < kInlineLabelBytes &&
             static_cast<uint8_t>(text[depth]) == static_cast<uint8_t>(node.child_bytes >> (8 * (depth - arrival)))) {
        ++depth;
      }
      if (depth < node.depth && depth - arrival < kInlineLabelBytes) break;
    }
    const char* key = trie.text + node.key_offset;
    // A NUL in the text never equals a key byte, so this stops at the text's end.
    while (depth < node.depth && text[depth] == key[depth]) ++depth;
    if (depth < node.depth) break;
    if (node.flags != 0) {
      if ((node.flags & kRepeated) != 0) return TrieResult::Repeated;
      best = node_index;
    }
    // A leaf may end a kMaxKeyLength key: the byte after it may be unreadable.
    if (node.child_count == 0) break;
    node_index = find_child(trie, node, static_cast<uint8_t>(text[depth]));
    ++depth;
  }
  if (best < 0) return TrieResult::None;
  const TrieNode& found = trie.nodes[static_cast<size_t>(best)];
  *entry = trie.text + found.key_offset;
  *key_length = found.depth;
  return TrieResult::Found;
}
