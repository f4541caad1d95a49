#include "rules/start_filter.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "rules/allocation.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// A second odd multiplier, unrelated to kGoldenMultiplier, so that the hash
// of a prefix owes nothing to that of the block it lies in.
constexpr uint32_t kSecondMultiplier = 0x85EBCA77U;

static_assert(kPrefixBytes <= kSortPrefixBytes, "the filter takes its keys' first bytes from their sort prefixes");
constexpr int kPairCount = 65536;
// Keys of three or four bytes set one bit each in a table of this many bits
// a key, so that about one position in 64 passes a length by chance.
constexpr int kKeyBitsPerKey = 64;
// Longer keys are tested in blocks of one cache line, each picked by the
// first kBlockStartBytes bytes: by four, the commonest starts of English
// words gather hundreds of keys each into one block and fill it.
constexpr int kBlockStartBytes = 5;
constexpr int kBlockBits = 512;  // a 64-byte cache line
constexpr int kBlockWords = kBlockBits / 32;
// Each key sets at most four bits in its block, so a block stays about an
// eighth full on average and a length that no key has there passes in about
// one position in 64.
constexpr int kBlockBitsPerKey = 32;
// A byte with more second bytes than this is listed alone: each listed pair
// costs two compares at every position, and the byte alone lets through few
// more positions once most of its pairs are listed anyway.
constexpr int kPairsPerByte = 4;
// One bit a bucket in the bytes that the shuffles look up.
constexpr int kBuckets = 8;
// Each bucket holds an eighth of the keys: beyond a few thousand keys every
// bucket takes nearly every byte, the masks let most positions through, and
// the listed starts or the two-byte table scan as fast for less.
constexpr int kNibbleMaxKeys = 4096;

// The hash of a key's first bytes (at most eight), the four after the first
// four in `high`.
uint32_t prefix_hash(uint32_t low, uint32_t high) { return low * kSecondMultiplier ^ high * kGoldenMultiplier; }

uint32_t first_bytes(const char* text, int count) {
  uint32_t bytes = 0;
  std::memcpy(&bytes, text, static_cast<std::size_t>(count));
  return bytes;
}

uint32_t low_bytes_mask(int count) { return count >= 4 ? ~0U : (1U << (8 * count)) - 1; }

bool bit_is_set(const uint32_t* bits, uint32_t index) { return (bits[index >> 5] >> (index & 31) & 1) != 0; }
void set_bit(uint32_t* bits, uint32_t index) { bits[index >> 5] |= 1U << (index & 31); }

uint32_t pair_index(const char* text) {
  return static_cast<uint32_t>(static_cast<unsigned char>(text[0])) << 8 | static_cast<unsigned char>(text[1]);
}

// A hash's two bits in a block: nine bits of it each.
uint32_t first_bit(uint32_t hash) { return hash >> 23; }
uint32_t second_bit(uint32_t hash) { return hash >> 14 & (kBlockBits - 1); }

bool block_has(const uint32_t* block, uint32_t hash) {
  uint32_t first = first_bit(hash);
  uint32_t second = second_bit(hash);
  return (block[first >> 5] >> (first & 31) & block[second >> 5] >> (second & 31) & 1) != 0;
}

// The block of a five-byte start, and the hash of the start's own bits in
// it, mixed again so that it owes nothing to the choice of the block nor to
// the hash of a five-byte key.
struct StartBlock {
  uint32_t* block;
  uint32_t start_hash;
};

StartBlock block_of(const StartFilter& filter, uint32_t low, uint32_t fifth) {
  uint32_t hash = low * kGoldenMultiplier ^ fifth * kSecondMultiplier;
  return StartBlock{filter.blocks + static_cast<std::size_t>(hash >> filter.block_shift) * kBlockWords,
                    hash * kSecondMultiplier};
}

// Whether a key can start at `text`, which holds kPrefixBytes readable bytes;
// bytes after a NUL only change the answer for keys that could not match.
bool may_start(const StartFilter& filter, const char* text) {
  uint32_t low = first_bytes(text, 4);
  uint32_t high = first_bytes(text + 4, 4);
  bool found = bit_is_set(filter.short_bits, pair_index(text));
  for (int i = 0; i < filter.key_mask_count; ++i) {
    found |= bit_is_set(filter.key_bits, prefix_hash(low & filter.key_masks[i], 0) >> filter.key_shift);
  }
  // A longer key sets the bits of its five-byte start as well as those of its
  // first eight bytes (all of a shorter key): a position needs both. Most
  // fail on the start, and then skip the prefix lengths.
  StartBlock start = block_of(filter, low, high & 0xFF);
  if (!block_has(start.block, start.start_hash)) return found;
  bool prefix = false;
  for (int i = 0; i < filter.prefix_mask_count; ++i) {
    prefix |= block_has(start.block, prefix_hash(low, high & filter.prefix_masks[i]));
  }
  return found || prefix;
}

// Keeps the positions of `mask` at which may_start holds.
StartMask confirm(const StartFilter& filter, const char* text, StartMask mask) {
  StartMask kept = 0;
  while (mask != 0) {
    int i = lowest_bit(mask);
    mask &= mask - 1;
    kept |= StartMask{may_start(filter, text + i)} << i;
  }
  return kept;
}

StartMask below(int32_t count) { return count < kStartMaskBits ? (StartMask{1} << count) - 1 : ~StartMask{0}; }

// The one scan, for every vector width: `block` gives the positions of a block
// where a key may start, which the scan then confirms if the filter does. Inlined into each width's
// entry, so that the functor's vectors stay in registers across blocks.
template <typename Block>
__attribute__((always_inline)) inline StartMask scan_blocks(const StartFilter& filter, const Block& block,
                                                            const char* text, int32_t* position, int32_t end) {
  for (int32_t at = *position; at < end; at += kStartMaskBits) {
    StartMask mask = block(text + at) & below(end - at);
    if (filter.confirms) mask = confirm(filter, text + at, mask);
    if (mask != 0) {
      *position = at;
      return mask;
    }
  }
  *position = end;
  return 0;
}

// The two-byte starts one position at a time, without a branch, so that the
// scan skips through text without mispredicting at every byte.
struct PairBlock {
  const uint32_t* pair_bits;
  StartMask operator()(const char* text) const {
    StartMask mask = 0;
    for (int i = 0; i < kStartMaskBits; ++i) mask |= StartMask{bit_is_set(pair_bits, pair_index(text + i))} << i;
    return mask;
  }
};

#if defined(__SSE2__)
// A few listed starts compared at sixteen positions at once.
struct ListedBlock {
  const StartFilter& filter;
  StartMask operator()(const char* text) const {
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
    for (int i = 0; i < filter.single_count; ++i) {
      __m128i wanted = _mm_set1_epi8(static_cast<char>(filter.single_starts[i]));
      for (int k = 0; k < kBlocks; ++k) found[k] = _mm_or_si128(found[k], _mm_cmpeq_epi8(first[k], wanted));
    }
    for (int i = 0; i < filter.pair_count; ++i) {
      __m128i wanted0 = _mm_set1_epi8(static_cast<char>(filter.pair_starts[i][0]));
      __m128i wanted1 = _mm_set1_epi8(static_cast<char>(filter.pair_starts[i][1]));
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
};
#endif

#if defined(__x86_64__) || defined(__i386__)
// The nibble masks over 32 positions at once: a bit where every one of the
// first kNibbleBytes bytes finds a bucket in common in its masks.
struct NibbleBlockAvx2 {
  __m256i masks[kNibbleBytes][2];

  __attribute__((target("avx2"))) explicit NibbleBlockAvx2(const StartFilter& filter) {
    for (int j = 0; j < kNibbleBytes; ++j) {
      for (int half = 0; half < 2; ++half) {
        masks[j][half] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(filter.nibble_masks[j][half])));
      }
    }
  }

  __attribute__((target("avx2"))) StartMask operator()(const char* text) const {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    StartMask mask = 0;
    for (int k = 0; k < kStartMaskBits; k += 32) {
      __m256i found = _mm256_set1_epi8(-1);
      for (int j = 0; j < kNibbleBytes; ++j) {
        __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + k + j));
        __m256i low = _mm256_shuffle_epi8(masks[j][0], _mm256_and_si256(bytes, nibble));
        __m256i high = _mm256_shuffle_epi8(masks[j][1], _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
        found = _mm256_and_si256(found, _mm256_and_si256(low, high));
      }
      auto zero = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(found, _mm256_setzero_si256())));
      mask |= StartMask{~zero} << k;
    }
    return mask;
  }
};

__attribute__((target("avx2"))) StartMask next_nibble_starts_avx2(const StartFilter& filter, const char* text,
                                                                  int32_t* position, int32_t end) {
  return scan_blocks(filter, NibbleBlockAvx2(filter), text, position, end);
}
#endif

#if defined(__x86_64__)
// The same at 64 positions at once.
struct NibbleBlockAvx512 {
  __m512i masks[kNibbleBytes][2];

  __attribute__((target("avx512f,avx512bw"))) explicit NibbleBlockAvx512(const StartFilter& filter) {
    for (int j = 0; j < kNibbleBytes; ++j) {
      for (int half = 0; half < 2; ++half) {
        // The masked form: the plain one trips gcc 12's uninitialized warning.
        masks[j][half] = _mm512_maskz_broadcast_i32x4(
            0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(filter.nibble_masks[j][half])));
      }
    }
  }

  __attribute__((target("avx512f,avx512bw"))) StartMask operator()(const char* text) const {
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    __m512i found = _mm512_set1_epi8(-1);
    for (int j = 0; j < kNibbleBytes; ++j) {
      __m512i bytes = _mm512_loadu_si512(text + j);
      __m512i low = _mm512_shuffle_epi8(masks[j][0], _mm512_and_si512(bytes, nibble));
      __m512i high = _mm512_shuffle_epi8(masks[j][1], _mm512_and_si512(_mm512_srli_epi16(bytes, 4), nibble));
      found = _mm512_and_si512(found, _mm512_and_si512(low, high));
    }
    return _mm512_test_epi8_mask(found, found);
  }
};

__attribute__((target("avx512f,avx512bw"))) StartMask next_nibble_starts_avx512(const StartFilter& filter,
                                                                                const char* text, int32_t* position,
                                                                                int32_t end) {
  return scan_blocks(filter, NibbleBlockAvx512(filter), text, position, end);
}
#endif

bool processor_has(ScanPath path) {
#if defined(__x86_64__)
  if (path == ScanPath::NibblesAvx512) return __builtin_cpu_supports("avx512bw") != 0;
#endif
#if defined(__x86_64__) || defined(__i386__)
  if (path == ScanPath::NibblesAvx2) return __builtin_cpu_supports("avx2") != 0;
#endif
#if defined(__SSE2__)
  if (path == ScanPath::Listed) return true;
#endif
  return path == ScanPath::Pairs;
}

// Lists the starts when there are few.
void list_few_starts(StartFilter* filter) {
  int listed = 0;
  filter->single_count = 0;
  filter->pair_count = 0;
  for (unsigned byte0 = 0; byte0 < 256 && listed <= kFewStarts; ++byte0) {
    unsigned seconds = 0;
    for (unsigned byte1 = 0; byte1 < 256; ++byte1) seconds += bit_is_set(filter->pair_bits, byte0 << 8 | byte1);
    if (seconds > kPairsPerByte) {
      if (listed < kFewStarts) filter->single_starts[filter->single_count++] = static_cast<uint8_t>(byte0);
      ++listed;
      continue;
    }
    for (unsigned byte1 = 0; byte1 < 256 && seconds > 0; ++byte1) {
      if (!bit_is_set(filter->pair_bits, byte0 << 8 | byte1)) continue;
      if (listed < kFewStarts) {
        filter->pair_starts[filter->pair_count][0] = static_cast<uint8_t>(byte0);
        filter->pair_starts[filter->pair_count][1] = static_cast<uint8_t>(byte1);
        ++filter->pair_count;
      }
      ++listed;
    }
  }
  filter->few_starts = listed <= kFewStarts;
}

// Keys in key order share their first bytes with their neighbours, so eight
// runs of them make buckets whose nibble masks stay narrow.
void set_nibble_masks(const SortedKeys& keys, StartFilter* filter) {
  std::memset(filter->nibble_masks, 0, sizeof filter->nibble_masks);
  for (int32_t i = 0; i < keys.count; ++i) {
    auto bucket = static_cast<uint8_t>(1U << (static_cast<int64_t>(i) * kBuckets / keys.count));
    for (int j = 0; j < kNibbleBytes; ++j) {
      uint8_t(&masks)[2][16] = filter->nibble_masks[j];
      if (j >= keys.keys[i].length) {  // past the key's end any byte goes
        for (int nibble = 0; nibble < 16; ++nibble) {
          masks[0][nibble] |= bucket;
          masks[1][nibble] |= bucket;
        }
        continue;
      }
      uint8_t byte = key_byte(keys, i, j);
      masks[0][byte & 15] |= bucket;
      masks[1][byte >> 4] |= bucket;
    }
  }
}

int log2_at_least(std::size_t count) {
  int log = 0;
  while ((std::size_t{1} << log) < count) ++log;
  return log;
}

}  // namespace

bool build_start_filter(const SortedKeys& keys, StartFilter* filter) {
  std::size_t middle = 0;
  std::size_t longer = 0;
  for (int32_t i = 0; i < keys.count; ++i) {
    middle += keys.keys[i].length == 3 || keys.keys[i].length == 4 ? 1 : 0;
    longer += keys.keys[i].length >= kBlockStartBytes ? 1 : 0;
  }
  // At least a block's worth of key bits and two blocks, so that the shifts
  // that index them stay below 32.
  int key_log = log2_at_least(middle * kKeyBitsPerKey > kBlockBits ? middle * kKeyBitsPerKey : kBlockBits);
  int block_log = log2_at_least(
      longer * kBlockBitsPerKey > std::size_t{2} * kBlockBits ? longer * kBlockBitsPerKey / kBlockBits : 2);
  std::size_t pair_words = kPairCount / 32;
  std::size_t key_words = (std::size_t{1} << key_log) / 32;
  std::size_t block_words = (std::size_t{1} << block_log) * kBlockWords;
  // Room to start the blocks at a cache line.
  std::size_t words = 2 * pair_words + key_words + block_words + kBlockWords;
  auto* memory = static_cast<uint32_t*>(allocate(words * sizeof(uint32_t)));
  if (memory == nullptr) return false;
  std::memset(memory, 0, words * sizeof(uint32_t));
  filter->pair_bits = memory;
  filter->short_bits = filter->pair_bits + pair_words;
  filter->key_bits = filter->short_bits + pair_words;
  filter->blocks = filter->key_bits + key_words;
  filter->blocks += (kBlockWords - reinterpret_cast<std::uintptr_t>(filter->blocks) / 4 % kBlockWords) % kBlockWords;
  filter->key_shift = 32 - key_log;
  filter->block_shift = 32 - block_log;

  bool length_occurs[kPrefixBytes + 1] = {};
  for (int32_t i = 0; i < keys.count; ++i) {
    char key[kPrefixBytes];  // the first bytes, as the text holds them, zero past the end
    for (int j = 0; j < kPrefixBytes; ++j) key[j] = static_cast<char>(key_byte(keys, i, j));
    int length = keys.keys[i].length;
    uint32_t pair = pair_index(key);
    uint32_t seconds = length == 1 ? 256 : 1;
    for (uint32_t second = 0; second < seconds; ++second) {
      uint32_t index = length == 1 ? pair >> 8 << 8 | second : pair;
      set_bit(filter->pair_bits, index);
      if (length <= 2) set_bit(filter->short_bits, index);
    }
    if (length <= 2) continue;
    int prefix = length < kPrefixBytes ? length : kPrefixBytes;
    length_occurs[prefix] = true;
    uint32_t low = first_bytes(key, 4);
    if (length < kBlockStartBytes) {
      set_bit(filter->key_bits, prefix_hash(low, 0) >> filter->key_shift);
      continue;
    }
    uint32_t high = first_bytes(key + 4, 4);
    StartBlock start = block_of(*filter, low, high & 0xFF);
    for (uint32_t hash : {start.start_hash, prefix_hash(low, high)}) {
      set_bit(start.block, first_bit(hash));
      set_bit(start.block, second_bit(hash));
    }
  }
  filter->key_mask_count = 0;
  filter->prefix_mask_count = 0;
  for (int length = 3; length <= kPrefixBytes; ++length) {
    if (!length_occurs[length]) continue;
    if (length < kBlockStartBytes) {
      filter->key_masks[filter->key_mask_count++] = low_bytes_mask(length);
    } else {
      filter->prefix_masks[filter->prefix_mask_count++] = low_bytes_mask(length - 4);
    }
  }
  filter->confirms = true;
  list_few_starts(filter);
  filter->has_nibble_masks = keys.count <= kNibbleMaxKeys;
  if (filter->has_nibble_masks) set_nibble_masks(keys, filter);
  // The widest vectors where the processor has them: 64 positions a step
  // scan a third faster than 32 where few positions pass (few keys).
  filter->path = ScanPath::Pairs;
  for (ScanPath path : {ScanPath::NibblesAvx512, ScanPath::NibblesAvx2, ScanPath::Listed}) {
    if (filter->path == ScanPath::Pairs && scan_path_serves(*filter, path)) filter->path = path;
  }
  return true;
}

bool scan_path_serves(const StartFilter& filter, ScanPath path) {
  bool nibbles = path == ScanPath::NibblesAvx2 || path == ScanPath::NibblesAvx512;
  return processor_has(path) && (path != ScanPath::Listed || filter.few_starts) &&
         (!nibbles || filter.has_nibble_masks);
}

StartMask next_starts(const StartFilter& filter, const char* text, int32_t* position, int32_t end) {
  switch (filter.path) {
#if defined(__SSE2__)
    case ScanPath::Listed:
      return scan_blocks(filter, ListedBlock{filter}, text, position, end);
#endif
#if defined(__x86_64__) || defined(__i386__)
    case ScanPath::NibblesAvx2:
      return next_nibble_starts_avx2(filter, text, position, end);
#endif
#if defined(__x86_64__)
    case ScanPath::NibblesAvx512:
      return next_nibble_starts_avx512(filter, text, position, end);
#endif
    default:
      return scan_blocks(filter, PairBlock{filter.pair_bits}, text, position, end);
  }
}

void release_start_filter(StartFilter* filter) {
  std::free(filter->pair_bits);
  filter->pair_bits = nullptr;
}
