"""The Linux build on a terminal: each stream picks its encoding and line ends for itself."""

import os
import pty
import subprocess
import tty
import unittest

from harness import EXE_NAME, LINUX, RUNNER, TEXTS, ToolTest, text

# Locale settings; whether a terminal, and a redirected stream, then gets UTF-8 with bare line feeds. A locale that
# names no character set on a terminal is most likely a UTF-8 one not passed on.
LOCALES = [({"LC_ALL": "C"}, True, False), ({"LC_ALL": "POSIX"}, True, False), ({}, True, False),
           ({"LANG": "pt_BR"}, True, False), ({"LC_ALL": "C.UTF-8"}, True, True),
           ({"LC_ALL": "pt_BR.ISO-8859-1"}, False, False)]


def written(key: str, names: list, utf8: bool) -> bytes:
    """A message in UTF-8 with bare line feeds, or ISO-8859-1 with CR LF; its names as given."""
    parts = [part.encode() if utf8 else text(part) for part in TEXTS[key].split("%s")]
    return b"".join(part + name for part, name in zip(parts, names + [b""]))


@unittest.skipUnless(LINUX, "a Windows console takes UTF-16 whatever the locale")
class TerminalTest(ToolTest):
    def run_on_terminal(self, exe: str, args: list, env: dict, stream: str) -> tuple:
        """Runs with `stream` ("stdout" or "stderr") on a terminal and the other in a pipe: what each received."""
        terminal, tool_side = pty.openpty()
        tty.setraw(tool_side)  # the bytes as written: no CR added before a line feed
        streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, stream: tool_side}
        with subprocess.Popen(RUNNER + [exe, *args], cwd=self.work, stdin=subprocess.DEVNULL, env=env,
                              **streams) as tool:
            os.close(tool_side)
            shown = b""
            try:
                for chunk in iter(lambda: os.read(terminal, 4096), b""):
                    shown += chunk
            except OSError:  # EIO: the tool has closed the terminal
                pass
            os.close(terminal)
            piped = (tool.stdout or tool.stderr).read()
        return shown, piped

    def test_each_stream_on_a_terminal_and_redirected(self):
        folder = os.path.join(self.scratch, os.fsdecode(b"p\xe1sta"))  # a name printed as given, never recoded
        exe = os.path.join(folder, EXE_NAME)
        os.mkdir(folder)
        os.replace(self.exe, exe)
        paths = [os.fsencode(exe), os.fsencode(self.rules_path(exe))]
        plain = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANG"}
        # The usage text on standard output; a missing rule file on standard error.
        runs = [([], "stdout", "usage", paths), (["t.txt"], "stderr", "cannot_open_rules",
                                                 [paths[1], b"No such file or directory"])]
        for settings, on_terminal, redirected in LOCALES:
            for args, stream, key, names in runs:
                other = "stderr" if stream == "stdout" else "stdout"
                env = dict(plain, **settings)
                self.assertEqual(self.run_on_terminal(exe, args, env, stream), (written(key, names, on_terminal), b""),
                                 (settings, key))
                self.assertEqual(self.run_on_terminal(exe, args, env, other), (b"", written(key, names, redirected)),
                                 (settings, key))
