#pragma once
// The tool's texts in the UTF-16 that Windows' wide functions take, and back.
// Plain code, built on every system so that it is tested everywhere.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/process.h"

namespace platform {

// UTF-16 to UTF-8. A lone surrogate, which a Windows name may hold, becomes
// the three bytes UTF-8 would give its code point, so that every name comes
// back unchanged through utf16_from_utf8.
std::string utf8_from_utf16(std::u16string_view utf16);
// UTF-8, lone surrogates included, to UTF-16. A byte that begins no sequence
// becomes U+FFFD.
std::u16string utf16_from_utf8(std::string_view utf8);

// One message as a Windows console is given it: the tool's texts as
// ISO-8859-1, each byte the code point of its value; the names from UTF-8;
// every line feed as CR LF.
std::u16string console_line(const MessagePiece* pieces, std::size_t count);

}  // namespace platform
