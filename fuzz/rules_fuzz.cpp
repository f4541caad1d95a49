// Rule-file bytes and a text through the loader, the table and both lookups
// at every position, against the model.

#include "fuzz.h"
#include "model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  auto [rule_file, text] = rules_and_text(data + 1, size - 1);
  std::string difference = check_lookups(rule_file, separator_of(data[0]), text);
  require(difference.empty(), difference);
  return 0;
}
