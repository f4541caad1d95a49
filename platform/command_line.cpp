#include "platform/command_line.h"

namespace platform {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The program-name word is a path: quotes group it, a backslash is a path
// separator even before a quote.
const char* skip_program_name(const char* p) {
  while (is_blank(*p)) ++p;
  bool quoted = false;
  for (; *p != '\0' && (quoted || !is_blank(*p)); ++p) {
    if (*p == '"') quoted = !quoted;
  }
  return p;
}

}  // namespace

std::vector<std::string> split_command_line(const char* line) {
  std::vector<std::string> arguments;
  const char* p = skip_program_name(line);
  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == '\0') return arguments;
    // A word is everything up to an unquoted blank; `""` alone is an empty name.
    std::string word;
    bool quoted = false;
    for (; *p != '\0' && (quoted || !is_blank(*p)); ++p) {
      if (p[0] == '\\' && p[1] == '"') {
        word += '"';
        ++p;
      } else if (*p == '"') {
        quoted = !quoted;
      } else {
        word += *p;
      }
    }
    arguments.push_back(word);
  }
}

}  // namespace platform
