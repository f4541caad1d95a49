"""The benchmark's rule sets and inputs, from fixed seeds and codespell's
dictionary, so that bench.py can keep them between runs. Text is handled as
ISO-8859-1, one character a byte."""

import bisect
import itertools
import random
import unicodedata

MAX_KEY = 200
MAX_RULE_FILE = 15000 * 1024
TEN = [("teh", "the"), ("recieve", "receive"), ("seperate", "separate"), ("occured", "occurred"),
       ("definately", "definitely"), ("untill", "until"), ("wich", "which"), ("accomodate", "accommodate"),
       ("begining", "beginning"), ("goverment", "government")]
# The most frequent English words, most frequent first.
COMMON = """the of and to a in is that it for was on with as he be by at this I not are or his from have but
they which one you had an were her all she there we been their has would when will more who if no out so said
what up its about into than them can only other new some could time these two may then do first any my now
such like our over man me even most made after also did many before must through years where much your way""".split()
ONSETS = "b c d f g h j k l m n p r s t v w z br cr dr fl gr kl pr st tr sh ch th qu x".split() + [""]
VOWELS = "a e i o u ae ou io ei y oo".split()
CODAS = ["", "", ""] + "n r s l m x nd rt k th".split()
# Accented letters in UTF-8 and as ISO-8859-1 bytes, with plain forms: real
# rule sets hold both, and both put bytes above 0x7F into keys.
ACCENTS = [("\xc3\xa1", "a"), ("\xc3\xa9", "e"), ("\xc3\xad", "i"), ("\xc3\xb3", "o"), ("\xc3\xbc", "ue"),
           ("\xc3\xb1", "n"), ("\xc3\x9f", "ss"), ("\xe1", "a"), ("\xe9", "e"), ("\xf6", "oe"), ("\xfc", "ue")]


def write(path, text):
    with open(path, "w", encoding="latin-1", newline="") as file:
        file.write(text)


def rules_text(rules):
    return "".join(f"{key}^{replacement}\n" for key, replacement in rules)


def read_rules(path):
    lines = open(path, encoding="latin-1", newline="").read().replace("\r", "\n").split("\n")
    return [line.split("^", 1) for line in lines if 0 < line.find("^") <= MAX_KEY]


def codespell(dictionary):
    """`wrong->right1, right2,` as (wrong, right1), the first of each wrong,
    printable ASCII without either build's separator."""
    rules = {}
    for line in open(dictionary, encoding="latin-1"):
        wrong, arrow, rights = line.strip().partition("->")
        right = rights.split(",")[0].strip()
        plain = all(" " <= c <= "~" and c not in "^$" for c in wrong.strip() + right)
        if arrow and wrong.strip() and right and plain and len(wrong.strip()) <= MAX_KEY:
            rules.setdefault(wrong.strip(), right)
    return list(rules.items())


def words(count, codespell_path):
    """Whole-word rules, a blank on both sides as the README teaches: the ten,
    then misspellings drawn from the codespell set."""
    rng = random.Random(count)
    misspellings = read_rules(codespell_path)
    rules = dict(TEN)
    while len(rules) < count:
        rules.setdefault(*rng.choice(misspellings))
    return [(f" {key} ", f" {replacement} ") for key, replacement in rules.items()]


def text_words(dictionary):
    """The common words, then the lowercase corrections of codespell's dictionary."""
    found = dict.fromkeys(COMMON)
    for _, right in codespell(dictionary):
        if 2 <= len(right) <= 14 and right.isalpha() and right.islower() and right.isascii():
            found.setdefault(right)
    return list(found)


def pseudo_word(rng, syllables):
    return "".join(rng.choice(ONSETS) + rng.choice(VOWELS) + rng.choice(CODAS) for _ in range(syllables))


def synthetic_key(rng):
    """A pseudo-word, capitalised name, identifier or phrase, 5% accented."""
    kind = rng.random()
    key = pseudo_word(rng, rng.randint(2, 4))
    if kind < 0.1:
        key = key.capitalize()
    elif kind < 0.35:
        key += ("_" if rng.random() < 0.4 else "") + pseudo_word(rng, rng.randint(1, 2)).capitalize()
        key += str(rng.randrange(100)) if rng.random() < 0.3 else ""
    elif kind < 0.6:
        key += "".join(" " + pseudo_word(rng, rng.randint(1, 3)) for _ in range(rng.randint(1, 3)))
    if rng.random() < 0.05:
        at = next((i for i, c in enumerate(key) if c in "aeiou"), len(key) - 1)
        key = key[:at] + rng.choice(ACCENTS)[0] + key[at + 1:]
    return key[:MAX_KEY]


def synthetic(dictionary):
    """480,000 rules just under the size limit: the accented letters, 1,000 keys
    of 200 bytes, pseudo-words, names, identifiers and phrases, about 74,000
    keys that prefix another, 20 keys twice, some CR LF line ends and three
    lines that are not rules."""
    # A key whose words are all pieces of the text's words could match English
    # by chance; left out, so the text matches at the rate keys are put in it.
    pieces = {form[i:j] for word in text_words(dictionary) for form in (word, word.capitalize())
              for i in range(len(form)) for j in range(i + 1, len(form) + 1)}
    rng = random.Random(0x5EED0480)
    keys = {}

    def add(key):
        if not all(word in pieces for word in key.split(" ")):
            keys.setdefault(key)

    for accent, _ in ACCENTS:
        add(accent)
    while len(keys) < len(ACCENTS) + 1000:
        long = pseudo_word(rng, 3)
        while len(long) < MAX_KEY:
            long += " " + pseudo_word(rng, 2)
        add(long[:MAX_KEY])
    while len(keys) < 480000 - 20 - 68000:
        add(synthetic_key(rng))
    listed = list(keys)
    while len(keys) < 480000 - 20:
        key = rng.choice(listed)
        if len(key) > 4:
            add(key[:rng.randint(3, len(key) - 1)])
    # Twice each, same replacement, no key a prefix of them or they of one:
    # quorbel takes its repeated-key path and every peer still writes its bytes.
    ordered = sorted(keys)
    repeated = set()
    while len(repeated) < 20:
        key = rng.choice(ordered)
        after = ordered[bisect.bisect_right(ordered, key):][:1]
        prefixed = any(key[:n] in keys for n in range(1, len(key)))
        if len(key) >= 6 and not (after and after[0].startswith(key)) and not prefixed:
            repeated.add(key)
    budget = MAX_RULE_FILE - 60000 - sum(len(key) + 2 for key in keys)  # room for the CR LF ends
    lines = ["# names and phrases, generated", "q" * (MAX_KEY + 1) + "^one byte too long", "no separator here"]
    plain = dict(ACCENTS)
    for i, key in enumerate(keys):
        replacement = plain.get(key, "")
        if key not in plain:
            length = min(budget, rng.randrange(2 * budget // (len(keys) - i) + 1))
            budget -= length
            # It may hold the separator: only a line's first one splits it.
            while len(replacement) < length:
                replacement += ("^" if rng.random() < 0.002 else " ") + pseudo_word(rng, rng.randint(1, 3))
            replacement = replacement[:length]
        lines += [f"{key}^{replacement}"] * (2 if key in repeated else 1)
    rng.shuffle(lines)
    return "".join(line + ("\r\n" if rng.random() < 0.01 else "\n") for line in lines)


def text(dictionary, codespell_path, synthetic_path, size):
    """English-like text: the common words for about 45% of the words, the rest
    Zipf-distributed over codespell's corrections; one word in 400 a codespell
    misspelling (30% of them from the ten), one in 250 a key of the 480k set,
    one in 100 a number; sentences in 72-column lines and paragraphs."""
    rng = random.Random(0x7E47)
    vocabulary = text_words(dictionary)
    content = vocabulary[len(COMMON):]
    rng.shuffle(content)
    vocabulary[len(COMMON):] = content
    common = sum(1 / (rank + 1) for rank in range(len(COMMON)))
    rest = sum(1 / (rank + 10) for rank in range(len(content)))
    weights = [0.45 / common / (rank + 1) for rank in range(len(COMMON))]
    weights += [0.55 / rest / (rank + 10) for rank in range(len(content))]
    misspellings = [key for key, _ in read_rules(codespell_path)]
    keys = [key for key, _ in read_rules(synthetic_path)]

    def word(drawn):
        u = rng.random()
        if u < 0.0025:
            return rng.choice(TEN)[0] if rng.random() < 0.3 else rng.choice(misspellings)
        if u < 0.0065:
            return rng.choice(keys)
        return str(rng.randrange(10000)) if u < 0.0165 else drawn

    return prose(lambda: [word(drawn) for drawn in rng.choices(vocabulary, weights, k=990)], rng, size)


def prose(paragraph, rng, size):
    """The words of `paragraph()` after one another in sentences of 15 words,
    capitalised and punctuated, in 72-column lines, a paragraph at a time,
    cut at `size` characters."""
    parts, length, line = [], 0, 0
    while length < size:
        for i, word in enumerate(paragraph()):
            if i % 15 == 0:
                word = word.capitalize()
            elif i % 15 == 14:
                word += "." if rng.random() < 0.85 else "?"
            elif rng.random() < 0.07:
                word += ","
            separator = "" if line == 0 else "\n" if line + 1 + len(word) > 72 else " "
            line = len(word) if separator != " " else line + 1 + len(word)
            parts.append(separator + word)
            length += len(separator) + len(word)
        parts.append("\n\n")
        length, line = length + 2, 0
    return "".join(parts)[:size]


# Portuguese, for accent restoration: a text typed without accents and whole-word
# rules that put them back (` nao ^ não `), in UTF-8 as the word list has them.
# Accented words are Zipf-distributed with this offset and make this share of
# the words drawn, so that the 300 most frequent restore one word in 16 and the
# 3,000 most frequent one in 7 (blanks must surround a word, which capitals,
# punctuation and line ends stop); in the dense text the 3,000 restore one
# word in 3.
ACCENT_OFFSET = 70
ACCENTED_SHARE = {"pt": 0.37, "pt-dense": 0.89}
# The text of "pt" with the accented words past the 300 most frequent typed
# right, in UTF-8 and in Windows-1252: the 300 accent rules, saved in UTF-8,
# restore the same words in both, the second in its own encoding.
ENCODED_TEXTS = {"pt-utf8": "utf-8", "pt-ansi": "cp1252"}
TYPED_BARE = 300


def unaccented(word):
    return "".join(c for c in unicodedata.normalize("NFD", word) if not unicodedata.combining(c))


def portuguese_words(word_list):
    """The word list's lowercase words: those without accents, and the accented ones
    whose plain form is no word of its own, in a fixed random order of frequency."""
    words = [w for w in open(word_list, encoding="utf-8").read().split("\n") if w.isalpha() and w.islower()]
    listed = set(words)
    plain = [w for w in words if unaccented(w) == w]
    accented = {}
    for word in words:
        if unaccented(word) != word and unaccented(word) not in listed:
            accented.setdefault(unaccented(word), word)
    # Shorter words first, as in real text, in a random order within a length.
    rng = random.Random(0xACE)
    plain.sort(key=lambda word: (len(word), rng.random()))
    accented = sorted(accented.items(), key=lambda item: (len(item[1]), rng.random()))
    return plain, accented


def accent_rules(word_list, count):
    """Whole-word rules for the `count` most frequent accented words (all of them for None)."""
    _, accented = portuguese_words(word_list)
    return [(f" {plain} ", f" {word} ") for plain, word in accented[:count]]


def portuguese_text(word_list, share, size, typed_bare=None):
    """Text of the plain words and, for `share` of the words, accented ones typed
    without their accents (only the `typed_bare` most frequent, the others with
    them, where given); sentences in 72-column lines, as the English text."""
    rng = random.Random(0x9075)
    plain, accented = portuguese_words(word_list)
    vocabulary = plain + [bare if typed_bare is None or rank < typed_bare else word
                          for rank, (bare, word) in enumerate(accented)]
    head = [1 / (rank + 10) for rank in range(len(plain))]
    tail = [1 / (rank + ACCENT_OFFSET) for rank in range(len(accented))]
    head_sum, tail_sum = sum(head), sum(tail)
    weights = [w * (1 - share) / head_sum for w in head] + [w * share / tail_sum for w in tail]
    cumulative = list(itertools.accumulate(weights))
    return prose(lambda: rng.choices(vocabulary, cum_weights=cumulative, k=990), rng, size)



def random_bytes(size):
    return random.Random(0x4A4D).randbytes(size).decode("latin-1")


def adversarial():
    """A key of 199 `a` and a `b`: over a text of `a`, every position walks 199
    bytes of it and fails at the last."""
    return rules_text([("a" * (MAX_KEY - 1) + "b", "x")])


def file_pieces(text, keys, count, size, every):
    """`count` pieces of `size` characters cut from `text`: every `every`-th holds
    a key, the others none."""
    holding, free = [], []
    for start in range(0, len(text) - size, size // 8):  # overlapping cuts, enough of either kind
        piece = text[start:start + size]
        (holding if any(key in piece for key in keys) else free).append(piece)
    return [holding[i % len(holding)] if i % every == 0 else free[i % len(free)] for i in range(count)]
