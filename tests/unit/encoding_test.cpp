// Which rules a file gets for its encoding: the classifier against a plain reading of UTF-8 at every chunking,
// and the rules of each class over texts of each class through the table choice and the stream.

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/correct_files.h"
#include "app/messages.h"
#include "encoding_model.h"
#include "fake_files.h"

using namespace std::string_literals;

constexpr ClassifyPath kPaths[] = {ClassifyPath::Sequences, ClassifyPath::Avx2};

// Sequences that begin, end or break each rule of UTF-8, and ASCII.
const std::string kPieces[] = {
    "a", "\n", "\0"s, "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf",
    "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "\xc3\xa3", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
    "\x80", "\xbf", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf", "\xf0\x8f\xbf\xbf",
    "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf8\x88\x80\x80\x80", "\xfe", "\xff", "\xc3", "\xe2\x82", "\xf0\x9f\x98",
    "\xe3o", "\xe9", "\x81\x8d"};

// Each piece about the vector blocks' edges, at every chunking; random texts are the fuzzer's.
TEST(Encoding, ClassifierAgreesWithTheReferenceAtEveryChunking) {
  for (const std::string& piece : kPieces) {
    for (std::size_t at : {0, 1, 29, 31, 32, 61, 62, 63, 64, 65, 127, 128, 190}) {
      for (const std::string& text : {"\xc3\xa9" + std::string(at, 'a') + piece + std::string(at % 7, 'b'),
                                      std::string(at, 'a') + piece + std::string(130, 'a')}) {
        for (ClassifyPath path : kPaths) {
          for (TextClass rules : {TextClass::Utf8, TextClass::SingleByte}) {
            for (std::size_t chunk = 1; processor_has(path) && chunk <= text.size(); chunk += chunk < 70 ? 1 : 17) {
              ASSERT_EQ(check_classifier(text, rules, path, chunk), "") << testing::PrintToString(text);
            }
          }
        }
      }
    }
  }
}

// A rule file loaded, and `text` corrected by the tool's own sequence in a file system in memory: the bytes the file
// then holds, and "+" when rules were left out of it.
static std::string correct(const std::string& rule_file, const std::string& text) {
  LoadedTable rules(rule_file, '^');
  if (!rules.built) return "(no rules)";
  FakeFiles files;
  files.add("t", text);
  testing::internal::CaptureStdout();
  bool corrected = correct_files(files, &rules.tables, {"t"});
  std::string out = testing::internal::GetCapturedStdout();
  if (!corrected || out.find(printed(text::kAnalysing, {"t"})) != 0) return "(failed: " + out + ")";
  bool left_out = out.find(printed(text::kRulesLeftOut, {"t"})) != std::string::npos;
  return files.nodes[files.find("t")].bytes + (left_out ? "+" : "");
}

TEST(Encoding, EachFileGetsTheRulesInItsEncoding) {
  const std::string ascii = "nao^NAO\n", utf8 = "nao^n\xc3\xa3o\n\xc3\xa9^e\n", single = "nao^n\xe3o\n\xe9^e\n";
  // Windows-1252's letters in 0x80-0x9F, two of its unassigned bytes and "ã", as rules from each letter to its
  // number and back, each way.
  const char* letters[] = {"\x80\xe2\x82\xac", "\x93\xe2\x80\x9c", "\x94\xe2\x80\x9d", "\x96\xe2\x80\x93",
                           "\x97\xe2\x80\x94", "\x8a\xc5\xa0",     "\x9c\xc5\x93",     "\x9f\xc5\xb8",
                           "\x81\xc2\x81",     "\x8d\xc2\x8d",     "\xe3\xc3\xa3"};  // Windows-1252, then UTF-8
  std::string rules_utf8, rules_1252, text_utf8, text_1252, numbered_utf8, numbered_1252;
  auto e_acute = [](std::size_t count) {
    std::string text;
    while (count-- > 0) text += "\xc3\xa9";
    return text;
  };
  for (std::size_t i = 0; i < std::size(letters); ++i) {
    std::string n = std::to_string(i), in_1252(letters[i], 1), in_utf8(letters[i] + 1);
    rules_utf8 += in_utf8 + "^" + n + "\n<" + n + ">^" + in_utf8 + "\n";
    rules_1252 += in_1252 + "^" + n + "\n<" + n + ">^" + in_1252 + "\n";
    text_utf8 += in_utf8 + "<" + n + ">";
    text_1252 += in_1252 + "<" + n + ">";
    numbered_utf8 += n + in_utf8;
    numbered_1252 += n + in_1252;
  }
  const struct { std::string rules, text, expected; } cases[] = {
      // Rules of each class over texts of each class: ascii, UTF-8, single-byte, binary.
      {ascii, "nao e", "NAO e"}, {ascii, "nao \xc3\xa9", "NAO \xc3\xa9"}, {ascii, "nao \xe9", "NAO \xe9"},
      {ascii, "nao\0\xc3\xa9\xe9"s, "NAO\0\xc3\xa9\xe9"s},
      {utf8, "nao e", "n\xc3\xa3o e"}, {utf8, "nao \xc3\xa9", "n\xc3\xa3o e"}, {utf8, "nao \xe9", "n\xe3o e"},
      {utf8, "nao\0\xc3\xa9\xe9"s, "n\xc3\xa3o\0e\xe9"s},
      {single, "nao e", "n\xe3o e"}, {single, "nao \xc3\xa9", "n\xc3\xa3o e"}, {single, "nao \xe9", "n\xe3o e"},
      {single, "nao\0\xc3\xa9\xe9"s, "n\xe3o\0\xc3\xa9" "e"s},
      {rules_utf8, text_1252, numbered_1252}, {rules_1252, text_utf8, numbered_utf8},
      {"n\xc3\xa3o^nao\n", "n\xe3o", "nao"}, {"n\xe3o^nao\n", "n\xc3\xa3o", "nao"},
      // A character that Windows-1252 lacks: its rule applies to UTF-8 texts alone.
      {"->^\xe2\x86\x92\nnao^n\xc3\xa3o\n", "a -> nao", "a \xe2\x86\x92 n\xc3\xa3o"},
      {"->^\xe2\x86\x92\nnao^n\xc3\xa3o\n", "a -> nao \xe9", "a -> n\xe3o \xe9+"},
      {"->^\xe2\x86\x92\n", "a -> \xe9", "a -> \xe9+"},  // no rule left
      {"\xef\xbb\xbfnao^n\xc3\xa3o\n", "\xef\xbb\xbfnao", "\xef\xbb\xbfn\xc3\xa3o"},  // byte-order marks
      {single, "\xef\xbb\xbfnao", "\xef\xbb\xbfn\xc3\xa3o"},
      {utf8, "nao n\xc3\xa3o \xc3", "n\xe3o n\xc3\xa3o \xc3"},  // valid up to a cut last sequence
      // A key grown past the longest key in UTF-8 is left out.
      {std::string(100, '\xe9') + "^x\n" + single, e_acute(100) + " nao", "x n\xc3\xa3o"},
      {"a" + std::string(100, '\xe9') + "^x\n" + single, "a" + e_acute(100) + " nao",
       "a" + std::string(100, 'e') + " n\xc3\xa3o+"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(correct(c.rules, c.text), c.expected) << testing::PrintToString(c.rules + "|" + c.text);
  }
}

TEST(Encoding, RandomRulesAgreeWithTheModel) {
  std::mt19937 random(21);
  const std::string alphabet[] = {"a", "b", " ", "\xc3\xa3", "\xe2\x82\xac", "\xe2\x86\x92", "\xe3", "\x80", "\x81"};
  auto random_text = [&](std::size_t pieces, std::size_t kinds) {
    std::string text;
    while (pieces-- > 0) text += alphabet[random() % kinds];
    return text;
  };
  for (int round = 0; round < 300; ++round) {
    // UTF-8 rules from the first six pieces, single-byte ones from all; texts of every class.
    std::size_t rule_kinds = round % 2 == 0 ? 6 : 9;
    std::set<std::string> keys;
    std::string rule_file;
    for (int i = 0; i < 1 + round % 30; ++i) {
      std::string key = random_text(1 + random() % 4, rule_kinds);
      if (keys.insert(key).second) rule_file += key + "^" + random_text(random() % 3, rule_kinds) + "\n";
    }
    std::string text = random_text(300, round % 3 == 0 ? 3 : round % 3 == 1 ? 6 : 9);
    if (round % 7 == 0) text[random() % text.size()] = '\0';
    EncodedModel model(rule_file, '^', reference_class(text));
    LoadedTable rules(model.rule_file, '^');
    std::string expected = rules.built ? rewrite_by(rules.table, text, lookup_in_search_order) : text;
    ASSERT_EQ(correct(rule_file, text), expected + (model.left_out ? "+" : "")) << rule_file << "|" << text;
  }
}
