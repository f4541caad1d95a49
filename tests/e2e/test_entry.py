"""Usage text, where the rule file is, what it may hold, and each way it can fail."""

import os
import shutil
import unittest

from harness import ENV, EXE_NAME, SEP, WINDOWS, ToolTest, rule

LIMIT = 15_360_000
FILL = rule(b"b", b"X") + b"\n"


class UsageTest(ToolTest):
    def test_usage_never_opens_the_rule_file(self):
        self.assert_golden("usage", self.transcript(self.run_tool()))
        os.mkdir(self.rules_path())
        self.assert_golden("usage", self.transcript(self.run_tool()))

    def test_long_program_path_is_used_whole(self):
        deep = os.path.join(self.bin_dir, *["d" * 40] * 8)
        os.makedirs(deep)
        exe = shutil.copy2(self.exe, os.path.join(deep, EXE_NAME.upper()))  # QUORBEL.EXE reads QUORBEL.cfg
        self.assert_golden("usage", self.transcript(self.run_tool(exe=exe), exe=exe))
        self.write_rules(rule(b"x", b"y"), exe=exe)
        self.write("t.txt", b"x")
        self.assertEqual((self.run_tool("t.txt", exe=exe).status, self.read("t.txt")), (0, b"y"))

    @unittest.skipIf(WINDOWS, "symbolic links and PATH lookup of a Linux executable")
    def test_links_and_path_lead_to_the_real_executable(self):
        os.mkdir(os.path.join(self.scratch, "links"))
        link = os.path.join(self.scratch, "links", "q")
        os.symlink(self.exe, link)
        path_env = dict(ENV, PATH=os.path.dirname(link) + os.pathsep + ENV["PATH"])
        for exe, env in (("../bin/" + EXE_NAME, ENV), (link, ENV), ("q", path_env)):
            self.assert_golden("usage", self.transcript(self.run_tool(exe=exe, env=env)))
        self.write_rules(rule(b"a", b"b"))
        self.write("t.txt", b"aaa")
        self.assertEqual((self.run_tool("t.txt", exe=link).status, self.read("t.txt")), (0, b"bbb"))


class RuleFileTest(ToolTest):
    def test_failures_leave_the_files_alone(self):
        self.write("t.txt", b"abc")
        golden = "## missing\n" + self.transcript(self.run_tool("t.txt"), "t.txt")
        no_rules = [b"", b"no separator\n\r\n", SEP + b"starts with it\n", b"x" * 201 + SEP + b"y\n", b"\0" + FILL]
        results = set()
        for raw in no_rules:
            self.write_rules(raw=raw)
            results.add(self.transcript(self.run_tool("t.txt"), "t.txt"))
        self.assertEqual(len(results), 1, results)
        golden += "## no rules\n" + results.pop()
        for label, size in (("at the size limit", LIMIT), ("past the size limit", LIMIT + 1)):
            self.write_rules(raw=FILL + b"#" * (size - len(FILL)))
            golden += "## %s\n" % label + self.transcript(self.run_tool("t.txt"), "t.txt")
        self.assert_golden("rule_file", golden)

    def test_rule_file_that_is_a_directory(self):
        missing = self.run_tool("t.txt")
        os.mkdir(self.rules_path())
        self.write("t.txt", b"abc")
        result = self.run_tool("t.txt")
        self.assertEqual((result.status, result.out, self.read("t.txt")), (1, b"", b"abc"))
        # The reason differs between systems.
        self.assertEqual(result.err.rsplit(b": ", 1)[0], missing.err.rsplit(b": ", 1)[0])

    @unittest.skipIf(os.geteuid() == 0, "root reads any file, also through wine or valgrind")
    def test_unreadable_rule_file(self):
        self.write_rules(rule(b"a", b"b"))
        os.chmod(self.rules_path(), 0)
        self.assertTrue(self.run_tool("t.txt").err.endswith(b": Permission denied\r\n"))

    @unittest.skipIf(WINDOWS, "a FIFO, and a file that fails to read")
    def test_rule_file_that_cannot_be_read(self):
        self.write("t.txt", b"abc")
        os.mkfifo(self.rules_path())
        golden = "## fifo\n" + self.transcript(self.run_tool("t.txt"), "t.txt")
        os.unlink(self.rules_path())
        os.symlink("/proc/self/mem", self.rules_path())  # the tool's own memory: address 0 fails to read
        golden += "## read fails\n" + self.transcript(self.run_tool("t.txt"), "t.txt")
        self.assert_golden("rule_file_linux", golden)

    def test_line_forms(self):
        other = b"$" if SEP == b"^" else b"^"
        self.write_rules(raw=b"abc" + SEP + b"xyz\r\n"     # CR LF
                         b"del" + SEP + b"\n"               # an empty replacement deletes
                         b"a" + SEP + b"b" + SEP + b"c\r"   # CR alone; later separators are replacement
                         b"\n\n\r\r" + SEP + b"ign\n"       # an empty key: a comment
                         b"p|x\n"                           # "|" is ordinary text
                         b"o" + other + b"r\n"              # and so is the other build's separator
                         b" sp " + SEP + b" SP \n"          # blanks belong to key and replacement
                         + b"K" * 200 + SEP + b"200\n" + b"L" * 201 + SEP + b"201\n"  # the longest key; a comment
                         + b"\xe9" + SEP + b"e\n"
                         + rule(b"nul", b"N\0tail\n") + rule(b"c", b"C"))  # NUL ends the rule text
        self.write("t.txt", b"abc del a p|x o" + other + b"r sp x sp \xe9 nul c " + b"K" * 200 + b" " + b"L" * 201)
        self.assertEqual(self.run_tool("t.txt").status, 0)
        self.assertEqual(self.read("t.txt"), b"xyz  b" + SEP + b"c p|x o" + other + b"r SP x SP e N c 200 " + b"L" * 201)


if __name__ == "__main__":
    unittest.main()
