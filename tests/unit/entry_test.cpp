// From the program's path and command line to the rule file and the names,
// and a set-up that runs out of memory at any allocation.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/command_line.h"
#include "rules/allocation.h"

namespace {

using Names = std::vector<std::string>;

TEST(Entry, RuleFileBesideTheProgram) {
  const std::pair<std::string, std::string> cases[] = {
      {"/opt/q/quorbel", "/opt/q/quorbel.cfg"}, {"C:\\Q\\QUORBEL.EXE", "C:\\Q\\QUORBEL.cfg"},
      {"C:\\Q\\q.eXe", "C:\\Q\\q.cfg"},        {"x.exe", "x.cfg"},
      {".exe", ".exe.cfg"},                      {"a.exe.bak", "a.exe.bak.cfg"},
      {"q.ex", "q.ex.cfg"},                      {std::string(9000, 'p'), std::string(kRulePathBound - 1, 'p') + ".cfg"},
  };
  for (const auto& [program, rules] : cases) EXPECT_EQ(rule_file_path(program), rules) << program;
}

TEST(Entry, WindowsCommandLineSplitsIntoNames) {
  const std::pair<const char*, Names> cases[] = {
      // The program-name word is skipped; in it a backslash before a quote is a path separator.
      {"", {}},
      {"  C:\\q\\quorbel.exe   ", {}},
      {"\"C:\\Program Files\\q.exe\" a", {"a"}},
      {"\"C:\\dir with blank\\\" a", {"a"}},
      {"C:\\\"my dir\"\\q.exe\tb", {"b"}},
      // Blanks and tabs split; other control bytes are ordinary.
      {"q \t a\t\tb  \t", {"a", "b"}},
      {"q a\nb\rc\vd", {"a\nb\rc\vd"}},
      // Quoted parts hold blanks and join their neighbours; an open quote runs to the end.
      {"q x\"a b\"y \"a\tb\"", {"xa by", "a\tb"}},
      {"q \"a\"\" b\" \"\" \"a b  ", {"a b", "", "a b  "}},
      // Backslash + quote is a literal quote; other backslashes are ordinary.
      {"q \\\"a b\\\" \"a \\\" b\"", {"\"a", "b\"", "a \" b"}},
      {"q a\\\\\"b c\"", {"a\\\"b", "c"}},
      {"q \\\\\"b c\"", {"\\\"b", "c"}},
      {"q \\\\server\\s\\b dir\\ *.txt -n /x \xe9t\xe9 ^$%'", {"\\\\server\\s\\b", "dir\\", "*.txt", "-n", "/x", "\xe9t\xe9", "^$%'"}},
  };
  for (const auto& [line, names] : cases) EXPECT_EQ(platform::split_command_line(line), names) << line;
}

// Whichever set-up allocation fails, the run says so on standard error (the
// messages are in the end-to-end golden files) and ends with status 1.
TEST(Entry, OutOfMemoryAtAnySetUpAllocation) {
  std::string program = ::testing::TempDir() + "quorbel_entry_test_" + std::to_string(getpid());
  std::ofstream(program + ".cfg", std::ios::binary) << "a^b\nab^c\n";
  int status = 1;
  int allowed = 0;
  for (; status != 0; ++allowed) {
    fail_allocations_after(allowed);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    status = run(program, {"no-such-file"}, '^');
    std::fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    fail_allocations_after(-1);
    if (status != 0) EXPECT_TRUE(status == 1 && out.empty() && !err.empty()) << allowed << ": " << out << err;
  }
  EXPECT_GT(allowed, 1);
  std::remove((program + ".cfg").c_str());
}

}  // namespace
