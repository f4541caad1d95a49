// The classifier against a plain reading of UTF-8: for either class of rules, through each path this processor
// has, in chunks of every size the first byte picks.

#include "encoding_model.h"
#include "fuzz.h"

// Header: the chunk size less one.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  for (ClassifyPath path : {ClassifyPath::Sequences, ClassifyPath::Avx2}) {
    if (!processor_has(path)) continue;
    for (TextClass rules : {TextClass::Utf8, TextClass::SingleByte}) {
      std::string difference = check_classifier(text, rules, path, 1 + std::size_t{data[0]});
      require(difference.empty(), difference);
    }
  }
  return 0;
}
