#include "rules/short_keys.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "rules/allocation.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A key as the table holds it, compared without reading the rule text up to
// sixteen bytes long: its first and last eight bytes cover all of it.
struct ShortKey {
  uint64_t head;    // the first eight bytes, zero past the key's end
  uint64_t tail;    // the last eight, for a key longer than eight; else 0
  uint32_t offset;  // of the rule entry in the rule text
  uint8_t length;
  // The key, or a shorter one that begins it, occurs more than once: the
  // search order may pick that one.
  bool repeated;
  // Of the replacement, or kLongReplacement: the output takes a replacement
  // without reading the rule text first, where a large set misses the cache.
  uint16_t replacement_length;
};

namespace {

constexpr uint64_t kSlotMultiplier = 0x9E3779B97F4A7C15ULL;  // 2^64 over the golden ratio
constexpr uint64_t kTailMultiplier = 0xC2B2AE3D27D4EB4FULL;  // any other large odd number
// Slots go in groups of eight, each group with a word of eight tags, a byte
// of each key's hash: most misses end at one group whose tags all differ,
// without the branch on a slot's occupant that mispredicts when the text is
// dense with candidates. At most half the slots are taken, so a group is
// rarely full and a probe rarely goes on to the next.
constexpr int kGroupSlots = 8;
constexpr int kSlotsPerKey = 2;
constexpr uint64_t kEveryByte = 0x0101010101010101ULL;
constexpr uint64_t kTagBit = 0x80;  // set in every tag, so that a zero byte is a free slot
// Bits a longer key sets one of in long_heads: a position passes by chance
// about once in sixteen.
constexpr int kLongHeadBitsPerKey = 16;
constexpr int kHeadBytes = 8;
constexpr uint16_t kLongReplacement = 0xFFFF;  // measured where it is used

uint64_t load_word(const char* bytes) {
  uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

uint64_t key_hash(uint64_t head, uint64_t tail, int length) {
  return (head ^ tail * kTailMultiplier ^ static_cast<uint64_t>(length)) * kSlotMultiplier;
}

// The group from the hash's top bits, the tag from bits below them.
std::size_t group_of(const ShortKeyTable& table, uint64_t hash) {
  return static_cast<std::size_t>(hash >> table.group_shift);
}
uint64_t tag_of(uint64_t hash) { return (hash >> 32 & 0x7F) | kTagBit; }

// A high bit in each byte of `tags` that may equal `tag`: every equal one,
// and now and then one above an equal one, which the full compare rejects.
uint64_t tags_like(uint64_t tags, uint64_t tag) {
  uint64_t difference = tags ^ (tag * kEveryByte);
  return (difference - kEveryByte) & ~difference & (kEveryByte << 7);
}

bool has_free_slot(uint64_t tags) { return ((tags & (kEveryByte << 7)) ^ (kEveryByte << 7)) != 0; }

std::size_t long_head_bit(const ShortKeyTable& table, uint64_t head) {
  return static_cast<std::size_t>((head * kTailMultiplier) >> table.long_head_shift);
}

// A bit for each of the 32 bytes at `text` that some key ends in.
uint32_t end_positions(const ShortKeyTable& table, const char* text) {
#if defined(__SSE2__)
  __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16));
  __m128i low_ends = _mm_setzero_si128();
  __m128i high_ends = _mm_setzero_si128();
  for (int i = 0; i < table.end_count; ++i) {
    __m128i end = _mm_set1_epi8(static_cast<char>(table.end_bytes[i]));
    low_ends = _mm_or_si128(low_ends, _mm_cmpeq_epi8(low, end));
    high_ends = _mm_or_si128(high_ends, _mm_cmpeq_epi8(high, end));
  }
  return static_cast<uint32_t>(_mm_movemask_epi8(low_ends)) | static_cast<uint32_t>(_mm_movemask_epi8(high_ends)) << 16;
#else
  uint32_t ends = 0;
  for (int j = 0; j < kShortKeyMaxLength; ++j) {
    bool end = false;
    for (int i = 0; i < table.end_count; ++i) end = end || static_cast<uint8_t>(text[j]) == table.end_bytes[i];
    ends |= uint32_t{end} << j;
  }
  return ends;
#endif
}

// The slot that holds the key of `length` bytes at `key`, whose first and
// last eight bytes are `head` and `tail`, or null. Reads the bytes between
// those only for a key longer than sixteen.
ShortKey* find_slot(const ShortKeyTable& table, uint64_t head, uint64_t tail, int length, const char* key) {
  uint64_t hash = key_hash(head, tail, length);
  uint64_t tag = tag_of(hash);
  std::size_t mask = (std::size_t{1} << (64 - table.group_shift)) - 1;
  for (std::size_t group = group_of(table, hash);; group = (group + 1) & mask) {
    uint64_t tags = table.tags[group];
    for (uint64_t like = tags_like(tags, tag); like != 0; like &= like - 1) {
      ShortKey& held = table.slots[group * kGroupSlots + static_cast<std::size_t>(__builtin_ctzll(like) / 8)];
      if (held.head != head || held.tail != tail || held.length != length) continue;
      if (length > 2 * kHeadBytes && std::memcmp(table.text + held.offset + kHeadBytes, key + kHeadBytes,
                                                 static_cast<std::size_t>(length - 2 * kHeadBytes)) != 0) {
        continue;
      }
      return &held;
    }
    if (has_free_slot(tags)) return nullptr;
  }
}

// A key's first and last eight bytes, read within the key.
uint64_t head_of(const char* key, int length) {
  uint64_t head = 0;
  std::memcpy(&head, key, static_cast<std::size_t>(length < kHeadBytes ? length : kHeadBytes));
  return head;
}
uint64_t tail_of(const char* key, int length) { return length > kHeadBytes ? load_word(key + length - kHeadBytes) : 0; }

// Puts a key into a free slot.
void insert(ShortKeyTable* table, const ShortKey& key) {
  uint64_t hash = key_hash(key.head, key.tail, key.length);
  std::size_t mask = (std::size_t{1} << (64 - table->group_shift)) - 1;
  std::size_t group = group_of(*table, hash);
  while (!has_free_slot(table->tags[group])) group = (group + 1) & mask;
  uint64_t& tags = table->tags[group];
  int free = 0;
  while ((tags >> (8 * free) & kTagBit) != 0) ++free;
  tags |= tag_of(hash) << (8 * free);
  table->slots[group * kGroupSlots + static_cast<std::size_t>(free)] = key;
}

// Marks each key that a repeated key begins.
void mark_repeated_prefixes(const SortedKeys& keys, const ShortKeyTable& table) {
  for (int32_t i = 0; i < keys.count; ++i) {
    const char* key = keys.text + keys.keys[i].offset;
    int length = keys.keys[i].length;
    ShortKey* own = find_slot(table, head_of(key, length), tail_of(key, length), length, key);
    for (int shorter = 1; shorter < length && !own->repeated; ++shorter) {
      const ShortKey* prefix = find_slot(table, head_of(key, shorter), tail_of(key, shorter), shorter, key);
      own->repeated = prefix != nullptr && prefix->repeated;
    }
  }
}

int log2_at_least(std::size_t count) {
  int log = 0;
  while ((std::size_t{1} << log) < count) ++log;
  return log;
}

// The keys' distinct last bytes into the table, or false when there are too
// many or a key is too long.
bool gather_end_bytes(const SortedKeys& keys, ShortKeyTable* table) {
  int count = 0;
  for (int32_t i = 0; i < keys.count; ++i) {
    int length = keys.keys[i].length;
    if (length > kShortKeyMaxLength) return false;
    auto last = static_cast<uint8_t>(keys.text[keys.keys[i].offset + static_cast<uint32_t>(length) - 1]);
    bool known = false;
    for (int e = 0; e < count; ++e) known = known || table->end_bytes[e] == last;
    if (known) continue;
    if (count == kShortKeyEndBytes) return false;
    table->end_bytes[count++] = last;
  }
  table->end_count = count;
  return true;
}

}  // namespace

bool build_short_keys(const SortedKeys& keys, ShortKeyTable* table) {
  *table = ShortKeyTable{};
  table->text = keys.text;
  if (!gather_end_bytes(keys, table)) return true;
  std::size_t longer = 0;
  for (int32_t i = 0; i < keys.count; ++i) longer += keys.keys[i].length > kHeadBytes ? 1 : 0;
  // Two groups at least, so that the shift that picks one stays below 64.
  int group_log = log2_at_least(static_cast<std::size_t>(keys.count) * kSlotsPerKey / kGroupSlots + 2);
  int head_log = log2_at_least(longer * kLongHeadBitsPerKey > 64 ? longer * kLongHeadBitsPerKey : 64);
  std::size_t slot_bytes = sizeof(ShortKey) * kGroupSlots << group_log;
  std::size_t tag_bytes = sizeof(uint64_t) << group_log;
  std::size_t head_bytes = (std::size_t{1} << head_log) / 8;
  auto* memory = static_cast<char*>(allocate(slot_bytes + tag_bytes + head_bytes));
  if (memory == nullptr) return false;
  std::memset(memory, 0, slot_bytes + tag_bytes + head_bytes);
  table->slots = reinterpret_cast<ShortKey*>(memory);
  table->tags = reinterpret_cast<uint64_t*>(memory + slot_bytes);
  table->long_heads = reinterpret_cast<uint64_t*>(memory + slot_bytes + tag_bytes);
  table->group_shift = 64 - group_log;
  table->long_head_shift = 64 - head_log;
  for (int n = 0; n <= kHeadBytes; ++n) {
    table->head_masks[n] = 0;
    std::memset(&table->head_masks[n], 0xFF, static_cast<std::size_t>(n));
  }
  bool repeats = false;
  for (int32_t i = 0; i < keys.count; ++i) {
    const SortedKey& sorted = keys.keys[i];
    int length = sorted.length;
    const char* key = keys.text + sorted.offset;
    table->lengths |= 1U << (length - 1);
    uint64_t head = head_of(key, length);
    uint64_t tail = tail_of(key, length);
    ShortKey* held = find_slot(*table, head, tail, length, key);
    if (held != nullptr) {  // the key again: only the search order can tell which rule applies
      held->repeated = true;
      repeats = true;
      continue;
    }
    if (length > kHeadBytes) {
      std::size_t bit = long_head_bit(*table, head);
      table->long_heads[bit / 64] |= uint64_t{1} << (bit % 64);
    }
    std::size_t replacement = std::strlen(key + length + 1);
    insert(table, ShortKey{head, tail, sorted.offset, static_cast<uint8_t>(length), false,
                           static_cast<uint16_t>(replacement < kLongReplacement ? replacement : kLongReplacement)});
  }
  if (repeats) mark_repeated_prefixes(keys, *table);
  return true;
}

TrieResult find_short_key(const ShortKeyTable& table, const char* text, int32_t readable, const char** entry,
                          int32_t* key_length, int32_t* replacement_length) {
  // Near a text's end the bytes go through a copy, whose zeros end no key.
  char copy[kShortKeyMaxLength];
  if (readable < kShortKeyMaxLength) {
    std::memset(copy, 0, sizeof copy);
    std::memcpy(copy, text, static_cast<std::size_t>(readable));
    text = copy;
  }
  uint32_t lengths = end_positions(table, text) & table.lengths;
  if (lengths == 0) return TrieResult::None;
  uint64_t first = load_word(text);
  if (lengths >> kHeadBytes != 0) {
    std::size_t bit = long_head_bit(table, first);
    if ((table.long_heads[bit / 64] >> (bit % 64) & 1) == 0) lengths &= (1U << kHeadBytes) - 1;
  }
  while (lengths != 0) {
    int length = 32 - __builtin_clz(lengths);
    lengths &= ~(1U << (length - 1));
    uint64_t head = first & table.head_masks[length < kHeadBytes ? length : kHeadBytes];
    uint64_t tail = length > kHeadBytes ? load_word(text + length - kHeadBytes) : 0;
    const ShortKey* key = find_slot(table, head, tail, length, text);
    if (key == nullptr) continue;
    if (key->repeated) return TrieResult::Repeated;
    *entry = table.text + key->offset;
    *key_length = length;
    *replacement_length = key->replacement_length != kLongReplacement
                              ? key->replacement_length
                              : static_cast<int32_t>(std::strlen(*entry + length + 1));
    return TrieResult::Found;
  }
  return TrieResult::None;
}

void release_short_keys(ShortKeyTable* table) {
  std::free(table->slots);
  *table = ShortKeyTable{};
}
