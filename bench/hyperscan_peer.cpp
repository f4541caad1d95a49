// Rewrites INPUT into OUTPUT with the rules of RULES, leftmost-longest and
// without rescanning replacements, as quorbel does, using Hyperscan's literal
// matcher. A peer for bench/, not part of quorbel.
//
//   bench_hyperscan RULES SEPARATOR INPUT OUTPUT
//
// The rule file is read as quorbel reads it: lines end at CR or LF, a rule
// line splits at its first separator, keys are 1 to 200 bytes, other lines
// are skipped, and nothing after a NUL byte counts. Of repeated keys the first
// rule is kept.

#include <hs/hs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::size_t kMaxKeyLength = 200;
constexpr std::size_t kChunk = 1 << 20;

std::string read_file(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  std::string bytes;
  long size = file == nullptr || std::fseek(file, 0, SEEK_END) != 0 ? -1 : std::ftell(file);
  if (size >= 0) bytes.resize(static_cast<std::size_t>(size));
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0 || std::fread(&bytes[0], 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::perror(path);
    std::exit(1);
  }
  return bytes;
}

struct Rules {
  std::vector<std::string> keys, replacements;
};

Rules parse_rules(std::string text, char separator) {
  text.resize(std::min(text.size(), text.find('\0')));
  Rules rules;
  std::unordered_set<std::string> seen;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    std::size_t at = line.find(separator);
    if (at == std::string::npos || at == 0 || at > kMaxKeyLength || !seen.insert(line.substr(0, at)).second) continue;
    rules.keys.push_back(line.substr(0, at));
    rules.replacements.push_back(line.substr(at + 1));
  }
  return rules;
}

// A key found at `start` (in the scanned chunk); the callback collects every
// one that starts before the chunk's overlap, in the order of their ends.
struct Found {
  unsigned long long start;
  unsigned id;
};

struct Collected {
  const Rules* rules;
  unsigned long long starts_before;
  std::vector<Found> found;
};

int on_match(unsigned id, unsigned long long, unsigned long long to, unsigned, void* context) {
  auto* collected = static_cast<Collected*>(context);
  unsigned long long start = to - collected->rules->keys[id].size();
  if (start < collected->starts_before) collected->found.push_back(Found{start, id});
  return 0;
}

bool write_all(std::FILE* file, const char* bytes, std::size_t count) {
  return std::fwrite(bytes, 1, count, file) == count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || argv[2][0] == '\0' || argv[2][1] != '\0') {
    std::fprintf(stderr, "usage: bench_hyperscan RULES SEPARATOR INPUT OUTPUT\n");
    return 2;
  }
  Rules rules = parse_rules(read_file(argv[1]), argv[2][0]);
  std::vector<const char*> keys;
  std::vector<std::size_t> lengths;
  std::vector<unsigned> ids, flags(rules.keys.size(), 0);
  for (const std::string& key : rules.keys) {
    ids.push_back(static_cast<unsigned>(keys.size()));
    keys.push_back(key.data());
    lengths.push_back(key.size());
  }
  hs_database_t* database = nullptr;
  hs_compile_error_t* error = nullptr;
  hs_scratch_t* scratch = nullptr;
  if (hs_compile_lit_multi(keys.data(), flags.data(), ids.data(), lengths.data(), static_cast<unsigned>(keys.size()),
                           HS_MODE_BLOCK, nullptr, &database, &error) != HS_SUCCESS ||
      hs_alloc_scratch(database, &scratch) != HS_SUCCESS) {
    std::fprintf(stderr, "hyperscan: %s\n", error != nullptr ? error->message : "no scratch space");
    return 1;
  }
  std::FILE* input = std::fopen(argv[3], "rb");
  std::FILE* output = std::fopen(argv[4], "wb");
  if (input == nullptr || output == nullptr) {
    std::perror(input == nullptr ? argv[3] : argv[4]);
    return 1;
  }
  // Chunks of the input, each scanned with the longest key after it, so that
  // every key that starts in the chunk ends inside the scan.
  std::vector<char> buffer(kChunk + *std::max_element(lengths.begin(), lengths.end()));
  Collected collected{&rules, 0, {}};
  std::size_t filled = 0;
  std::size_t copied = 0;  // bytes of the buffer written or replaced; a match may carry it past the chunk
  for (;;) {
    filled += std::fread(buffer.data() + filled, 1, buffer.size() - filled, input);
    bool last = filled < buffer.size();
    std::size_t chunk = last ? filled : kChunk;
    collected.starts_before = chunk;
    collected.found.clear();
    if (hs_scan(database, buffer.data(), static_cast<unsigned>(filled), 0, scratch, on_match, &collected) !=
        HS_SUCCESS) {
      std::fprintf(stderr, "hs_scan failed\n");
      return 1;
    }
    // Leftmost first, and at one start the longest key; then one greedy pass
    // takes each match that starts at or after the end of the one taken before.
    std::sort(collected.found.begin(), collected.found.end(), [&rules](const Found& a, const Found& b) {
      if (a.start != b.start) return a.start < b.start;
      return rules.keys[a.id].size() > rules.keys[b.id].size();
    });
    bool written = true;
    for (const Found& found : collected.found) {
      if (found.start < copied) continue;
      const std::string& replacement = rules.replacements[found.id];
      written = written && write_all(output, buffer.data() + copied, found.start - copied) &&
                write_all(output, replacement.data(), replacement.size());
      copied = found.start + rules.keys[found.id].size();
    }
    if (copied < chunk) written = written && write_all(output, buffer.data() + copied, chunk - copied);
    if (!written || std::ferror(input) != 0) {
      std::perror(written ? argv[3] : argv[4]);
      return 1;
    }
    if (last) break;
    copied = copied > chunk ? copied - chunk : 0;
    std::memmove(buffer.data(), buffer.data() + chunk, filled - chunk);
    filled -= chunk;
  }
  // Synced like quorbel's output, so both pay for durability.
  if (std::fflush(output) != 0 || fsync(fileno(output)) != 0 || std::fclose(output) != 0) {
    std::perror(argv[4]);
    return 1;
  }
  std::fclose(input);
  hs_free_scratch(scratch);
  hs_free_database(database);
  return 0;
}
