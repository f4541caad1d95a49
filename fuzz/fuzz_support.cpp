#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

RulesAndText split_input(const uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string::size_type marker = bytes.find(kTextMarker);
  if (marker == std::string::npos) return {bytes, ""};
  return {bytes.substr(0, marker), bytes.substr(marker + std::strlen(kTextMarker))};
}

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "MISMATCH: %s\n", what);
  std::abort();
}

int memory_file(const std::string& bytes) {
  int file = memfd_create("quorbel-fuzz", MFD_CLOEXEC);
  require(file >= 0, "memfd_create failed");
  require(write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "memfd write failed");
  require(lseek(file, 0, SEEK_SET) == 0, "memfd seek failed");
  return file;
}

std::string read_all(int file) {
  off_t size = lseek(file, 0, SEEK_END);
  require(size >= 0, "memfd seek failed");
  std::string bytes(static_cast<std::size_t>(size), '\0');
  require(pread(file, bytes.data(), bytes.size(), 0) == size, "memfd read failed");
  return bytes;
}

bool load_table(const std::string& file_bytes, char separator, LoadedRules* loaded) {
  int file = memory_file(file_bytes);
  RuleSource source{&file, [](void* context, char* buffer, int32_t size) {
                      return static_cast<int32_t>(read(*static_cast<int*>(context), buffer, static_cast<size_t>(size)));
                    },
                    [](void* context) { return lseek(*static_cast<int*>(context), 0, SEEK_SET) == 0; }};
  LoadResult result = load_rules(source, separator, &loaded->set);
  close(file);
  if (result.status == LoadStatus::NoRules) {
    std::free(loaded->set.text);
    return false;
  }
  require(result.status == LoadStatus::Loaded, "a rule file in memory failed to load");
  require(build_rule_table(loaded->set, separator, &loaded->table) == BuildStatus::Built, "table build failed");
  return true;
}

void release(LoadedRules* loaded) {
  std::free(loaded->table.main);
  std::free(loaded->table.prefixes);
  std::free(loaded->set.text);
}
