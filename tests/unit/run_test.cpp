#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "app/run.h"
#include "rules/allocation.h"

namespace {

TEST(RuleFilePath, ReplacesExeInAnyCaseOrAppends) {
  EXPECT_EQ(rule_file_path("/opt/q/quorbel"), "/opt/q/quorbel.cfg");
  EXPECT_EQ(rule_file_path("C:\\Q\\QUORBEL.EXE"), "C:\\Q\\QUORBEL.cfg");
  EXPECT_EQ(rule_file_path("C:\\Q\\quorbel.eXe"), "C:\\Q\\quorbel.cfg");
  EXPECT_EQ(rule_file_path("x.exe"), "x.cfg");
  EXPECT_EQ(rule_file_path(".exe"), ".exe.cfg");
  EXPECT_EQ(rule_file_path("a.exe.bak"), "a.exe.bak.cfg");
  EXPECT_EQ(rule_file_path("q.ex"), "q.ex.cfg");
  std::string long_path(9000, 'p');
  EXPECT_EQ(rule_file_path(long_path), std::string(8091, 'p') + ".cfg");
}

// Every set-up allocation that can fail gives its own message on standard
// error and status 1.
TEST(Run, OutOfMemoryAtEachSetUpAllocation) {
  std::string program = ::testing::TempDir() + "quorbel_run_test_" + std::to_string(getpid());
  std::ofstream(program + ".cfg", std::ios::binary) << "a^b\nab^c\n";
  // Rule text, entry array, the two sort arrays, the prefix list.
  const char* expected[] = {"Mem\xf3ria insuficiente\r\n", "Mem\xf3ria insuficiente", "Mem\xf3ria insuficiente\r\n",
                            "Mem\xf3ria insuficiente\r\n", "Mem\xf3ria insuficiente\r\n"};
  for (int allowed = 0; allowed < 5; ++allowed) {
    fail_allocations_after(allowed);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = run(program, {"no-such-file"}, '^');
    std::fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    fail_allocations_after(-1);
    EXPECT_EQ(status, 1) << allowed;
    EXPECT_EQ(out, "") << allowed;
    EXPECT_EQ(err, expected[allowed]) << allowed;
  }
  std::remove((program + ".cfg").c_str());
}

}  // namespace
