#pragma once
// Loading the rule file: its whole content in one buffer and one entry per
// rule line, in file order.

#include <cstdint>

// The limits of the rule format. The rule file may hold at most
// kMaxRuleFileSize bytes (15,000 KiB); a key is 1 to kMaxKeyLength bytes
// long, so a lookup never reads further ahead than that.
constexpr int32_t kMaxRuleFileSize = 15000 * 1024;
constexpr int32_t kMaxKeyLength = 200;

// The rule file as the loader reads it, twice: `read` fills up to `size` bytes
// and returns the count, short only at the end, or -1 with errno set; `rewind`
// goes back to the first byte.
struct RuleSource {
  void* context;
  int32_t (*read)(void* context, char* buffer, int32_t size);
  bool (*rewind)(void* context);
};

enum class TextClass : uint8_t;  // rules/encoding.h

// The loaded rules. Each entry points at a rule line inside `text`, which
// reads key, separator, replacement, NUL. Held until the process ends.
struct RuleSet {
  char* text;
  const char** entries;
  int32_t count;
  TextClass text_class;  // of the text as the file held it, after a byte-order mark
};

enum class LoadStatus {
  Loaded,
  TooLarge,
  MeasureFailed,  // a read failed while measuring the size
  ReadFailed,     // a read failed while loading; error holds the reason
  FileChanged,    // the bytes loaded differ from those measured
  NoRules,
  NoMemoryForText,
  NoMemoryForEntries,
};

struct LoadResult {
  LoadStatus status;
  int error;  // errno of the failure, where the status says so
};

// Reads the whole rule text from `source`, measuring it first so that it is
// held in one buffer, and collects its rules for `separator`.
LoadResult load_rules(const RuleSource& source, char separator, RuleSet* rules);
