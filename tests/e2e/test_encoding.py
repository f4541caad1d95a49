"""One rule file for UTF-8 and Windows-1252 texts alike, rules saved as UTF-8 with a byte-order mark, and the
messages' encoding in each locale."""

import os
import re

from harness import EXE_NAME, LINUX, SEP, WINDOWS, ToolTest, done, say, text

# Locale settings, and whether the Linux build then prints UTF-8 with bare line feeds to a redirected stream: told by
# the first non-empty of LC_ALL, LC_CTYPE and LANG, installed or not.
LOCALES = [({"LC_ALL": "C"}, False), ({"LC_ALL": "POSIX"}, False), ({"LC_ALL": "pt_BR.ISO-8859-1"}, False),
           ({"LC_ALL": "C", "LANG": "C.UTF-8"}, False), ({}, False), ({"LANG": "pt_BR"}, False),
           ({"LC_ALL": "C.UTF-8"}, True), ({"LANG": "pt_BR.UTF-8"}, True),
           ({"LC_ALL": "", "LC_CTYPE": "xx_YY.utf8@euro", "LANG": "C"}, True),
           ({"LC_CTYPE": "C.UTF-8", "LC_MESSAGES": "C"}, True)]


class EncodingTest(ToolTest):
    def test_rules_saved_as_utf8_with_a_byte_order_mark(self):
        self.write_rules(b"\xef\xbb\xbf" + "nao^não\nvoce^você\n".encode().replace(b"^", SEP))
        self.write("t.txt", b"nao sei, voce sabe")
        self.assert_run("t.txt", out=done("t.txt"), files={"t.txt": "não sei, você sabe".encode()})

    def test_utf8_rules_serve_texts_of_every_class(self):
        self.write_rules("nao^não\nvoce^você\n->^→\n".encode().replace(b"^", SEP))
        # Long enough for the vector scans; the ANSI text valid UTF-8 up to its last byte.
        files = {"utf8.txt": ("nao sei -> voce ".encode() * 500, "não sei → você ".encode() * 500),
                 "ansi.txt": ("nao sei -> você ".encode() * 500 + b"\xe9",
                              (b"n\xe3o sei -> " + "você ".encode()) * 500 + b"\xe9"),
                 "ascii.txt": (b"nao", "não".encode()), "binary.txt": (b"nao\0\xe9", "não\0".encode() + b"\xe9"),
                 "arrow.txt": (b"-> \xe9", b"-> \xe9")}
        self.write_all({name: before for name, (before, _) in files.items()})
        out = done("utf8.txt", "ansi.txt", ("rules_left_out", "ansi.txt"), "ascii.txt", "binary.txt", "arrow.txt",
                   ("rules_left_out", "arrow.txt"))
        self.assert_run(*files, out=out, files={name: after for name, (_, after) in files.items()})

    def test_windows_1252_rules_serve_utf8_texts(self):
        self.write_rules(b"nao^n\xe3o\n\x80^EUR\n\x81^?\n".replace(b"^", SEP))
        files = {"utf8.txt": ("nao 10€ \x81 ".encode() * 500, "não 10EUR ? ".encode() * 500),
                 "ansi.txt": (b"nao 10\x80 " * 500, b"n\xe3o 10EUR " * 500),
                 "bom.txt": (b"\xef\xbb\xbfnao", "\ufeffnão".encode()),
                 "utf16.txt": ("nao €".encode("utf-16"), "nao €".encode("utf-16"))}  # NUL bytes: nothing matches
        self.write_all({name: before for name, (before, _) in files.items()})
        self.assert_run(*files, out=done(*files), files={name: after for name, (_, after) in files.items()})

    def test_own_texts_follow_the_locale_and_names_stay_as_given(self):
        # Names with an ISO-8859-1 byte must stay as they are; wine would recode them, so Windows gets plain ones.
        folder, name = (b"bin", b"nada.txt") if WINDOWS else (b"p\xe1sta", b"n\xe3o.txt")
        exe = os.path.join(self.scratch, os.fsdecode(folder), EXE_NAME)
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        os.replace(self.exe, exe)
        cfg = os.fsencode(self.host_path(self.rules_path(exe)))
        plain = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANG"}
        usage = self.run_tool(exe=exe).stdout  # in the C locale
        self.assertIn(folder, usage)
        for settings, utf8 in LOCALES:
            def own(message: bytes) -> bytes:  # the tool's own texts in this locale, the names as given
                parts = re.split(b"(%s|%s)" % (re.escape(folder), re.escape(name)), message)
                return b"".join(p.decode("latin-1").encode().replace(b"\r\n", b"\n")
                                if utf8 and LINUX and p not in (folder, name) else p for p in parts)
            env = dict(plain, **settings)
            self.assert_run(exe=exe, env=env, out=own(usage))
            self.assert_run(os.fsdecode(name), exe=exe, env=env, status=1, out="",
                            err=own(text(say("cannot_open_rules", "%s", "No such file or directory")) % cfg))
            self.write_rules({b"a": b"b"}, exe=exe)
            self.assert_run(os.fsdecode(name), exe=exe, env=env, status=2,
                            out=own(text(done(("cannot_open", "%s"))) % name))
            os.remove(self.rules_path(exe))
