#include "rules/rule_table.h"

#include <cstdint>
#include <cstdlib>

#include "rules/allocation.h"

namespace {

int key_byte(const char* entry, int32_t j, char separator) {
  char byte = entry[j];
  return byte == separator || byte == '\0' ? 0 : static_cast<unsigned char>(byte);
}

// True when key a ends where key b goes on, all bytes before being equal.
bool is_proper_prefix(const char* a, const char* b, char separator) {
  int32_t j = 0;
  while (key_byte(a, j, separator) != 0 && key_byte(a, j, separator) == key_byte(b, j, separator)) ++j;
  return key_byte(a, j, separator) == 0 && key_byte(b, j, separator) != 0;
}

int32_t probe_start_for(int32_t count) {
  int32_t power = 2;
  while (power < count) power *= 2;
  return power / 2;
}

// An entry with the first eight bytes of its key, big-endian and zero after
// the key's end, so that most comparisons never touch the rule text.
struct SortRecord {
  uint64_t prefix;
  const char* entry;
};

constexpr int kPrefixBytes = 8;

uint64_t key_prefix(const char* entry, char separator) {
  uint64_t prefix = 0;
  for (int j = 0; j < kPrefixBytes; ++j) {
    int byte = key_byte(entry, j, separator);
    if (byte == 0) break;
    prefix |= static_cast<uint64_t>(byte) << (8 * (kPrefixBytes - 1 - j));
  }
  return prefix;
}

// The key order of compare_keys.
int compare_records(const SortRecord& a, const SortRecord& b, char separator) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
  // Equal prefixes of keys shorter than eight bytes are equal keys.
  if ((a.prefix & 0xFF) == 0) return 0;
  return compare_keys(a.entry + kPrefixBytes, b.entry + kPrefixBytes, separator);
}

bool record_is_proper_prefix(const SortRecord& a, const SortRecord& b, char separator) {
  if ((a.prefix & 0xFF) != 0) {
    return a.prefix == b.prefix && is_proper_prefix(a.entry + kPrefixBytes, b.entry + kPrefixBytes, separator);
  }
  int length = 0;
  while (length < kPrefixBytes && (a.prefix >> (8 * (kPrefixBytes - 1 - length)) & 0xFF) != 0) ++length;
  uint64_t mask = length == 0 ? 0 : ~uint64_t{0} << (8 * (kPrefixBytes - length));
  return (b.prefix & mask) == a.prefix && (b.prefix >> (8 * (kPrefixBytes - 1 - length)) & 0xFF) != 0;
}

void merge_runs(const SortRecord* source, SortRecord* destination, int32_t begin, int32_t middle, int32_t end,
                char separator) {
  int32_t left = begin;
  int32_t right = middle;
  int32_t out = begin;
  while (left < middle && right < end) {
    // Ties take the left run, so equal keys keep their file order.
    if (compare_records(source[left], source[right], separator) <= 0) {
      destination[out++] = source[left++];
    } else {
      destination[out++] = source[right++];
    }
  }
  while (left < middle) destination[out++] = source[left++];
  while (right < end) destination[out++] = source[right++];
}

// Bottom-up merge sort between the two arrays; returns the sorted one.
SortRecord* merge_sort(SortRecord* records, SortRecord* spare, int32_t count, char separator) {
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
  return source;
}

SortRecord* allocate_records(int32_t count) {
  return static_cast<SortRecord*>(allocate(sizeof(SortRecord) * static_cast<std::size_t>(count)));
}

}  // namespace

int compare_keys(const char* a, const char* b, char separator) {
  for (int32_t j = 0;; ++j) {
    int byte_a = key_byte(a, j, separator);
    int byte_b = key_byte(b, j, separator);
    if (byte_a != byte_b) return byte_a < byte_b ? -1 : 1;
    if (byte_a == 0) return 0;
  }
}

BuildStatus build_rule_table(const RuleSet& rules, char separator, RuleTable* table) {
  int32_t count = rules.count;
  const char** entries = rules.entries;
  table->separator = separator;
  table->probe_start = probe_start_for(count);

  SortRecord* records = allocate_records(count);
  SortRecord* spare = records == nullptr ? nullptr : allocate_records(count);
  if (spare == nullptr) return BuildStatus::NoMemory;
  for (int32_t i = 0; i < count; ++i) records[i] = SortRecord{key_prefix(entries[i], separator), entries[i]};
  SortRecord* sorted = merge_sort(records, spare, count, separator);
  std::free(sorted == spare ? records : spare);
  for (int32_t i = 0; i < count; ++i) entries[i] = sorted[i].entry;

  if (!build_key_trie(entries, count, separator, &table->trie)) return BuildStatus::NoMemory;

  int32_t prefix_count = 0;
  for (int32_t i = 0; i + 1 < count; ++i) {
    if (record_is_proper_prefix(sorted[i], sorted[i + 1], separator)) ++prefix_count;
  }
  auto* prefixes = static_cast<const char**>(allocate(sizeof(const char*) * static_cast<std::size_t>(prefix_count)));
  if (prefixes == nullptr) return BuildStatus::NoMemory;

  // In place: each entry moves down by the number moved out before it.
  int32_t moved = 0;
  for (int32_t i = 0; i + 1 < count; ++i) {
    if (record_is_proper_prefix(sorted[i], sorted[i + 1], separator)) prefixes[moved++] = entries[i];
    entries[i + 1 - moved] = entries[i + 1];
  }
  std::free(sorted);
  table->main = entries;
  table->main_count = count - prefix_count;
  table->prefixes = prefixes;
  table->prefix_count = prefix_count;
  return BuildStatus::Built;
}

Match lookup_reference(const RuleTable& table, const char* text) {
  const char separator = table.separator;
  int32_t probe = table.probe_start;
  int32_t step = table.probe_start;
  for (;;) {
    if (probe >= table.main_count) {
      probe -= step;
    } else if (probe < 0) {
      probe += step;
    } else {
      const char* key = table.main[probe];
      int32_t j = 0;
      while (key[j] != separator && key[j] == text[j]) ++j;
      if (key[j] == separator) return {key, j};
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
    const char* key = table.prefixes[i];
    int32_t j = 0;
    while (key[j] != separator && key[j] == text[j]) ++j;
    if (key[j] == separator) return {key, j};
  }
  return {nullptr, 0};
}

Match lookup(const RuleTable& table, const char* text) {
  Match match{nullptr, 0};
  switch (find_longest(table.trie, text, &match.entry, &match.key_length)) {
    case TrieResult::Found:
      return match;
    case TrieResult::Repeated:
      return lookup_reference(table, text);
    case TrieResult::None:
      break;
  }
  return {nullptr, 0};
}
