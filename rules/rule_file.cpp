#include "rules/rule_file.h"

#include <cerrno>

#include "rules/allocation.h"

namespace {

// The file is measured and loaded in blocks of this size.
constexpr int32_t kBlockSize = 8192;

// Reads the file once to find its size, refusing it as soon as it is too large.
LoadStatus measure(const RuleSource& source, int32_t* size) {
  static char scratch[kBlockSize];
  int32_t total = 0;
  for (;;) {
    int32_t count = source.read(source.context, scratch, kBlockSize);
    if (count < 0) return LoadStatus::MeasureFailed;
    if (count > kMaxRuleFileSize - total) return LoadStatus::TooLarge;
    total += count;
    if (count < kBlockSize) break;
  }
  *size = total;
  return LoadStatus::Loaded;
}

LoadResult load_text(const RuleSource& source, RuleSet* rules) {
  int32_t size = 0;
  LoadStatus measured = measure(source, &size);
  if (measured != LoadStatus::Loaded) return {measured, 0};
  auto* text = static_cast<char*>(allocate(static_cast<std::size_t>(size) + 1));
  if (text == nullptr) return {LoadStatus::NoMemoryForText, 0};
  if (!source.rewind(source.context)) return {LoadStatus::ReadFailed, errno};
  for (int32_t offset = 0; offset < size;) {
    int32_t want = size - offset < kBlockSize ? size - offset : kBlockSize;
    int32_t count = source.read(source.context, text + offset, want);
    if (count < 0) return {LoadStatus::ReadFailed, errno};
    if (count < want) return {LoadStatus::FileShrank, 0};
    offset += count;
  }
  text[size] = '\0';
  rules->text = text;
  return {LoadStatus::Loaded, 0};
}

}  // namespace

int32_t scan_rules(char* text, char separator, const char** entries) {
  // What each byte means to the scan, looked up once per byte.
  enum : uint8_t { kOrdinary, kLineEnd, kSeparator };
  uint8_t kinds[256] = {};
  kinds[0] = kinds[uint8_t{'\r'}] = kinds[uint8_t{'\n'}] = kLineEnd;
  kinds[static_cast<unsigned char>(separator)] = kSeparator;
  auto kind = [&kinds](const char* at) { return kinds[static_cast<unsigned char>(*at)]; };

  int32_t count = 0;
  char* p = text;
  // Editors that save "UTF-8 with BOM" put EF BB BF first; no key means to begin with it.
  if (p[0] == '\xEF' && p[1] == '\xBB' && p[2] == '\xBF') p += 3;
  while (*p != '\0') {
    while (*p == '\r' || *p == '\n') ++p;
    if (*p == '\0') break;
    int32_t key_length = 0;
    while (key_length < kMaxKeyLength && kind(p + key_length) == kOrdinary) ++key_length;
    char* line_end = p + key_length;
    while (kind(line_end) != kLineEnd) ++line_end;
    if (key_length >= 1 && p[key_length] == separator) {
      if (entries != nullptr) {
        entries[count] = p;
        if (*line_end != '\0') *line_end++ = '\0';
      }
      ++count;
    }
    p = line_end;
  }
  return count;
}

LoadResult load_rules(const RuleSource& source, char separator, RuleSet* rules) {
  LoadResult loaded = load_text(source, rules);
  if (loaded.status != LoadStatus::Loaded) return loaded;

  int32_t count = scan_rules(rules->text, separator, nullptr);
  if (count == 0) return {LoadStatus::NoRules, 0};
  auto* entries = static_cast<const char**>(allocate(sizeof(const char*) * static_cast<std::size_t>(count)));
  if (entries == nullptr) return {LoadStatus::NoMemoryForEntries, 0};
  scan_rules(rules->text, separator, entries);
  rules->entries = entries;
  rules->count = count;
  return {LoadStatus::Loaded, 0};
}
