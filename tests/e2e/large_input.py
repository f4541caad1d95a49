"""A sparse file past 4 GiB is rewritten whole in flat memory. Not test_*.py: ctest runs it once a system ("large")."""

import os
import subprocess
import unittest

from harness import CHECKER, ToolTest, done, text

SIZE = (4 << 30) + 12_345  # past every 32-bit offset
# Where keys sit, and what they become; the replacements change the size.
KEYS = {0: (b"KEYSTART", b"start-replaced"), SIZE // 2: (b"KEYMID", b"mid"), SIZE - 6: (b"KEYEND", b"the-end")}
NEW_SIZE = SIZE + sum(len(replacement) - len(key) for key, replacement in KEYS.values())


@unittest.skipIf(CHECKER, "4 GiB through a memory checker takes hours; the release build covers it")
class LargeInputTest(ToolTest):
    def test_sparse_file_past_4_gib(self):
        self.write_rules(dict(KEYS.values()))
        with open(self.path("t.txt"), "wb") as f:
            for offset, (key, _) in KEYS.items():
                f.seek(offset)
                f.write(key)
        process = self.popen("t.txt", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        self.assertEqual((os.waitstatus_to_exitcode(status), process.stdout.read(), process.stderr.read()),
                         (0, text(done("t.txt")), b""))
        self.assertLess(usage.ru_maxrss, 64 << 10)  # KiB: the memory does not grow with the file
        shift = 0
        with open(self.path("t.txt"), "rb") as f:
            for offset, (key, replacement) in KEYS.items():
                start = max(offset + shift - 64, 0)  # zeros, the replacement, zeros up to the end
                f.seek(start)
                expected = bytes(offset + shift - start) + replacement + bytes(64)
                self.assertEqual(f.read(len(expected)), expected[:NEW_SIZE - start], offset)
                shift += len(replacement) - len(key)
            self.assertEqual(f.seek(0, os.SEEK_END), NEW_SIZE)
