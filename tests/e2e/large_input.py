"""A sparse file past 4 GiB is rewritten whole and in flat memory.

Kept out of the per-build suites (not test_*.py): it writes and syncs 4 GiB,
so ctest runs it once per executable under the label "large".
"""

import os
import subprocess
import unittest

from harness import RUNNER, ToolTest, crlf, rule, unless_checked

SIZE = (4 << 30) + 12_345  # past every 32-bit offset
MAX_RSS_KIB = 64 << 10     # the tool's memory does not grow with the file
# Where keys sit, and what they become; the replacements change the size.
KEYS = {0: (b"KEYSTART", b"start-replaced"), SIZE // 2: (b"KEYMID", b"mid"), SIZE - 6: (b"KEYEND", b"the-end")}


@unless_checked("4 GiB through a memory checker takes hours; the release build covers it")
class LargeInputTest(ToolTest):
    def run_measured(self, *args: str):
        """Runs the tool and returns its result with its own peak resident size in KiB."""
        process = subprocess.Popen(RUNNER + [self.exe, *args], cwd=self.work, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        return os.waitstatus_to_exitcode(status), process.stdout.read(), process.stderr.read(), usage.ru_maxrss

    def test_sparse_file_past_4_gib(self):
        self.write_rules(*(rule(key, replacement) for key, replacement in KEYS.values()))
        path = os.path.join(self.work, "big.txt")
        with open(path, "wb") as f:
            for offset, (key, _) in KEYS.items():
                f.seek(offset)
                f.write(key)
        self.addCleanup(os.remove, path)
        status, out, err, max_rss = self.run_measured("big.txt")
        self.assertEqual((status, out, err), (0, crlf(b"Analisando: big.txt\nFeito\n"), b""))
        self.assertLess(max_rss, MAX_RSS_KIB)

        growth = sum(len(new) - len(old) for old, new in KEYS.values())
        self.assertEqual(os.path.getsize(path), SIZE + growth)
        shift = 0
        with open(path, "rb") as f:
            for offset, (key, replacement) in sorted(KEYS.items()):
                # The bytes around each key: zeros, the replacement, zeros.
                start = max(offset + shift - 64, 0)
                f.seek(start)
                around = f.read(offset + shift - start + len(replacement) + 64)
                expected = bytes(offset + shift - start) + replacement
                expected += bytes(len(around) - len(expected))
                self.assertEqual(around, expected, "at %d" % offset)
                shift += len(replacement) - len(key)


if __name__ == "__main__":
    unittest.main()
