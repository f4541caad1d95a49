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
#include <fstream>
#include <iterator>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::size_t kMaxKeyLength = 200;
constexpr std::size_t kChunk = 1 << 20;

std::string read_file(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::perror(path);
    std::exit(1);
  }
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
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

// The longest key ending in a chunk, per start position in it: id + 1, or 0.
struct Chunk {
  const Rules* rules;
  std::vector<unsigned> longest;
};

int on_match(unsigned id, unsigned long long, unsigned long long to, unsigned, void* context) {
  auto* chunk = static_cast<Chunk*>(context);
  std::size_t length = chunk->rules->keys[id].size();
  std::size_t start = static_cast<std::size_t>(to) - length;  // `to` counts from the chunk
  if (start >= chunk->longest.size()) return 0;               // starts in the next chunk
  unsigned& best = chunk->longest[start];
  if (best == 0 || chunk->rules->keys[best - 1].size() < length) best = id + 1;
  return 0;
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
  std::size_t longest_key = *std::max_element(lengths.begin(), lengths.end());

  std::string input = read_file(argv[3]);
  std::string output;
  output.reserve(input.size() + input.size() / 8);
  Chunk chunk{&rules, {}};
  // The greedy pass: where it goes on (a match may carry it past a chunk) and
  // where the bytes it copies unchanged begin.
  std::size_t position = 0;
  std::size_t copied = 0;
  for (std::size_t begin = 0; begin < input.size(); begin += kChunk) {
    std::size_t end = std::min(begin + kChunk, input.size());
    chunk.longest.assign(end - begin, 0);
    // Overlapping the next chunk by a longest key less one byte: every key
    // that starts here ends inside the scan.
    std::size_t scan_end = std::min(end + longest_key - 1, input.size());
    if (hs_scan(database, input.data() + begin, static_cast<unsigned>(scan_end - begin), 0, scratch, on_match,
                &chunk) != HS_SUCCESS) {
      std::fprintf(stderr, "hs_scan failed\n");
      return 1;
    }
    for (; position < end; ++position) {
      unsigned best = chunk.longest[position - begin];
      if (best == 0) continue;
      output.append(input, copied, position - copied);
      output += rules.replacements[best - 1];
      position += rules.keys[best - 1].size() - 1;
      copied = position + 1;
    }
  }
  output.append(input, copied, std::string::npos);
  // Synced like quorbel's output, so both pay for durability.
  std::FILE* file = std::fopen(argv[4], "wb");
  if (file == nullptr || std::fwrite(output.data(), 1, output.size(), file) != output.size() ||
      std::fflush(file) != 0 || fsync(fileno(file)) != 0 || std::fclose(file) != 0) {
    std::perror(argv[4]);
    return 1;
  }
  hs_free_scratch(scratch);
  hs_free_database(database);
  return 0;
}
