#pragma once
// Encodings: which class a text's bytes fall in, and the rules in the
// encoding of a file whose class differs from theirs, so that one rule file
// serves UTF-8 and Windows-1252 texts alike and never writes the bytes of one
// encoding into a text of the other.

#include <cstddef>
#include <cstdint>

#include "rules/rule_file.h"
#include "rules/rule_table.h"

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

// Whether the bytes so far show that the whole text may get its rules in
// another encoding than they are written in. A sequence that they end inside
// counts against them only `at_end` of the text.
bool may_need_other_rules(const TextClassifier& classifier, bool at_end);

// The class of a rule text's bytes after a UTF-8 byte-order mark, up to its
// NUL.
TextClass rule_text_class(const char* text);

// The tables a run's files get: the rules as written, and the rules in the
// other encoding, built when the first file needs them.
struct RuleTables {
  TextClass rules_class;
  char separator;
  RuleTable as_written;
  // The rules' entries in file order, which the build of as_written sorts;
  // none when the rules are ascii.
  const char** file_order;
  int32_t count;
  enum class Transcoded : uint8_t { NotBuilt, Built, NoMemory } transcoded_state;
  RuleSet transcoded_rules;
  RuleTable transcoded;
  bool transcoded_left_out;  // rules that the other encoding cannot hold, or keys grown past kMaxKeyLength
};

// Builds the table of the rules as written, sorting rules.entries into it.
BuildStatus build_rule_tables(const RuleSet& rules, char separator, RuleTables* tables);

struct TableChoice {
  const RuleTable* table;  // null when no rule applies to the file
  bool rules_left_out;     // some rules do not apply to the file
  bool no_memory;          // memory ran out while building the table: leave the file as it is
};

// The table for a file of class `file`.
TableChoice table_for(RuleTables* tables, TextClass file);

// Frees what build_rule_tables and table_for obtained.
void release_rule_tables(RuleTables* tables);
