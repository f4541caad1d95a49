#pragma once
// UTF-8, which names travel through the tool in, to the UTF-16 that Windows'
// wide functions take, and back.
// Plain code, built on every system so that it is tested everywhere.

#include <string>
#include <string_view>

namespace platform {

// UTF-16 to UTF-8. A lone surrogate, which a Windows name may hold, becomes
// the three bytes UTF-8 would give its code point, so that every name comes
// back unchanged through utf16_from_utf8.
std::string utf8_from_utf16(std::u16string_view utf16);
// UTF-8, lone surrogates included, to UTF-16. A byte that begins no sequence
// becomes U+FFFD.
std::u16string utf16_from_utf8(std::string_view utf8);

}  // namespace platform
