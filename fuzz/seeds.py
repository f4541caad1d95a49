#!/usr/bin/env python3
"""Writes the committed seed corpora (python3 fuzz/seeds.py). A rules or stream input is a
separator byte (the stream target adds a two-byte repetition count, low byte first), the
rule-file bytes, the marker "\\n==>\\n" and the text; a command-line input is the line."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
# 200 bytes, none a separator or line end, so that prefixes differ late.
K200 = bytes(b for b in range(0x21, 0xEB) if b not in b"^$")
CASES = {  # name: (separator, rules, text)
    "simple": (b"^", b"teh^the\n", b"teh cat teh"),
    "dollar_prefixes": (b"$", b"a$1\nab$2\nabc$3\n", b"abcd abx ax a"),
    "duplicates": (b"^", b"k^1\nk^2\nm^3\nab^1\nab^2\nabc^3\nab^4\n", b"kmabcdabab k"),
    "key_200": (b"^", K200 + b"^<200>\n" + K200[:199] + b"^<199>\n" + K200 + b"x^<201>\n" + K200[:100] + b"^<100>\n",
                K200 + K200[:199] + b"." + K200 + b"x" + K200[:100]),
    "key_200_at_end": (b"^", K200 + b"^x\n", K200),  # the lookup may read no byte past it
    "nul_cr_lf": (b"^", b"a^1\r\nb^2\rc^3\n\n\r\rd^4\0e^5\n", b"a\0b\rc\nd\0e\r\n"),
    "high_bytes": (b"^", b"\xe9^e\n\xff\xfe^x\n\x80^y\n\xc3\xa7^c\n", b"\xe9\xff\xfe\x80\xc3\xa7\xff"),
    "long_replacement": (b"^", b"k^" + b"0123456789" * 300 + b"\nkk^\n", b"k.kk.k"),
    "line_forms": (b"^", b"^empty key\na^b^c\npipe|x\nno separator\n" + b"L" * 201 + b"^201\nlast^LAST",
                   b"a pipe|x last L"),
    "wide_node": (b"^", b"".join(b"x%c^%c\n" % (c, c) for c in b"abcdefghijklmnop")
                  + b"".join(b"%c^%c\n" % (c, c - 32) for c in b"qrstuvwxyz"), b"xaxbxpxqxz qrs xxy"),
    "no_rules": (b"^", b"nothing here\n^x\n", b"text"),
    "byte_order_mark": (b"^", b"\xef\xbb\xbfa^1\n\xef\xbb\xbfb^2\n", b"ab\xef\xbb\xbfb"),
}
COMMAND_LINES = {
    "plain": b"quorbel.exe a.txt b.txt",
    "quoted_program": b'"C:\\Program Files\\Q\\quorbel.exe" "my file.txt" x',
    "escaped_quote": b'q a\\"b c\\d "e f"g \\\\"h i"',
    "tabs_and_blanks": b"  q\t\ta\t b  \t ",
    "unclosed_quote": b'q "a b\tc',
    "empty_names": b'q "" "" x""y',
    "program_quote_backslash": b'"C:\\dir\\"q.exe a\\"b',
    "high_bytes": b"q \xe9t\xe9.txt \"\xff \xfe\"",
    "nul_ends": b"q a\0b c",
}


def write(target: str, name: str, data: bytes):
    os.makedirs(os.path.join(HERE, "corpus", target), exist_ok=True)
    with open(os.path.join(HERE, "corpus", target, name), "wb") as f:
        f.write(data)


def main():
    with open(os.path.join(HERE, "..", "examples", "quorbel.cfg"), "rb") as rules, \
            open(os.path.join(HERE, "..", "examples", "texto.txt"), "rb") as text:
        CASES["example"] = (b"^", rules.read(), text.read())
    for name, (separator, rules, text) in CASES.items():
        write("rules", name, separator + rules + b"\n==>\n" + text)
        # Enough repetitions to cross window boundaries at many offsets.
        repetitions = min(70000 // max(len(text), 1), 65535)
        write("stream", name, separator + struct.pack("<H", repetitions) + rules + b"\n==>\n" + text)
    for name, line in COMMAND_LINES.items():
        write("command_line", name, line)


if __name__ == "__main__":
    main()
