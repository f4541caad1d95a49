"""Runs the real quorbel executable in a scratch directory.

Set by the test registration:
  QUORBEL_EXE     the built executable
  QUORBEL_SEP     its separator byte ("^" or "$")
  QUORBEL_RUNNER  optional command prefix (for example "wine" or a valgrind line)
  QUORBEL_NATIVE_EXE  for a Windows executable: the Linux build with the same separator,
                      whose output it must match byte for byte apart from paths
  QUORBEL_CHECKER     "valgrind" or "sanitizers" when the executable runs under a memory
                      checker, which makes it far slower and reserves address space freely
"""

import os
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
NATIVE_EXE = os.environ.get("QUORBEL_NATIVE_EXE", "")
CHECKER = os.environ.get("QUORBEL_CHECKER", "")
TIMEOUT = 120


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

    # -- paths ---------------------------------------------------------------
    def host_path(self, path: str) -> str:
        """A path as the tool reports it (wine shows the Z: drive)."""
        if WINDOWS:
            return "Z:" + path.replace("/", "\\")
        return path

    def rules_path(self, exe=None) -> str:
        exe = exe or self.exe
        return exe[:-4] + ".cfg" if exe.lower().endswith(".exe") else exe + ".cfg"

    # -- files ---------------------------------------------------------------
    def write_rules(self, *lines: bytes, raw: bytes = None, exe=None):
        data = raw if raw is not None else b"".join(line + b"\n" for line in lines)
        with open(self.rules_path(exe), "wb") as f:
            f.write(data)

    def write(self, name: str, data: bytes) -> str:
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name: str) -> bytes:
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    # -- running -------------------------------------------------------------
    def run_tool(self, *args: str, exe=None, cwd=None, **popen) -> Result:
        command = RUNNER + [exe or self.exe] + list(args)
        done = subprocess.run(command, cwd=cwd or self.work, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=TIMEOUT, **popen)
        return Result(done.returncode, done.stdout, done.stderr)

    def run_command_line(self, line: str, exe=None) -> Result:
        """Runs a Windows executable with `line` as the raw rest of its command line. A batch
        file passes the line on untouched; wine would quote the words of an argument list."""
        batch = os.path.join(self.scratch, "run.bat")
        with open(batch, "wb") as f:
            f.write(b"@" + self.host_path(exe or self.exe).encode() + b" " + line.encode("latin-1") + b"\r\n")
        done = subprocess.run(RUNNER + ["cmd", "/c", self.host_path(batch)], cwd=self.work,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        return Result(done.returncode, done.stdout, done.stderr)

    def rewrite(self, rules, text: bytes, name="text.txt") -> bytes:
        """Rewrites one file with the given rule lines; checks the run went well."""
        self.write_rules(*rules)
        self.write(name, text)
        result = self.run_tool(name)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.out, crlf(b"Analisando: " + name.encode() + b"\nFeito\n"))
        self.assertEqual(result.err, b"")
        return self.read(name)


def longest_match_rewrite(rules: dict, text: bytes) -> bytes:
    """The plain model: at each position the longest key wins; no rescanning."""
    lengths = sorted({len(k) for k in rules}, reverse=True)
    out = bytearray()
    i = 0
    while i < len(text):
        for length in lengths:
            replacement = rules.get(text[i:i + length])
            if replacement is not None:
                out += replacement
                i += length
                break
        else:
            out.append(text[i])
            i += 1
    return bytes(out)
