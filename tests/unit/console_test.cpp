// The texts in each stream's encoding, UTF-8 and UTF-16 each way, the Windows
// command line split into names, and when the usage text waits for ENTER:
// plain code, tested on every system.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/messages.h"
#include "platform/command_line.h"
#include "platform/utf16.h"

using Lines = std::vector<std::string>;

TEST(Console, EachStreamGetsTheTextsInItsEncoding) {
  // The locale's character set, and what each stream leads to.
  const struct { const char* codeset; platform::Sink sink; Encoding encoding; } choices[] = {
      {"utf8", platform::Sink::File, Encoding::Utf8},       {"utf8", platform::Sink::Terminal, Encoding::Utf8},
      {"", platform::Sink::Terminal, Encoding::Utf8},       {"", platform::Sink::File, Encoding::Latin1},
      {"iso88591", platform::Sink::Terminal, Encoding::Latin1}, {"", platform::Sink::Console, Encoding::Utf16},
  };
  for (const auto& c : choices) EXPECT_EQ(encoding_for(c.sink, c.codeset), c.encoding) << c.codeset;
  const char* name = "relat\xc3\xb3rio \xe2\x9c\x93 \xe6\x9d\xb1\xe4\xba\xac Erd\xc5\x91s \xf0\x9f\x98\x80.txt";
  EXPECT_EQ(rendered(Encoding::Latin1, "N\xe3o consegui abrir: %s\nFeito\n", {name}),
            "N\xe3o consegui abrir: " + std::string(name) + "\r\nFeito\r\n");
  EXPECT_EQ(rendered(Encoding::Utf8, "N\xe3o consegui abrir: %s\nFeito\n", {name}),
            "N\xc3\xa3o consegui abrir: " + std::string(name) + "\nFeito\n");
  EXPECT_EQ(rendered_for_console("N\xe3o consegui abrir: %s\nFeito\n", {name}),
            u"Não consegui abrir: relatório ✓ 東京 Erdős 😀.txt\r\nFeito\r\n");
}

TEST(Console, NamesComeBackWhole) {
  const std::pair<std::u16string, std::string> names[] = {
      {u"", ""}, {u"a b.txt", "a b.txt"}, {u"\u00e9", "\xc3\xa9"}, {u"\u6771\u4eac", "\xe6\x9d\xb1\xe4\xba\xac"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},
      // Lone surrogates, which Windows names may hold, as the bytes UTF-8 would give their code points.
      {std::u16string(1, 0xD83D), "\xed\xa0\xbd"}, {std::u16string{0xDE00, u'a'}, "\xed\xb8\x80" "a"}};
  for (const auto& [utf16, utf8] : names) {
    EXPECT_EQ(platform::utf8_from_utf16(utf16), utf8);
    EXPECT_EQ(platform::utf16_from_utf8(utf8), utf16) << utf8;
  }
  // Each byte that begins no sequence, or only a cut, overlong or too large one, stands for itself as U+FFFD.
  const std::pair<std::string, std::u16string> invalid[] = {
      {"\x80", u"\uFFFD"}, {"a\xffz", u"a\uFFFDz"}, {"\xc0\xaf", u"\uFFFD\uFFFD"}, {"\xe6\x9d", u"\uFFFD\uFFFD"},
      {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}};
  for (const auto& [utf8, utf16] : invalid) EXPECT_EQ(platform::utf16_from_utf8(utf8), utf16) << utf8;
}

TEST(Console, WindowsCommandLineSplitsIntoNames) {
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
      // UTF-8 never holds the bytes these rules are about: its names pass whole.
      {"q \\\\server\\s\\b dir\\ *.txt -n /x \xc3\xa9t\xc3\xa9 \xe6\x9d\xb1\"\xf0\x9f\x98\x80 \xc5\x91\" ^$%'",
       {"\\\\server\\s\\b", "dir\\", "*.txt", "-n", "/x", "\xc3\xa9t\xc3\xa9", "\xe6\x9d\xb1\xf0\x9f\x98\x80 \xc5\x91", "^$%'"}},
  };
  for (const auto& [line, names] : cases) EXPECT_EQ(platform::split_command_line(line), names) << line;
}

TEST(Console, WaitsForEnterOnlyInAWindowOfItsOwn) {
  const std::pair<platform::ConsoleFacts, bool> cases[] = {
      {{1, true, true}, true},     // started from Explorer, or by `start` in a new window
      {{2, true, true}, false},    // typed in cmd or PowerShell, or run by a batch file that Explorer started
      {{3, true, true}, false},    // one shell started from another
      {{1, false, true}, false},   // input redirected
      {{1, true, false}, false},   // output redirected
      {{0, false, false}, false},  // no console: started by a program that reads its output through pipes
  };
  for (const auto& [facts, waits] : cases) {
    EXPECT_EQ(waits_for_enter(facts), waits) << facts.attached_processes << facts.input_is_console;
  }
}
