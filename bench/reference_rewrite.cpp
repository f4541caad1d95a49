// Rewrites a file with lookup_reference() alone, the plain lookup that
// defines which rule applies, so the benchmark shows what the fast lookup
// gains and checks that the two agree byte for byte.
//
//   bench_reference RULES SEPARATOR INPUT OUTPUT

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "rules/rule_file.h"
#include "rules/rule_table.h"

namespace {

bool read_input(const char* path, std::vector<char>* text) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "fopen(%s): %s\n", path, std::strerror(errno));
    return false;
  }
  char block[1 << 16];
  std::size_t count;
  while ((count = std::fread(block, 1, sizeof block, file)) > 0) text->insert(text->end(), block, block + count);
  bool ok = !std::ferror(file);
  std::fclose(file);
  if (!ok) std::fprintf(stderr, "read(%s): %s\n", path, std::strerror(errno));
  return ok;
}

// Synced like quorbel's output, so both pay for durability.
bool write_output(const char* path, const std::vector<char>& bytes) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "fopen(%s): %s\n", path, std::strerror(errno));
    return false;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fflush(file) == 0 &&
            fsync(fileno(file)) == 0;
  if (std::fclose(file) != 0) ok = false;
  if (!ok) std::fprintf(stderr, "write(%s): %s\n", path, std::strerror(errno));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::strlen(argv[2]) != 1) {
    std::fprintf(stderr, "usage: bench_reference RULES SEPARATOR INPUT OUTPUT\n");
    return 2;
  }
  const char separator = argv[2][0];
  RuleSet rules{};
  std::FILE* file = std::fopen(argv[1], "rb");
  if (file == nullptr) return 1;
  auto read_rules = [](void* context, char* buffer, int32_t size) {
    return static_cast<int32_t>(std::fread(buffer, 1, static_cast<std::size_t>(size), static_cast<std::FILE*>(context)));
  };
  auto rewind_rules = [](void* context) { return std::fseek(static_cast<std::FILE*>(context), 0, SEEK_SET) == 0; };
  LoadResult loaded = load_rules(RuleSource{file, read_rules, rewind_rules}, separator, &rules);
  if (loaded.status != LoadStatus::Loaded) {
    std::fprintf(stderr, "load_rules(%s): failed (%s)\n", argv[1], std::strerror(loaded.error));
    return 1;
  }
  RuleTable table{};
  if (build_rule_table(rules, separator, &table) != BuildStatus::Built) {
    std::fprintf(stderr, "build_rule_table: out of memory\n");
    return 1;
  }

  std::vector<char> text;
  if (!read_input(argv[3], &text)) return 1;
  const std::size_t size = text.size();
  // A NUL stops every key comparison, as at the end of quorbel's window.
  text.resize(size + kMaxKeyLength + 1, '\0');

  std::vector<char> output;
  output.reserve(size + size / 8);
  std::size_t position = 0;
  while (position < size) {
    Match match = lookup_reference(table, text.data() + position);
    if (match.entry == nullptr) {
      output.push_back(text[position++]);
      continue;
    }
    const char* replacement = replacement_of(match);
    output.insert(output.end(), replacement, replacement + std::strlen(replacement));
    position += static_cast<std::size_t>(match.key_length);
  }
  return write_output(argv[4], output) ? 0 : 1;
}
