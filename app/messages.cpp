#include "app/messages.h"

#include <cstdio>
#include <cstring>

#include "platform/utf16.h"

namespace {

// Calls `piece(bytes, is_name)` for each piece of `text` and `names`, in order.
template <typename Piece>
void each_piece(const char* text, std::initializer_list<std::string_view> names, Piece piece) {
  const std::string_view* name = names.begin();
  std::string_view rest = text;
  for (std::size_t at = rest.find("%s"); at != std::string_view::npos && name != names.end(); at = rest.find("%s")) {
    piece(rest.substr(0, at), false);
    piece(*name++, true);
    rest.remove_prefix(at + 2);
  }
  piece(rest, false);
}

}  // namespace

Encoding encoding_for(platform::Sink sink, const std::string& codeset) {
  if (sink == platform::Sink::Console) return Encoding::Utf16;
  // A terminal whose locale names no character set is most likely a UTF-8
  // one reached without the locale passed on (ssh, containers).
  return codeset == "utf8" || (codeset.empty() && sink == platform::Sink::Terminal) ? Encoding::Utf8 : Encoding::Latin1;
}

std::string rendered(Encoding encoding, const char* text, std::initializer_list<std::string_view> names) {
  std::string line;
  each_piece(text, names, [&line, encoding](std::string_view bytes, bool is_name) {
    if (is_name) {
      line += encoding == Encoding::Utf8 ? std::string(bytes) : platform::name_for_output(bytes);
      return;
    }
    for (char c : bytes) {
      auto byte = static_cast<unsigned char>(c);
      if (encoding == Encoding::Utf8 && byte >= 0x80) {  // each ISO-8859-1 byte is the code point of its value
        line += static_cast<char>(0xC0 | (byte >> 6));
        line += static_cast<char>(0x80 | (byte & 0x3F));
      } else {
        line += encoding == Encoding::Latin1 && c == '\n' ? "\r\n" : std::string(1, c);
      }
    }
  });
  return line;
}

std::u16string rendered_for_console(const char* text, std::initializer_list<std::string_view> names) {
  std::u16string line;
  each_piece(text, names, [&line](std::string_view bytes, bool is_name) {
    std::u16string piece;
    if (is_name) {
      piece = platform::utf16_from_utf8(bytes);
    } else {
      for (char byte : bytes) piece += static_cast<char16_t>(static_cast<unsigned char>(byte));
    }
    for (char16_t unit : piece) line += unit == u'\n' ? u"\r\n" : std::u16string(1, unit);
  });
  return line;
}

void set_up_streams() {
  // A setting that cannot be made leaves the default, with which the tool
  // still works. The C library sizes a buffer it allocates itself as it
  // likes: it is given one.
  (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
  if (platform::sink_of(platform::Stream::Out) == platform::Sink::File) {
    static char buffer[kRedirectedBufferSize];
    (void)std::setvbuf(stdout, buffer, _IOFBF, kRedirectedBufferSize);
  } else {
    (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
  }
}

void print(platform::Stream stream, const char* text, std::initializer_list<std::string_view> names) {
  static const std::string codeset = platform::locale_codeset();
  Encoding encoding = encoding_for(platform::sink_of(stream), codeset);
  if (encoding == Encoding::Utf16) {
    platform::write_console(stream, rendered_for_console(text, names));
  } else {
    // A console write that fails has no one left to tell.
    std::string line = rendered(encoding, text, names);
    (void)std::fwrite(line.data(), 1, line.size(), stream == platform::Stream::Out ? stdout : stderr);
  }
}

void print_error_report(std::string_view name, int error) {
  print(platform::Stream::Err, "%s: %s\n", {name, std::strerror(error)});
}

bool waits_for_enter(const platform::ConsoleFacts& facts) {
  return facts.attached_processes == 1 && facts.input_is_console && facts.output_is_console;
}

void read_line() {
  for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
  }
}
