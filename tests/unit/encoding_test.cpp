// The classifier against a plain reading of UTF-8 at every chunking.

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "encoding_model.h"

using namespace std::string_literals;

constexpr ClassifyPath kPaths[] = {ClassifyPath::Sequences, ClassifyPath::Avx2};

// Sequences that begin, end or break each rule of UTF-8, and ASCII.
const std::string kPieces[] = {
    "a", "\n", "\0"s, "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf",
    "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "\xc3\xa3", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
    "\x80", "\xbf", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf", "\xf0\x8f\xbf\xbf",
    "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf8\x88\x80\x80\x80", "\xfe", "\xff", "\xc3", "\xe2\x82", "\xf0\x9f\x98",
    "\xe3o", "\xe9", "\x81\x8d"};

TEST(Encoding, ClassifierAgreesWithTheReferenceAtEveryChunking) {
  std::mt19937 random(2103);
  std::vector<std::string> texts{"", "\xef\xbb\xbf" "a"};
  for (const std::string& piece : kPieces) {
    for (std::size_t at : {0, 1, 29, 31, 32, 61, 62, 63, 64, 65, 127, 128, 190}) {  // about the vector blocks
      texts.push_back("\xc3\xa9" + std::string(at, 'a') + piece + std::string(at % 7, 'b'));
      texts.push_back(std::string(at, 'a') + piece + std::string(130, 'a'));
    }
  }
  for (int round = 0; round < 400; ++round) {
    std::string text;
    // Mostly the valid pieces, NUL aside; every fifth all pieces; every fifth random bytes.
    std::size_t kinds = round % 5 == 1 ? std::size(kPieces) : 14;
    for (std::size_t pieces = 1 + random() % 200; pieces > 0; --pieces) {
      std::size_t pick = random() % kinds;
      text += pick == 2 && kinds == 14 ? "b" : kPieces[pick];
    }
    if (round % 5 == 0) {
      text.assign(random() % 300, 'a');
      for (char& byte : text) byte = random() % 4 == 0 ? static_cast<char>(random()) : byte;
    }
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    for (ClassifyPath path : kPaths) {
      if (!processor_has(path)) continue;
      for (TextClass rules : {TextClass::Utf8, TextClass::SingleByte}) {
        for (std::size_t chunk = 1; chunk <= text.size(); chunk += chunk < 70 ? 1 : 17) {
          ASSERT_EQ(check_classifier(text, rules, path, chunk), "") << testing::PrintToString(text);
        }
      }
    }
  }
}
