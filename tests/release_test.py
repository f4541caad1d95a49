"""The release as scripts/release.sh makes it: checksums, the archives' names and contents under one folder named
with the version, the manual page, a stripped, version-stamped, large-address- and terminal-server-aware console
quorbel.exe needing only system DLLs, a static Linux executable, and every executable run straight out of its
archive (under wine for Windows) on the examples, giving the expected text. Set by ctest: QUORBEL_SOURCE_DIR,
WINEPREFIX, WINEDEBUG."""

import hashlib
import itertools
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

SOURCE = os.environ["QUORBEL_SOURCE_DIR"]
with open(os.path.join(SOURCE, "CMakeLists.txt")) as cmake_lists:
    VERSION = re.search(r"project\(quorbel VERSION ([0-9.]+)", cmake_lists.read()).group(1)
TOP = "quorbel-" + VERSION  # the one folder in each archive: a new version unpacks beside the old one
# Archive, executable suffix, runner and files of its own of each system.
SYSTEMS = {"windows": ("%s-windows-x86.zip" % TOP, ".exe", ["wine"], []),
           "linux": ("%s-linux-x86_64.tar.gz" % TOP, "", [], ["quorbel.1"])}
RULES = ["quorbel.cfg"]
EXAMPLES = {"texto.txt": "utf-8", "texto-ansi.txt": "cp1252"}  # and their encodings
LAYOUT = ["LEIA-ME.txt", "LICENSE"] + list(EXAMPLES) + [
    "%s/%s" % (build, name) for build in ("caret", "dollar") for name in RULES + ["quorbel{exe}"]]


def read(*path) -> bytes:
    with open(os.path.join(*path), "rb") as f:
        return f.read()


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="quorbel-release-")
        cls.addClassCleanup(shutil.rmtree, cls.scratch, True)
        cls.dist = os.path.join(cls.scratch, "dist")
        built = subprocess.run(["bash", os.path.join(SOURCE, "scripts", "release.sh"), cls.dist],
                               stdin=subprocess.DEVNULL, capture_output=True)
        if built.returncode != 0:
            raise RuntimeError("release.sh failed:\n" + built.stdout.decode() + built.stderr.decode())
        for system, (archive, _, _, _) in SYSTEMS.items():
            shutil.unpack_archive(os.path.join(cls.dist, archive), os.path.join(cls.scratch, system))

    def top(self, system, *path) -> str:
        return os.path.join(self.scratch, system, TOP, *path)

    def test_sums_and_the_archives_contents(self):
        sums = dict(reversed(line.split("  ")) for line in read(self.dist, "SHA256SUMS").decode().splitlines())
        self.assertEqual({name: hashlib.sha256(read(self.dist, name)).hexdigest() for name in sums}, sums)
        self.assertEqual(sorted(sums), sorted(archive for archive, _, _, _ in SYSTEMS.values()))
        for system, (_, exe, _, own) in SYSTEMS.items():
            self.assertEqual(sorted(os.path.relpath(os.path.join(at, name), os.path.join(self.scratch, system))
                                    for at, _, names in os.walk(os.path.join(self.scratch, system)) for name in names),
                             sorted(TOP + "/" + path.format(exe=exe) for path in LAYOUT + own))
            for document in ["LEIA-ME.txt", "LICENSE"] + own:
                text = read(SOURCE, document)
                self.assertEqual(read(self.top(system, document)), text.replace(b"\n", b"\r\n") if exe else text)
            for rules in RULES:
                self.assertEqual(read(self.top(system, "caret", rules)), read(SOURCE, "examples", rules))
                self.assertEqual(read(self.top(system, "dollar", rules)),
                                 re.sub(rb"(?m)^([^^\r\n]{1,200})\^", rb"\1$", read(SOURCE, "examples", rules)))

    def test_executables_are_stripped_and_stamped_or_static(self):
        for build in ("caret", "dollar"):
            exe = read(self.top("windows", build, "quorbel.exe"))
            pe = struct.unpack_from("<I", exe, 0x3C)[0]  # the COFF header follows "PE\0\0"
            # i386; no symbol table (stripped); PE32; a console program
            fields = [struct.unpack_from(form, exe, pe + at) for form, at in (("<H", 4), ("<II", 12), ("<H", 24),
                                                                              ("<H", 92))]
            self.assertEqual((exe[:2], exe[pe:pe + 4], fields), (b"MZ", b"PE\0\0", [(0x14C,), (0, 0), (0x10B,), (3,)]))
            # 4 GiB of address space on a 64-bit Windows; no Remote Desktop compatibility shims
            (flags,), (dll_flags,) = struct.unpack_from("<H", exe, pe + 22), struct.unpack_from("<H", exe, pe + 94)
            self.assertEqual((flags & 0x20, dll_flags & 0x8000), (0x20, 0x8000), build)
            for text in ("VS_VERSION_INFO", "ProductVersion", VERSION, "Quorbel: corrige arquivos de texto",
                         "Copyright (c) 2026 the quorbel authors"):
                self.assertIn(text.encode("utf-16-le"), exe, build)
            for manifest in (b'level="asInvoker"', b">true</longPathAware>", b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
                self.assertIn(manifest, exe, build)  # run as the user, Windows 10 and 11 known, long paths
            dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", self.top("windows", build, "quorbel.exe")],
                                  capture_output=True, text=True, check=True).stdout
            dlls = set(re.findall(r"dll name: (\S+)", dump.lower()))
            self.assertTrue(dlls and dlls <= {"kernel32.dll", "msvcrt.dll", "advapi32.dll"}, dlls)
            elf = read(self.top("linux", build, "quorbel"))
            (offset,), (size, count) = struct.unpack_from("<Q", elf, 0x20), struct.unpack_from("<HH", elf, 0x36)
            kinds = {struct.unpack_from("<I", elf, offset + i * size)[0] for i in range(count)}
            self.assertEqual((elf[:5], kinds & {2, 3}), (b"\x7fELF\x02", set()), build)  # no PT_DYNAMIC, PT_INTERP
        # Still reads the locale: its own texts in UTF-8 with bare line feeds, under C.UTF-8.
        done = subprocess.run([self.top("linux", "caret", "quorbel"), "nada.txt"], cwd=self.scratch,
                              capture_output=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(done.stdout, "Não consegui abrir: nada.txt\nFeito\n".encode())

    def test_the_manual_page_names_this_version_and_renders_without_warnings(self):
        page = self.top("linux", "quorbel.1")
        self.assertRegex(read(page).decode(), r'(?m)^\.TH QUORBEL 1 \S+ "quorbel %s"' % re.escape(VERSION))
        shown = subprocess.run(["groff", "-k", "-man", "-Tutf8", "-ww", "-z", page], capture_output=True, text=True)
        self.assertEqual((shown.returncode, shown.stderr), (0, ""))

    def test_every_executable_corrects_the_examples_straight_out_of_its_archive(self):
        # The one rule file beside each executable corrects both example texts, each in its own encoding.
        expected = read(SOURCE, "examples", "texto-corrigido.txt").decode("utf-8")
        for system, (_, exe, runner, _) in SYSTEMS.items():
            for build, (example, encoding) in itertools.product(("caret", "dollar"), EXAMPLES.items()):
                program = self.top(system, build, "quorbel" + exe)
                work = tempfile.mkdtemp(dir=self.scratch)
                shutil.copy(self.top(system, example), os.path.join(work, "texto.txt"))
                done = subprocess.run(runner + [program, "texto.txt"], cwd=work, capture_output=True,
                                      stdin=subprocess.DEVNULL, timeout=120, env=dict(os.environ, LC_ALL="C"))
                if runner and b"Exec format error" in done.stderr:
                    print("not run: this machine runs no 32-bit code, so wine cannot start", program)
                    continue
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (0, b"Analisando: texto.txt\r\nFeito\r\n", b""))
                self.assertEqual(read(work, "texto.txt"), expected.encode(encoding), (system, build, example))


if __name__ == "__main__":
    unittest.main()
