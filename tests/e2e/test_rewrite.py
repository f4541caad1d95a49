"""Rewriting files: keys across the tool's real read windows, long replacements, and
the messages of a run over several files."""

import os
import random
import shutil
import unittest

from harness import RUNNER, WINDOWS, ToolTest, rule

WINDOW = 256 * 1024  # what the tool reads at once
KEY = bytes(random.Random(1).choice(b"ab") for _ in range(200))  # the longest a key may be
PREFIX = KEY[:150]
LONG = bytes(random.Random(2).choice(b"xyz\xe9") for _ in range(1 << 20))  # four times the output buffer
RULES = {KEY: b"<" + b"L" * 300 + b">", PREFIX: b"<150>", b"~": LONG}


class WindowTest(ToolTest):
    def test_keys_across_window_boundaries(self):
        # A full window is scanned up to one longest key before its end, and the
        # next one starts there; a match may carry the start further.
        first_scan_end = WINDOW - len(KEY)
        offsets = [first_scan_end + d for d in (-201, -200, -1, 0, 1, 100, 200)]
        offsets += [first_scan_end + WINDOW - len(KEY) + d for d in (-1, 0, 1, 100, 200)]
        texts = {"k%d" % at: b"." * at + KEY + b"." * 500 for at in offsets}
        texts["cut"] = b"." * (WINDOW - 199) + KEY[:199]  # a key cut off where the first window ends the file
        texts["long"] = b"~.~\r\n\0\x1a\r" + b"." * 9000 + b"~"  # binary bytes pass untouched
        expected = {name: self.expected(text) for name, text in texts.items()}
        self.write_rules(*(rule(key, replacement) for key, replacement in RULES.items()))
        for name, text in texts.items():
            self.write(name, text)
        self.assertEqual(self.run_tool(*texts).status, 0)
        for name in texts:
            self.assertEqual(self.read(name), expected[name], name)

    @staticmethod
    def expected(text: bytes) -> bytes:
        # The texts hold keys apart, among bytes that start none, and no
        # replacement holds a key.
        for key in sorted(RULES, key=len, reverse=True):
            text = text.replace(key, RULES[key])
        return text


class FileSequenceTest(ToolTest):
    def test_failures_in_between_and_names_as_given(self):
        self.write_rules(rule(b"a", b"aa"))
        os.mkdir(os.path.join(self.work, "sub"))
        for name, data in (("one", b"a"), ("empty", b""), ("-n", b"a"), (os.path.join("sub", "t.txt"), b"ba")):
            self.write(name, data)
        result = self.run_tool("one", "missing", "one", "empty", "-n", "--help", os.path.join("sub", "t.txt"),
                               os.path.join("sub", "missing"))
        self.assert_golden("file_sequence", self.transcript(result, "one", "empty", "-n", os.path.join("sub", "t.txt")))
        self.assertEqual(sorted(os.listdir(self.work)), ["-n", "empty", "one", "sub"])
        self.assertEqual(os.listdir(os.path.join(self.work, "sub")), ["t.txt"])

    def test_many_files_fill_the_redirected_output_buffer(self):
        self.write_rules(rule(b"a", b"b"))
        names = ["file%03d.txt" % i for i in range(60)]
        for name in names:
            self.write(name, b"a")
        first, done = self.run_tool(names[0]).out.split(b"\n", 1)
        expected = b"".join(first.replace(names[0].encode(), n.encode()) + b"\n" for n in names) + done
        self.assertEqual(self.run_tool(*names).out, expected)
        self.assertTrue(all(self.read(n) == b"b" for n in names))
        if shutil.which("strace") and not WINDOWS and not RUNNER:
            trace = os.path.join(self.scratch, "trace")
            self.assertEqual(self.run_tool("-e", "trace=write", "-o", trace, self.exe, *names, exe="strace").out,
                             expected)
            with open(trace) as f:
                sizes = [int(line.rsplit("= ", 1)[1]) for line in f if line.startswith("write(1,")]
            self.assertEqual((sum(sizes), set(sizes[:-1])), (len(expected), {512}))


if __name__ == "__main__":
    unittest.main()
