#include "app/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/correct_files.h"
#include "app/messages.h"
#include "platform/files.h"
#include "rules/encoding.h"
#include "rules/rule_file.h"

namespace {

// A rule file changed this recently may still be being written: the run
// waits this long after the change and looks again. Editors write a file in
// one go, so only a run started right after a save ever waits.
constexpr int kRuleFileSettleMilliseconds = 100;

int32_t read_rules(void* file, char* buffer, int32_t size) {
  return platform::read(*static_cast<platform::RuleFile*>(file), buffer, size);
}

bool rewind_rules(void* file) { return platform::rewind(*static_cast<platform::RuleFile*>(file)); }

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

int run(const std::optional<std::string>& program, const std::string& started_as, const std::vector<std::string>& files,
        char separator) {
  std::string rule_path = rule_file_path(program.value_or(started_as));
  if (files.empty()) {
    print(platform::Stream::Out, text::kUsage, {program.value_or(started_as), rule_path});
    return 0;
  }
  int error = ENOENT;
  platform::RuleFilePtr file = program ? platform::open_rule_file(rule_path.c_str(), &error) : nullptr;
  if (file == nullptr) {
    print(platform::Stream::Err, text::kCannotOpenRules);
    print_error_report(rule_path, error);
    return 1;
  }
  RuleSet rules{};
  if (!load_rule_text(RuleSource{file.get(), read_rules, rewind_rules}, rule_path.c_str(), separator, &rules)) {
    return 1;
  }
  // A file rewritten while it was read is never used in part.
  if (!platform::unchanged_since_open(*file, kRuleFileSettleMilliseconds)) {
    print(platform::Stream::Err, text::kCannotReadRules);
    return 1;
  }
  file.reset();  // read only: closing cannot lose data
  RuleTables tables{};
  if (build_rule_tables(rules, separator, &tables) != BuildStatus::Built) {
    print(platform::Stream::Err, text::kNoMemory);
    return 1;
  }
  correct_files(&tables, files);
  return 0;
}
