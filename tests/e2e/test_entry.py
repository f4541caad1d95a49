"""Usage text, where the rule file is, what it may hold, and each way it and the set-up can fail."""

import os
import shutil
import subprocess
import sys
import unittest

from harness import CHECKER, ENV, EXE_NAME, LINUX, ROOT, RUNNER, SEP, ToolTest, say
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

    @unittest.skipUnless(ROOT and not RUNNER and not CHECKER and shutil.which("unshare"),
                         "hiding /proc takes root; a memory checker needs /proc itself")
    def test_without_proc_the_program_is_found_as_the_shell_found_it(self):
        # Through PATH, never in the current directory, which holds a rule file of its own.
        self.write_rules({b"a": b"b"})
        self.write("quorbel.cfg", rule(b"a", b"PLANTED"))
        hidden = ["-m", "bash", "-c", 'mount -t tmpfs none /proc && exec -a quorbel "$@"', "bash", self.exe, "t.txt"]
        found = dict(ENV, PATH=self.bin_dir + os.pathsep + ENV["PATH"])
        missing = say("cannot_open_rules", "quorbel.cfg", "No such file or directory")
        for env, status, out, err, data in ((found, 0, done("t.txt"), "", b"bbb"), (ENV, 1, "", missing, b"aaa")):
            self.write("t.txt", b"aaa")
            self.assert_run(*hidden, exe="unshare", env=env, status=status, out=out, err=err, files={"t.txt": data})

    @unittest.skipIf(RUNNER, "timed: too slow under an instrumenting runner")
    def test_rule_file_rewritten_while_runs_read_it_is_used_whole_or_not_at_all(self):
        rules = b"".join(rule(b"<%04d>" % i, b"[%04d]" % i) for i in range(3000))  # several reads
        self.write_rules(rules)
        with open(os.path.join(self.scratch, "rules"), "wb") as f:
            f.write(rules)
        data = b"".join(b"<%04d>" % i for i in range(3000))
        writer = ("import time\nrules = open(%r, 'rb').read()\nend = time.time() + 3\nwhile time.time() < end:\n"
                  "    with open(%r, 'r+b') as f:\n        f.truncate()\n        for i in range(0, len(rules), 4096):\n"
                  "            f.write(rules[i:i + 4096]); f.flush(); time.sleep(0.002)\n    time.sleep(0.3)\n")
        writer = subprocess.Popen([sys.executable, "-c", writer % (os.path.join(self.scratch, "rules"), self.rules_path())])
        self.addCleanup(writer.kill)
        while writer.poll() is None:
            self.write("t.txt", data)
            run = self.run_tool("t.txt")
            whole = (0, text(done("t.txt")), b"", data.replace(b"<", b"[").replace(b">", b"]"))
            none = [(1, text(say("no_rules")), b"", data), (1, b"", text(say("cannot_read_rules")), data)]
            self.assertIn((run.returncode, run.stdout, run.stderr, self.read("t.txt")), [whole] + none)

    def cannot_open(self, reason: str) -> str:
        return say("cannot_open_rules", self.host_path(self.rules_path()), reason)

    def test_failures_leave_the_files_alone(self):
        self.write("t.txt", b"abc")
        self.assert_run("t.txt", status=1, out="", err=self.cannot_open("No such file or directory"),
                        files={"t.txt": b"abc"})
        other = b"$" if SEP == b"^" else b"^"  # the other build's separator is ordinary text
        for raw in (b"", b"no separator\n\r\n", SEP + b"starts with it\n", b"x" * 201 + SEP + b"y\n", b"\0" + FILL,
                    b"o" + other + b"r\n"):
            self.write_rules(raw)
            self.assert_run("t.txt", status=1, out=say("no_rules"), files={"t.txt": b"abc"})
        os.remove(self.rules_path())
        os.mkdir(self.rules_path())
        run = self.run_tool("t.txt")  # the reason differs between systems
        self.assertEqual((run.returncode, run.stdout, self.read("t.txt")), (1, b"", b"abc"))
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
        self.assert_run("t.txt", status=1, out="", err=say("cannot_read_rules"),
                        files={"t.txt": b"abc"})

