"""Rules saved as UTF-8 with a byte-order mark, and the messages' encoding in each locale."""

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
