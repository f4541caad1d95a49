#pragma once
// The start filter: the text positions where some key can begin.
//
// A lookup goes through four stages, each costlier per position than the one
// before and each reached by fewer positions:
//  1. The start filter (here) scans a block of positions at once for the
//     keys' first bytes, then tests each position it keeps against the keys'
//     first eight bytes in one cache line (and a small table for keys of
//     three or four bytes); most positions end here.
//  2. The start tables (key_trie) take the text's first two or three bytes to
//     the longest key of one or two bytes that matches and to the trie node
//     below the three bytes.
//  3. The trie walk (key_trie) follows the text down the keys' shared
//     prefixes to the longest key that matches. Where the keys are short and
//     end in a few bytes (whole-word rules), the short keys (short_keys) take
//     the place of stages 2 and 3: one exact probe for each length at which
//     the text holds a byte that ends a key.
//  4. Where a key that occurs more than once matches, only the reference
//     search (rule_table) can say which of its rules applies.

#include <cstdint>

#include "rules/keys.h"
#include "rules/rule_file.h"

// One bit per position of a block. A machine word: wider shifts take several
// instructions and spill registers on a 32-bit processor, which the Windows
// build targets.
using StartMask = std::uintptr_t;
constexpr int kStartMaskBits = static_cast<int>(sizeof(StartMask)) * 8;

inline int lowest_bit(StartMask mask) { return __builtin_ctzll(mask); }

// How many bytes past its end the scan of a text may read: a lookup at the
// last position compares up to kMaxKeyLength bytes, further than the start
// filter's loads reach. The stream's window holds that much more.
constexpr int kStartMaskReach = kMaxKeyLength;

// The ways to scan a block; the build picks the fastest that serves the keys
// on this processor.
enum class ScanPath : uint8_t {
  Pairs,          // the two-byte starts, one position at a time: any keys, any processor
  Listed,         // SSE2: a few listed starts compared at sixteen positions at once
  NibblesAvx2,    // AVX2: the keys' first bytes as nibble masks, 32 positions at once
  NibblesAvx512,  // AVX-512: the same at 64 positions at once
};
constexpr int kScanPaths = 4;

// The bytes of a position that the prefix test reads.
constexpr int kPrefixBytes = 8;

// Nibble masks cover this many first bytes of each key: with tens of keys
// the stream runs a third faster with five than with four, the fifth byte's
// shuffles costing less than the positions they stop.
constexpr int kNibbleBytes = 5;
// Up to this many listed starts make a set of few keys: each listed start
// costs a vector compare for every sixteen positions, against several
// instructions a position for the table lookup, which some dozens of starts
// would overtake.
constexpr int kFewStarts = 16;

struct StartFilter {
  ScanPath path;
  // Whether the scan tests each position it keeps against the keys' first
  // bytes before the lookup does; the rule table decides.
  bool confirms;
  // One bit per two-byte start: some key begins with it. One allocation
  // holds this table and the other bit tables below.
  uint32_t* pair_bits;
  // One bit per two-byte start: a key of one or two bytes is it or begins it.
  uint32_t* short_bits;
  // Keys of three or four bytes, hashed, one bit each; and the masks that
  // keep the first three or four bytes, for each of the two lengths that
  // occurs.
  uint32_t* key_bits;
  int key_shift;  // 32 - log2 of the bit count
  uint32_t key_masks[2];
  int key_mask_count;
  // The prefix test of longer keys: a block of one cache line per hashed
  // five-byte start, in which each key sets two bits for its start and two
  // for its first eight bytes (all of a shorter key). A position reads the one
  // block its first five bytes pick, and needs the bits of its start and
  // those of one prefix length that occurs: the masks keep the bytes after
  // the first four, one mask per length.
  uint32_t* blocks;
  int block_shift;  // 32 - log2 of the block count
  uint32_t prefix_masks[kPrefixBytes - 4];
  int prefix_mask_count;
  // The listed starts, when there are few: a byte stands for every start that
  // begins with it when a key is that byte alone or many keys begin with it (a
  // blank before whole words); the other starts are listed as pairs.
  uint8_t single_starts[kFewStarts];
  uint8_t pair_starts[kFewStarts][2];
  int single_count;
  int pair_count;
  bool few_starts;
  // For each of the keys' first kNibbleBytes bytes, by low and by high
  // nibble, a bit for each group of keys (eight groups in key order) with a
  // byte there that has this nibble: a position whose bytes find one group in
  // all of them may start a key of that group.
  uint8_t nibble_masks[kNibbleBytes][2][16];
  bool has_nibble_masks;  // not for more than some thousands of keys, which they cannot tell apart
};

// Builds the filter over the sorted keys. False when memory is exhausted.
bool build_start_filter(const SortedKeys& keys, StartFilter* filter);

// Whether this processor has `path` and it serves the filter's keys.
bool scan_path_serves(const StartFilter& filter, ScanPath path);

// Finds the first block at or after `*position`, below `end`, with a position
// where a key can start: moves `*position` there and returns its positions,
// one bit each from `*position`, none at or past `end`. Returns 0 with
// `*position` at `end` when there is none. Reads up to kStartMaskReach bytes
// past `end`, which may hold anything.
StartMask next_starts(const StartFilter& filter, const char* text, int32_t* position, int32_t end);

void release_start_filter(StartFilter* filter);
