"""What only the Windows executables do, run under wine: the PE file itself, the raw
command line, drive paths, devices, attributes and volumes."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from harness import EXE, WINDOWS, ToolTest, golden_lines, rule


@unittest.skipUnless(WINDOWS, "Windows executables")
class WindowsTest(ToolTest):
    def setUp(self):
        super().setUp()
        self.write_rules(rule(b"a", b"b"))

    def test_console_program_for_i386_that_needs_only_system_dlls(self):
        with open(EXE, "rb") as f:
            data = f.read(4096)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.assertEqual((data[:2], data[pe:pe + 4]), (b"MZ", b"PE\0\0"))
        # i386, PE32, console
        self.assertEqual(struct.unpack_from("<H", data, pe + 4) + struct.unpack_from("<H", data, pe + 24)
                         + struct.unpack_from("<H", data, pe + 92), (0x14C, 0x10B, 3))
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", EXE], capture_output=True, text=True, check=True)
        dlls = {line.split(":", 1)[1].strip().lower() for line in dump.stdout.splitlines() if "DLL Name:" in line}
        self.assertTrue(dlls and dlls <= {"kernel32.dll", "msvcrt.dll"}, dlls)

    def test_names_devices_and_refusals(self):
        os.mkdir(os.path.join(self.work, "sub"))
        for name in ("a b.txt", "c d.txt", "sub/t.txt", "h.txt", "ro.txt"):
            self.write(name, b"a")
        os.chmod(os.path.join(self.work, "ro.txt"), 0o444)  # wine shows it as read-only
        self.attrib("+h", "+s", "h.txt")
        attributes = self.attrib("h.txt")
        files = ("a b.txt", "c d.txt", "sub/t.txt", "ro.txt")
        runs = [  # a tab, a double quote, "*" and "?" cannot be part of a Windows file name
            ("quoting", self.run_command_line('"a b.txt"  c" "d.txt\t"e\tf" say\\"hi\\" "a\\"b c" sub\\\\"t.txt"')),
            ("paths", self.run_tool("sub\\t.txt", self.host_path(os.path.join(self.work, "sub", "t.txt")),
                                    ".\\sub\\..\\sub\\t.txt", "*.txt", "?.txt", "ro.txt", "h.txt")),
            ("wildcards in the raw line", self.run_command_line("*.txt")),
            ("devices and directories", self.run_tool("NUL", "CON", "nul", "nul.txt", "AUX", "COM1", "LPT1", "sub\\NUL",
                                                      "\\\\.\\NUL", "sub", "sub\\")),
        ]
        self.assert_golden("windows", "".join("## %s\n" % label + self.transcript(result) for label, result in runs)
                           + "## files\n" + "".join(golden_lines(name, self.read(name)) for name in files))
        self.assertEqual(self.attrib("h.txt"), attributes)
        self.assertEqual(self.read("h.txt"), b"b")
        self.assertEqual(sorted(os.listdir(self.work)), ["a b.txt", "c d.txt", "h.txt", "ro.txt", "sub"])

    def test_planted_temporary_file_is_never_written_through(self):
        # wine shows a Linux symbolic link as the file it points to: not tried here.
        victim = self.write("victim", b"precious")
        self.write("t.txt", b"aaa")
        tmp = os.path.join(self.work, "quorbel.tmp")
        plants = [lambda: os.mkdir(tmp), lambda: os.link(victim, tmp),
                  lambda: os.chmod(self.write("quorbel.tmp", b"theirs"), 0o444)]
        results = set()
        for plant in plants:
            plant()
            results.add(self.transcript(self.run_tool("t.txt"), "t.txt", "victim"))
            (os.rmdir if os.path.isdir(tmp) else os.unlink)(tmp)
        self.assertEqual(len(results), 1, results)
        self.assert_golden("windows_planted", results.pop())

    def test_current_directory_on_another_volume(self):
        shm = tempfile.mkdtemp(dir="/dev/shm")
        self.addCleanup(shutil.rmtree, shm, True)
        path = self.write("t.txt", b"a" * 100_000)
        self.assertNotEqual(os.stat(shm).st_dev, os.stat(path).st_dev)
        self.assertEqual(self.run_tool(self.host_path(path), cwd=shm).status, 0)
        self.assertEqual((self.read("t.txt"), os.listdir(shm), os.listdir(self.work)), (b"b" * 100_000, [], ["t.txt"]))

    def attrib(self, *args: str) -> str:
        """The attribute letters of a file, or sets them."""
        return self.run_tool("/c", "attrib", *args, exe="cmd").out.decode("latin-1").split("Z:")[0]


if __name__ == "__main__":
    unittest.main()
