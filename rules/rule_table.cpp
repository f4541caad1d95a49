#include "rules/rule_table.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "rules/allocation.h"

namespace {

int key_byte(const char* entry, int32_t j, char separator) {
  char byte = entry[j];
  return byte == separator || byte == '\0' ? 0 : static_cast<unsigned char>(byte);
}

// Orders keys as unsigned bytes; the end of a key counts as 0, so a key sorts
// before the keys it is a proper prefix of.
int compare_keys(const char* a, const char* b, char separator) {
  for (int32_t j = 0;; ++j) {
    int byte_a = key_byte(a, j, separator);
    int byte_b = key_byte(b, j, separator);
    if (byte_a != byte_b) return byte_a < byte_b ? -1 : 1;
    if (byte_a == 0) return 0;
  }
}

int32_t probe_start_for(int32_t count) {
  int32_t power = 2;
  while (power < count) power *= 2;
  return power / 2;
}

// An entry with the first eight bytes of its key, big-endian and zero after
// the key's end: sorting these orders most keys without touching the rule
// text.
struct SortRecord {
  uint64_t prefix;
  const char* entry;
};

constexpr int kSortPrefixBytes = 8;

uint64_t key_prefix(const char* entry, char separator) {
  uint64_t prefix = 0;
  for (int j = 0; j < kSortPrefixBytes; ++j) {
    int byte = key_byte(entry, j, separator);
    if (byte == 0) break;
    prefix |= static_cast<uint64_t>(byte) << (8 * (kSortPrefixBytes - 1 - j));
  }
  return prefix;
}

// Whether the key goes on past its sort prefix.
bool longer_than_prefix(uint64_t prefix) { return (prefix & 0xFF) != 0; }

// The key order of compare_keys.
int compare_records(const SortRecord& a, const SortRecord& b, char separator) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
  if (!longer_than_prefix(a.prefix)) return 0;  // equal keys
  return compare_keys(a.entry + kSortPrefixBytes, b.entry + kSortPrefixBytes, separator);
}

void merge_runs(const SortRecord* source, SortRecord* destination, int32_t begin, int32_t middle, int32_t end,
                char separator) {
  int32_t left = begin;
  int32_t right = middle;
  int32_t out = begin;
  while (left < middle && right < end) {
    // Ties take the left run, so equal keys keep their order.
    if (compare_records(source[left], source[right], separator) <= 0) {
      destination[out++] = source[left++];
    } else {
      destination[out++] = source[right++];
    }
  }
  while (left < middle) destination[out++] = source[left++];
  while (right < end) destination[out++] = source[right++];
}

// Bottom-up merge sort of records[0..count) using spare[0..count); leaves
// them sorted in `records`.
void merge_sort(SortRecord* records, SortRecord* spare, int32_t count, char separator) {
  SortRecord* source = records;
  SortRecord* destination = spare;
  for (int32_t width = 1; width < count; width *= 2) {
    for (int32_t begin = 0; begin < count; begin += 2 * width) {
      int32_t middle = count - begin > width ? begin + width : count;
      int32_t end = count - middle > width ? middle + width : count;
      merge_runs(source, destination, begin, middle, end, separator);
    }
    SortRecord* swap = source;
    source = destination;
    destination = swap;
  }
  if (source != records) std::memcpy(records, source, sizeof(SortRecord) * static_cast<std::size_t>(count));
}

// Sorts the records by key, stably, so that equal keys keep their file order:
// a radix sort of the prefixes, a byte a pass from the last, then a merge
// sort of each run of keys that share their whole prefix and go on.
void sort_records(SortRecord* records, SortRecord* spare, int32_t count, char separator) {
  uint32_t counts[kSortPrefixBytes][256] = {};
  for (int32_t i = 0; i < count; ++i) {
    for (int b = 0; b < kSortPrefixBytes; ++b) ++counts[b][records[i].prefix >> (8 * b) & 0xFF];
  }
  SortRecord* source = records;
  SortRecord* destination = spare;
  for (int b = 0; b < kSortPrefixBytes; ++b) {
    uint32_t(&slots)[256] = counts[b];
    if (slots[source[0].prefix >> (8 * b) & 0xFF] == static_cast<uint32_t>(count)) continue;  // one value
    uint32_t total = 0;
    for (uint32_t& slot : slots) {
      uint32_t here = slot;
      slot = total;
      total += here;
    }
    for (int32_t i = 0; i < count; ++i) destination[slots[source[i].prefix >> (8 * b) & 0xFF]++] = source[i];
    SortRecord* swap = source;
    source = destination;
    destination = swap;
  }
  if (source != records) std::memcpy(records, source, sizeof(SortRecord) * static_cast<std::size_t>(count));
  for (int32_t begin = 0; begin < count;) {
    int32_t end = begin + 1;
    while (end < count && records[end].prefix == records[begin].prefix) ++end;
    if (end - begin > 1 && longer_than_prefix(records[begin].prefix)) {
      merge_sort(records + begin, spare + begin, end - begin, separator);
    }
    begin = end;
  }
}

// The lengths of the sorted keys and the bytes each shares with the one
// before, from the records' prefixes where they differ.
void measure_keys(const SortRecord* records, int32_t count, char separator, uint8_t* lengths, uint8_t* shared) {
  for (int32_t i = 0; i < count; ++i) {
    lengths[i] = static_cast<uint8_t>(key_length(records[i].entry, separator));
    if (i == 0) {
      shared[i] = 0;
      continue;
    }
    uint64_t differ = records[i - 1].prefix ^ records[i].prefix;
    int shorter = lengths[i - 1] < lengths[i] ? lengths[i - 1] : lengths[i];
    if (differ != 0) {
      shared[i] = static_cast<uint8_t>(__builtin_clzll(differ) / 8);
    } else if (shorter <= kSortPrefixBytes) {
      shared[i] = static_cast<uint8_t>(shorter);
    } else {
      shared[i] = static_cast<uint8_t>(kSortPrefixBytes + common_length(records[i - 1].entry + kSortPrefixBytes,
                                                                        records[i].entry + kSortPrefixBytes,
                                                                        shorter - kSortPrefixBytes));
    }
  }
}

template <typename T>
T* allocate_array(int32_t count) {
  return static_cast<T*>(allocate(sizeof(T) * static_cast<std::size_t>(count)));
}

// Sorts the entries in place and builds the lookup structures over them.
// False when memory is exhausted; `lengths` and `shared` then describe the
// sorted keys.
bool sort_and_index(const RuleSet& rules, char separator, RuleTable* table, uint8_t* lengths, uint8_t* shared) {
  int32_t count = rules.count;
  auto* records = allocate_array<SortRecord>(count);
  auto* spare = records == nullptr ? nullptr : allocate_array<SortRecord>(count);
  if (spare != nullptr) {
    for (int32_t i = 0; i < count; ++i)
      records[i] = SortRecord{key_prefix(rules.entries[i], separator), rules.entries[i]};
    sort_records(records, spare, count, separator);
    measure_keys(records, count, separator, lengths, shared);
    for (int32_t i = 0; i < count; ++i) rules.entries[i] = records[i].entry;
  }
  std::free(records);
  std::free(spare);
  if (spare == nullptr) return false;
  SortedKeys keys{rules.entries, lengths, shared, count};
  return build_key_trie(keys, &table->trie) && build_start_filter(keys, &table->filter);
}

}  // namespace

BuildStatus build_rule_table(const RuleSet& rules, char separator, RuleTable* table) {
  int32_t count = rules.count;
  const char** entries = rules.entries;
  table->separator = separator;
  table->probe_start = probe_start_for(count);

  auto* lengths = allocate_array<uint8_t>(count);
  auto* shared = lengths == nullptr ? nullptr : allocate_array<uint8_t>(count);
  bool indexed = shared != nullptr && sort_and_index(rules, separator, table, lengths, shared);
  // A key is a proper prefix of the next when the next shares all of it and
  // goes on.
  auto is_proper_prefix = [lengths, shared](int32_t i) {
    return shared[i + 1] == lengths[i] && lengths[i + 1] > lengths[i];
  };
  int32_t prefix_count = 0;
  for (int32_t i = 0; indexed && i + 1 < count; ++i) prefix_count += is_proper_prefix(i) ? 1 : 0;
  const char** prefixes = indexed ? allocate_array<const char*>(prefix_count) : nullptr;
  if (prefixes != nullptr) {
    // In place: each entry moves down by the number moved out before it.
    int32_t moved = 0;
    for (int32_t i = 0; i + 1 < count; ++i) {
      if (is_proper_prefix(i)) prefixes[moved++] = entries[i];
      entries[i + 1 - moved] = entries[i + 1];
    }
  }
  std::free(lengths);
  std::free(shared);
  if (prefixes == nullptr) return BuildStatus::NoMemory;
  table->main = entries;
  table->main_count = count - prefix_count;
  table->prefixes = prefixes;
  table->prefix_count = prefix_count;
  return BuildStatus::Built;
}

Match lookup_reference(const RuleTable& table, const char* text, int32_t readable) {
  // The bytes of a key that match the text; a NUL among the readable bytes
  // stops the comparison before them.
  auto matching = [&table, text, readable](const char* key, int32_t* length) {
    *length = key_length(key, table.separator);
    return common_length(key, text, *length < readable ? *length : readable);
  };
  int32_t probe = table.probe_start;
  int32_t step = table.probe_start;
  for (;;) {
    if (probe >= table.main_count) {
      probe -= step;
    } else if (probe < 0) {
      probe += step;
    } else {
      const char* key = table.main[probe];
      int32_t length = 0;
      int32_t j = matching(key, &length);
      if (j == length) return {key, j};
      if (static_cast<unsigned char>(text[j]) > static_cast<unsigned char>(key[j])) {
        probe += step;
      } else {
        probe -= step;
      }
    }
    if (step == 0) break;
    step /= 2;
  }
  for (int32_t i = table.prefix_count - 1; i >= 0; --i) {
    int32_t length = 0;
    if (matching(table.prefixes[i], &length) == length) return {table.prefixes[i], length};
  }
  return {nullptr, 0};
}

Match lookup(const RuleTable& table, const char* text, int32_t readable) {
  Match match{nullptr, 0};
  switch (find_longest(table.trie, text, readable, &match.entry, &match.key_length)) {
    case TrieResult::Found:
      return match;
    case TrieResult::Repeated:
      return lookup_reference(table, text, readable);
    case TrieResult::None:
      break;
  }
  return {nullptr, 0};
}

void release_rule_table(RuleTable* table) {
  std::free(table->main);
  std::free(table->prefixes);
  release_key_trie(&table->trie);
  release_start_filter(&table->filter);
}
