"""Rewriting: runs over several files, names as given, the redirected output's blocks."""

import os
import shutil

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
