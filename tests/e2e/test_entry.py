"""Usage text, where the rule file is, what it may hold, and each way it and the set-up can fail."""

import os
import shutil
import unittest

from harness import ENV, EXE_NAME, LIMIT, LINUX, NO_RULES, SEP, TOO_LARGE, ToolTest
from harness import done, rule, text

FILL = rule(b"b", b"X")


class EntryTest(ToolTest):
    def test_usage_and_each_way_to_the_program_reads_the_rule_file_beside_it(self):
        deep = os.path.join(self.bin_dir, *["d" * 40] * 8)  # a long path, used whole
        os.makedirs(deep)
        upper = shutil.copy2(self.exe, os.path.join(deep, EXE_NAME.upper()))  # QUORBEL.EXE reads QUORBEL.cfg
        ways = [(upper, upper, ENV)]
        if LINUX:  # a relative path, a symbolic link, a PATH lookup
            os.symlink(self.exe, os.path.join(self.scratch, "q"))
            path_env = dict(ENV, PATH=self.scratch + os.pathsep + ENV["PATH"])
            ways += [(self.exe, exe, env) for exe, env in (("../bin/" + EXE_NAME, ENV), ("../q", ENV), ("q", path_env))]
        for real, exe, env in ways:
            self.assert_usage(self.run_tool(exe=exe, env=env), exe=real)
            self.write_rules({b"a": b"b"}, exe=real)
            self.write("t.txt", b"aaa")
            self.assert_run("t.txt", exe=exe, env=env, out=done("t.txt"), files={"t.txt": b"bbb"})

    def cannot_open(self, reason: str) -> str:
        return "Não consegui abrir arquivo %s: %s\n" % (self.host_path(self.rules_path()), reason)

    def test_failures_leave_the_files_alone(self):
        self.write("t.txt", b"abc")
        self.assert_run("t.txt", status=1, out="", err=self.cannot_open("No such file or directory"),
                        files={"t.txt": b"abc"})
        for raw in (b"", b"no separator\n\r\n", SEP + b"starts with it\n", b"x" * 201 + SEP + b"y\n", b"\0" + FILL):
            self.write_rules(raw)
            self.assert_run("t.txt", status=1, out=NO_RULES, files={"t.txt": b"abc"})
        self.write_rules(FILL + b"#" * (LIMIT - len(FILL)))
        self.assert_run("t.txt", out=done("t.txt"), files={"t.txt": b"aXc"})
        self.write_rules(FILL + b"#" * (LIMIT + 1 - len(FILL)))
        self.assert_run("t.txt", status=1, out="", err=TOO_LARGE, files={"t.txt": b"aXc"})
        os.remove(self.rules_path())
        os.mkdir(self.rules_path())
        run = self.run_tool("t.txt")  # the reason differs between systems
        self.assertEqual((run.returncode, run.stdout, self.read("t.txt")), (1, b"", b"aXc"))
        self.assertTrue(run.stderr.startswith(text(self.cannot_open("")[:-1])), run.stderr)
        self.assert_usage(self.run_tool())  # usage never opens the rule file

    @unittest.skipUnless(LINUX, "a FIFO, and a file that fails to read")
    def test_rule_file_that_cannot_be_read(self):
        self.write("t.txt", b"abc")
        os.mkfifo(self.rules_path())
        self.assert_run("t.txt", status=1, out="", err=self.cannot_open("Illegal seek"))
        self.addCleanup(os.close, os.open(self.rules_path(), os.O_RDWR))  # an idle writer must not make it wait
        self.assert_run("t.txt", status=1, out="", err=self.cannot_open("Illegal seek"))
        os.unlink(self.rules_path())
        os.symlink("/proc/self/mem", self.rules_path())  # the tool's own memory: address 0 fails to read
        self.assert_run("t.txt", status=1, out="", err="Erro lendo arquivo de configuração\n",
                        files={"t.txt": b"abc"})

    def test_line_forms(self):
        other = b"$" if SEP == b"^" else b"^"
        self.write_rules(b"abc" + SEP + b"xyz\r\n"     # CR LF
                         b"del" + SEP + b"\n"           # an empty replacement deletes
                         b"a" + SEP + b"b" + SEP + b"c\r"   # CR alone; later separators are replacement
                         b"\n\n\r\r" + SEP + b"ign\n"   # an empty key: a comment
                         b"p|x\n"                       # "|" is ordinary text
                         b"o" + other + b"r\n"          # and so is the other build's separator
                         b" sp " + SEP + b" SP \n"      # blanks belong to key and replacement
                         + rule(b"K" * 200, b"200") + rule(b"L" * 201, b"201")  # the longest key; a comment
                         + rule(b"\xe9", b"e") + rule(b"nul", b"N\0tail") + b"c" + SEP + b"C")  # NUL ends a text
        self.write("t.txt", b"abc del a p|x o" + other + b"r sp x sp \xe9 nul c " + b"K" * 200 + b" " + b"L" * 201)
        self.assert_run("t.txt", out=done("t.txt"), files={
            "t.txt": b"xyz  b" + SEP + b"c p|x o" + other + b"r SP x SP e N c 200 " + b"L" * 201})
