#pragma once
// Keys as the lookup structures see them: the one comparison of key bytes
// with text or with another key, and the sorted keys they are built from.

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Multiplicative hashing, for the tables indexed by a key's first bytes: a
// multiply by an odd constant carries every input bit into the product's top
// bits, which pick the slot. 2^32 divided by the golden ratio spreads inputs
// that differ in one byte (neighbouring keys) evenly over the table.
constexpr uint32_t kGoldenMultiplier = 0x9E3779B1U;

// How many leading bytes a[0..count) and b[0..count) share, reading no byte
// at or past count on either side. A lookup may compare a whole key of
// kMaxKeyLength bytes at every text position, so the bytes go sixteen at a
// time where the processor has the vectors, else a machine word at a time.
inline int common_length(const char* a, const char* b, int count) {
  int i = 0;
#if defined(__SSE2__)
  auto differing = [a, b](int at) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at));
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) & 0xFFFFU;
  };
  for (; i + 16 <= count; i += 16) {
    unsigned differ = differing(i);
    if (differ != 0) return i + __builtin_ctz(differ);
  }
  if (i < count && count >= 16) {  // the last sixteen, overlapping bytes known to be equal
    unsigned differ = differing(count - 16);
    return differ == 0 ? count : count - 16 + __builtin_ctz(differ);
  }
#elif __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (; i + 8 <= count; i += 8) {
    uint64_t x = 0;
    uint64_t y = 0;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    if (x != y) return i + __builtin_ctzll(x ^ y) / 8;
  }
#endif
  while (i < count && a[i] == b[i]) ++i;
  return i;
}

// The length of the key that begins `entry`: the bytes before the separator.
inline int key_length(const char* entry, char separator) {
  int length = 0;
  while (entry[length] != separator) ++length;
  return length;
}

// The bytes of a key that its sort prefix holds.
constexpr int kSortPrefixBytes = 8;

// A key in key order, as the sort leaves it and the lookup structures are
// built from it, without going back to the rule text for its first bytes.
struct SortedKey {
  uint64_t prefix;  // the first kSortPrefixBytes bytes, big-endian, zero past the key's end
  uint32_t offset;  // of the rule entry in the rule text
  uint8_t length;   // 1 to kMaxKeyLength
  uint8_t shared;   // leading bytes shared with the key before; 0 for the first
};

struct SortedKeys {
  const char* text;  // the rule text that the offsets count from
  const SortedKey* keys;
  int32_t count;
};

// Byte j of key i: below kSortPrefixBytes, 0 past the key's end; from there
// on, only within the key.
inline uint8_t key_byte(const SortedKeys& keys, int32_t i, int j) {
  const SortedKey& key = keys.keys[i];
  if (j < kSortPrefixBytes) return static_cast<uint8_t>(key.prefix >> (8 * (kSortPrefixBytes - 1 - j)));
  return static_cast<uint8_t>(keys.text[key.offset + static_cast<uint32_t>(j)]);
}
