#include "app/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/correct_files.h"
#include "app/messages.h"
#include "platform/process.h"
#include "rules/encoding.h"
#include "rules/rule_file.h"

namespace {

// A rule file changed this recently may still be being written: the run
// waits this long after the change and looks again. Editors write a file in
// one go, so only a run started right after a save ever waits.
constexpr int kRuleFileSettleMilliseconds = 100;

// The rule file as the loader reads it.
struct RuleFile {
  platform::FileSystem& files;
  platform::Handle handle;
};

int32_t read_rules(void* context, char* buffer, int32_t size) {
  auto* file = static_cast<RuleFile*>(context);
  return platform::read_fully(file->files, file->handle, buffer, size);
}

bool rewind_rules(void* context) {
  auto* file = static_cast<RuleFile*>(context);
  return file->files.rewind(file->handle);
}

// Whether the rule file still has the size and change time it had when it was
// opened, also once kRuleFileSettleMilliseconds have passed since that
// change: a file rewritten while it was read is not used, even by a writer
// that pauses between its writes.
bool unchanged_since(const RuleFile& file, const platform::FileStatus& opened) {
  auto same = [&file, &opened] {
    platform::FileStatus now{};
    return file.files.status_of(file.handle, &now) && now.size == opened.size && now.changed_ns == opened.changed_ns;
  };
  if (!same()) return false;
  int64_t since_change_ms = (file.files.wall_clock_ns() - opened.changed_ns) / 1'000'000;
  if (since_change_ms >= kRuleFileSettleMilliseconds) return true;
  // A clock set back makes this negative: wait no longer than the settle time.
  file.files.sleep_ms(static_cast<int>(kRuleFileSettleMilliseconds - (since_change_ms > 0 ? since_change_ms : 0)));
  return same();
}

void report_load_failure(LoadResult result, const char* path) {
  using platform::Stream;
  switch (result.status) {
    case LoadStatus::Loaded:
      break;
    case LoadStatus::TooLarge:
      print(Stream::Err, text::kRulesTooLarge);
      break;
    case LoadStatus::MeasureFailed:
    case LoadStatus::FileChanged:
      print(Stream::Err, text::kCannotReadRules);
      break;
    case LoadStatus::ReadFailed:
      print_error_report(path, result.error);
      break;
    case LoadStatus::NoRules:
      print(Stream::Out, text::kNoRules);
      break;
    case LoadStatus::NoMemoryForText:
      print(Stream::Err, text::kNoMemory);
      break;
    case LoadStatus::NoMemoryForEntries:
      print(Stream::Err, text::kNoMemoryForEntries);
      break;
  }
}

}  // namespace

bool load_rule_text(const RuleSource& source, const char* path, char separator, RuleSet* rules) {
  LoadResult loaded = load_rules(source, separator, rules);
  report_load_failure(loaded, path);
  return loaded.status == LoadStatus::Loaded;
}

std::string rule_file_path(const std::string& program) {
  char path[kRulePathBufferSize];
  (void)std::snprintf(path, kRulePathBound, "%s", program.c_str());  // longer paths are cut here
  std::size_t length = std::strlen(path);
  const char* extension = ".exe";
  bool ends_in_exe = length > 4;
  for (std::size_t i = 0; ends_in_exe && i < 4; ++i) {
    ends_in_exe = (path[length - 4 + i] | 0x20) == extension[i];
  }
  std::memcpy(path + (ends_in_exe ? length - 4 : length), ".cfg", 5);
  return path;
}

int run(platform::FileSystem& files, const std::optional<std::string>& program, const std::string& started_as,
        const std::vector<std::string>& names, char separator) {
  std::string rule_path = rule_file_path(program.value_or(started_as));
  if (names.empty()) {
    print(platform::Stream::Out, text::kUsage, {program.value_or(started_as), rule_path});
    if (waits_for_enter(platform::console_facts())) read_line();
    return kDone;
  }
  int error = ENOENT;
  RuleFile file{files, program ? files.open_rule_file(rule_path, &error) : platform::kNoHandle};
  if (file.handle == platform::kNoHandle) {
    print(platform::Stream::Err, text::kCannotOpenRules);
    print_error_report(rule_path, error);
    return kRulesUnusable;
  }
  platform::FileStatus opened{};
  bool known = files.status_of(file.handle, &opened);
  RuleSet rules{};
  bool loaded = load_rule_text(RuleSource{&file, read_rules, rewind_rules}, rule_path.c_str(), separator, &rules);
  // A file rewritten while it was read is never used in part.
  bool whole = loaded && known && unchanged_since(file, opened);
  files.close(file.handle);  // read only: closing cannot lose data
  if (loaded && !whole) print(platform::Stream::Err, text::kCannotReadRules);
  if (!whole) return kRulesUnusable;
  RuleTables tables{};
  if (build_rule_tables(rules, separator, &tables) != BuildStatus::Built) {
    print(platform::Stream::Err, text::kNoMemory);
    return kRulesUnusable;
  }
  return correct_files(files, &tables, names) ? kDone : kSomeFileLeft;
}
