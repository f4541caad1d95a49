"""Out of memory: under an address-space limit each stage of the set-up fails cleanly,
with its message and status 1, and touches no file."""

import resource
import unittest

from harness import LIMIT, RUNNER, WINDOWS, ToolTest, rule, unless_checked

# Five million rules start in about 7 MiB; the rule text takes 15 MiB, its entries 39, sorting
# them 156 at its peak and 78 after, the trie 234. Each limit (MiB) leaves room for the stages
# before the one meant to fail, and misses its need by over 7 MiB.
LIMITS = {"rule text": 14, "entries": 40, "sorting": 100, "trie": 290}


@unittest.skipIf(WINDOWS or RUNNER, "the limit is set on the tool's own process")
@unless_checked("the checker reserves far more address space than any limit here")
class OutOfMemoryTest(ToolTest):
    def test_each_stage(self):
        self.write_rules(rule(b"a") * (LIMIT // 3))
        self.write("t.txt", b"abc")
        golden = ""
        for label, mib in LIMITS.items():
            def limit(size=mib << 20):
                resource.setrlimit(resource.RLIMIT_AS, (size, size))
            golden += self.transcript(self.run_tool("t.txt", preexec_fn=limit), "t.txt", label=label)
        self.assert_golden("out_of_memory", golden)
