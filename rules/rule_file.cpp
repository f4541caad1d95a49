#include "rules/rule_file.h"

#include <cerrno>
#include <cstring>

#include "rules/allocation.h"
#include "rules/encoding.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The file is measured and loaded in blocks of this size.
constexpr int32_t kBlockSize = 8192;
// The rule text is held with this many zero bytes after its NUL, so that the
// scan for line ends and separators reads sixteen bytes at a time.
constexpr int32_t kScanPadding = 15;

// A digest of one block, folded into `digest` a machine word at a time, so
// that the loaded bytes can be told from the measured ones. Both passes read
// the same blocks from the file's start, so they fold the same words.
uint64_t fold_block(uint64_t digest, const char* bytes, int32_t count) {
  // An odd constant with well-mixed bits (the 64-bit golden ratio): every
  // input bit reaches the high bits of the product.
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes + i, sizeof word);
    digest = (digest ^ word) * kMultiplier;
  }
  for (; i < count; ++i) digest = (digest ^ static_cast<unsigned char>(bytes[i])) * kMultiplier;
  return digest;
}

// Reads the file once to find its size and digest, refusing it as soon as it
// is too large.
LoadStatus measure(const RuleSource& source, int32_t* size, uint64_t* digest) {
  static char scratch[kBlockSize];
  int32_t total = 0;
  for (;;) {
    int32_t count = source.read(source.context, scratch, kBlockSize);
    if (count < 0) return LoadStatus::MeasureFailed;
    if (count > kMaxRuleFileSize - total) return LoadStatus::TooLarge;
    total += count;
    *digest = fold_block(*digest, scratch, count);
    if (count < kBlockSize) break;
  }
  *size = total;
  return LoadStatus::Loaded;
}

LoadResult load_text(const RuleSource& source, RuleSet* rules) {
  int32_t size = 0;
  uint64_t measured_digest = 0;
  LoadStatus measured = measure(source, &size, &measured_digest);
  if (measured != LoadStatus::Loaded) return {measured, 0};
  auto* text = static_cast<char*>(allocate(static_cast<std::size_t>(size) + 1 + kScanPadding));
  if (text == nullptr) return {LoadStatus::NoMemoryForText, 0};
  std::memset(text + size, 0, 1 + kScanPadding);
  if (!source.rewind(source.context)) return {LoadStatus::ReadFailed, errno};
  uint64_t digest = 0;
  for (int32_t offset = 0; offset < size;) {
    int32_t want = size - offset < kBlockSize ? size - offset : kBlockSize;
    int32_t count = source.read(source.context, text + offset, want);
    if (count < 0) return {LoadStatus::ReadFailed, errno};
    if (count < want) return {LoadStatus::FileChanged, 0};
    digest = fold_block(digest, text + offset, count);
    offset += count;
  }
  // A file rewritten between the two reads is never used in part.
  if (digest != measured_digest) return {LoadStatus::FileChanged, 0};
  rules->text = text;
  return {LoadStatus::Loaded, 0};
}

// The first byte at or after `p` that ends a line (NUL, CR or LF) or, when
// `separators` is set, is the separator. Reads up to kScanPadding bytes past
// the text's NUL.
char* find_stop(char* p, char separator, bool separators) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i wanted = separators ? _mm_set1_epi8(separator) : _mm_setzero_si128();
  for (;; p += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf));
    __m128i stops =
        _mm_or_si128(ends, _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()), _mm_cmpeq_epi8(bytes, wanted)));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(stops));
    if (mask != 0) return p + __builtin_ctz(mask);
  }
#else
  while (*p != '\0' && *p != '\r' && *p != '\n' && (!separators || *p != separator)) ++p;
  return p;
#endif
}

// Scans the rule text for rule lines, past a UTF-8 byte-order mark at its
// start. With `entries` null it only counts them; otherwise it also ends each
// rule line with NUL in place and stores its start. Returns the number of
// rules.
int32_t scan_rules(char* text, char separator, const char** entries) {
  int32_t count = 0;
  char* p = text;
  // Editors that save "UTF-8 with BOM" put EF BB BF first; no key means to begin with it.
  if (p[0] == '\xEF' && p[1] == '\xBB' && p[2] == '\xBF') p += 3;
  for (;;) {
    while (*p == '\r' || *p == '\n') ++p;
    if (*p == '\0') break;
    char* stop = find_stop(p, separator, true);
    char* line_end = *stop == separator ? find_stop(stop + 1, separator, false) : stop;
    if (*stop == separator && stop > p && stop - p <= kMaxKeyLength) {
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

}  // namespace

LoadResult load_rules(const RuleSource& source, char separator, RuleSet* rules) {
  LoadResult loaded = load_text(source, rules);
  if (loaded.status != LoadStatus::Loaded) return loaded;
  rules->text_class = rule_text_class(rules->text);  // before the scan ends lines with NUL

  int32_t count = scan_rules(rules->text, separator, nullptr);
  if (count == 0) return {LoadStatus::NoRules, 0};
  auto* entries = static_cast<const char**>(allocate(sizeof(const char*) * static_cast<std::size_t>(count)));
  if (entries == nullptr) return {LoadStatus::NoMemoryForEntries, 0};
  scan_rules(rules->text, separator, entries);
  rules->entries = entries;
  rules->count = count;
  return {LoadStatus::Loaded, 0};
}
