// Everything before the first file: the rule file's path, its rule lines, how
// loading it fails and what the tool then says, and running out of memory at
// any set-up allocation.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/run.h"
#include "model.h"
#include "rules/allocation.h"

using Lines = std::vector<std::string>;
using namespace std::string_literals;

TEST(Setup, RuleFileBesideTheProgram) {
  const std::pair<std::string, std::string> cases[] = {
      {"/opt/q/quorbel", "/opt/q/quorbel.cfg"}, {"C:\\Q\\QUORBEL.EXE", "C:\\Q\\QUORBEL.cfg"},
      {"C:\\Q\\q.eXe", "C:\\Q\\q.cfg"}, {"x.exe", "x.cfg"}, {".exe", ".exe.cfg"}, {"a.exe.bak", "a.exe.bak.cfg"},
      {"q.ex", "q.ex.cfg"}, {std::string(9000, 'p'), std::string(kRulePathBound - 1, 'p') + ".cfg"},
  };
  for (const auto& [program, rules] : cases) EXPECT_EQ(rule_file_path(program), rules) << program;
}

TEST(Setup, ScanFindsRuleLinesAndEndsThemInPlace) {
  std::string key200(kMaxKeyLength, 'k');
  const struct { std::string text; char separator; Lines rules; } cases[] = {
      {"abc^xyz", '^', {"abc^xyz"}}, {"abc^xyz", '$', {}}, {"abc$xyz\n", '$', {"abc$xyz"}},
      {"a^1\r\nb^2\rc^3\n\n\r\rd^4", '^', {"a^1", "b^2", "c^3", "d^4"}},
      {"abc^\n^xyz\nabc\na^b^c\n", '^', {"abc^", "a^b^c"}},
      {" k ^ r \na|b\n", '^', {" k ^ r "}},
      {key200 + "^r\n" + key200 + "k^r\n", '^', {key200 + "^r"}},
      {std::string("a^1\nb^2\0x\nc^3\n", 14), '^', {"a^1", "b^2"}},  // NUL ends the text
      {std::string("a\0^1\nc^3\n", 9), '^', {}},
      {"\xEF\xBB\xBF" "a^1\n\xEF\xBB\xBF" "b^2", '^', {"a^1", "\xEF\xBB\xBF" "b^2"}},  // a byte-order mark first only
  };
  for (const auto& c : cases) {
    MemoryFile file{c.text};
    RuleSet rules{};
    LoadResult loaded = load_rules(file.rules(), c.separator, &rules);
    EXPECT_EQ(loaded.status, c.rules.empty() ? LoadStatus::NoRules : LoadStatus::Loaded) << c.text;
    EXPECT_EQ(Lines(rules.entries, rules.entries + rules.count), c.rules) << c.text;
    std::free(rules.text);
    std::free(rules.entries);
  }
}

// Each way loading fails: the status, and what the tool prints for it on standard output and standard error.
TEST(Setup, LoadReportsEachFailure) {
  std::string limit = "k^v\n" + std::string(static_cast<std::size_t>(kMaxRuleFileSize) - 4, '#');
  std::string two_blocks = "a^b\n" + std::string(9000, '#');  // the reads that succeed pick where it fails
  std::string other_block = two_blocks.substr(0, 8192) + std::string(two_blocks.size() - 8192, '%');
  std::string report = "/q/r.cfg: " + std::string(std::strerror(EIO)) + "\n";
  // The reads and the allocations that succeed (-1: all), and what a rewind puts in the file's place.
  const struct {
    std::string bytes;
    int reads;
    std::optional<std::string> rewound;
    int allocations;
    LoadStatus status;
    std::string out, err;
  } cases[] = {
      {limit, -1, {}, -1, LoadStatus::Loaded, "", ""},
      {limit + "#", -1, {}, -1, LoadStatus::TooLarge, "", text::kRulesTooLarge},
      {"\xEF\xBB\xBF" + limit.substr(0, 4) + limit.substr(7), -1, {}, -1, LoadStatus::Loaded, "", ""},  // a mark counts
      {"\xEF\xBB\xBF" + limit.substr(0, 4) + limit.substr(6), -1, {}, -1, LoadStatus::TooLarge, "", text::kRulesTooLarge},
      {"\xFF\xFEk\0^\0v\0"s, -1, {}, -1, LoadStatus::NoRules, text::kNoRules, ""},  // saved as UTF-16
      {"", -1, {}, -1, LoadStatus::NoRules, text::kNoRules, ""},
      {"comment\n^x\n", -1, {}, -1, LoadStatus::NoRules, text::kNoRules, ""},
      {two_blocks, 1, {}, -1, LoadStatus::MeasureFailed, "", text::kCannotReadRules},
      {two_blocks, 3, {}, -1, LoadStatus::ReadFailed, "", report},
      {two_blocks, -1, two_blocks.substr(0, 8192), -1, LoadStatus::FileChanged, "", text::kCannotReadRules},
      {two_blocks, -1, other_block, -1, LoadStatus::FileChanged, "", text::kCannotReadRules},
      {"a^b\n", -1, {}, 0, LoadStatus::NoMemoryForText, "", text::kNoMemory},
      {"a^b\n", -1, {}, 1, LoadStatus::NoMemoryForEntries, "", text::kNoMemoryForEntries},
  };
  for (const auto& c : cases) {
    MemoryFile file{c.bytes, c.reads, c.rewound}, again = file;
    RuleSet rules{}, reported{};
    fail_allocations_after(c.allocations);
    LoadResult result = load_rules(file.rules(), '^', &rules);
    fail_allocations_after(c.allocations);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_rule_text(again.rules(), "/q/r.cfg", '^', &reported), c.status == LoadStatus::Loaded);
    std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    fail_allocations_after(-1);
    EXPECT_EQ(result.status, c.status) << c.bytes.substr(0, 20);
    EXPECT_EQ(out + "|" + err, printed(c.out) + "|" + printed(c.err)) << c.bytes.substr(0, 20);
    for (RuleSet* set : {&rules, &reported}) {
      std::free(set->text);
      std::free(set->entries);
    }
  }
}

// Whichever set-up allocation fails (the rule text, its entries, the sort
// and the trie's nodes, the trie's tables, the start filter, the prefix
// list), the run says so on standard error alone and ends with status 1.
TEST(Setup, OutOfMemoryAtAnySetUpAllocation) {
  std::string program = testing::TempDir() + "quorbel_setup_test_" + std::to_string(getpid());
  std::ofstream(program + ".cfg", std::ios::binary) << "a^b\nab^c\n";
  int allowed = 0;
  for (int status = kRulesUnusable; status == kRulesUnusable; ++allowed) {
    fail_allocations_after(allowed);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    status = run(platform::system_files(), program, program, {"no-such-file"}, '^');
    std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    fail_allocations_after(-1);
    std::string expected = printed(allowed == 1 ? text::kNoMemoryForEntries : text::kNoMemory);
    if (status == kRulesUnusable) EXPECT_TRUE(out.empty() && err == expected) << allowed << ": " << out << err;
  }
  EXPECT_GT(allowed, 2);
  std::remove((program + ".cfg").c_str());
}
