// Prints, for each rule file, the scan path quorbel takes over it on this
// processor, one line each: the bench's table says which matcher it timed.
// With --count, prints how many keys quorbel replaces in TEXT instead.
//
//   bench_scan_paths RULES...
//   bench_scan_paths --count RULES TEXT

#include <cstdio>
#include <cstring>
#include <vector>

#include "rules/rule_table.h"

namespace {

int32_t read_file(void* context, char* buffer, int32_t size) {
  std::size_t count = std::fread(buffer, 1, static_cast<std::size_t>(size), static_cast<std::FILE*>(context));
  return std::ferror(static_cast<std::FILE*>(context)) != 0 ? -1 : static_cast<int32_t>(count);
}

bool rewind_file(void* context) { return std::fseek(static_cast<std::FILE*>(context), 0, SEEK_SET) == 0; }

bool load_table(const char* path, RuleTable* table) {
  std::FILE* file = std::fopen(path, "rb");
  RuleSet rules{};
  bool built = file != nullptr &&
               load_rules(RuleSource{file, read_file, rewind_file}, '^', &rules).status == LoadStatus::Loaded &&
               build_rule_table(rules, '^', table) == BuildStatus::Built;
  if (file != nullptr) std::fclose(file);
  return built;
}

// The keys the stream replaces in the text: the longest at each position, none
// overlapping the one before.
long count_replacements(const RuleTable& table, const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return -1;
  std::vector<char> text;
  char block[1 << 16];
  for (std::size_t count; (count = std::fread(block, 1, sizeof block, file)) > 0;) {
    text.insert(text.end(), block, block + count);
  }
  std::fclose(file);
  auto size = static_cast<int32_t>(text.size());
  text.resize(text.size() + kStartMaskReach + 1, '\0');
  long replaced = 0;
  int32_t unmatched = 0;  // the first position after the last key replaced
  for (int32_t position = 0; position < size; position += kStartMaskBits) {
    for (StartMask starts = next_starts(table.filter, text.data(), &position, size); starts != 0;
         starts &= starts - 1) {
      int32_t at = position + lowest_bit(starts);
      Match match = at < unmatched ? Match{nullptr, 0, 0} : lookup(table, text.data() + at, kMaxKeyLength);
      if (match.entry == nullptr) continue;
      ++replaced;
      unmatched = at + match.key_length;
    }
  }
  return replaced;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--count") == 0) {
    RuleTable table{};
    std::printf("%ld\n", load_table(argv[2], &table) ? count_replacements(table, argv[3]) : -1L);
    return 0;
  }
  const char* names[kScanPaths] = {"pairs", "listed SSE2", "nibbles AVX2", "nibbles AVX-512"};
  for (int i = 1; i < argc; ++i) {
    RuleTable table{};
    std::printf("%s\n", load_table(argv[i], &table) ? names[static_cast<int>(table.filter.path)] : "?");
  }
  return 0;
}
