#pragma once
// Encodings read plainly, for the unit tests and the fuzzers: a text's class, decoding one code point at a time, and
// the rules as a file of another encoding gets them, through a table of Windows-1252's characters in UTF-8.

#include <algorithm>
#include <string>
#include <string_view>

#include "model.h"
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

// Windows-1252's characters for 0x80 to 0xFF in UTF-8.
inline std::string utf8_of_windows1252(unsigned byte) {
  static const char* const k80To9F[32] = {
      "\u20AC", "\u0081", "\u201A", "\u0192", "\u201E", "\u2026", "\u2020", "\u2021", "\u02C6", "\u2030", "\u0160",
      "\u2039", "\u0152", "\u008D", "\u017D", "\u008F", "\u0090", "\u2018", "\u2019", "\u201C", "\u201D", "\u2022",
      "\u2013", "\u2014", "\u02DC", "\u2122", "\u0161", "\u203A", "\u0153", "\u009D", "\u017E", "\u0178"};
  if (byte < 0xA0) return k80To9F[byte - 0x80];
  return {static_cast<char>(0xC0 | byte >> 6), static_cast<char>(0x80 | (byte & 0x3F))};
}

// `text` in `to`; false when Windows-1252 lacks one of its characters.
inline bool transcode(const std::string& text, RuleEncoding to, std::string* out) {
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    if (byte < 0x80) {
      *out += text[i];
    } else if (to == RuleEncoding::Utf8) {
      *out += utf8_of_windows1252(byte);
    } else {
      unsigned found = 0x80;
      while (found <= 0xFF && text.compare(i, utf8_of_windows1252(found).size(), utf8_of_windows1252(found)) != 0) {
        ++found;
      }
      if (found > 0xFF) return false;
      *out += static_cast<char>(found);
      length = utf8_of_windows1252(found).size();
    }
    i += length;
  }
  return true;
}

// The rule file as a file of class `file` gets it: its rule lines, in the file's encoding where the rules' class
// differs, those that cannot be written so (or whose key grows too long) left out.
struct EncodedModel {
  std::string rule_file;
  bool left_out = false;

  EncodedModel(const std::string& file, char separator, TextClass text) {
    std::string rules = file.substr(0, file.find('\0'));
    rules.erase(0, rules.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0);
    RuleEncoding to = rule_encoding_for(reference_class(rules), text);
    rule_file = to == RuleEncoding::AsWritten ? file : "";
    if (to == RuleEncoding::AsWritten) return;
    Model model(file, separator);
    for (const auto& [key, line] : model.lines) {
      std::string encoded;
      if (transcode(line, to, &encoded)) rule_file += encoded + "\n";
    }
    left_out = Model(rule_file, separator).lines.size() < model.lines.size();
  }
};
