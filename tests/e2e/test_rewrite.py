"""Rewriting files: matching, streaming across window boundaries, messages."""

import os
import random
import shutil
import subprocess
import unittest

from harness import RUNNER, SEP, WINDOWS, ToolTest, crlf, latin1, longest_match_rewrite, rule


def rules_text(rules: dict):
    return [rule(k, v) for k, v in rules.items()]


class MatchingTest(ToolTest):
    def test_matching_rules(self):
        cases = [
            ([rule(b"teh", b"the")], b"teh cat teh", b"the cat the"),
            ([rule(b"a", b"b"), rule(b"b", b"c")], b"ab", b"bc"),
            ([rule(b"aa", b"x")], b"aaa", b"xa"),
            ([rule(b"abc", b"3"), rule(b"a", b"1"), rule(b"ab", b"2")], b"abcd abx ax", b"3d 2x 1x"),
            ([rule(b"k", b"1"), rule(b"k", b"2")], b"k", b"2"),
            ([rule(b"ab", b"1"), rule(b"ab", b"2"), rule(b"abc", b"3")], b"abcd", b"1cd"),
            ([rule(k, v) for k, v in ((b"7c", b"7"), (b"1b", b"1"), (b"abc", b"3"), (b"2c", b"2"), (b"8b", b"8"),
                                      (b"ab", b"4"), (b"ab", b"5"), (b"9a", b"9"))], b"abcd", b"3d"),
            ([rule(b"ab", b"X")], b"a\0b\rab\n\0\r\n", b"a\0b\rX\n\0\r\n"),
            ([rule(b"x", b"")], b"", b""),
        ]
        for rules, text, expected in cases:
            with self.subTest(rules=rules, text=text):
                self.assertEqual(self.rewrite(rules, text), expected)

    def test_streaming_agrees_with_the_model_at_window_boundaries(self):
        rng = random.Random(2024)
        alphabet = b"ab\r\n\0\xe9" + SEP
        rules = {}
        for i in range(80):
            key = bytes(rng.choice(b"ab\xe9") for _ in range(rng.randint(1, 5)))
            rules.setdefault(key, b"[%d]" % i)
        long_key = bytes(rng.choice(b"ab") for _ in range(200))
        rules[long_key] = b"<" + b"L" * 300 + b">"   # longer than the output buffer's slack
        rules[long_key[:120]] = b"<120>"
        for size in (0, 1, 7991, 7992, 7993, 8191, 8192, 8193, 16384, 400_000):
            with self.subTest(size=size):
                text = bytearray(rng.choice(alphabet) for _ in range(size))
                for at in (7792, 7900, 7991, 7992, 8100, 16184, 16300):
                    if at + 200 <= size:
                        text[at:at + 200] = long_key
                if size >= 200:
                    text[size - 200:] = long_key
                text = bytes(text)
                self.assertEqual(self.rewrite(rules_text(rules), text), longest_match_rewrite(rules, text))

    def test_large_replacements(self):
        for length in (300, 8192, 1 << 20):
            with self.subTest(length=length):
                replacement = bytes(random.Random(length).choice(b"xyz\xe9") for _ in range(length))
                text = b"." * 7895 + b"k.k" + b"." * 9000 + b"k"
                self.assertEqual(self.rewrite([rule(b"k", replacement)], text),
                                 text.replace(b"k", replacement))


class FileSequenceTest(ToolTest):
    def test_files_in_order_with_failures_in_between(self):
        self.write_rules(rule(b"a", b"aa"))
        self.write("one", b"a")
        self.write("empty", b"")
        result = self.run_tool("one", "missing", "one", "empty", os.path.join("sub", "missing"))
        self.assertEqual(result.status, 0)
        self.assertEqual(result.err, b"")
        self.assertEqual(result.out, crlf(latin1(
            "Analisando: one\nNão consegui abrir: missing\nAnalisando: one\nAnalisando: empty\n"
            "Não consegui abrir: " + os.path.join("sub", "missing") + "\nFeito\n")))
        # Named twice: rewritten twice.
        self.assertEqual(self.read("one"), b"aaaa")
        self.assertEqual(self.read("empty"), b"")
        self.assertEqual(sorted(os.listdir(self.work)), ["empty", "one"])

    def test_file_in_another_directory(self):
        os.mkdir(os.path.join(self.work, "sub"))
        self.write(os.path.join("sub", "t.txt"), b"xyx")
        self.write_rules(rule(b"y", b"Y"))
        result = self.run_tool(os.path.join("sub", "t.txt"))
        self.assertEqual(result.status, 0)
        self.assertEqual(self.read(os.path.join("sub", "t.txt")), b"xYx")
        self.assertEqual(sorted(os.listdir(self.work)), ["sub"])
        self.assertEqual(os.listdir(os.path.join(self.work, "sub")), ["t.txt"])

    def test_many_files_fill_the_redirected_output_buffer(self):
        self.write_rules(rule(b"a", b"b"))
        names = ["file%03d.txt" % i for i in range(60)]
        for name in names:
            self.write(name, b"a")
        result = self.run_tool(*names)
        self.assertEqual(result.out, crlf(b"".join(b"Analisando: %s\n" % n.encode() for n in names) + b"Feito\n"))
        self.assertTrue(all(self.read(n) == b"b" for n in names))


    @unittest.skipUnless(shutil.which("strace") and not WINDOWS and not RUNNER, "needs strace on the native build")
    def test_redirected_output_leaves_in_512_byte_blocks(self):
        self.write_rules(rule(b"a", b"b"))
        names = ["file%03d.txt" % i for i in range(60)]
        for name in names:
            self.write(name, b"a")
        trace = os.path.join(self.scratch, "trace")
        done = subprocess.run(["strace", "-e", "trace=write", "-o", trace, self.exe] + names, cwd=self.work,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0)
        with open(trace) as f:
            sizes = [int(line.rsplit("= ", 1)[1]) for line in f if line.startswith("write(1,")]
        self.assertEqual(sum(sizes), len(done.stdout))
        self.assertTrue(all(size == 512 for size in sizes[:-1]), sizes)


if __name__ == "__main__":
    unittest.main()
