#pragma once
// Loading the rule file: its whole content in one buffer and one entry per
// rule line, in file order.

#include <cstdint>

// The rule file may hold at most this many bytes (15,000 KiB).
constexpr int32_t kMaxRuleFileSize = 15000 * 1024;
// A key is 1 to this many bytes long, so a lookup never reads further ahead.
constexpr int32_t kMaxKeyLength = 200;

// The loaded rules. Each entry points at a rule line inside `text`, which
// reads key, separator, replacement, NUL. Held until the process ends.
struct RuleSet {
  char* text;
  const char** entries;
  int32_t count;
};

enum class LoadStatus {
  Loaded,
  CannotOpen,        // error holds the reason
  TooLarge,
  MeasureFailed,     // a read failed while measuring the size
  ReadFailed,        // a read failed while loading; error holds the reason
  FileShrank,
  NoRules,
  NoMemoryForText,
  NoMemoryForEntries,
};

struct LoadResult {
  LoadStatus status;
  int error;  // errno of the failure, where the status says so
};

// Reads the rule file at `path` and collects its rules for `separator`.
LoadResult load_rules(const char* path, char separator, RuleSet* rules);

// Scans a NUL-terminated rule text for rule lines, past a UTF-8 byte-order
// mark at its start. With `entries` null it only counts them; otherwise it
// also ends each rule line with NUL in place and stores its start. Returns
// the number of rules.
int32_t scan_rules(char* text, char separator, const char** entries);
