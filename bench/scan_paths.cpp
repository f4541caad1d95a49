// Prints, for each rule file, the scan path quorbel takes over it on this
// processor, one line each: the bench's table says which matcher it timed.
//
//   bench_scan_paths RULES...

#include <cstdio>

#include "rules/rule_table.h"

namespace {

int32_t read_file(void* context, char* buffer, int32_t size) {
  std::size_t count = std::fread(buffer, 1, static_cast<std::size_t>(size), static_cast<std::FILE*>(context));
  return std::ferror(static_cast<std::FILE*>(context)) != 0 ? -1 : static_cast<int32_t>(count);
}

bool rewind_file(void* context) { return std::fseek(static_cast<std::FILE*>(context), 0, SEEK_SET) == 0; }

}  // namespace

int main(int argc, char** argv) {
  const char* names[kScanPaths] = {"pairs", "listed SSE2", "nibbles AVX2", "nibbles AVX-512"};
  for (int i = 1; i < argc; ++i) {
    std::FILE* file = std::fopen(argv[i], "rb");
    RuleSet rules{};
    RuleTable table{};
    if (file == nullptr ||
        load_rules(RuleSource{file, read_file, rewind_file}, '^', &rules).status != LoadStatus::Loaded ||
        build_rule_table(rules, '^', &table) != BuildStatus::Built) {
      std::printf("?\n");
      continue;
    }
    std::fclose(file);
    std::printf("%s\n", names[static_cast<int>(table.filter.path)]);
  }
  return 0;
}
