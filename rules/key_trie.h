#pragma once
// A compacted trie over the sorted keys that finds the longest key matching
// at a text position in a few steps, whatever the number of rules.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The bytes a prefix test reads at a position, and the masks that keep the
// first one to eight of them.
struct PrefixMask {
  uint32_t low;
  uint32_t high;
};

constexpr int kPrefixBytes = 8;

// The bit tables of the start filter hold 32-bit words and start_mask covers
// one machine word of positions: wider shifts take several instructions and
// spill registers on a 32-bit processor, which the Windows build targets.
using StartMask = std::uintptr_t;
constexpr int kStartMaskBits = static_cast<int>(sizeof(StartMask)) * 8;

// Whether bit `index` of a table of 32-bit words is set.
inline bool bit_is_set(const std::vector<uint32_t>& bits, uint32_t index) {
  return (bits[index >> 5] >> (index & 31) & 1) != 0;
}

inline int lowest_bit(StartMask mask) { return __builtin_ctzll(mask); }

struct KeyTrie {
  const char* text;  // the rule text that key_offset counts from
  std::vector<TrieNode> nodes;
  std::vector<uint8_t> child_tables;  // 256 slots a table: child position + 1, or 0
  // Per two-byte start: the longest key of one or two bytes that matches
  // there (node + 1, or 0), and whether longer keys begin with it.
  std::vector<uint32_t> pair_starts;
  // Open-addressed: three-byte start + 1 in the low half, the first node at
  // depth 3 or more under it in the high half; 0 marks an empty slot.
  std::vector<uint64_t> triple_starts;
  int triple_shift;  // 32 - log2 of the table size
  // One bit per two-byte start: set where some key can match.
  std::vector<uint32_t> start_bits;
  // One bit per hashed prefix: every key sets the bit of its first bytes, up
  // to kPrefixBytes of them. A position whose bytes set none of the bits for
  // the prefix lengths that occur starts no key: this rejects most positions
  // the two-byte starts let through, such as a blank before a common word
  // where the keys are whole words.
  std::vector<uint32_t> prefix_bits;
  int prefix_shift;                       // 32 - log2 of the bit count, here and in first_bits
  PrefixMask prefix_masks[kPrefixBytes];  // one per prefix length that occurs
  int prefix_mask_count;
  // The same for the first bytes of every key, as many as the shortest key
  // has, at most four: one test, where the prefix test takes one per length,
  // drops most positions before it. Empty where a key has two bytes or fewer,
  // since the two-byte starts then tell as much.
  std::vector<uint32_t> first_bits;
  uint32_t first_mask;
  // With few keys, the starts listed, so that a scan compares sixteen
  // positions at once: a byte stands for every start that begins with it
  // when a key is that byte alone or many keys begin with it (a blank before
  // whole words); the others are listed as pairs.
  std::vector<uint8_t> single_starts;
  std::vector<uint8_t> pair_starts_listed;  // byte 0, byte 1, byte 0, ...
  // Whether start_mask takes the listed starts. A test may clear it to run
  // the scan over start_bits instead, which serves every set of keys.
  bool few_starts;
};

// Up to this many listed starts make a set of few keys.
constexpr size_t kFewStarts = 16;
// start_mask reads this many bytes whatever its count: a prefix test at its
// last position reads kPrefixBytes of them.
constexpr int kStartMaskReach = kStartMaskBits + kPrefixBytes - 1;

constexpr uint32_t kLongerKeys = 1U << 31;        // in pair_starts
constexpr uint32_t kRepeatedShortKey = 1U << 30;  // in pair_starts
constexpr uint32_t kShortKeyNode = kRepeatedShortKey - 1;

// Builds the trie over `count` entries in key order. False when memory is
// exhausted.
bool build_key_trie(const char* const* sorted, int32_t count, char separator, KeyTrie* trie);

inline uint32_t prefix_hash(uint32_t low, uint32_t high, int shift) {
  return (low * 0x9E3779B1U ^ high * 0x85EBCA77U) >> shift;
}

// Whether the first kPrefixBytes bytes at `text` begin some key: false
// means none starts there. Bytes after a NUL only change the answer for keys
// that could not match anyway.
inline bool prefix_may_match(const KeyTrie& trie, const char* text) {
  uint32_t low = 0;
  uint32_t high = 0;
  std::memcpy(&low, text, sizeof low);
  std::memcpy(&high, text + sizeof low, sizeof high);
  uint32_t found = 0;
  for (int i = 0; i < trie.prefix_mask_count; ++i) {
    const PrefixMask& mask = trie.prefix_masks[i];
    uint32_t hash = prefix_hash(low & mask.low, high & mask.high, trie.prefix_shift);
    found |= trie.prefix_bits[hash >> 5] >> (hash & 31);
  }
  return (found & 1) != 0;
}

// Whether the first bytes at `text` begin some key; reads four bytes.
inline bool first_bytes_may_match(const KeyTrie& trie, const char* text) {
  uint32_t low = 0;
  std::memcpy(&low, text, sizeof low);
  return bit_is_set(trie.first_bits, prefix_hash(low & trie.first_mask, 0, trie.prefix_shift));
}

// Whether some key can start at `text`, which holds a NUL or at least
// kPrefixBytes readable bytes.
inline bool may_start_at(const KeyTrie& trie, const char* text) {
  char bytes[kPrefixBytes] = {};
  for (int i = 0; i < kPrefixBytes && text[i] != '\0'; ++i) bytes[i] = text[i];
  return prefix_may_match(trie, bytes);
}

// Whether some key begins with the two bytes at `text`.
inline bool pair_may_start(const KeyTrie& trie, const char* text) {
  uint32_t index =
      static_cast<uint32_t>(static_cast<unsigned char>(text[0])) << 8 | static_cast<unsigned char>(text[1]);
  return bit_is_set(trie.start_bits, index);
}

#if defined(__SSE2__)
// The listed starts of a set of few keys, sixteen positions per compare.
inline StartMask few_start_mask(const KeyTrie& trie, const char* text) {
  constexpr int kBlocks = kStartMaskBits / 16;
  __m128i first[kBlocks];
  __m128i second[kBlocks];
  __m128i found[kBlocks];
  for (int k = 0; k < kBlocks; ++k) {
    const char* block = text + static_cast<std::ptrdiff_t>(16) * k;
    first[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
    second[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 1));
    found[k] = _mm_setzero_si128();
  }
  for (uint8_t single : trie.single_starts) {
    __m128i wanted = _mm_set1_epi8(static_cast<char>(single));
    for (int k = 0; k < kBlocks; ++k) found[k] = _mm_or_si128(found[k], _mm_cmpeq_epi8(first[k], wanted));
  }
  for (size_t i = 0; i < trie.pair_starts_listed.size(); i += 2) {
    __m128i wanted0 = _mm_set1_epi8(static_cast<char>(trie.pair_starts_listed[i]));
    __m128i wanted1 = _mm_set1_epi8(static_cast<char>(trie.pair_starts_listed[i + 1]));
    for (int k = 0; k < kBlocks; ++k) {
      __m128i both = _mm_and_si128(_mm_cmpeq_epi8(first[k], wanted0), _mm_cmpeq_epi8(second[k], wanted1));
      found[k] = _mm_or_si128(found[k], both);
    }
  }
  StartMask mask = 0;
  for (int k = 0; k < kBlocks; ++k) {
    mask |= static_cast<StartMask>(static_cast<uint32_t>(_mm_movemask_epi8(found[k]))) << (16 * k);
  }
  return mask;
}
#endif

// The positions of `text[0..count)` that begin a two-byte start, one at a
// time but without a branch, so the scan skips through text without
// mispredicting at every byte.
inline StartMask pair_start_mask(const KeyTrie& trie, const char* text, int count) {
  StartMask mask = 0;
  for (int i = 0; i < count; ++i) mask |= StartMask{pair_may_start(trie, text + i)} << i;
  return mask;
}

// One bit per position of `text[0..count)`, count at most kStartMaskBits,
// set where some key can start: the two-byte starts pick the positions, the
// first bytes and then the prefix test drop most of them. Reads
// kStartMaskReach bytes; those past text[count] may hold anything.
inline StartMask start_mask(const KeyTrie& trie, const char* text, int count) {
#if defined(__SSE2__)
  StartMask pairs = trie.few_starts ? few_start_mask(trie, text) : pair_start_mask(trie, text, count);
  if (count < kStartMaskBits) pairs &= (StartMask{1} << count) - 1;
#else
  StartMask pairs = pair_start_mask(trie, text, count);
#endif
  StartMask firsts = pairs;
  if (!trie.first_bits.empty()) {
    firsts = 0;
    while (pairs != 0) {
      int i = lowest_bit(pairs);
      pairs &= pairs - 1;
      firsts |= StartMask{first_bytes_may_match(trie, text + i)} << i;
    }
  }
  StartMask mask = 0;
  while (firsts != 0) {
    int i = lowest_bit(firsts);
    firsts &= firsts - 1;
    mask |= StartMask{prefix_may_match(trie, text + i)} << i;
  }
  return mask;
}

enum class TrieResult { Found, None, Repeated };

// Finds the longest key that matches at `text`. Repeated: a key that occurs
// more than once matches here, so the trie cannot say which rule applies.
TrieResult find_longest(const KeyTrie& trie, const char* text, const char** entry, int32_t* key_length);
