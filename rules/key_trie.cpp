#include "rules/key_trie.h"

#include <cstddef>
#include <new>

using std::size_t;

namespace {

// Nodes with more children than this get a direct table instead of a scan.
constexpr uint16_t kScannedChildren = 8;

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

// Places the node's children, which are the pending nodes after its mark,
// and leaves the node itself pending for its parent.
void close_node(Builder* builder) {
  OpenNode node = builder->open.back();
  builder->open.pop_back();
  KeyTrie* trie = builder->trie;
  auto first = static_cast<int32_t>(trie->nodes.size());
  auto count = static_cast<uint16_t>(builder->pending.size() - node.mark);
  int32_t table = -1;
  if (count > kScannedChildren) {
    table = static_cast<int32_t>(trie->child_tables.size() / 256);
    trie->child_tables.resize(trie->child_tables.size() + 256, 0);
  }
  for (size_t i = node.mark; i < builder->pending.size(); ++i) {
    const TrieNode& child = builder->pending[i];
    auto byte = static_cast<uint8_t>(builder->text[child.key_offset + node.depth]);
    if (table >= 0) {
      trie->child_tables[static_cast<size_t>(table) * 256 + byte] = static_cast<uint8_t>(i - node.mark + 1);
    }
    trie->nodes.push_back(child);
    trie->child_bytes.push_back(byte);
  }
  builder->pending.resize(node.mark);
  builder->pending.push_back(TrieNode{static_cast<uint32_t>(node.key - builder->text), first, table, count,
                                      node.depth, node.flags});
}

void add_key(Builder* builder, const char* key, int shared) {
  // Close the nodes below the common part; if none ends exactly there, the
  // last closed one hangs from a new branching node at that depth.
  while (builder->open.back().depth > shared) {
    const char* deeper_key = builder->open.back().key;
    close_node(builder);
    if (builder->open.back().depth < shared) {
      builder->open.push_back(
          OpenNode{deeper_key, builder->pending.size() - 1, static_cast<uint8_t>(shared), 0});
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

// The tables that start a lookup at its first two bytes.
void index_starts(KeyTrie* trie, int32_t root) {
  trie->one_byte_keys.assign(256, -1);
  trie->two_byte_starts.assign(65536, -1);
  trie->start_bits.assign(65536 / 64, 0);
  const TrieNode& top = trie->nodes[static_cast<size_t>(root)];
  for (int32_t a = top.first_child; a < top.first_child + top.child_count; ++a) {
    const TrieNode& first = trie->nodes[static_cast<size_t>(a)];
    unsigned byte0 = trie->child_bytes[static_cast<size_t>(a)];
    if (first.depth >= 2) {
      unsigned byte1 = static_cast<unsigned char>(trie->text[first.key_offset + 1]);
      trie->two_byte_starts[byte0 << 8 | byte1] = a;
      continue;
    }
    if ((first.flags & kTerminal) != 0) {
      trie->one_byte_keys[byte0] = a;
      for (unsigned byte1 = 0; byte1 < 256; ++byte1) {
        unsigned index = byte0 << 8 | byte1;
        trie->start_bits[index >> 6] |= uint64_t{1} << (index & 63);
      }
    }
    for (int32_t b = first.first_child; b < first.first_child + first.child_count; ++b) {
      trie->two_byte_starts[byte0 << 8 | trie->child_bytes[static_cast<size_t>(b)]] = b;
    }
  }
  for (unsigned index = 0; index < 65536; ++index) {
    if (trie->two_byte_starts[index] >= 0) trie->start_bits[index >> 6] |= uint64_t{1} << (index & 63);
  }
}

int32_t find_child(const KeyTrie& trie, const TrieNode& node, uint8_t byte) {
  if (node.child_table >= 0) {
    uint8_t slot = trie.child_tables[static_cast<size_t>(node.child_table) * 256 + byte];
    return slot == 0 ? -1 : node.first_child + slot - 1;
  }
  const uint8_t* bytes = trie.child_bytes.data() + node.first_child;
  for (int32_t i = 0; i < node.child_count; ++i) {
    if (bytes[i] == byte) return node.first_child + i;
  }
  return -1;
}

}  // namespace

bool build_key_trie(const char* const* sorted, int32_t count, char separator, KeyTrie* trie) {
  try {
    trie->text = sorted[0];
    for (int32_t i = 1; i < count; ++i) {
      if (sorted[i] < trie->text) trie->text = sorted[i];
    }
    trie->nodes.clear();
    trie->child_bytes.clear();
    trie->child_tables.clear();
    trie->nodes.reserve(static_cast<size_t>(count) * 2);
    trie->child_bytes.reserve(static_cast<size_t>(count) * 2);
    Builder builder{trie->text, separator, trie, {}, {}};
    builder.open.push_back(OpenNode{sorted[0], 0, 0, 0});
    for (int32_t i = 0; i < count; ++i) {
      int shared = i == 0 ? 0 : common_length(sorted[i - 1], sorted[i], separator);
      add_key(&builder, sorted[i], shared);
    }
    while (builder.open.size() > 1) close_node(&builder);
    close_node(&builder);
    auto root = static_cast<int32_t>(trie->nodes.size());
    trie->nodes.push_back(builder.pending.back());
    trie->child_bytes.push_back(0);
    trie->nodes.shrink_to_fit();
    trie->child_bytes.shrink_to_fit();
    index_starts(trie, root);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

TrieResult find_longest(const KeyTrie& trie, const char* text, const char** entry, int32_t* key_length) {
  auto byte0 = static_cast<unsigned char>(text[0]);
  if (byte0 == 0) return TrieResult::None;  // no key holds NUL; the text may end here
  int32_t best = trie.one_byte_keys[byte0];
  if (best >= 0 && (trie.nodes[static_cast<size_t>(best)].flags & kRepeated) != 0) return TrieResult::Repeated;
  int32_t node_index = trie.two_byte_starts[byte0 << 8 | static_cast<unsigned char>(text[1])];
  int depth = 2;  // bytes of the text known to match
  while (node_index >= 0) {
    const TrieNode& node = trie.nodes[static_cast<size_t>(node_index)];
    const char* key = trie.text + node.key_offset;
    // A NUL in the text never equals a key byte, so this stops at the text's end.
    while (depth < node.depth && text[depth] == key[depth]) ++depth;
    if (depth < node.depth) break;
    if ((node.flags & kRepeated) != 0) return TrieResult::Repeated;
    if ((node.flags & kTerminal) != 0) best = node_index;
    node_index = find_child(trie, node, static_cast<uint8_t>(text[depth]));
    ++depth;
  }
  if (best < 0) return TrieResult::None;
  const TrieNode& found = trie.nodes[static_cast<size_t>(best)];
  *entry = trie.text + found.key_offset;
  *key_length = found.depth;
  return TrieResult::Found;
}
