"""Runs quorbel (QUORBEL_EXE, separator QUORBEL_SEP, through QUORBEL_RUNNER such as wine or valgrind) in a scratch
directory: each build and system must print and write the same bytes. QUORBEL_CHECKER: a memory checker it is under."""

import json
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

EXE = os.environ["QUORBEL_EXE"]
SEP = os.environ.get("QUORBEL_SEP", "^").encode()
RUNNER = shlex.split(os.environ.get("QUORBEL_RUNNER", ""))
CHECKER = os.environ.get("QUORBEL_CHECKER", "")
WINDOWS = EXE.lower().endswith(".exe")
LINUX, ROOT = not WINDOWS, not WINDOWS and os.geteuid() == 0
EXE_NAME = "quorbel.exe" if WINDOWS else "quorbel"
LIMIT = 15_360_000  # the largest rule file
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden", "texts.json"), encoding="utf-8") as f:
    TEXTS = json.load(f)  # every text the tool prints, "%s" where a name goes
TEXTS["usage"] = "\n".join(TEXTS["usage"]) + "\n"
if WINDOWS and b"Exec format error" in subprocess.run(RUNNER + [EXE], capture_output=True).stderr:
    print("skipped: this machine runs no 32-bit code, so wine cannot start %s" % EXE)
    os._exit(77)  # the suite's skip code
# The system's error texts, and so the expected ones, are those of the C locale.
ENV = dict(os.environ, LC_ALL="C")


def text(message) -> bytes:
    """A message as the tool writes it: ISO-8859-1 with CR LF. Bytes are taken as they are."""
    return message if isinstance(message, bytes) else message.encode("latin-1").replace(b"\n", b"\r\n")


def say(key: str, *names) -> str:
    return TEXTS[key] % names


def done(*names) -> str:
    """The output of a run over `names`: each a name it corrected, or a (text, name) for one it could not."""
    return "".join(say(*n) if isinstance(n, tuple) else say("analysing", n) for n in names) + say("done")


def rule(key: bytes, replacement: bytes = b"") -> bytes:
    return key + SEP + replacement + b"\n"


class ToolTest(unittest.TestCase):
    """Each test gets its own copy of the executable, so its rule file (RULES, if set) is private."""
    RULES = None

    def setUp(self):
        self.scratch = os.path.realpath(tempfile.mkdtemp(prefix="quorbel-e2e-"))
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.bin_dir, self.work = os.path.join(self.scratch, "bin"), os.path.join(self.scratch, "work")
        os.mkdir(self.bin_dir)
        os.mkdir(self.work)
        self.exe = shutil.copy2(EXE, os.path.join(self.bin_dir, EXE_NAME))
        if self.RULES:
            self.write_rules(self.RULES)

    def path(self, *names: str) -> str:
        return os.path.join(self.work, *names)

    def host_path(self, path: str) -> str:  # as the tool reports it: wine shows the Z: drive
        return "Z:" + path.replace("/", "\\") if WINDOWS else path

    def rules_path(self, exe=None) -> str:
        return re.sub(r"(?i)\.exe$", "", exe or self.exe) + ".cfg"

    def write_rules(self, rules, exe=None):  # raw bytes, or a dict of keys and replacements
        if isinstance(rules, dict):
            rules = b"".join(rule(key, replacement) for key, replacement in rules.items())
        self.write(self.rules_path(exe), rules)

    def write(self, name: str, data: bytes) -> str:
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def write_all(self, files: dict):
        for name, data in files.items():
            self.write(name, data)

    def read(self, name: str) -> bytes:
        with open(self.path(name), "rb") as f:
            return f.read()

    def ls(self, *names: str) -> list:
        return sorted(os.listdir(self.path(*names)))

    def popen(self, *args: str, cwd=None, **popen) -> subprocess.Popen:
        return subprocess.Popen(RUNNER + [self.exe, *args], cwd=cwd or self.work, stdin=subprocess.DEVNULL, **popen)

    def run_tool(self, *args: str, exe=None, cwd=None, env=ENV, user=(), **popen) -> subprocess.CompletedProcess:
        """`user`: uid, gid and further groups to run as (root only)."""
        if user:
            os.chmod(self.scratch, 0o755)  # the program and its rules must be theirs to read
            groups = "--groups=" + ",".join(map(str, user[1:]))
            user = ["setpriv", "--reuid=%d" % user[0], "--regid=%d" % user[1], groups]
        return subprocess.run([*user, *RUNNER, exe or self.exe, *args], cwd=cwd or self.work, stdin=subprocess.DEVNULL,
                              env=env, capture_output=True, timeout=120, **popen)

    def assert_run(self, *args: str, out, err=b"", status=None, files=None, **popen):
        """Runs the tool; checks its status, output and error (str: a message text) and `files` by name. The status
        is, unless given, 2 where the output tells of a named file left as it was, else 0."""
        if status is None:
            left = [TEXTS[key].split("%s")[0].encode("latin-1") for key in TEXTS["exit_status_2_after"]]
            status = 2 if any(message in text(out) for message in left) else 0
        run = self.run_tool(*args, **popen)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (status, text(out), text(err)))
        for name, data in (files or {}).items():
            self.assertEqual(self.read(name), data, name)

    def assert_usage(self, run: subprocess.CompletedProcess, exe=None):
        """The usage text, with this test's paths for the program and its rule file."""
        usage = say("usage", self.host_path(exe or self.exe), self.host_path(self.rules_path(exe)))
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, text(usage), b""))
