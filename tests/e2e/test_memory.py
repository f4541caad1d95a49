"""Out of memory: under a small address-space limit each set-up allocation
fails cleanly with its message on standard error and status 1."""

import resource
import unittest

from harness import RUNNER, WINDOWS, ToolTest, crlf, latin1, rule, unless_checked

LIMIT = 15_360_000
MIB = 1 << 20
# The tool starts in about 7 MiB of address space; each limit below leaves
# at least 7 MiB of slack on both sides of the allocation meant to fail.
NO_ROOM_FOR_TEXT = 14 * MIB        # the rule text needs 15 MiB more
NO_ROOM_FOR_ENTRIES = 40 * MIB     # text fits; the entries of 5 million rules need 39 MiB more
NO_ROOM_FOR_TABLE = 100 * MIB      # text and entries fit (about 62 MiB); sorting needs far more
MANY_RULES = (rule(b"a", b"") + b"\n") * (LIMIT // 3)   # a whole rule file of 3-byte rules


def limited(size: int):
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (size, size))


@unittest.skipIf(WINDOWS or RUNNER, "the limit is set on the tool's own process")
@unless_checked("the checker reserves far more address space than any limit here")
class OutOfMemoryTest(ToolTest):
    def assert_no_memory(self, limit: int, message: bytes):
        self.write("t.txt", b"abc")
        result = self.run_tool("t.txt", preexec_fn=limited(limit))
        self.assertEqual((result.status, result.out, result.err), (1, b"", message))
        self.assertEqual(self.read("t.txt"), b"abc")

    def test_no_memory_for_the_rule_text(self):
        body = rule(b"b", b"X") + b"\n"
        self.write_rules(raw=body + b"#" * (LIMIT - len(body)))
        self.assert_no_memory(NO_ROOM_FOR_TEXT, crlf(latin1("Memória insuficiente\n")))

    def test_no_memory_for_the_rule_entries(self):
        self.write_rules(raw=MANY_RULES)
        # This message alone has no line end.
        self.assert_no_memory(NO_ROOM_FOR_ENTRIES, latin1("Memória insuficiente"))

    def test_no_memory_for_the_table(self):
        self.write_rules(raw=MANY_RULES)
        self.assert_no_memory(NO_ROOM_FOR_TABLE, crlf(latin1("Memória insuficiente\n")))


if __name__ == "__main__":
    unittest.main()
