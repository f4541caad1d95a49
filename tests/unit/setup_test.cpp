// Everything before the first file: the rule file's path, its rule lines, how
// loading it fails and what the tool then says, the Windows command line, and
// running out of memory at any set-up allocation.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "model.h"
#include "platform/command_line.h"
#include "rules/allocation.h"

using Lines = std::vector<std::string>;

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
    LoadResult loaded = load_rules(file.rule_source(), c.separator, &rules);
    EXPECT_EQ(loaded.status, c.rules.empty() ? LoadStatus::NoRules : LoadStatus::Loaded) << c.text;
    EXPECT_EQ(Lines(rules.entries, rules.entries + rules.count), c.rules) << c.text;
    std::free(rules.text);
    std::free(rules.entries);
  }
}

constexpr std::size_t kAll = std::string::npos;

// Each way loading fails: the status, and what the tool prints for it as "standard output|standard error", in
// ISO-8859-1 (the C locale) with every LF leaving as CR LF.
TEST(Setup, LoadReportsEachFailure) {
  std::string limit = "k^v\n" + std::string(static_cast<std::size_t>(kMaxRuleFileSize) - 4, '#');
  std::string two_blocks = "a^b\n" + std::string(9000, '#');  // the reads that succeed pick where it fails
  std::string no_rules = "Nada para ser trocado, checar arquivo de configura\xE7\xE3o\r\n|";
  std::string cannot_read = "|Erro lendo arquivo de configura\xE7\xE3o\r\n";
  // The reads and the allocations that succeed (-1: all), and what a rewind leaves.
  const struct {
    std::string bytes; int reads; std::size_t shrink_to; int allocations; LoadStatus status; std::string printed;
  } cases[] = {
      {limit, -1, kAll, -1, LoadStatus::Loaded, "|"},
      {limit + "#", -1, kAll, -1, LoadStatus::TooLarge, "|Arquivo de configura\xE7\xE3o muito grande\r\n"},
      {"", -1, kAll, -1, LoadStatus::NoRules, no_rules},
      {"comment\n^x\n", -1, kAll, -1, LoadStatus::NoRules, no_rules},
      {two_blocks, 1, kAll, -1, LoadStatus::MeasureFailed, cannot_read},
      {two_blocks, 3, kAll, -1, LoadStatus::ReadFailed, std::string("|/q/r.cfg: ") + std::strerror(EIO) + "\r\n"},
      {two_blocks, -1, 8192, -1, LoadStatus::FileShrank, cannot_read},
      {"a^b\n", -1, kAll, 0, LoadStatus::NoMemoryForText, "|Mem\xF3ria insuficiente\r\n"},
      {"a^b\n", -1, kAll, 1, LoadStatus::NoMemoryForEntries, "|Mem\xF3ria insuficiente"},
  };
  for (const auto& c : cases) {
    MemoryFile file{c.bytes, c.reads, c.shrink_to}, again = file;
    RuleSet rules{}, reported{};
    fail_allocations_after(c.allocations);
    LoadResult result = load_rules(file.rule_source(), '^', &rules);
    fail_allocations_after(c.allocations);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_rule_text(again.rule_source(), "/q/r.cfg", '^', &reported), c.status == LoadStatus::Loaded);
    std::string printed = testing::internal::GetCapturedStdout() + "|" + testing::internal::GetCapturedStderr();
    fail_allocations_after(-1);
    EXPECT_EQ(result.status, c.status) << c.bytes.substr(0, 20);
    EXPECT_EQ(printed, c.printed) << c.bytes.substr(0, 20);
    for (RuleSet* set : {&rules, &reported}) {
      std::free(set->text);
      std::free(set->entries);
    }
  }
}

TEST(Setup, WindowsCommandLineSplitsIntoNames) {
  const std::pair<const char*, Lines> cases[] = {
      // The program-name word is skipped; in it a backslash before a quote is a path separator.
      {"", {}}, {"  C:\\q\\quorbel.exe   ", {}}, {"\"C:\\Program Files\\q.exe\" a", {"a"}},
      {"\"C:\\dir with blank\\\" a", {"a"}}, {"C:\\\"my dir\"\\q.exe\tb", {"b"}},
      // Blanks and tabs split; other control bytes are ordinary.
      {"q \t a\t\tb  \t", {"a", "b"}}, {"q a\nb\rc\vd", {"a\nb\rc\vd"}},
      // Quoted parts hold blanks and join their neighbours; an open quote runs to the end.
      {"q x\"a b\"y \"a\tb\"", {"xa by", "a\tb"}}, {"q \"a\"\" b\" \"\" \"a b  ", {"a b", "", "a b  "}},
      // Backslash + quote is a literal quote; other backslashes are ordinary.
      {"q \\\"a b\\\" \"a \\\" b\"", {"\"a", "b\"", "a \" b"}}, {"q a\\\\\"b c\"", {"a\\\"b", "c"}},
      {"q \\\\\"b c\"", {"\\\"b", "c"}},
      {"q \\\\server\\s\\b dir\\ *.txt -n /x \xe9t\xe9 ^$%'",
       {"\\\\server\\s\\b", "dir\\", "*.txt", "-n", "/x", "\xe9t\xe9", "^$%'"}},
  };
  for (const auto& [line, names] : cases) EXPECT_EQ(platform::split_command_line(line), names) << line;
}

// Whichever set-up allocation fails (the rule text, its entries, the sort
// and the trie's nodes, the trie's tables, the start filter, the prefix
// list), the run says so on standard error alone and ends with status 1.
TEST(Setup, OutOfMemoryAtAnySetUpAllocation) {
  std::string program = testing::TempDir() + "quorbel_setup_test_" + std::to_string(getpid());
  std::ofstream(program + ".cfg", std::ios::binary) << "a^b\nab^c\n";
  int allowed = 0;
  for (int status = 1; status != 0; ++allowed) {
    fail_allocations_after(allowed);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    status = run(program, {"no-such-file"}, '^');
    std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    fail_allocations_after(-1);
    std::string expected = std::string("Mem\xF3ria insuficiente") + (allowed == 1 ? "" : "\r\n");  // entries: no end
    if (status != 0) EXPECT_TRUE(status == 1 && out.empty() && err == expected) << allowed << ": " << out << err;
  }
  EXPECT_GT(allowed, 2);
  std::remove((program + ".cfg").c_str());
}
