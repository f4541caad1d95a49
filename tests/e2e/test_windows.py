"""What only the Windows executables do: the PE file itself, the command line, drive paths,
devices, attributes and volumes, run under wine."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from harness import EXE, NATIVE_EXE, RUNNER, WINDOWS, ToolTest, crlf, latin1, rule

# Every Windows installation has these; nothing else may be imported.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}


def message(kind: str, name: str) -> bytes:
    return crlf(latin1("Não consegui %s: %s\n" % (kind, name)))


def attrib(test: ToolTest, *args: str) -> str:
    done = subprocess.run(RUNNER + ["cmd", "/c", "attrib"] + list(args), cwd=test.work, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=120)
    return done.stdout.decode("latin-1")


@unittest.skipUnless(WINDOWS, "Windows executables")
class ExecutableTest(unittest.TestCase):
    def test_pe32_console_program_for_i386(self):
        with open(EXE, "rb") as f:
            data = f.read(4096)
        self.assertEqual(data[:2], b"MZ")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.assertEqual(data[pe:pe + 4], b"PE\0\0")
        machine = struct.unpack_from("<H", data, pe + 4)[0]
        magic, = struct.unpack_from("<H", data, pe + 24)
        subsystem, = struct.unpack_from("<H", data, pe + 24 + 68)
        self.assertEqual((machine, magic, subsystem), (0x14C, 0x10B, 3))  # i386, PE32, console

    def test_imports_only_system_dlls(self):
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", EXE], capture_output=True, text=True, check=True)
        dlls = {line.split(":", 1)[1].strip().lower() for line in dump.stdout.splitlines() if "DLL Name:" in line}
        self.assertTrue(dlls, dump.stdout[:2000])
        self.assertLessEqual(dlls, SYSTEM_DLLS)


@unittest.skipUnless(WINDOWS, "Windows executables")
class CommandLineTest(ToolTest):
    def setUp(self):
        super().setUp()
        self.write_rules(rule(b"a", b"b"))

    def test_usage_text_shows_drive_paths_and_crlf(self):
        result = self.run_tool()
        self.assertEqual((result.status, result.err), (0, b""))
        exe = ("Z:" + self.exe.replace("/", "\\")).encode()
        self.assertIn(b"\r\n" + exe + b"  Seguido dos nomes dos arquivos\r\n", result.out)
        self.assertIn(latin1("Arquivo de configuração: ") + exe[:-4] + b".cfg\r\n", result.out)
        self.assertEqual(result.out.count(b"\n"), result.out.count(b"\r\n"))

    def test_capital_exe_reads_the_cfg_beside_it(self):
        other = os.path.join(self.scratch, "other")
        os.mkdir(other)
        exe = os.path.join(other, "QUORBEL.EXE")
        shutil.copy2(self.exe, exe)
        self.write_rules(rule(b"a", b"Z"), exe=exe)
        self.assertTrue(os.path.exists(os.path.join(other, "QUORBEL.cfg")))
        self.write("t.txt", b"aa")
        result = self.run_tool("t.txt", exe=exe)
        self.assertEqual(result.out, crlf(b"Analisando: t.txt\nFeito\n"))
        self.assertEqual(self.read("t.txt"), b"ZZ")

    def test_quoted_parts_hold_blanks(self):
        self.write("a b.txt", b"a")
        self.write("c d.txt", b"aa")
        result = self.run_command_line('"a b.txt"  c" "d.txt\t"e\tf".txt')
        # A tab cannot be part of a Windows file name: the message shows it kept.
        self.assertEqual(result.out, crlf(b"Analisando: a b.txt\nAnalisando: c d.txt\n") + message("abrir", "e\tf.txt")
                         + crlf(b"Feito\n"))
        self.assertEqual([self.read(n) for n in ("a b.txt", "c d.txt")], [b"b", b"bb"])

    def test_backslash_quote_is_a_literal_quote_and_other_backslashes_are_ordinary(self):
        os.mkdir(os.path.join(self.work, "sub"))
        self.write(os.path.join("sub", "t.txt"), b"a")
        # A double quote cannot be part of a Windows file name: the message shows the name.
        result = self.run_command_line(r'sub\t.txt say\"hi\" "a\"b c" sub\\"t.txt"')
        self.assertEqual(result.out, crlf(b"Analisando: sub\\t.txt\n") + message("abrir", 'say"hi"')
                         + message("abrir", 'a"b c') + message("abrir", 'sub\\"t.txt') + crlf(b"Feito\n"))
        self.assertEqual(self.read(os.path.join("sub", "t.txt")), b"b")

    def test_wildcards_are_file_names(self):
        self.write("a.txt", b"a")
        self.write("b.txt", b"a")
        result = self.run_tool("*.txt", "?.txt")
        self.assertEqual(result.out, message("abrir", "*.txt") + message("abrir", "?.txt") + crlf(b"Feito\n"))
        result = self.run_command_line("*.txt")
        self.assertEqual(result.out, message("abrir", "*.txt") + crlf(b"Feito\n"))
        self.assertEqual((self.read("a.txt"), self.read("b.txt")), (b"a", b"a"))

    def test_paths_with_backslashes_and_drive(self):
        os.mkdir(os.path.join(self.work, "sub"))
        self.write(os.path.join("sub", "t.txt"), b"a")
        absolute = self.host_path(os.path.join(self.work, "sub", "t.txt"))
        result = self.run_tool("sub\\t.txt", absolute, ".\\sub\\..\\sub\\t.txt")
        self.assertEqual(result.out, crlf(b"Analisando: sub\\t.txt\nAnalisando: " + absolute.encode()
                                          + b"\nAnalisando: .\\sub\\..\\sub\\t.txt\nFeito\n"))
        self.assertEqual(self.read(os.path.join("sub", "t.txt")), b"b")
        self.assertEqual(sorted(os.listdir(self.work)), ["sub"])


@unittest.skipUnless(WINDOWS, "Windows executables")
class WindowsFileTest(ToolTest):
    def setUp(self):
        super().setUp()
        self.write_rules(rule(b"a", b"b"))

    def test_devices_and_directories_are_refused(self):
        os.mkdir(os.path.join(self.work, "dir"))
        names = ["NUL", "CON", "nul", "nul.txt", "AUX", "COM1", "LPT1", "dir\\NUL", "\\\\.\\NUL", "dir", "dir\\"]
        result = self.run_tool(*names)
        self.assertEqual(result.out, b"".join(message("abrir", n) for n in names) + crlf(b"Feito\n"))
        self.assertEqual(sorted(os.listdir(self.work)), ["dir"])

    def test_read_only_file_is_refused(self):
        path = self.write("ro.txt", b"aaa")
        os.chmod(path, 0o444)  # wine shows a file nobody may write as read-only
        self.assertIn("R", attrib(self, "ro.txt").split("Z:")[0])
        result = self.run_tool("ro.txt")
        self.assertEqual(result.out, message("abrir", "ro.txt") + crlf(b"Feito\n"))
        self.assertEqual(self.read("ro.txt"), b"aaa")

    def test_hidden_and_system_attributes_are_kept(self):
        self.write("h.txt", b"aaa")
        attrib(self, "+h", "h.txt")
        attrib(self, "+s", "h.txt")
        before = attrib(self, "h.txt")
        self.assertEqual(set(before.split("Z:")[0]) - {" "}, {"A", "H", "S"})
        self.assertEqual(self.run_tool("h.txt").out, crlf(b"Analisando: h.txt\nFeito\n"))
        self.assertEqual(self.read("h.txt"), b"bbb")
        self.assertEqual(attrib(self, "h.txt"), before)

    def test_planted_temporary_file_is_never_written_through(self):
        # A planted symbolic link is a reparse point on Windows and refused as
        # one; wine shows a Linux link as the file it points to, so it is not
        # tried here.
        victim = self.write("victim", b"precious")
        self.write("t.txt", b"aaa")
        tmp = os.path.join(self.work, "quorbel.tmp")

        def read_only():
            self.write("quorbel.tmp", b"theirs")
            os.chmod(tmp, 0o444)
        plants = [("directory", lambda: os.mkdir(tmp)),
                  ("hard link", lambda: os.link(victim, tmp)),
                  ("read-only file", read_only)]
        for label, plant in plants:
            with self.subTest(plant=label):
                plant()
                result = self.run_tool("t.txt")
                self.assertEqual(result.out, message("criar", "t.txt") + crlf(b"Feito\n"))
                self.assertEqual(self.read("t.txt"), b"aaa")
                self.assertEqual(self.read("victim"), b"precious")
                (os.rmdir if os.path.isdir(tmp) else os.unlink)(tmp)

    def test_current_directory_on_another_volume(self):
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no /dev/shm")
        shm = tempfile.mkdtemp(dir="/dev/shm")
        self.addCleanup(shutil.rmtree, shm, True)
        path = self.write("t.txt", b"a" * 100_000)
        self.assertNotEqual(os.stat(shm).st_dev, os.stat(path).st_dev)
        name = self.host_path(path)
        result = self.run_tool(name, cwd=shm)
        self.assertEqual(result.out, crlf(b"Analisando: %s\nFeito\n" % name.encode()))
        self.assertEqual(self.read("t.txt"), b"b" * 100_000)
        self.assertEqual(os.listdir(shm), [])
        self.assertEqual(os.listdir(self.work), ["t.txt"])


@unittest.skipUnless(WINDOWS and NATIVE_EXE, "a Windows executable and its Linux build")
class SameBytesAsLinuxTest(ToolTest):
    """Both builds print the same bytes and write the same files, apart from their own paths.
    Beside each other they share one rule file: quorbel.exe and quorbel both read quorbel.cfg."""

    def run_build(self, runner, exe, shown_exe, shown_cfg, args):
        for name in ("t.txt", "u.txt"):
            self.write(name, b"abc\r\n\xe9a\0a")
        done = subprocess.run(runner + [exe] + list(args), cwd=self.work, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120)

        def neutral(text):
            return text.replace(shown_cfg.encode(), b"<cfg>").replace(shown_exe.encode(), b"<exe>")
        return done.returncode, neutral(done.stdout), neutral(done.stderr), self.read("t.txt"), self.read("u.txt")

    def test_outputs_match(self):
        native = os.path.join(self.bin_dir, "quorbel")
        shutil.copy2(NATIVE_EXE, native)
        cases = [(None, ()), (None, ("t.txt",)), (b"", ("t.txt",)), (b"x" * 15_360_001, ("t.txt",)),
                 (rule(b"a", b"\xe3o") + b"\n" + rule(b"\xe9", b"") + b"\n", ("t.txt", "missing", "u.txt", "t.txt"))]
        for rules, args in cases:
            with self.subTest(rules=rules and rules[:20], args=args):
                if rules is None:
                    if os.path.exists(self.rules_path()):
                        os.unlink(self.rules_path())
                else:
                    self.write_rules(raw=rules)
                windows = self.run_build(RUNNER, self.exe, self.host_path(self.exe),
                                         self.host_path(self.rules_path()), args)
                linux = self.run_build([], native, native, native + ".cfg", args)
                self.assertEqual(windows, linux)
