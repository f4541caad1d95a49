#pragma once
// Encodings read plainly, for the unit tests and the fuzzers: a text's class, decoding one code point at a time.

#include <algorithm>
#include <string>
#include <string_view>

#include "rules/encoding.h"

inline TextClass reference_class(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return TextClass::Binary;
  bool high = false;
  for (std::size_t i = 0; i < text.size();) {
    auto byte = [&](std::size_t at) { return at < text.size() ? static_cast<unsigned char>(text[at]) : 0U; };
    unsigned lead = byte(i);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 0;
    if (length == 0) return TextClass::SingleByte;
    char32_t code_point = lead & (0xFFU >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return TextClass::SingleByte;
      code_point = code_point << 6 | (byte(i + k) & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};  // below: an overlong form
    if (code_point < smallest[length] || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      return TextClass::SingleByte;
    }
    high = high || lead >= 0x80;
    i += length;
  }
  return high ? TextClass::Utf8 : TextClass::Ascii;
}

// Feeds `text` in pieces of `chunk` bytes, and once more cut at `split`; checks what the classifier says against
// the reference: the class exactly where only a NUL settles it, else the rules the class gets.
inline std::string check_classifier(const std::string& text, TextClass rules, ClassifyPath path, std::size_t chunk) {
  TextClass expected = reference_class(text);
  for (std::size_t split : {chunk, text.size() - std::min(chunk, text.size())}) {
    TextClassifier classifier = start_classifying(rules);
    classifier.path = path;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t count = std::min(at < split ? split - at : chunk, text.size() - at);
      classify(&classifier, text.data() + at, count);
      at += count;
    }
    TextClass found = class_so_far(classifier);
    if (rules == TextClass::Utf8 ? found != expected
                                 : rule_encoding_for(rules, found) != rule_encoding_for(rules, expected)) {
      return "class " + std::to_string(static_cast<int>(found)) + " for chunks of " + std::to_string(chunk);
    }
  }
  return "";
}
