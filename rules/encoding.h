#pragma once
// Encodings: which class a text's bytes fall in, and the rules in the
// encoding of a file whose class differs from theirs, so that one rule file
// serves UTF-8 and Windows-1252 texts alike and never writes the bytes of one
// encoding into a text of the other.

#include <cstddef>
#include <cstdint>

enum class TextClass : uint8_t {
  Ascii,       // no byte of 0x80 or above
  Utf8,        // some byte of 0x80 or above, and valid UTF-8 throughout
  SingleByte,  // some byte of 0x80 or above, and not valid UTF-8
  Binary,      // a NUL byte somewhere, whatever else
};

// The rules as a file gets them: as written, or read in the rules' encoding
// and written in the file's.
enum class RuleEncoding : uint8_t { AsWritten, Windows1252, Utf8 };

// Rules of one of the classes UTF-8 and single-byte (taken as Windows-1252)
// go to a file of the other in its encoding; every other pairing, ascii rules
// and ascii and binary files among them, gets them as written.
RuleEncoding rule_encoding_for(TextClass rules, TextClass file);

// The ways to validate UTF-8; the classifier takes the fastest this
// processor has.
enum class ClassifyPath : uint8_t {
  Sequences,  // one sequence at a time, runs of ASCII sixteen bytes at a time with SSE2
  Avx2,       // AVX2: 64 bytes at a time by table lookups, any mix of sequences
};
bool processor_has(ClassifyPath path);

// A named file's class, learnt a chunk at a time, with no more reading than
// the choice of its rules needs: with rules of class `rules`, once no further
// bytes can change the RuleEncoding the file gets, it is settled.
struct TextClassifier {
  TextClass rules;
  ClassifyPath path;
  uint8_t state;  // 0 between sequences, else how the next byte must continue the one begun
  bool high;      // a byte of 0x80 or above
  bool invalid;   // not valid UTF-8
  bool nul;
};

TextClassifier start_classifying(TextClass rules);
// Takes the next bytes of the text; does nothing once it is settled.
void classify(TextClassifier* classifier, const char* bytes, std::size_t count);
bool settled(const TextClassifier& classifier);
// The class of the bytes so far, taken as the whole text (a sequence cut at
// their end is invalid). Once settled, a class that gets the same rules as
// the whole text's.
TextClass class_so_far(const TextClassifier& classifier);

// The class of a rule text's bytes after a UTF-8 byte-order mark, up to its
// NUL.
TextClass rule_text_class(const char* text);
