"""A UTF-8 byte-order mark before the rules, and the messages' encoding in each locale."""

import os
import re

from harness import LIMIT, LINUX, NO_RULES, SEP, TOO_LARGE, WINDOWS, ToolTest, done, text

BOM, OK = b"\xef\xbb\xbf", done("t.txt")
# Rule file ("^" the separator), text, then the exit status, output, error and corrected text.
BOM_CASES = [
    (BOM + "nao^não\nvoce^você\n".encode(), b"nao sei, voce sabe", 0, OK, "", "não sei, você sabe".encode()),
    (BOM + b"\r\nx^y\n", b"xx", 0, OK, "", b"yy"),
    (b"a^1\n" + BOM + b"b^2\n", b"b " + BOM + b"b", 0, OK, "", b"b 2"),  # later, part of a key like any bytes
    (BOM + b"k^v\n" + b"#" * (LIMIT - 7), b"k", 0, OK, "", b"v"),  # the mark counts towards the size limit
    (BOM + b"k^v\n" + b"#" * (LIMIT - 6), b"k", 1, "", TOO_LARGE, b"k"),
    (BOM, b"k", 1, NO_RULES, "", b"k"),
    (b"\xff\xfe" + "nao^não\n".encode("utf-16-le"), b"k", 1, NO_RULES, "", b"k"),  # saved as "Unicode"
]
# Locale settings, and whether the Linux build then prints UTF-8.
LOCALES = [({"LC_ALL": "C"}, False), ({"LC_ALL": "POSIX"}, False), ({"LC_ALL": "pt_BR.ISO-8859-1"}, False),
           ({"LC_ALL": "C.UTF-8"}, True), ({"LANG": "C.UTF-8"}, True),
           ({"LC_CTYPE": "C.UTF-8", "LC_MESSAGES": "C"}, True)]


class EncodingTest(ToolTest):
    def test_a_leading_byte_order_mark_is_skipped(self):
        for raw, data, status, out, err, corrected in BOM_CASES:
            with self.subTest(rules=raw[:12], size=len(raw)):
                self.write_rules(raw.replace(b"^", SEP))
                self.write("t.txt", data)
                self.assert_run("t.txt", status=status, out=out, err=err, files={"t.txt": corrected})

    def test_own_texts_follow_the_locale_and_names_stay_as_given(self):
        # Names with an ISO-8859-1 byte, which must leave untouched; wine would
        # recode them on the way in, so the Windows build gets plain ones.
        folder, name = ("bin", "nada.txt") if WINDOWS else (os.fsdecode(b"p\xe1sta"), os.fsdecode(b"n\xe3o.txt"))
        exe = os.path.join(self.scratch, folder, os.path.basename(self.exe))
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        os.replace(self.exe, exe)
        plain = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANG"}

        def runs(env):
            usage, no_rule_file = self.run_tool(exe=exe, env=env), self.run_tool(name, exe=exe, env=env)
            self.write_rules({b"a": b"b"}, exe=exe)
            missing_file = self.run_tool(name, exe=exe, env=env)
            os.remove(self.rules_path(exe))
            return [(r.returncode, r.stdout, r.stderr) for r in (usage, no_rule_file, missing_file)]

        latin, kept = runs(dict(plain, LC_ALL="C")), (os.fsencode(folder), os.fsencode(name))
        self.assertIn(kept[0], latin[0][1])
        self.assertEqual(latin[1:], [
            (1, b"", text("Não consegui abrir arquivo %s: No such file or directory\n") % os.fsencode(
                self.host_path(self.rules_path(exe)))), (0, text(done(("abrir", "%s"))) % kept[1], b"")])

        def as_utf8(message):  # its own text in UTF-8, the names as they were
            parts = re.split(b"(%s|%s)" % tuple(map(re.escape, kept)), message)
            return b"".join(p if p in kept else p.decode("latin-1").encode() for p in parts)
        in_utf8 = [(status, as_utf8(out), as_utf8(err)) for status, out, err in latin]
        for settings, wants_utf8 in LOCALES:
            self.assertEqual(runs(dict(plain, **settings)), in_utf8 if wants_utf8 and LINUX else latin, settings)
