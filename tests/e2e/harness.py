"""Runs the real quorbel executable (QUORBEL_EXE, separator QUORBEL_SEP, run through the
command prefix QUORBEL_RUNNER, such as wine or valgrind) in a scratch directory. What it prints
and writes is compared with golden/*.txt, the same for every build and system;
QUORBEL_UPDATE_GOLDEN=1 rewrites them from the run instead. QUORBEL_CHECKER names a memory
checker the run is under, which makes it far slower and reserves address space freely."""

import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest
from dataclasses import dataclass

EXE = os.environ["QUORBEL_EXE"]
SEP = os.environ.get("QUORBEL_SEP", "^").encode()
RUNNER = shlex.split(os.environ.get("QUORBEL_RUNNER", ""))
WINDOWS = EXE.lower().endswith(".exe")
EXE_NAME = "quorbel.exe" if WINDOWS else "quorbel"
CHECKER = os.environ.get("QUORBEL_CHECKER", "")
GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")
UPDATE_GOLDEN = os.environ.get("QUORBEL_UPDATE_GOLDEN") == "1"
TIMEOUT = 120
# The system's error texts, and so the golden files, are those of the C locale.
ENV = dict(os.environ, LC_ALL="C")


def unless_checked(reason: str):
    """Skips a test that a memory checker cannot run as meant, saying why."""
    return unittest.skipIf(CHECKER, "under %s: %s" % (CHECKER, reason))


def crlf(text: bytes) -> bytes:
    """What a message looks like once it leaves the tool: every LF as CR LF."""
    return text.replace(b"\n", b"\r\n")


def latin1(text: str) -> bytes:
    return text.encode("latin-1")


def rule(key: bytes, replacement: bytes) -> bytes:
    return key + SEP + replacement


def golden_lines(label: str, data: bytes) -> str:
    """One line per line of `data`, escaped to ASCII (CR LF shows as \\r\\n), each under `label`."""
    return "".join("%s| %s\n" % (label, line.decode("latin-1").encode("unicode_escape").decode())
                   for line in re.findall(b"[^\n]*\n|[^\n]+", data))


@dataclass
class Result:
    status: int
    out: bytes
    err: bytes


class ToolTest(unittest.TestCase):
    """Each test gets its own copy of the executable, so its rule file is private."""

    def setUp(self):
        self.scratch = os.path.realpath(tempfile.mkdtemp(prefix="quorbel-e2e-"))
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.bin_dir = os.path.join(self.scratch, "bin")
        self.work = os.path.join(self.scratch, "work")
        os.mkdir(self.bin_dir)
        os.mkdir(self.work)
        self.exe = os.path.join(self.bin_dir, EXE_NAME)
        shutil.copy2(EXE, self.exe)

    def host_path(self, path: str) -> str:
        """A path as the tool reports it (wine shows the Z: drive)."""
        return "Z:" + path.replace("/", "\\") if WINDOWS else path

    def rules_path(self, exe=None) -> str:
        exe = exe or self.exe
        return exe[:-4] + ".cfg" if exe.lower().endswith(".exe") else exe + ".cfg"

    def write_rules(self, *lines: bytes, raw: bytes = None, exe=None):
        with open(self.rules_path(exe), "wb") as f:
            f.write(raw if raw is not None else b"".join(line + b"\n" for line in lines))

    def write(self, name: str, data: bytes) -> str:
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name: str) -> bytes:
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    def run_tool(self, *args: str, exe=None, cwd=None, **popen) -> Result:
        popen.setdefault("env", ENV)
        done = subprocess.run(RUNNER + [exe or self.exe] + list(args), cwd=cwd or self.work, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=TIMEOUT, **popen)
        return Result(done.returncode, done.stdout, done.stderr)

    def run_command_line(self, line: str) -> Result:
        """Runs a Windows executable with `line` as the raw rest of its command line. A batch
        file passes the line on untouched; wine would quote the words of an argument list."""
        batch = os.path.join(self.scratch, "run.bat")
        with open(batch, "wb") as f:
            f.write(b"@" + self.host_path(self.exe).encode() + b" " + line.encode("latin-1") + b"\r\n")
        return self.run_tool("/c", self.host_path(batch), exe="cmd")

    # -- golden files --------------------------------------------------------
    def transcript(self, result: Result, *files: str, exe=None) -> str:
        """Exit status, standard output and error, and the named files' bytes, with this
        test's own paths shown as <cfg>, <exe> and <work>."""
        exe = exe or self.exe
        paths = [(self.rules_path(exe), b"<cfg>"), (exe, b"<exe>"), (self.work, b"<work>")]

        def neutral(data):
            for path, mark in paths:
                data = data.replace(self.host_path(path).encode(), mark)
            return data
        return ("exit %d\n" % result.status + golden_lines("out", neutral(result.out))
                + golden_lines("err", neutral(result.err))
                + "".join(golden_lines(name, self.read(name)) for name in files))

    def assert_golden(self, name: str, text: str):
        path = os.path.join(GOLDEN, name + ".txt")
        if UPDATE_GOLDEN:
            with open(path, "w") as f:
                f.write(text)
            return
        with open(path) as f:
            self.assertMultiLineEqual(text, f.read())
