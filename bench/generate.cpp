// Writes the benchmark's rule sets and inputs. Every byte follows from fixed
// seeds and the installed codespell dictionary, so the files can be cached
// and two machines with the same dictionary get the same data.
//
//   bench_generate codespell DICTIONARY OUT
//   bench_generate ten OUT
//   bench_generate synthetic DICTIONARY OUT
//   bench_generate text DICTIONARY CODESPELL_RULES SYNTHETIC_RULES BYTES OUT
//   bench_generate random BYTES OUT

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

constexpr char kSeparator = '^';
constexpr std::size_t kMaxKeyLength = 200;
constexpr std::size_t kMaxRuleFileSize = 15000 * 1024;

// The synthetic set: close to the rule file limit, with enough headroom that
// the fixed lines added after sizing never push it over.
constexpr std::size_t kSyntheticRules = 480000;
constexpr std::size_t kSyntheticTargetSize = kMaxRuleFileSize - 12000;
constexpr std::size_t kLongKeys = 1000;        // exactly kMaxKeyLength bytes
constexpr std::size_t kPrefixKeysAdded = 68000;  // the rest arise by chance
constexpr std::size_t kRepeatedKeys = 20;

// Per word of text: how often a misspelling or a synthetic key stands in.
constexpr double kMisspellingRate = 1.0 / 400;
constexpr double kSyntheticKeyRate = 1.0 / 250;
// Share of misspellings taken from the ten-rule set, as common errors are
// far more frequent than rare ones.
constexpr double kCommonMisspellingShare = 0.3;
constexpr std::size_t kLineWidth = 72;

const char* const kTenRules[][2] = {
    {"teh", "the"},           {"recieve", "receive"},       {"seperate", "separate"},
    {"occured", "occurred"},  {"definately", "definitely"}, {"untill", "until"},
    {"wich", "which"},        {"accomodate", "accommodate"}, {"begining", "beginning"},
    {"goverment", "government"},
};

// splitmix64: tiny, fast and the same on every platform.
struct Rng {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  bool chance(double p) { return unit() < p; }
};

struct Rule {
  std::string key;
  std::string replacement;
};

bool write_file(const char* path, const std::string& content) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "fopen(%s): %s\n", path, std::strerror(errno));
    return false;
  }
  bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  if (std::fclose(file) != 0) ok = false;
  if (!ok) std::fprintf(stderr, "write(%s): %s\n", path, std::strerror(errno));
  return ok;
}

bool read_file(const char* path, std::string* content) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "fopen(%s): %s\n", path, std::strerror(errno));
    return false;
  }
  char block[1 << 16];
  std::size_t count;
  while ((count = std::fread(block, 1, sizeof block, file)) > 0) content->append(block, count);
  bool ok = !std::ferror(file);
  std::fclose(file);
  if (!ok) std::fprintf(stderr, "read(%s): %s\n", path, std::strerror(errno));
  return ok;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
      if (i > start) lines.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return lines;
}

// Rule lines as quorbel reads them: split at the first separator, 1 to
// kMaxKeyLength key bytes.
std::vector<Rule> parse_rules(const std::string& text) {
  std::vector<Rule> rules;
  for (const std::string& line : split_lines(text)) {
    std::size_t at = line.find(kSeparator);
    if (at == std::string::npos || at == 0 || at > kMaxKeyLength) continue;
    rules.push_back({line.substr(0, at), line.substr(at + 1)});
  }
  return rules;
}

std::string trim(const std::string& s) {
  std::size_t begin = s.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  std::size_t end = s.find_last_not_of(' ');
  return s.substr(begin, end - begin + 1);
}

bool plain_ascii(const std::string& s) {
  for (char c : s) {
    if (c < 0x20 || c > 0x7e || c == '^' || c == '$') return false;
  }
  return true;
}

// `wrong->right1, right2,` pairs in dictionary order, first right only.
std::vector<Rule> codespell_pairs(const std::string& dictionary) {
  std::vector<Rule> pairs;
  std::unordered_set<std::string> seen;
  for (const std::string& line : split_lines(dictionary)) {
    std::size_t arrow = line.find("->");
    if (arrow == std::string::npos) continue;
    std::string wrong = trim(line.substr(0, arrow));
    std::string right = trim(line.substr(arrow + 2, line.find(',', arrow) - (arrow + 2)));
    if (wrong.empty() || wrong.size() > kMaxKeyLength || right.empty()) continue;
    // Both separators are refused, so the set suits either build.
    if (!plain_ascii(wrong) || !plain_ascii(right)) continue;
    if (!seen.insert(wrong).second) continue;
    pairs.push_back({wrong, right});
  }
  return pairs;
}

std::string rules_text(const std::vector<Rule>& rules) {
  std::string text;
  for (const Rule& rule : rules) text += rule.key + kSeparator + rule.replacement + '\n';
  return text;
}

// ---- words of the text ----

// The most frequent English words with rough counts per million words.
const std::pair<const char*, double> kCommonWords[] = {
    {"the", 60000}, {"of", 30000},    {"and", 28000},   {"to", 26000},     {"a", 22000},    {"in", 18000},
    {"is", 10000},  {"that", 10000},  {"it", 9000},     {"for", 8000},     {"was", 8000},   {"on", 6500},
    {"with", 6500}, {"as", 6000},     {"he", 6000},     {"be", 5500},      {"by", 5000},    {"at", 5000},
    {"this", 4800}, {"I", 4700},      {"not", 4500},    {"are", 4400},     {"or", 4000},    {"his", 4000},
    {"from", 4000}, {"have", 3800},   {"but", 3700},    {"they", 3500},    {"which", 3400}, {"one", 3300},
    {"you", 3200},  {"had", 3100},    {"an", 3100},     {"were", 3000},    {"her", 2900},   {"all", 2800},
    {"she", 2700},  {"there", 2600},  {"we", 2600},     {"been", 2400},    {"their", 2400}, {"has", 2300},
    {"would", 2300}, {"when", 2200},  {"will", 2200},   {"more", 2100},    {"who", 2100},   {"if", 2000},
    {"no", 2000},   {"out", 1900},    {"so", 1900},     {"said", 1800},    {"what", 1800},  {"up", 1700},
    {"its", 1700},  {"about", 1600},  {"into", 1600},   {"than", 1500},    {"them", 1500},  {"can", 1500},
    {"only", 1400}, {"other", 1400},  {"new", 1300},    {"some", 1300},    {"could", 1300}, {"time", 1300},
    {"these", 1200}, {"two", 1200},   {"may", 1200},    {"then", 1100},    {"do", 1100},    {"first", 1100},
    {"any", 1000},  {"my", 1000},     {"now", 1000},    {"such", 1000},    {"like", 950},   {"our", 950},
    {"over", 900},  {"man", 900},     {"me", 900},      {"even", 880},     {"most", 870},   {"made", 860},
    {"after", 850}, {"also", 850},    {"did", 800},     {"many", 800},     {"before", 780}, {"must", 770},
    {"through", 760}, {"years", 750}, {"where", 740},   {"much", 730},     {"your", 720},   {"way", 710},
    {"well", 700},  {"down", 690},    {"should", 680},  {"because", 670},  {"each", 660},   {"just", 650},
    {"those", 640}, {"people", 630},  {"how", 620},     {"too", 610},      {"little", 600}, {"state", 590},
    {"good", 580},  {"very", 570},    {"make", 560},    {"world", 550},    {"still", 540},  {"own", 530},
    {"see", 520},   {"men", 510},     {"work", 500},    {"long", 490},     {"get", 480},    {"here", 470},
    {"between", 460}, {"both", 450},  {"life", 440},    {"being", 430},    {"under", 420},  {"never", 410},
    {"day", 400},   {"same", 390},    {"another", 380}, {"know", 370},     {"while", 360},  {"last", 350},
    {"might", 350}, {"us", 340},      {"great", 330},   {"old", 320},      {"year", 310},   {"off", 300},
    {"come", 300},  {"since", 290},   {"against", 280}, {"go", 280},       {"came", 270},   {"right", 260},
    {"used", 260},  {"take", 250},    {"three", 250},
};

bool lowercase_word(const std::string& s) {
  if (s.size() < 2 || s.size() > 14) return false;
  for (char c : s) {
    if (c < 'a' || c > 'z') return false;
  }
  return true;
}

// The words of the text besides the common ones: the correctly spelled words
// of the codespell dictionary, in dictionary order.
std::vector<std::string> content_words(const std::string& dictionary) {
  std::unordered_set<std::string> seen;
  for (const auto& word : kCommonWords) seen.insert(word.first);
  std::vector<std::string> words;
  for (const Rule& pair : codespell_pairs(dictionary)) {
    if (lowercase_word(pair.replacement) && seen.insert(pair.replacement).second) {
      words.push_back(pair.replacement);
    }
  }
  return words;
}

// ---- synthetic rule set ----

const char* const kOnsets[] = {"b",  "c",  "d",  "f",  "g",  "h",  "j",  "k",  "l",  "m",  "n",  "p",
                               "r",  "s",  "t",  "v",  "w",  "z",  "br", "cr", "dr", "fl", "gr", "kl",
                               "pr", "st", "tr", "sh", "ch", "th", "qu", "sk", "sp", "x",  "",   ""};
const char* const kVowels[] = {"a", "e", "i", "o", "u", "ae", "ou", "io", "ei", "y", "oo", "a", "e", "o"};
const char* const kCodas[] = {"", "", "", "", "n", "r", "s", "l", "m", "x", "nd", "rt", "k", "th"};
// Accented vowels as UTF-8 and as single ISO-8859-1 bytes: both occur in
// real rule sets, and both put bytes >= 0x80 into keys.
const char* const kUtf8Accents[] = {"\xC3\xA1", "\xC3\xA9", "\xC3\xAD", "\xC3\xB3", "\xC3\xBA",
                                    "\xC3\xA4", "\xC3\xB6", "\xC3\xBC", "\xC3\xB1", "\xC3\x9F"};
const char* const kLatin1Accents[] = {"\xE1", "\xE9", "\xED", "\xF3", "\xFA", "\xE4", "\xF6", "\xFC"};
const char* const kUtf8Plain[] = {"a", "e", "i", "o", "u", "ae", "oe", "ue", "n", "ss"};
const char* const kLatin1Plain[] = {"a", "e", "i", "o", "u", "ae", "oe", "ue"};

template <std::size_t N>
const char* pick(Rng& rng, const char* const (&items)[N]) {
  return items[rng.below(N)];
}

std::string pseudo_word(Rng& rng, std::size_t min_syllables, std::size_t max_syllables) {
  std::string word;
  std::size_t syllables = min_syllables + rng.below(max_syllables - min_syllables + 1);
  for (std::size_t i = 0; i < syllables; ++i) {
    word += pick(rng, kOnsets);
    word += pick(rng, kVowels);
    word += pick(rng, kCodas);
  }
  return word;
}

std::string accented(Rng& rng, std::string word) {
  std::size_t vowel = word.find_first_of("aeiou", rng.below(word.size()));
  if (vowel == std::string::npos) vowel = word.find_first_of("aeiou");
  const char* accent = rng.chance(0.8) ? pick(rng, kUtf8Accents) : pick(rng, kLatin1Accents);
  if (vowel == std::string::npos) return word + accent;
  return word.replace(vowel, 1, accent);
}

std::string capitalised(std::string word) {
  if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 'a' + 'A');
  return word;
}

std::string phrase(Rng& rng, std::size_t words) {
  std::string text = pseudo_word(rng, 1, 3);
  for (std::size_t i = 1; i < words; ++i) text += ' ' + pseudo_word(rng, 1, 3);
  return text;
}

std::string identifier(Rng& rng) {
  std::size_t parts = 2 + rng.below(2);
  bool snake = rng.chance(0.4);
  std::string text = pseudo_word(rng, 1, 2);
  for (std::size_t i = 1; i < parts; ++i) {
    std::string part = pseudo_word(rng, 1, 2);
    text += snake ? '_' + part : capitalised(part);
  }
  if (rng.chance(0.3)) text += std::to_string(rng.below(100));
  return text;
}

std::string synthetic_key(Rng& rng) {
  std::string key;
  double kind = rng.unit();
  if (kind < 0.40) {
    key = pseudo_word(rng, 2, 4);
  } else if (kind < 0.50) {
    key = capitalised(pseudo_word(rng, 2, 4));
  } else if (kind < 0.75) {
    key = identifier(rng);
  } else {
    key = phrase(rng, 2 + rng.below(3));
  }
  if (rng.chance(0.05)) key = accented(rng, key);
  if (key.size() > kMaxKeyLength) key.resize(kMaxKeyLength);
  return key;
}

std::string long_key(Rng& rng) {
  std::string key = phrase(rng, 40);
  while (key.size() < kMaxKeyLength) key += ' ' + pseudo_word(rng, 2, 3);
  key.resize(kMaxKeyLength);
  if (rng.chance(0.1)) key = accented(rng, key).substr(0, kMaxKeyLength);
  return key;
}

// A proper prefix, cut at a word boundary half the time, never shorter than 3
// bytes so that prefixes do not flood ordinary text with matches.
std::string prefix_of(Rng& rng, const std::string& key) {
  std::size_t space = key.find(' ', 3);
  if (space != std::string::npos && rng.chance(0.5)) return key.substr(0, space);
  return key.substr(0, 3 + rng.below(key.size() - 3));
}

bool is_rule_key(const std::string& key) {
  return !key.empty() && key.size() <= kMaxKeyLength && key.find_first_of("^\r\n", 0) == std::string::npos &&
         key.find('\0') == std::string::npos;
}

// Replacement text of exactly `length` bytes; it may hold the separator,
// since only the first one on a line splits it.
std::string replacement(Rng& rng, std::size_t length) {
  std::string text;
  while (text.size() < length) {
    if (!text.empty()) text += rng.chance(0.002) ? '^' : ' ';
    std::string word = pseudo_word(rng, 1, 3);
    text += rng.chance(0.03) ? accented(rng, word) : word;
  }
  text.resize(length);
  return text;
}

std::size_t count_prefix_keys(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  std::size_t count = 0;
  for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
    if (keys[i].size() < keys[i + 1].size() && keys[i + 1].compare(0, keys[i].size(), keys[i]) == 0) ++count;
  }
  return count;
}

// Every piece of every word the text is made of, also capitalised.
std::unordered_set<std::string> english_pieces(const std::string& dictionary) {
  std::vector<std::string> words = content_words(dictionary);
  for (const auto& word : kCommonWords) words.emplace_back(word.first);
  std::unordered_set<std::string> pieces;
  for (const std::string& word : words) {
    for (const std::string& form : {word, capitalised(word)}) {
      for (std::size_t begin = 0; begin < form.size(); ++begin) {
        for (std::size_t end = begin + 1; end <= form.size(); ++end) pieces.insert(form.substr(begin, end - begin));
      }
    }
  }
  return pieces;
}

// Whether a key could match in the text by chance: each of its words is a
// piece of some English word. Such keys are left out so that the text's
// matches come at the rate it is sprinkled with keys, not from pseudo-words
// that happen to spell "the".
bool could_match_english(const std::unordered_set<std::string>& pieces, const std::string& key) {
  std::size_t begin = 0;
  for (;;) {
    std::size_t space = key.find(' ', begin);
    std::string word = key.substr(begin, space == std::string::npos ? std::string::npos : space - begin);
    if (!word.empty() && pieces.count(word) == 0) return false;
    if (space == std::string::npos) return true;
    begin = space + 1;
  }
}

int generate_synthetic(const char* dictionary_path, const char* out) {
  std::string dictionary;
  if (!read_file(dictionary_path, &dictionary)) return 1;
  const std::unordered_set<std::string> pieces = english_pieces(dictionary);
  Rng rng{0x5EED0480};
  std::vector<std::string> keys;
  std::unordered_set<std::string> seen;
  auto add = [&](const std::string& key) {
    if (is_rule_key(key) && !could_match_english(pieces, key) && seen.insert(key).second) keys.push_back(key);
  };
  // Transliterations of single characters, with short replacements: 2-byte
  // UTF-8 keys and 1-byte ISO-8859-1 keys, which make random bytes match
  // now and then.
  std::vector<Rule> transliterations;
  for (std::size_t i = 0; i < std::size(kUtf8Accents); ++i) {
    transliterations.push_back({kUtf8Accents[i], kUtf8Plain[i]});
  }
  for (std::size_t i = 0; i < std::size(kLatin1Accents); ++i) {
    transliterations.push_back({kLatin1Accents[i], kLatin1Plain[i]});
  }
  for (const Rule& rule : transliterations) add(rule.key);
  for (std::size_t i = 0; i < kLongKeys; ++i) add(long_key(rng));
  std::size_t base = kSyntheticRules - kRepeatedKeys - kPrefixKeysAdded;
  while (keys.size() < base) add(synthetic_key(rng));
  while (keys.size() < kSyntheticRules - kRepeatedKeys) {
    const std::string& key = keys[rng.below(keys.size())];
    if (key.size() > 4) add(prefix_of(rng, key));
  }

  // Repeated keys stand apart from all others (no key is a prefix of them,
  // they are a prefix of none), and repeat their replacement, so every peer
  // agrees with quorbel whichever copy wins while quorbel still takes its
  // repeated-key path.
  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> repeated;
  while (repeated.size() < kRepeatedKeys) {
    const std::string& key = keys[rng.below(keys.size())];
    auto at = std::lower_bound(sorted.begin(), sorted.end(), key);
    bool prefix_of_next = at + 1 != sorted.end() && at[1].compare(0, key.size(), key) == 0;
    bool has_prefix = false;
    for (std::size_t length = 1; length < key.size() && !has_prefix; ++length) {
      has_prefix = seen.count(key.substr(0, length)) != 0;
    }
    if (!prefix_of_next && !has_prefix && key.size() >= 6 &&
        std::find(repeated.begin(), repeated.end(), key) == repeated.end()) {
      repeated.push_back(key);
    }
  }

  std::vector<std::string> plain;
  for (std::size_t i = transliterations.size(); i < keys.size(); ++i) {
    if (std::find(repeated.begin(), repeated.end(), keys[i]) == repeated.end()) plain.push_back(keys[i]);
  }

  // Replacement lengths fill what the keys leave of the target size.
  std::size_t key_bytes = 0;
  for (const Rule& rule : transliterations) key_bytes += rule.key.size() + rule.replacement.size() + 2;
  for (const std::string& key : plain) key_bytes += key.size() + 2;
  for (const std::string& key : repeated) key_bytes += 2 * (key.size() + 2);
  std::size_t budget = kSyntheticTargetSize - key_bytes;
  std::size_t mean = budget / (plain.size() + 2 * repeated.size());
  std::size_t repeated_bytes = 2 * mean * repeated.size();
  std::vector<std::size_t> lengths(plain.size());
  std::size_t total = 0;
  for (std::size_t& length : lengths) {
    length = rng.chance(0.01) ? 0 : 1 + rng.below(2 * mean - 1);
    total += length;
  }
  while (total + repeated_bytes != budget) {
    std::size_t& length = lengths[rng.below(lengths.size())];
    if (total + repeated_bytes < budget) {
      ++length;
      ++total;
    } else if (length > 1) {
      --length;
      --total;
    }
  }

  std::vector<std::string> lines;
  lines.reserve(keys.size() + repeated.size() + 8);
  for (const Rule& rule : transliterations) lines.push_back(rule.key + kSeparator + rule.replacement);
  for (std::size_t i = 0; i < plain.size(); ++i) {
    lines.push_back(plain[i] + kSeparator + replacement(rng, lengths[i]));
  }
  for (const std::string& key : repeated) {
    std::string line = key + kSeparator + replacement(rng, mean);
    lines.push_back(line);
    lines.push_back(line);
  }
  std::size_t rule_count = lines.size();
  // Lines that are not rules, which every reader must skip.
  lines.push_back("# names and phrases, generated");
  lines.push_back(std::string(kMaxKeyLength + 1, 'q') + kSeparator + "key one byte too long");
  lines.push_back("no separator on this line");
  for (std::size_t i = lines.size() - 1; i > 0; --i) std::swap(lines[i], lines[rng.below(i + 1)]);

  std::string text;
  text.reserve(kMaxRuleFileSize);
  for (const std::string& line : lines) {
    text += line;
    // Some CR LF endings, as files edited on Windows have.
    text += rng.chance(0.01) ? "\r\n" : "\n";
  }
  if (text.size() > kMaxRuleFileSize) {
    std::fprintf(stderr, "synthetic rule set: %zu bytes, over the limit\n", text.size());
    return 1;
  }
  std::fprintf(stderr, "synthetic rule set: %zu rules, %zu bytes, %zu keys that prefix another, %zu repeated\n",
               rule_count, text.size(), count_prefix_keys(keys), repeated.size());
  return write_file(out, text) ? 0 : 1;
}

// ---- text ----

// Share of all words that the list above accounts for; the rest follow
// Zipf's law over the correctly spelled words of the codespell dictionary.
constexpr double kCommonShare = 0.45;

struct Vocabulary {
  std::vector<std::string> words;
  std::vector<double> cumulative;
  const std::string& draw(Rng& rng) const {
    double u = rng.unit() * cumulative.back();
    auto at = static_cast<std::size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin());
    return words[std::min(at, words.size() - 1)];
  }
};

Vocabulary vocabulary(const std::string& dictionary, Rng& rng) {
  Vocabulary vocabulary;
  double common_total = 0;
  for (const auto& word : kCommonWords) common_total += word.second;
  std::vector<std::string> content = content_words(dictionary);
  for (std::size_t i = content.size() - 1; i > 0; --i) std::swap(content[i], content[rng.below(i + 1)]);
  double zipf_total = 0;
  for (std::size_t rank = 0; rank < content.size(); ++rank) zipf_total += 1.0 / static_cast<double>(rank + 10);
  double sum = 0;
  for (const auto& word : kCommonWords) {
    vocabulary.words.emplace_back(word.first);
    sum += word.second / common_total * kCommonShare;
    vocabulary.cumulative.push_back(sum);
  }
  for (std::size_t rank = 0; rank < content.size(); ++rank) {
    vocabulary.words.push_back(content[rank]);
    sum += 1.0 / static_cast<double>(rank + 10) / zipf_total * (1 - kCommonShare);
    vocabulary.cumulative.push_back(sum);
  }
  return vocabulary;
}

int generate_text(const char* dictionary_path, const char* codespell_path, const char* synthetic_path,
                  std::size_t size, const char* out) {
  std::string dictionary, codespell_text, synthetic_text;
  if (!read_file(dictionary_path, &dictionary) || !read_file(codespell_path, &codespell_text) ||
      !read_file(synthetic_path, &synthetic_text)) {
    return 1;
  }
  Rng rng{0x7E47};
  Vocabulary words = vocabulary(dictionary, rng);
  std::vector<Rule> misspellings = parse_rules(codespell_text);
  std::vector<Rule> synthetic = parse_rules(synthetic_text);
  if (misspellings.empty() || synthetic.empty()) {
    std::fprintf(stderr, "text: empty rule sets\n");
    return 1;
  }

  std::string text;
  text.reserve(size + 1024);
  std::size_t line_length = 0;
  std::size_t sentences_left = 3 + rng.below(6);
  while (text.size() < size) {
    std::size_t sentence_words = 5 + rng.below(21);
    for (std::size_t i = 0; i < sentence_words; ++i) {
      std::string word;
      double u = rng.unit();
      if (u < kMisspellingRate) {
        word = rng.chance(kCommonMisspellingShare) ? kTenRules[rng.below(10)][0]
                                                   : misspellings[rng.below(misspellings.size())].key;
      } else if (u < kMisspellingRate + kSyntheticKeyRate) {
        word = synthetic[rng.below(synthetic.size())].key;
      } else if (u < kMisspellingRate + kSyntheticKeyRate + 0.01) {
        word = std::to_string(rng.below(rng.chance(0.5) ? 100 : 10000));
      } else {
        word = words.draw(rng);
      }
      if (i == 0) word = capitalised(word);
      if (i + 1 < sentence_words && rng.chance(0.07)) word += rng.chance(0.9) ? "," : ";";
      if (i + 1 == sentence_words) {
        double end = rng.unit();
        word += end < 0.85 ? "." : end < 0.93 ? "?" : "!";
      }
      if (line_length > 0 && line_length + 1 + word.size() > kLineWidth) {
        text += '\n';
        line_length = 0;
      } else if (line_length > 0) {
        text += ' ';
        ++line_length;
      }
      text += word;
      line_length += word.size();
    }
    if (--sentences_left == 0) {
      text += "\n\n";
      line_length = 0;
      sentences_left = 3 + rng.below(6);
    }
  }
  text.resize(size);
  return write_file(out, text) ? 0 : 1;
}

int generate_random(std::size_t size, const char* out) {
  Rng rng{0x4A4D};
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; i += 8) {
    uint64_t value = rng.next();
    std::memcpy(&bytes[i], &value, std::min<std::size_t>(8, size - i));
  }
  return write_file(out, bytes) ? 0 : 1;
}

bool parse_size(const char* text, std::size_t* size) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') return false;
  *size = static_cast<std::size_t>(value);
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: bench_generate codespell DICTIONARY OUT\n"
               "       bench_generate ten OUT\n"
               "       bench_generate synthetic DICTIONARY OUT\n"
               "       bench_generate text DICTIONARY CODESPELL_RULES SYNTHETIC_RULES BYTES OUT\n"
               "       bench_generate random BYTES OUT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string what = argv[1];
  std::size_t size = 0;
  if (what == "codespell" && argc == 4) {
    std::string dictionary;
    if (!read_file(argv[2], &dictionary)) return 1;
    std::vector<Rule> pairs = codespell_pairs(dictionary);
    std::fprintf(stderr, "codespell rule set: %zu rules\n", pairs.size());
    return write_file(argv[3], rules_text(pairs)) ? 0 : 1;
  }
  if (what == "ten" && argc == 3) {
    std::vector<Rule> rules;
    for (const auto& rule : kTenRules) rules.push_back({rule[0], rule[1]});
    return write_file(argv[2], rules_text(rules)) ? 0 : 1;
  }
  if (what == "synthetic" && argc == 4) return generate_synthetic(argv[2], argv[3]);
  if (what == "text" && argc == 7 && parse_size(argv[5], &size)) {
    return generate_text(argv[2], argv[3], argv[4], size, argv[6]);
  }
  if (what == "random" && argc == 4 && parse_size(argv[2], &size)) return generate_random(size, argv[3]);
  return usage();
}
