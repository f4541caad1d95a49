"""The Windows executables under wine: names outside the ANSI code page, long paths, the access a file grants, the
command line, devices and refusals."""

import os
import unittest

from harness import ENV, EXE_NAME, WINDOWS, ToolTest, done

# Names outside code page 1252, and what redirected output shows of them: "?" for each UTF-16 unit it lacks.
NAMES = {"relatório ✓ 東京.txt": b"relat\xf3rio ? ??.txt", "Erdős 😀.txt": b"Erd?s ??.txt"}
FOLDER, SHOWN_FOLDER = "pasta 東京 ő", b"pasta ?? ?"
UTF8 = dict(ENV, LC_ALL="C.UTF-8")  # wine reads the arguments' bytes in the locale's character set


def analysed(*shown: bytes) -> bytes:
    return b"".join(b"Analisando: %s\r\n" % name for name in shown) + b"Feito\r\n"


@unittest.skipUnless(WINDOWS, "Windows executables under wine")
class WindowsTest(ToolTest):
    RULES = {b"a": b"b"}

    def test_names_outside_the_code_page_in_arguments_folders_and_the_program_path(self):
        os.mkdir(self.path(FOLDER))
        files = {**NAMES, FOLDER + "\\" + "ő.txt": SHOWN_FOLDER + b"\\?.txt"}
        self.write_all({name.replace("\\", "/"): b"aXa" for name in files})
        self.assert_run(*files, env=UTF8, out=analysed(*files.values()),
                        files={name.replace("\\", "/"): b"bXb" for name in files})
        exe = os.path.join(self.scratch, FOLDER, EXE_NAME)  # its rule file beside it, in a folder so named
        os.makedirs(os.path.dirname(exe))
        os.replace(self.exe, exe)
        self.write_rules({b"X": b"Y"}, exe=exe)
        self.assert_run(*NAMES, exe=exe, env=UTF8, out=analysed(*NAMES.values()), files=dict.fromkeys(NAMES, b"bYb"))

    def test_paths_longer_than_max_path(self):
        deep = self.path(*["d" * 60] * 5)
        os.makedirs(deep)
        path = self.write(os.path.join(deep, "t.txt"), b"aaa")
        self.assertGreater(len(self.host_path(path)), 300)
        self.assert_run(self.host_path(path), out=done(self.host_path(path)), files={path: b"bbb"})
        self.assertEqual(os.listdir(deep), ["t.txt"])

    def test_the_result_grants_others_what_the_file_granted(self):
        # Wine shows what every user may read as the read bit of others.
        for mode in (0o600, 0o644, 0o640):
            os.chmod(self.write("m.txt", b"a"), mode)
            self.assert_run("m.txt", out=done("m.txt"), files={"m.txt": b"b"})
            self.assertEqual(os.stat(self.path("m.txt")).st_mode & 0o004, mode & 0o004, oct(mode))

    def attrib(self, *args: str) -> bytes:
        return self.run_tool("/c", "attrib", *args, exe="cmd").stdout.split(b"Z:")[0]

    def command_line(self, line: str) -> tuple:
        """Arguments to cmd for a batch file that runs the tool with `line` untouched (wine quotes arguments)."""
        with open(os.path.join(self.scratch, "run.bat"), "wb") as f:
            f.write(b"@" + self.host_path(self.exe).encode() + b" " + line.encode("latin-1") + b"\r\n")
        return "/c", self.host_path(os.path.join(self.scratch, "run.bat"))

    def test_command_line_devices_and_refusals(self):
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
        self.assert_run(*paths, "*.txt", "?.txt", "ro.txt", "h.txt", out=done(
            *paths, *(("cannot_open", name) for name in ("*.txt", "?.txt", "ro.txt")), "h.txt"))
        self.assert_run(*self.command_line("*.txt"), exe="cmd", out=done(("cannot_open", "*.txt")))  # no wildcards
        devices = ["NUL", "CON", "nul", "nul.txt", "AUX", "COM1", "LPT1", "sub\\NUL", "\\\\.\\NUL", "sub", "sub\\"]
        self.assert_run(*devices, out=done(*(("cannot_open", name) for name in devices)))
        self.assertEqual([self.read(name) for name in files], [b"b", b"b", b"b", b"a", b"b"])
        self.assertEqual((self.ls(), self.attrib("h.txt")),
                         (["a b.txt", "c d.txt", "h.txt", "ro.txt", "sub"], attributes))
