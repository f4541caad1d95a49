"""What only the Windows executables do, run under wine: the PE file itself, the raw
command line, drive paths, devices and attributes."""

import os
import struct
import subprocess
import unittest

from harness import EXE, WINDOWS, ToolTest


@unittest.skipUnless(WINDOWS, "Windows executables")
class WindowsTest(ToolTest):
    def setUp(self):
        super().setUp()
        self.write_rules({b"a": b"b"})

    def test_console_program_for_i386_that_needs_only_system_dlls(self):
        with open(EXE, "rb") as f:
            data = f.read(4096)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.assertEqual((data[:2], data[pe:pe + 4]), (b"MZ", b"PE\0\0"))
        # i386, PE32, console
        self.assertEqual([struct.unpack_from("<H", data, pe + at)[0] for at in (4, 24, 92)], [0x14C, 0x10B, 3])
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", EXE], capture_output=True, text=True, check=True)
        dlls = {line.split(":", 1)[1].strip().lower() for line in dump.stdout.splitlines() if "DLL Name:" in line}
        self.assertTrue(dlls and dlls <= {"kernel32.dll", "msvcrt.dll"}, dlls)

    def cmd(self, *args: str) -> bytes:
        return self.run_tool("/c", *args, exe="cmd").stdout

    def run_command_line(self, line: str):
        """Runs the tool with `line` as the raw rest of its command line. A batch file passes
        the line on untouched; wine would quote the words of an argument list."""
        with open(os.path.join(self.scratch, "run.bat"), "wb") as f:
            f.write(b"@" + self.host_path(self.exe).encode() + b" " + line.encode("latin-1") + b"\r\n")
        return self.run_tool("/c", self.host_path(os.path.join(self.scratch, "run.bat")), exe="cmd")

    def test_names_devices_and_refusals(self):
        os.mkdir(self.path("sub"))
        files = ("a b.txt", "c d.txt", "sub/t.txt", "ro.txt", "h.txt")
        for name in files:
            self.write(name, b"a")
        os.chmod(self.path("ro.txt"), 0o444)  # wine shows it as read-only
        self.cmd("attrib", "+h", "+s", "h.txt")
        attributes = self.cmd("attrib", "h.txt").split(b"Z:")[0]
        runs = {  # a tab, a double quote, "*" and "?" cannot be part of a Windows file name
            "quoting": self.run_command_line('"a b.txt"  c" "d.txt\t"e\tf" say\\"hi\\" "a\\"b c" sub\\\\"t.txt"'),
            "paths": self.run_tool("sub\\t.txt", self.host_path(self.path("sub", "t.txt")), ".\\sub\\..\\sub\\t.txt",
                                   "*.txt", "?.txt", "ro.txt", "h.txt"),
            "wildcards in the raw line": self.run_command_line("*.txt"),
            "devices and directories": self.run_tool("NUL", "CON", "nul", "nul.txt", "AUX", "COM1", "LPT1",
                                                     "sub\\NUL", "\\\\.\\NUL", "sub", "sub\\"),
        }
        self.assert_golden("windows", "".join(self.transcript(run, label=label) for label, run in runs.items()))
        self.assertEqual([self.read(name) for name in files], [b"b", b"b", b"b", b"a", b"b"])
        self.assertEqual((self.ls(), self.cmd("attrib", "h.txt").split(b"Z:")[0]),
                         (["a b.txt", "c d.txt", "h.txt", "ro.txt", "sub"], attributes))
