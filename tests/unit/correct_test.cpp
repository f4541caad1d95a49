// The per-file sequence over a file system in memory: a failure at each call in turn leaves the file as it was, with
// the message that says what failed; waits say so and end; taken names and other users' files stay as they are; one
// file under two names, and its directory synced once.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/correct_files.h"
#include "app/messages.h"
#include "rules/allocation.h"
#include "fake_files.h"
#include "encoding_model.h"

using Names = std::vector<std::string>;

struct Outcome {
  bool corrected;
  std::string out, err;
};

static Outcome correct(FakeFiles& files, LoadedTable& rules, const Names& names) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  bool corrected = correct_files(files, &rules.tables, names);
  std::string out = testing::internal::GetCapturedStdout();
  return {corrected, out, testing::internal::GetCapturedStderr()};
}

// What the run prints for one file: "Analisando" when it got that far, the failure if any, "Feito".
static std::string said(const std::string& name, bool analysed, const char* failure) {
  return (analysed ? printed(text::kAnalysing, {name}) : "") + (failure ? printed(failure, {name}) : "") +
         printed(text::kDone);
}

TEST(Correct, AFailureAtAnyCallLeavesTheFileAsItWas) {
  // How each call's failure may end: its message (null: corrected all the same) and whether "Analisando" came before.
  struct End { const char* failure; bool analysed; };
  const std::map<std::string, std::vector<End>> ends = {
      {"open_directory_of", {{text::kCannotOpen, false}}},
      // While the file is taken, a look that fails is tried again.
      {"look", {{text::kCannotOpen, false}, {nullptr, true}, {text::kCannotMove, true}}},
      {"status_of", {{nullptr, true}, {text::kCannotMove, true}}},
      {"holds_files_safely", {{text::kCannotCreate, false}}},
      {"try_lock", {{text::kCannotOpen, false}}},
      {"open_file", {{text::kCannotOpen, false}}},
      {"read", {{text::kCannotRead, true}}},
      {"rewind", {{text::kCannotRead, true}}},
      {"create_exclusive", {{text::kCannotCreate, true}}},
      {"copy_start", {{text::kCannotWrite, true}}},
      {"write", {{text::kCannotWrite, true}}},
      {"flush", {{text::kCannotWrite, true}}},
      {"copy_access", {{text::kCannotMove, true}}},
      {"move_over", {{text::kCannotMove, true}}},
      {"sync_directory", {{nullptr, true}}},  // the file is in place by then
      // A temporary file given up when the stream starts again: the system keeps it, the file is corrected.
      {"remove", {{nullptr, true}}},
  };
  // Unchanged for a while, so that the start is copied, then long enough for several reads and writes; in UTF-8 rules
  // over a text in Windows-1252 as well, which the stream learns only at its end and then streams again.
  const struct { std::string rules, before, after; } cases[] = {
      {"a^b\n", "XX" + std::string(300000, 'a') + "X", "XX" + std::string(300000, 'b') + "X"},
      {"a^\xc3\xa1\n", "XX" + std::string(300000, 'a') + "\xe9", "XX" + std::string(300000, '\xe1') + "\xe9"},
  };
  int points = 0;
  for (const auto& c : cases) {
    LoadedTable rules(c.rules, '^');
    for (std::size_t fail_at = 0;; ++fail_at) {
      FakeFiles files;
      files.add("d/f.txt", c.before);
      files.add("d/other", "a");
      files.fail_at = static_cast<int>(fail_at);
      Outcome run = correct(files, rules, {"d/f.txt"});
      Names left = files.list("d");
      bool kept = fail_at < files.calls.size() && files.calls[fail_at] == "remove";
      EXPECT_EQ(left.size(), kept ? 3U : 2U) << fail_at;  // nothing else left behind
      EXPECT_EQ(Names(left.begin(), left.begin() + 2), (Names{"f.txt", "other"})) << fail_at;
      EXPECT_TRUE(files.handles.empty()) << fail_at;
      const std::string& bytes = files.nodes[files.find("d/f.txt")].bytes;
      if (fail_at >= files.calls.size()) {  // nothing failed
        EXPECT_EQ(bytes, c.after);
        EXPECT_EQ(run.out, said("d/f.txt", true, nullptr));
        break;
      }
      ++points;
      const std::string& call = files.calls[fail_at];
      ASSERT_EQ(ends.count(call), 1U) << call;
      bool expected = false;
      for (const End& end : ends.at(call)) {
        expected = expected || (run.out == said("d/f.txt", end.analysed, end.failure) &&
                                run.corrected == (end.failure == nullptr) &&
                                bytes == (end.failure == nullptr ? c.after : c.before));
      }
      EXPECT_TRUE(expected) << "call " << fail_at << ", " << call << ": " << run.out;
      EXPECT_EQ(run.err, "") << call;
    }
  }
  std::printf("failures injected at %d calls\n", points);
  testing::Test::RecordProperty("injection_points", points);
  EXPECT_GT(points, 40);
}

// Whichever allocation fails while the rules are built in a file's encoding, the run says so on standard error,
// leaves that file as it is and corrects the next.
TEST(Correct, OutOfMemoryForTheRulesInAFilesEncodingLeavesThatFile) {
  for (int allowed = 0;; ++allowed) {
    LoadedTable rules("nao^n\xc3\xa3o\n", '^');
    FakeFiles files;
    files.add("ansi", "nao \xe9");
    files.add("utf8", "nao");
    fail_allocations_after(allowed);
    Outcome run = correct(files, rules, {"ansi", "utf8"});
    fail_allocations_after(-1);
    bool failed = !run.err.empty();
    EXPECT_EQ(run.out, printed("Analisando: ansi\nAnalisando: utf8\nFeito\n"));
    EXPECT_EQ(std::make_pair(run.err, run.corrected), std::make_pair(failed ? printed(text::kNoMemory) : "", !failed));
    EXPECT_EQ(files.nodes[files.find("ansi")].bytes + "|" + files.nodes[files.find("utf8")].bytes,
              (failed ? "nao \xe9" : "n\xe3o \xe9") + std::string("|n\xc3\xa3o"));
    if (!failed) {
      EXPECT_GT(allowed, 3);
      break;
    }
  }
}

TEST(Correct, WaitsSaySoOnceAndEnd) {
  LoadedTable rules("a^b\n", '^');
  // How long another process holds the lock, or another program keeps the file open without sharing it, and
  // whether the run says that it waits and corrects the file.
  const struct { int64_t held_ms, kept_ms; bool says, corrected; } cases[] = {
      {0, 0, false, true},
      {kQuietWaitMs - 1, 0, false, true},
      {kQuietWaitMs + 1, 0, true, true},
      {kLongestWaitMs - 1, 0, true, true},
      {kLongestWaitMs + 1, 0, true, false},
      {1'000'000, 0, true, false},
      {0, 500, false, true},  // a moment, as a virus scanner takes
      {0, 1'000'000, false, false},
  };
  for (const auto& c : cases) {
    FakeFiles files;
    files.add("d/f.txt", "a");
    files.add("d/g.txt", "a");
    files.held_until_ms[files.find("d/f.txt")] = c.held_ms;
    files.kept_until_ms[files.find("d/f.txt")] = c.kept_ms;
    Outcome run = correct(files, rules, {"d/f.txt", "d/g.txt"});
    EXPECT_EQ(run.err, c.says ? printed(text::kWaiting, {"d/f.txt"}) : "") << c.held_ms;
    std::string first = c.corrected ? printed(text::kAnalysing, {"d/f.txt"}) : printed(text::kCannotOpen, {"d/f.txt"});
    EXPECT_EQ(run.out, first + said("d/g.txt", true, nullptr)) << c.held_ms << " " << c.kept_ms;
    EXPECT_EQ(files.nodes[files.find("d/f.txt")].bytes, c.corrected ? "b" : "a") << c.held_ms;
    EXPECT_EQ(run.corrected, c.corrected);
    // Slept no longer than it had to, nor than its patience.
    EXPECT_LE(files.now_ms, std::max(c.held_ms, c.kept_ms) + 100) << c.held_ms;
    EXPECT_LE(files.now_ms, kLongestWaitMs + 100) << c.held_ms;
  }
}

TEST(Correct, NamesTakenAndOtherUsersFilesStayAsTheyAre) {
  LoadedTable rules("a^b\n", '^');
  // The number 0 names "quorbel-aaaaaaaaaa.tmp", here taken under another spelling where letter case is ignored.
  const struct { std::vector<uint64_t> randoms; bool others_access; const char* failure; } cases[] = {
      {{0}, false, nullptr},
      {std::vector<uint64_t>(15, 0), false, nullptr},
      {std::vector<uint64_t>(16, 0), false, text::kCannotCreate},  // every name tried is taken
      {{}, true, text::kCannotMove},                              // another user's file
  };
  for (const auto& c : cases) {
    FakeFiles files;
    files.ignore_case = true;
    files.add("d/f.txt", "a");
    files.add("d/QUORBEL-AAAAAAAAAA.TMP", "kept");
    files.nodes[files.find("d/f.txt")].others_access = c.others_access;
    files.randoms = c.randoms;
    Outcome run = correct(files, rules, {"d/F.TXT"});
    EXPECT_EQ(run.out, said("d/F.TXT", true, c.failure)) << c.randoms.size();
    EXPECT_EQ(files.nodes[files.find("d/f.txt")].bytes, c.failure ? "a" : "b");
    EXPECT_EQ(files.nodes[files.find("d/QUORBEL-AAAAAAAAAA.TMP")].bytes, "kept");
    EXPECT_EQ(files.list("d"), (Names{"QUORBEL-AAAAAAAAAA.TMP", "f.txt"}));
  }
}

TEST(Correct, OneFileUnderTwoNamesAndEachDirectorySyncedOnce) {
  LoadedTable rules("a^b\n", '^');
  FakeFiles files;
  files.add("d/f.txt", "aaa");
  files.add("d/g.txt", "a");
  files.add("e/h.txt", "a");
  files.add("e/same.txt", "b");
  files.nodes[1].entries["b"] = files.find("d");  // the directory once more, as a bind mount shows it
  Outcome run = correct(files, rules, {"b/f.txt", "d/g.txt", "d/f.txt", "e/h.txt", "e/same.txt", "b/g.txt"});
  EXPECT_EQ(run.out, printed("Analisando: b/f.txt\nAnalisando: d/g.txt\nAnalisando: d/f.txt\nAnalisando: e/h.txt\n"
                             "Analisando: e/same.txt\nAnalisando: b/g.txt\nFeito\n"));
  EXPECT_EQ(files.nodes[files.find("d/f.txt")].bytes + files.nodes[files.find("e/h.txt")].bytes, "bbbb");
  EXPECT_EQ(files.synced, (std::vector<uint64_t>{files.find("d"), files.find("e")}));
  EXPECT_EQ(files.list("d"), (Names{"f.txt", "g.txt"}));
}
