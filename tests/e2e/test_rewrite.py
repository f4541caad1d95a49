"""Rewriting: runs over several files, names as given, the redirected output's blocks, Windows names."""

import os
import shutil
import unittest

from harness import RUNNER, WINDOWS, ToolTest, done, text


class RewriteTest(ToolTest):
    def test_failures_in_between_and_names_as_given(self):
        self.write_rules({b"a": b"aa"})
        os.mkdir(self.path("sub"))
        self.write_all({"one": b"a", "empty": b"", "-n": b"a", "sub/t.txt": b"ba"})
        self.assert_run("one", "missing", "one", "empty", "-n", "--help", "sub/t.txt", "sub/missing",
                        out=done("one", ("cannot_open", "missing"), "one", "empty", "-n", ("cannot_open", "--help"), "sub/t.txt",
                                 ("cannot_open", "sub/missing")),
                        files={"one": b"aaaa", "empty": b"", "-n": b"aa", "sub/t.txt": b"baa"})
        self.assertEqual((self.ls(), self.ls("sub")), (["-n", "empty", "one", "sub"], ["t.txt"]))

    def test_many_files_fill_the_redirected_output_buffer(self):
        self.write_rules({b"a": b"b"})
        names = ["file%03d.txt" % i for i in range(60)]
        self.write_all({name: b"a" for name in names})
        self.assert_run(*names, out=done(*names), files={name: b"b" for name in names})
        if shutil.which("strace") and not WINDOWS and not RUNNER:
            trace = self.run_tool("-e", "trace=write", self.exe, *names, exe="strace").stderr.decode("latin-1")
            sizes = [int(line.rsplit("= ", 1)[1]) for line in trace.splitlines() if line.startswith("write(1,")]
            self.assertEqual((sum(sizes), set(sizes[:-1])), (len(text(done(*names))), {512}))

    def attrib(self, *args: str) -> bytes:
        return self.run_tool("/c", "attrib", *args, exe="cmd").stdout.split(b"Z:")[0]

    def command_line(self, line: str) -> tuple:
        """Arguments to cmd for a batch file that runs the tool with `line` untouched (wine quotes arguments)."""
        with open(os.path.join(self.scratch, "run.bat"), "wb") as f:
            f.write(b"@" + self.host_path(self.exe).encode() + b" " + line.encode("latin-1") + b"\r\n")
        return "/c", self.host_path(os.path.join(self.scratch, "run.bat"))

    @unittest.skipUnless(WINDOWS, "Windows executables under wine")
    def test_windows_names_devices_and_refusals(self):
        self.write_rules({b"a": b"b"})
        os.mkdir(self.path("sub"))
        files = ("a b.txt", "c d.txt", "sub/t.txt", "ro.txt", "h.txt")
        self.write_all(dict.fromkeys(files, b"a"))
        os.chmod(self.path("ro.txt"), 0o444)  # wine shows it as read-only
        self.attrib("+h", "+s", "h.txt")
        attributes = self.attrib("h.txt")
        # A tab, a double quote, "*" and "?" cannot be part of a Windows file name.
        line = '"a b.txt"  c" "d.txt\t"e\tf" say\\"hi\\" "a\\"b c" sub\\\\"t.txt"'
        self.assert_run(*self.command_line(line), exe="cmd", out=done(
            "a b.txt", "c d.txt", *(("cannot_open", name) for name in ("e\tf", 'say"hi"', 'a"b c', 'sub\\"t.txt'))))
        paths = ["sub\\t.txt", self.host_path(self.path("sub", "t.txt")), ".\\sub\\..\\sub\\t.txt"]
        self.assert_run(*paths, "*.txt", "?.txt", "ro.txt", "h.txt",
                        out=done(*paths, ("cannot_open", "*.txt"), ("cannot_open", "?.txt"), ("cannot_open", "ro.txt"), "h.txt"))
        self.assert_run(*self.command_line("*.txt"), exe="cmd", out=done(("cannot_open", "*.txt")))  # no wildcards
        devices = ["NUL", "CON", "nul", "nul.txt", "AUX", "COM1", "LPT1", "sub\\NUL", "\\\\.\\NUL", "sub", "sub\\"]
        self.assert_run(*devices, out=done(*(("cannot_open", name) for name in devices)))
        self.assertEqual([self.read(name) for name in files], [b"b", b"b", b"b", b"a", b"b"])
        self.assertEqual((self.ls(), self.attrib("h.txt")),
                         (["a b.txt", "c d.txt", "h.txt", "ro.txt", "sub"], attributes))
