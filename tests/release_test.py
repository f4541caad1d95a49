"""The release archives: what they hold, and that their executables run straight out of them,
the Windows ones under wine, correcting the example text with the example rules.

Set by the test registration: QUORBEL_SOURCE_DIR, QUORBEL_NATIVE_BUILD, QUORBEL_WINDOWS_BUILD."""

import os
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

SOURCE = os.environ["QUORBEL_SOURCE_DIR"]
LAYOUT = ["quorbel/README.md", "quorbel/caret/quorbel.cfg", "quorbel/caret/quorbel{exe}",
          "quorbel/dollar/quorbel.cfg", "quorbel/dollar/quorbel{exe}"]


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="quorbel-release-")
        subprocess.run(["bash", os.path.join(SOURCE, "scripts", "package.sh"), cls.scratch,
                        os.environ["QUORBEL_NATIVE_BUILD"], os.environ["QUORBEL_WINDOWS_BUILD"]],
                       check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, True)

    def correct_example(self, runner, executable):
        """Runs one packed executable on a copy of the example text; returns (stdout, text)."""
        work = tempfile.mkdtemp(dir=self.scratch)
        shutil.copy(os.path.join(SOURCE, "examples", "texto.txt"), work)
        done = subprocess.run(runner + [executable, "texto.txt"], cwd=work, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        with open(os.path.join(work, "texto.txt"), "rb") as f:
            return done.stdout, f.read()

    def check_builds(self, folder, runner, exe):
        results = [self.correct_example(runner, os.path.join(folder, "quorbel", build, "quorbel" + exe))
                   for build in ("caret", "dollar")]
        self.assertEqual(results[0], results[1])  # the dollar rules are the caret rules
        out, text = results[0]
        self.assertEqual(out, b"Analisando: texto.txt\r\nFeito\r\n")
        self.assertIn("informação".encode("latin-1"), text)
        return text

    def test_archives_hold_both_builds_and_run_from_them(self):
        with zipfile.ZipFile(os.path.join(self.scratch, "quorbel-windows.zip")) as z:
            self.assertEqual(sorted(n for n in z.namelist() if not n.endswith("/")),
                             sorted(p.format(exe=".exe") for p in LAYOUT))
            z.extractall(os.path.join(self.scratch, "windows"))
        with tarfile.open(os.path.join(self.scratch, "quorbel-linux.tar.gz")) as t:
            self.assertEqual(sorted(m.name for m in t.getmembers() if m.isfile()),
                             sorted(p.format(exe="") for p in LAYOUT))
            t.extractall(os.path.join(self.scratch, "linux"))
        linux = self.check_builds(os.path.join(self.scratch, "linux"), [], "")
        windows = self.check_builds(os.path.join(self.scratch, "windows"), ["wine"], ".exe")
        self.assertEqual(windows, linux)


if __name__ == "__main__":
    unittest.main()
