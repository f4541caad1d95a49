#include "rules/rule_table.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "rules/allocation.h"

namespace {

// Above this many short keys the start filter no longer confirms candidates:
// a set of thousands of whole words matches many of a text's words, and at a
// candidate that matches, the confirmation only repeats the probe's work.
// Confirming takes a fifth off the time of 1,000 whole words over English and
// adds a tenth to that of 3,000 over Portuguese where they restore one word in
// seven.
constexpr int32_t kUnconfirmedShortKeys = 2048;

int32_t probe_start_for(int32_t count) {
  int32_t power = 2;
  while (power < count) power *= 2;
  return power / 2;
}

// A key as the sort first sees it, in file order.
SortedKey unsorted_key(const char* text, const char* entry, char separator) {
  uint64_t prefix = 0;
  int length = 0;
  for (; length < kSortPrefixBytes && entry[length] != separator; ++length) {
    prefix |= uint64_t{static_cast<unsigned char>(entry[length])} << (8 * (kSortPrefixBytes - 1 - length));
  }
  length += key_length(entry + length, separator);
  return SortedKey{prefix, static_cast<uint32_t>(entry - text), static_cast<uint8_t>(length), 0};
}

// Key order: bytes as unsigned values, a key before the keys it is a proper
// prefix of. Negative, zero or positive as `a` sorts before, with or after `b`.
int compare_keys(const char* text, const SortedKey& a, const SortedKey& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
  int shorter = a.length < b.length ? a.length : b.length;
  if (shorter > kSortPrefixBytes) {
    const char* key_a = text + a.offset;
    const char* key_b = text + b.offset;
    int j = common_length(key_a + kSortPrefixBytes, key_b + kSortPrefixBytes, shorter - kSortPrefixBytes) +
            kSortPrefixBytes;
    if (j < shorter) return static_cast<unsigned char>(key_a[j]) < static_cast<unsigned char>(key_b[j]) ? -1 : 1;
  }
  return a.length - b.length;
}

void merge_runs(const char* text, const SortedKey* source, SortedKey* destination, int32_t begin, int32_t middle,
                int32_t end) {
  int32_t left = begin;
  int32_t right = middle;
  int32_t out = begin;
  while (left < middle && right < end) {
    // Ties take the left run, so equal keys keep their order.
    if (compare_keys(text, source[left], source[right]) <= 0) {
      destination[out++] = source[left++];
    } else {
      destination[out++] = source[right++];
    }
  }
  while (left < middle) destination[out++] = source[left++];
  while (right < end) destination[out++] = source[right++];
}

// Bottom-up merge sort of keys[0..count) using spare[0..count); leaves them
// sorted in `keys`.
void merge_sort(const char* text, SortedKey* keys, SortedKey* spare, int32_t count) {
  SortedKey* source = keys;
  SortedKey* destination = spare;
  for (int32_t width = 1; width < count; width *= 2) {
    for (int32_t begin = 0; begin < count; begin += 2 * width) {
      int32_t middle = count - begin > width ? begin + width : count;
      int32_t end = count - middle > width ? middle + width : count;
      merge_runs(text, source, destination, begin, middle, end);
    }
    SortedKey* swap = source;
    source = destination;
    destination = swap;
  }
  if (source != keys) std::memcpy(keys, source, sizeof(SortedKey) * static_cast<std::size_t>(count));
}

// Sorts the keys stably, so that equal keys keep their file order: a radix
// sort of the prefixes, a byte a pass from the last, then a merge sort of
// each run of keys that share their whole prefix and go on.
void sort_keys(const char* text, SortedKey* keys, SortedKey* spare, int32_t count) {
  uint32_t counts[kSortPrefixBytes][256] = {};
  for (int32_t i = 0; i < count; ++i) {
    for (int b = 0; b < kSortPrefixBytes; ++b) ++counts[b][keys[i].prefix >> (8 * b) & 0xFF];
  }
  SortedKey* source = keys;
  SortedKey* destination = spare;
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
    SortedKey* swap = source;
    source = destination;
    destination = swap;
  }
  if (source != keys) std::memcpy(keys, source, sizeof(SortedKey) * static_cast<std::size_t>(count));
  for (int32_t begin = 0; begin < count;) {
    int32_t end = begin + 1;
    while (end < count && keys[end].prefix == keys[begin].prefix) ++end;
    // Shorter keys with one prefix are equal; a key of kSortPrefixBytes may
    // be a proper prefix of the others.
    if (end - begin > 1 && keys[begin].length >= kSortPrefixBytes) {
      merge_sort(text, keys + begin, spare + begin, end - begin);
    }
    begin = end;
  }
}

// The bytes each sorted key shares with the one before, from the prefixes
// where they differ.
void measure_shared(const char* text, SortedKey* keys, int32_t count) {
  for (int32_t i = 1; i < count; ++i) {
    const SortedKey& before = keys[i - 1];
    int shorter = before.length < keys[i].length ? before.length : keys[i].length;
    uint64_t differ = before.prefix ^ keys[i].prefix;
    int shared = differ != 0 ? __builtin_clzll(differ) / 8 : shorter;
    if (differ == 0 && shorter > kSortPrefixBytes) {
      shared = kSortPrefixBytes + common_length(text + before.offset + kSortPrefixBytes,
                                                text + keys[i].offset + kSortPrefixBytes, shorter - kSortPrefixBytes);
    }
    keys[i].shared = static_cast<uint8_t>(shared);
  }
}

}  // namespace

BuildStatus build_rule_table(const RuleSet& rules, char separator, RuleTable* table) {
  int32_t count = rules.count;
  const char** entries = rules.entries;
  table->separator = separator;
  table->probe_start = probe_start_for(count);

  // One allocation for the sort and the trie: the keys sort at its end with
  // its start as the spare half, where the trie's nodes then go. Each page
  // costs a fault when first written, which is most of the set-up's time
  // with many rules.
  std::size_t node_bytes = trie_node_bytes(count);
  auto* memory = static_cast<char*>(allocate(node_bytes + sizeof(SortedKey) * static_cast<std::size_t>(count)));
  if (memory == nullptr) return BuildStatus::NoMemory;
  auto* keys = reinterpret_cast<SortedKey*>(memory + node_bytes);
  for (int32_t i = 0; i < count; ++i) keys[i] = unsorted_key(rules.text, entries[i], separator);
  sort_keys(rules.text, keys, reinterpret_cast<SortedKey*>(memory), count);
  measure_shared(rules.text, keys, count);
  for (int32_t i = 0; i < count; ++i) entries[i] = rules.text + keys[i].offset;
  SortedKeys sorted{rules.text, keys, count};
  if (!build_key_trie(sorted, memory, &table->trie) || !build_start_filter(sorted, &table->filter) ||
      !build_short_keys(sorted, &table->short_keys)) {
    return BuildStatus::NoMemory;
  }
  table->filter.confirms = table->short_keys.slots == nullptr || count <= kUnconfirmedShortKeys;

  // A key is a proper prefix of the next when the next shares all of it and
  // goes on.
  auto is_proper_prefix = [keys](int32_t i) {
    return keys[i + 1].shared == keys[i].length && keys[i + 1].length > keys[i].length;
  };
  int32_t prefix_count = 0;
  for (int32_t i = 0; i + 1 < count; ++i) prefix_count += is_proper_prefix(i) ? 1 : 0;
  auto* prefixes = static_cast<const char**>(allocate(sizeof(const char*) * static_cast<std::size_t>(prefix_count)));
  if (prefixes == nullptr) return BuildStatus::NoMemory;
  // In place: each entry moves down by the number moved out before it.
  int32_t moved = 0;
  for (int32_t i = 0; i + 1 < count; ++i) {
    if (is_proper_prefix(i)) prefixes[moved++] = entries[i];
    entries[i + 1 - moved] = entries[i + 1];
  }
  table->main = entries;
  table->main_count = count - prefix_count;
  table->prefixes = prefixes;
  table->prefix_count = prefix_count;
  return BuildStatus::Built;
}

Match lookup_in_search_order(const RuleTable& table, const char* text, int32_t readable) {
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
      if (j == length) return {key, j, static_cast<int32_t>(std::strlen(key + j + 1))};
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
    if (matching(table.prefixes[i], &length) == length) {
      return {table.prefixes[i], length, static_cast<int32_t>(std::strlen(table.prefixes[i] + length + 1))};
    }
  }
  return {nullptr, 0, 0};
}

Match lookup(const RuleTable& table, const char* text, int32_t readable) {
  Match match{nullptr, 0, 0};
  if (table.short_keys.slots != nullptr) {
    TrieResult found =
        find_short_key(table.short_keys, text, readable, &match.entry, &match.key_length, &match.replacement_length);
    if (found == TrieResult::Found) return match;
    return found == TrieResult::Repeated ? lookup_in_search_order(table, text, readable) : Match{nullptr, 0, 0};
  }
  switch (find_longest(table.trie, text, readable, &match.entry, &match.key_length)) {
    case TrieResult::Found:
      match.replacement_length = static_cast<int32_t>(std::strlen(replacement_of(match)));
      return match;
    case TrieResult::Repeated:
      return lookup_in_search_order(table, text, readable);
    case TrieResult::None:
      break;
  }
  return {nullptr, 0, 0};
}

void release_rule_table(RuleTable* table) {
  std::free(table->main);
  std::free(table->prefixes);
  release_key_trie(&table->trie);
  release_short_keys(&table->short_keys);
  release_start_filter(&table->filter);
}
