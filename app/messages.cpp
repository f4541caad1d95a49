#include "app/messages.h"

#include <cstring>
#include <vector>

void print(platform::Stream stream, const char* text, std::initializer_list<std::string_view> names) {
  std::vector<platform::MessagePiece> pieces;
  const std::string_view* name = names.begin();
  std::string_view rest = text;
  for (std::size_t at = rest.find("%s"); at != std::string_view::npos && name != names.end(); at = rest.find("%s")) {
    pieces.push_back({rest.substr(0, at), false});
    pieces.push_back({*name++, true});
    rest.remove_prefix(at + 2);
  }
  pieces.push_back({rest, false});
  platform::write_message(stream, pieces.data(), pieces.size());
}

void print_error_report(std::string_view name, int error) {
  print(platform::Stream::Err, "%s: %s\n", {name, std::strerror(error)});
}
