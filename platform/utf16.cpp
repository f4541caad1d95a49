#include "platform/utf16.h"

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void append_utf16(char32_t code_point, std::u16string* utf16) {
  if (code_point < 0x10000) {
    *utf16 += static_cast<char16_t>(code_point);
  } else {
    code_point -= 0x10000;
    *utf16 += static_cast<char16_t>(0xD800 + (code_point >> 10));
    *utf16 += static_cast<char16_t>(0xDC00 + (code_point & 0x3FF));
  }
}

// The code point of the sequence at `at`, and its length in `length`; U+FFFD
// with length 1 where none begins.
char32_t decode_utf8(std::string_view utf8, std::size_t at, std::size_t* length) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(utf8[at + i]); };
  unsigned char lead = byte(0);
  *length = 1;
  if (lead < 0x80) return lead;
  std::size_t size = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  // The smallest code point each length may carry: anything below is an
  // overlong form.
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (lead < 0xC0 || lead > 0xF4 || at + size > utf8.size()) return kReplacement;
  char32_t code_point = lead & (0x7F >> size);
  for (std::size_t i = 1; i < size; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return kReplacement;
    code_point = (code_point << 6) | (byte(i) & 0x3F);
  }
  if (code_point < smallest[size] || code_point > 0x10FFFF) return kReplacement;
  *length = size;
  return code_point;
}

}  // namespace

std::string utf8_from_utf16(std::u16string_view utf16) {
  std::string utf8;
  for (std::size_t at = 0; at < utf16.size(); ++at) {
    char32_t code_point = utf16[at];
    if (is_high_surrogate(code_point) && at + 1 < utf16.size() && is_low_surrogate(utf16[at + 1])) {
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (utf16[++at] - 0xDC00);
    }
    if (code_point < 0x80) {
      utf8 += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
      utf8 += static_cast<char>(0xC0 | (code_point >> 6));
      utf8 += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (code_point >> 12));
      utf8 += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (code_point >> 18));
      utf8 += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (code_point & 0x3F));
    }
  }
  return utf8;
}

std::u16string utf16_from_utf8(std::string_view utf8) {
  std::u16string utf16;
  for (std::size_t at = 0, length = 0; at < utf8.size(); at += length) {
    append_utf16(decode_utf8(utf8, at, &length), &utf16);
  }
  return utf16;
}

}  // namespace platform
