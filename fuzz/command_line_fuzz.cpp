// The Windows command-line splitter against a plain reading of its rules.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz.h"
#include "platform/command_line.h"

namespace {

// One pass over the line: a word runs to an unquoted blank or tab; a double
// quote toggles quoting and is dropped; backslash + double quote is a literal
// double quote, except in the program-name word, where backslashes are path
// separators. The program-name word is then dropped.
std::vector<std::string> reference_split(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (!quoted && (c == ' ' || c == '\t')) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    bool program_name = words.empty();
    if (!program_name && c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
      word += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(word);
  if (!words.empty()) words.erase(words.begin());
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string line = bytes.substr(0, bytes.find('\0'));
  require(platform::split_command_line(bytes.c_str()) == reference_split(line),
          "split_command_line differs from the reference");
  return 0;
}
