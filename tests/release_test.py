"""The release as scripts/release.sh makes it: the archives' contents and checksums, a stripped
and version-stamped quorbel.exe, a Linux executable that needs no shared library, and every
executable run straight out of its archive (the Windows ones under wine) on the example texts.

Set by the test registration: QUORBEL_SOURCE_DIR, and wine's WINEPREFIX and WINEDEBUG."""

import hashlib
import os
import re
import shutil
import struct
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

SOURCE = os.environ["QUORBEL_SOURCE_DIR"]
with open(os.path.join(SOURCE, "CMakeLists.txt")) as cmake_lists:
    VERSION = re.search(r"project\(quorbel VERSION ([0-9.]+)", cmake_lists.read()).group(1)
ARCHIVES = {"windows": "quorbel-%s-windows.zip" % VERSION, "linux": "quorbel-%s-linux.tar.gz" % VERSION}
RULES = ["quorbel.cfg", "quorbel-iso-8859-1.cfg"]
LAYOUT = ["LEIA-ME.txt", "texto.txt", "texto-iso-8859-1.txt"] + [
    "%s/%s" % (build, name) for build in ("caret", "dollar") for name in RULES + ["quorbel{exe}"]]
DONE = b"Analisando: texto.txt\r\nFeito\r\n"


def source(*path) -> bytes:
    with open(os.path.join(SOURCE, *path), "rb") as f:
        return f.read()


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="quorbel-release-")
        cls.dist = os.path.join(cls.scratch, "dist")
        built = subprocess.run(["bash", os.path.join(SOURCE, "scripts", "release.sh"), cls.dist],
                               stdin=subprocess.DEVNULL, capture_output=True)
        if built.returncode != 0:
            shutil.rmtree(cls.scratch, True)
            raise RuntimeError("release.sh failed:\n" + built.stdout.decode() + built.stderr.decode())
        cls.top = {system: os.path.join(cls.scratch, system, "quorbel") for system in ARCHIVES}
        with zipfile.ZipFile(os.path.join(cls.dist, ARCHIVES["windows"])) as z:
            cls.windows_names = [n for n in z.namelist() if not n.endswith("/")]
            z.extractall(os.path.join(cls.scratch, "windows"))
        with tarfile.open(os.path.join(cls.dist, ARCHIVES["linux"])) as t:
            cls.linux_names = [m.name for m in t.getmembers() if m.isfile()]
            t.extractall(os.path.join(cls.scratch, "linux"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, True)

    def packed(self, system, *path) -> bytes:
        with open(os.path.join(self.top[system], *path), "rb") as f:
            return f.read()

    def test_sums_list_both_archives(self):
        with open(os.path.join(self.dist, "SHA256SUMS")) as f:
            sums = dict(reversed(line.split("  ")) for line in f.read().splitlines())
        self.assertEqual(sorted(sums), sorted(ARCHIVES.values()))
        for name, digest in sums.items():
            with open(os.path.join(self.dist, name), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, name)

    def test_archives_hold_the_users_files(self):
        for system, names, exe in (("windows", self.windows_names, ".exe"), ("linux", self.linux_names, "")):
            self.assertEqual(sorted(names), sorted("quorbel/" + p.format(exe=exe) for p in LAYOUT))
            for rules in RULES:
                self.assertEqual(self.packed(system, "caret", rules), source("examples", rules))
                self.assertEqual(self.packed(system, "dollar", rules),
                                 re.sub(rb"(?m)^([^^\r\n]{1,200})\^", rb"\1$", source("examples", rules)))
        self.assertEqual(self.packed("linux", "LEIA-ME.txt"), source("LEIA-ME.txt"))
        self.assertEqual(self.packed("windows", "LEIA-ME.txt"), source("LEIA-ME.txt").replace(b"\n", b"\r\n"))

    def test_windows_executables_are_stripped_and_carry_their_version(self):
        for build in ("caret", "dollar"):
            exe = self.packed("windows", build, "quorbel.exe")
            # The COFF header follows "PE\0\0"; a stripped image has no symbol table.
            pe = struct.unpack_from("<I", exe, 0x3C)[0]
            self.assertEqual(exe[pe:pe + 4], b"PE\0\0")
            self.assertEqual(struct.unpack_from("<II", exe, pe + 12), (0, 0), build)
            for text in ("VS_VERSION_INFO", "ProductVersion", VERSION, "Quorbel: corrige arquivos de texto"):
                self.assertIn(text.encode("utf-16-le"), exe, build)

    def test_linux_executables_need_no_shared_library(self):
        for build in ("caret", "dollar"):
            elf = self.packed("linux", build, "quorbel")
            self.assertEqual(elf[:5], b"\x7fELF\x02")
            offset, = struct.unpack_from("<Q", elf, 0x20)
            size, count = struct.unpack_from("<HH", elf, 0x36)
            kinds = {struct.unpack_from("<I", elf, offset + i * size)[0] for i in range(count)}
            self.assertFalse(kinds & {2, 3}, build)  # no PT_DYNAMIC, no PT_INTERP
        # Still reads the locale: its own texts in UTF-8, under C.UTF-8.
        done = subprocess.run([os.path.join(self.top["linux"], "caret", "quorbel"), "nada.txt"],
                              cwd=self.scratch, capture_output=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(done.stdout, "Não consegui abrir: nada.txt\r\nFeito\r\n".encode())

    def corrected(self, runner, program, text) -> bytes:
        work = tempfile.mkdtemp(dir=self.scratch)
        shutil.copy(text, os.path.join(work, "texto.txt"))
        done = subprocess.run(runner + [program, "texto.txt"], cwd=work, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120, env=dict(os.environ, LC_ALL="C"))
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, DONE, b""))
        with open(os.path.join(work, "texto.txt"), "rb") as f:
            return f.read()

    def corrected_by_every_build(self, system, runner, exe) -> bytes:
        """Each build corrects the UTF-8 example where it lies, and the ISO-8859-1 one from a
        copy with quorbel-iso-8859-1.cfg as its quorbel.cfg; all four must agree."""
        top = self.top[system]
        results = set()
        for build in ("caret", "dollar"):
            program = os.path.join(top, build, "quorbel" + exe)
            utf8 = self.corrected(runner, program, os.path.join(top, "texto.txt"))
            copy = os.path.join(tempfile.mkdtemp(dir=self.scratch), "quorbel" + exe)
            shutil.copy(program, copy)
            shutil.copy(os.path.join(top, build, RULES[1]), os.path.join(os.path.dirname(copy), RULES[0]))
            latin1 = self.corrected(runner, copy, os.path.join(top, "texto-iso-8859-1.txt"))
            self.assertEqual(latin1.decode("latin-1"), utf8.decode("utf-8"))
            results.add(utf8)
        self.assertEqual(len(results), 1)  # the dollar rules are the caret rules
        return results.pop()

    def test_every_executable_corrects_the_examples_straight_out_of_its_archive(self):
        linux = self.corrected_by_every_build("linux", [], "")
        self.assertIn("informação ontem, mas não consegui".encode(), linux)
        self.assertEqual(self.corrected_by_every_build("windows", ["wine"], ".exe"), linux)


if __name__ == "__main__":
    unittest.main()
