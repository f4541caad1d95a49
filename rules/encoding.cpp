#include "rules/encoding.h"

#include <cstdlib>
#include <cstring>

#include "rules/allocation.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// The states of the sequence check: 0 between sequences, kInvalid once the
// text is no UTF-8, any other value for the bytes a begun sequence still
// needs, each with the range its next byte must lie in and the state after
// it. The narrow ranges keep out what RFC 3629 forbids: overlong forms,
// surrogates and code points above U+10FFFF.
constexpr uint8_t kInvalid = 0xFF;
struct Continuation {
  uint8_t low, high, next;
};
constexpr Continuation kContinuations[] = {
    {0, 0, 0},        // unused: between sequences
    {0x80, 0xBF, 0},  // the last byte of any sequence
    {0x80, 0xBF, 1},  // the second of three
    {0xA0, 0xBF, 1},  // the second of three after E0, at least U+0800
    {0x80, 0x9F, 1},  // the second of three after ED, below the surrogates
    {0x80, 0xBF, 2},  // the second of four
    {0x90, 0xBF, 2},  // the second of four after F0, at least U+10000
    {0x80, 0x8F, 2},  // the second of four after F4, at most U+10FFFF
};

uint8_t state_after_lead(uint8_t byte) {
  if (byte < 0xC2) return kInvalid;  // a continuation byte, or C0 and C1, which begin only overlong forms
  if (byte < 0xE0) return 1;
  if (byte == 0xE0) return 3;
  if (byte == 0xED) return 4;
  if (byte < 0xF0) return 2;
  if (byte == 0xF0) return 6;
  if (byte < 0xF4) return 5;
  return byte == 0xF4 ? 7 : kInvalid;
}

uint8_t next_state(uint8_t state, uint8_t byte) {
  if (state == 0) return byte < 0x80 ? 0 : state_after_lead(byte);
  const Continuation& continuation = kContinuations[state];
  return byte >= continuation.low && byte <= continuation.high ? continuation.next : kInvalid;
}

void take_byte(TextClassifier* classifier, uint8_t byte) {
  if (byte == 0) classifier->nul = true;
  if (byte >= 0x80) classifier->high = true;
  classifier->state = next_state(classifier->state, byte);
  if (classifier->state == kInvalid) classifier->invalid = true;
}

bool done(const TextClassifier& classifier) { return classifier.invalid || classifier.nul; }

// The first byte at or after `p`, before `end`, that is 0x80 or above or NUL.
const uint8_t* skip_ascii(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; end - p >= 16; p += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(bytes, _mm_cmpeq_epi8(bytes, zero))));
    if (stops != 0) return p + __builtin_ctz(stops);
  }
#endif
  while (p != end && *p != 0 && *p < 0x80) ++p;
  return p;
}

// Reads up to `end`, or to just past the first NUL or invalid byte.
const uint8_t* classify_sequences(TextClassifier* classifier, const uint8_t* p, const uint8_t* end) {
  while (p != end && !done(*classifier)) {
    if (classifier->state == 0) p = skip_ascii(p, end);
    if (p != end) take_byte(classifier, *p++);
  }
  return p;
}

bool has_nul(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; end - p >= 64; p += 64) {
    const auto* block = reinterpret_cast<const __m128i*>(p);
    __m128i least = _mm_min_epu8(_mm_min_epu8(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                                 _mm_min_epu8(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(least, zero)) != 0) return true;
  }
#endif
  return std::memchr(p, 0, static_cast<std::size_t>(end - p)) != nullptr;
}

#if defined(__x86_64__) || defined(__i386__)
// Whole blocks by table lookups, after Keiser and Lemire, "Validating UTF-8
// in less than one instruction per byte" (2021): each byte pair's nibbles
// pick bits for the faults it may show, and a fault is a bit that all three
// lookups keep; a separate check wants the third and fourth bytes of longer
// sequences to be continuation bytes.
constexpr uint8_t kTooShort = 1 << 0;          // a lead, then no continuation
constexpr uint8_t kTooLong = 1 << 1;           // a continuation after ASCII
constexpr uint8_t kOverlong3 = 1 << 2;         // E0, then 80-9F
constexpr uint8_t kTooLarge = 1 << 3;          // F4, then 90-BF; F5-FF, then 90-BF
constexpr uint8_t kSurrogate = 1 << 4;         // ED, then A0-BF
constexpr uint8_t kOverlong2 = 1 << 5;         // C0 or C1, then a continuation
constexpr uint8_t kTooLarge1000 = 1 << 6;      // F5-FF, then 80-8F
constexpr uint8_t kOverlong4 = 1 << 6;         // F0, then 80-8F
constexpr uint8_t kTwoContinuations = 1 << 7;  // a continuation after a continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoContinuations;
constexpr uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
constexpr uint8_t kContinuationFaults = kTooLong | kOverlong2 | kTwoContinuations;

// A row per kind of byte.
// clang-format off
// By the high nibble of the first byte of a pair.
alignas(16) constexpr uint8_t kFirstHigh[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,  // ASCII
    kTwoContinuations, kTwoContinuations, kTwoContinuations, kTwoContinuations,      // continuation
    kTooShort | kOverlong2, kTooShort,                                               // lead of two
    kTooShort | kOverlong3 | kSurrogate,                                             // of three
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};                             // of four
// By its low nibble.
alignas(16) constexpr uint8_t kFirstLow[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kLarge, kLarge, kLarge,
    kLarge, kLarge, kLarge, kLarge,
    kLarge, kLarge | kSurrogate, kLarge, kLarge};
// By the high nibble of the second byte.
alignas(16) constexpr uint8_t kSecondHigh[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,  // ASCII
    kContinuationFaults | kOverlong3 | kTooLarge1000 | kOverlong4,                           // 80-8F
    kContinuationFaults | kOverlong3 | kTooLarge,                                            // 90-9F
    kContinuationFaults | kSurrogate | kTooLarge, kContinuationFaults | kSurrogate | kTooLarge,  // A0-BF
    kTooShort, kTooShort, kTooShort, kTooShort};                                             // leads
// clang-format on

__attribute__((target("avx2"))) __m256i lookup(const uint8_t (&table)[16], __m256i nibbles) {
  return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table))),
                             nibbles);
}

__attribute__((target("avx2"))) __m256i high_nibbles(__m256i bytes) {
  return _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
}

// The bytes `back` places before each of `bytes`, those before the first
// coming from `before`.
template <int back>
__attribute__((target("avx2"))) __m256i shifted(__m256i bytes, __m256i before) {
  return _mm256_alignr_epi8(bytes, _mm256_permute2x128_si256(before, bytes, 0x21), 16 - back);
}

// Non-zero bytes where `bytes`, following `before`, break UTF-8.
__attribute__((target("avx2"))) __m256i faults(__m256i bytes, __m256i before) {
  __m256i previous = shifted<1>(bytes, before);
  __m256i pair =
      _mm256_and_si256(_mm256_and_si256(lookup(kFirstHigh, high_nibbles(previous)),
                                        lookup(kFirstLow, _mm256_and_si256(previous, _mm256_set1_epi8(0x0F)))),
                       lookup(kSecondHigh, high_nibbles(bytes)));
  // Continuation bytes two or three after a lead of three or four bytes
  // have their top bit set by these saturating subtractions, and must be
  // exactly the bytes with kTwoContinuations.
  __m256i third = _mm256_subs_epu8(shifted<2>(bytes, before), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  __m256i fourth = _mm256_subs_epu8(shifted<3>(bytes, before), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  __m256i wanted = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(wanted, pair);
}

// Non-zero where the last three bytes begin a sequence longer than they are.
__attribute__((target("avx2"))) __m256i cut_at_end(__m256i bytes) {
  const __m256i highest = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                           -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                                           static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
  return _mm256_subs_epu8(bytes, highest);
}

// Classifies the whole blocks of 64 bytes from `p`, which begins a sequence,
// stopping at a NUL or a fault. Returns where the sequence check is to go on:
// past the blocks, or the lead of a sequence cut at their end; past the
// faulty block, which holds no NUL.
__attribute__((target("avx2"))) const uint8_t* classify_avx2(TextClassifier* classifier, const uint8_t* p,
                                                             const uint8_t* end) {
  const uint8_t* start = p;
  const __m256i zero = _mm256_setzero_si256();
  __m256i before = zero;
  __m256i cut = zero;
  for (; end - p >= 64; p += 64) {
    __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    __m256i nuls = _mm256_or_si256(_mm256_cmpeq_epi8(first, zero), _mm256_cmpeq_epi8(second, zero));
    __m256i fault = cut;  // a sequence cut at the end of the last block must go on here
    if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(first, second), nuls)) == 0) {
      cut = zero;
    } else if (_mm256_testz_si256(nuls, nuls) == 0) {
      classifier->nul = true;
      return p;
    } else {
      classifier->high = true;
      fault = _mm256_or_si256(faults(first, before), faults(second, first));
      cut = cut_at_end(second);
    }
    if (_mm256_testz_si256(fault, fault) == 0) {
      classifier->invalid = true;
      return p + 64;
    }
    before = second;
  }
  // The sequence check takes up a sequence begun in the last three bytes.
  for (int back = 1; back <= 3 && p - back >= start; ++back) {
    uint8_t byte = p[-back];
    if (byte < 0x80 || byte >= 0xC0) return byte >= 0xC0 ? p - back : p;
  }
  return p;
}
#endif

// Windows-1252 as WHATWG defines it: 0x80-0x9F, its only bytes whose
// characters differ from ISO-8859-1's. The five bytes it leaves unassigned
// stand for the C1 controls of their own value, so that every byte is one
// character and every such character one byte.
constexpr char16_t kWindows1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                       0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The Windows-1252 byte of a code point, or -1 when it has none.
int windows1252_byte(char32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) return static_cast<int>(code_point);
  for (int i = 0; i < 32; ++i) {
    if (kWindows1252[i] == code_point) return 0x80 + i;
  }
  return -1;
}

// The code point of the valid UTF-8 sequence at `*p`, which moves past it.
char32_t decode_utf8(const uint8_t** p) {
  uint8_t lead = *(*p)++;
  if (lead < 0x80) return lead;
  int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  char32_t code_point = lead & (0x3F >> more);
  for (; more > 0; --more) code_point = code_point << 6 | (*(*p)++ & 0x3F);
  return code_point;
}

// Writes the rule `entry` (key, separator, replacement, NUL) in `to` at
// `out`, or only measures it when `out` is null. Returns its length with the
// NUL, or 0 when it has a character that Windows-1252 lacks or a key that
// grew past kMaxKeyLength.
std::size_t transcode_entry(const char* entry, char separator, RuleEncoding to, char* out) {
  std::size_t length = 0;
  std::size_t key_bytes = 0;
  auto put = [out, &length](char32_t byte) {
    if (out != nullptr) out[length] = static_cast<char>(byte);
    ++length;
  };
  for (const auto* p = reinterpret_cast<const uint8_t*>(entry); *p != 0;) {
    if (key_bytes == 0 && *p == static_cast<uint8_t>(separator)) key_bytes = length;
    if (to == RuleEncoding::Windows1252) {
      int byte = windows1252_byte(decode_utf8(&p));
      if (byte < 0) return 0;
      put(static_cast<char32_t>(byte));
      continue;
    }
    char32_t code_point = *p >= 0x80 && *p < 0xA0 ? char32_t{kWindows1252[*p - 0x80]} : char32_t{*p};
    ++p;
    if (code_point < 0x80) {
      put(code_point);
    } else if (code_point < 0x800) {
      put(0xC0 | code_point >> 6);
      put(0x80 | (code_point & 0x3F));
    } else {
      put(0xE0 | code_point >> 12);
      put(0x80 | (code_point >> 6 & 0x3F));
      put(0x80 | (code_point & 0x3F));
    }
  }
  if (key_bytes > kMaxKeyLength) return 0;
  put(0);
  return length;
}

// The rules in file order written in `to`, leaving out those it cannot
// hold, and their table. False when memory ran out.
bool build_transcoded(RuleTables* tables, RuleEncoding to) {
  std::size_t size = 0;
  int32_t kept = 0;
  for (int32_t i = 0; i < tables->count; ++i) {
    std::size_t length = transcode_entry(tables->file_order[i], tables->separator, to, nullptr);
    size += length;
    kept += length != 0 ? 1 : 0;
  }
  tables->transcoded_left_out = kept < tables->count;
  if (kept == 0) return true;
  auto* text = static_cast<char*>(allocate(size));
  auto* entries = static_cast<const char**>(allocate(sizeof(const char*) * static_cast<std::size_t>(kept)));
  if (text == nullptr || entries == nullptr) {
    std::free(text);
    std::free(entries);
    return false;
  }
  std::size_t offset = 0;
  kept = 0;
  for (int32_t i = 0; i < tables->count; ++i) {
    const char* entry = tables->file_order[i];
    if (transcode_entry(entry, tables->separator, to, nullptr) == 0) continue;  // it would write a part
    entries[kept++] = text + offset;
    offset += transcode_entry(entry, tables->separator, to, text + offset);
  }
  TextClass served = to == RuleEncoding::Windows1252 ? TextClass::SingleByte : TextClass::Utf8;
  tables->transcoded_rules = RuleSet{text, entries, kept, served};
  if (build_rule_table(tables->transcoded_rules, tables->separator, &tables->transcoded) == BuildStatus::Built) {
    return true;
  }
  release_rule_table(&tables->transcoded);
  std::free(entries);
  std::free(text);
  tables->transcoded_rules = RuleSet{};
  return false;
}

}  // namespace

RuleEncoding rule_encoding_for(TextClass rules, TextClass file) {
  if (rules == TextClass::Utf8 && file == TextClass::SingleByte) return RuleEncoding::Windows1252;
  if (rules == TextClass::SingleByte && file == TextClass::Utf8) return RuleEncoding::Utf8;
  return RuleEncoding::AsWritten;
}

bool processor_has(ClassifyPath path) {
#if defined(__x86_64__) || defined(__i386__)
  if (path == ClassifyPath::Avx2) return __builtin_cpu_supports("avx2") != 0;
#endif
  return path == ClassifyPath::Sequences;
}

TextClassifier start_classifying(TextClass rules) {
  TextClassifier classifier{rules, ClassifyPath::Sequences, 0, false, false, false};
  // Always false only without the processor's defines, as cppcheck reads the code.
  // cppcheck-suppress knownConditionTrueFalse
  if (processor_has(ClassifyPath::Avx2)) classifier.path = ClassifyPath::Avx2;
  return classifier;
}

void classify(TextClassifier* classifier, const char* bytes, std::size_t count) {
  if (settled(*classifier)) return;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes);
  const uint8_t* end = p + count;
  // A sequence cut at the end of the bytes before ends here first.
  while (p != end && classifier->state != 0 && !done(*classifier)) take_byte(classifier, *p++);
#if defined(__x86_64__) || defined(__i386__)
  if (classifier->path == ClassifyPath::Avx2 && classifier->state == 0 && !done(*classifier)) {
    p = classify_avx2(classifier, p, end);
  }
#endif
  p = classify_sequences(classifier, p, end);
  // Past the first fault only a NUL can still change the rules the text gets.
  if (!settled(*classifier) && classifier->invalid && has_nul(p, end)) classifier->nul = true;
}

bool settled(const TextClassifier& classifier) {
  // The classes the whole text may yet have: each must get the same rules.
  TextClass possible[] = {TextClass::Binary, TextClass::SingleByte, TextClass::Utf8, TextClass::Ascii};
  int count = classifier.nul ? 1 : classifier.invalid ? 2 : classifier.high ? 3 : 4;
  for (int i = 1; i < count; ++i) {
    if (rule_encoding_for(classifier.rules, possible[i]) != rule_encoding_for(classifier.rules, possible[0])) {
      return false;
    }
  }
  return true;
}

bool may_need_other_rules(const TextClassifier& classifier, bool at_end) {
  TextClass so_far = classifier.nul                                          ? TextClass::Binary
                     : classifier.invalid || (at_end && classifier.state != 0) ? TextClass::SingleByte
                     : classifier.high                                         ? TextClass::Utf8
                                                                               : TextClass::Ascii;
  return rule_encoding_for(classifier.rules, so_far) != RuleEncoding::AsWritten;
}

TextClass class_so_far(const TextClassifier& classifier) {
  if (classifier.nul) return TextClass::Binary;
  if (classifier.invalid || classifier.state != 0) return TextClass::SingleByte;
  return classifier.high ? TextClass::Utf8 : TextClass::Ascii;
}

TextClass rule_text_class(const char* text) {
  if (std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
  // With UTF-8 rules only a NUL settles a text's class, so the classifier
  // reads it all.
  TextClassifier classifier = start_classifying(TextClass::Utf8);
  classify(&classifier, text, std::strlen(text));
  return class_so_far(classifier);
}

BuildStatus build_rule_tables(const RuleSet& rules, char separator, RuleTables* tables) {
  *tables = RuleTables{};
  tables->rules_class = rules.text_class;
  tables->separator = separator;
  tables->count = rules.count;
  if (tables->rules_class != TextClass::Ascii) {
    std::size_t size = sizeof(const char*) * static_cast<std::size_t>(rules.count);
    tables->file_order = static_cast<const char**>(allocate(size));
    if (tables->file_order == nullptr) return BuildStatus::NoMemory;
    std::memcpy(tables->file_order, rules.entries, size);
  }
  return build_rule_table(rules, separator, &tables->as_written);
}

TableChoice table_for(RuleTables* tables, TextClass file) {
  RuleEncoding encoding = rule_encoding_for(tables->rules_class, file);
  if (encoding == RuleEncoding::AsWritten) return TableChoice{&tables->as_written, false, false};
  // The rules' class is the run's, so only one other encoding ever occurs.
  using Transcoded = RuleTables::Transcoded;
  if (tables->transcoded_state == Transcoded::NotBuilt) {
    tables->transcoded_state = build_transcoded(tables, encoding) ? Transcoded::Built : Transcoded::NoMemory;
  }
  if (tables->transcoded_state == Transcoded::NoMemory) return TableChoice{nullptr, false, true};
  const RuleTable* table = tables->transcoded_rules.count != 0 ? &tables->transcoded : nullptr;
  return TableChoice{table, tables->transcoded_left_out, false};
}

void release_rule_tables(RuleTables* tables) {
  release_rule_table(&tables->as_written);
  std::free(tables->file_order);
  if (tables->transcoded_rules.count != 0) release_rule_table(&tables->transcoded);
  std::free(tables->transcoded_rules.text);
  *tables = RuleTables{};
}
