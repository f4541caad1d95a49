// The Windows command-line splitter against a plain reading of its rules: a
// word runs to an unquoted blank or tab; a double quote toggles quoting and is
// dropped; backslash + double quote is a literal double quote, except in the
// program-name word, which is then dropped.

#include <string>
#include <vector>

#include "fuzz.h"
#include "platform/command_line.h"

static std::vector<std::string> reference_split(const std::string& line) {
  std::vector<std::string> words;  // the last one is the word being read
  bool in_word = false, quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (!quoted && (line[i] == ' ' || line[i] == '\t')) {
      in_word = false;
      continue;
    }
    if (!in_word) words.emplace_back();
    in_word = true;
    if (words.size() > 1 && line.compare(i, 2, "\\\"") == 0) {
      words.back() += '"';
      ++i;
    } else if (line[i] == '"') {
      quoted = !quoted;
    } else {
      words.back() += line[i];
    }
  }
  if (!words.empty()) words.erase(words.begin());
  return words;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  require(platform::split_command_line(bytes.c_str()) == reference_split(bytes.substr(0, bytes.find('\0'))),
          "split_command_line differs from the reference");
  return 0;
}
