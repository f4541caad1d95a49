"""A UTF-8 byte-order mark before the rules, and the messages' encoding in each locale."""

import os
import re

from harness import SEP, WINDOWS, ToolTest, crlf, latin1

BOM = b"\xef\xbb\xbf"
LIMIT = 15_360_000
NO_RULES = crlf(latin1("Nada para ser trocado, checar arquivo de configuração\n"))
TOO_LARGE = crlf(latin1("Arquivo de configuração muito grande\n"))


def utf8(text: str) -> bytes:
    return text.encode("utf-8")


def rules(raw: bytes) -> bytes:
    return raw.replace(b"^", SEP)


def as_utf8(message: bytes, *kept: bytes) -> bytes:
    """The message with its own text in UTF-8 and the `kept` names as they were."""
    parts = re.split(b"(" + b"|".join(map(re.escape, kept)) + b")", message)
    return b"".join(p if p in kept else p.decode("latin-1").encode() for p in parts)


# Rule file, text, corrected text.
BOM_REWRITES = [
    (BOM + utf8("nao^não\nvoce^você\n"), b"nao sei, voce sabe", utf8("não sei, você sabe")),
    (BOM + b"\r\nx^y\n", b"xx", b"yy"),
    # Only at the very start: later the mark is part of a key like any bytes.
    (b"a^1\n" + BOM + b"b^2\n", b"b " + BOM + b"b", b"b 2"),
    # The mark counts towards the size limit: this file is as large as allowed.
    (BOM + b"k^v\n" + b"#" * (LIMIT - 7), b"k", b"v"),
]
# Rule file, standard output, standard error; the exit status is 1.
BOM_FAILURES = [
    (BOM, NO_RULES, b""),
    (b"\xff\xfe" + "nao^não\n".encode("utf-16-le"), NO_RULES, b""),  # saved as "Unicode"
    (BOM + b"k^v\n" + b"#" * (LIMIT - 6), b"", TOO_LARGE),
]
# Locale settings, and whether the Linux build then prints UTF-8.
LOCALES = [
    ({"LC_ALL": "C"}, False),
    ({"LC_ALL": "POSIX"}, False),
    ({"LC_ALL": "pt_BR.ISO-8859-1"}, False),
    ({"LC_ALL": "C.UTF-8"}, True),
    ({"LANG": "C.UTF-8"}, True),
    ({"LC_CTYPE": "C.UTF-8", "LC_MESSAGES": "C"}, True),
]


class ByteOrderMarkTest(ToolTest):
    def test_a_leading_mark_is_skipped(self):
        for raw, text, corrected in BOM_REWRITES:
            with self.subTest(rules=raw[:12], size=len(raw)):
                self.write_rules(raw=rules(raw))
                self.write("t.txt", text)
                result = self.run_tool("t.txt")
                self.assertEqual((result.status, result.out, result.err),
                                 (0, crlf(b"Analisando: t.txt\nFeito\n"), b""))
                self.assertEqual(self.read("t.txt"), corrected)

    def test_rule_files_with_a_mark_that_cannot_be_used(self):
        self.write("t.txt", b"k")
        for raw, out, err in BOM_FAILURES:
            with self.subTest(rules=raw[:12], size=len(raw)):
                self.write_rules(raw=rules(raw))
                result = self.run_tool("t.txt")
                self.assertEqual((result.status, result.out, result.err), (1, out, err))
        self.assertEqual(self.read("t.txt"), b"k")


class LocaleTest(ToolTest):
    def test_own_texts_follow_the_locale_and_names_stay_as_given(self):
        # Names with an ISO-8859-1 byte, which must leave untouched; wine would
        # recode them on the way in, so the Windows build gets plain ones.
        folder, name = (b"bin", b"nada.txt") if WINDOWS else (b"p\xe1sta", b"n\xe3o.txt")
        exe = os.path.join(self.scratch, os.fsdecode(folder), os.path.basename(self.exe))
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        if exe != self.exe:
            os.rename(self.exe, exe)
        cfg = os.fsencode(self.host_path(self.rules_path(exe)))
        plain = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANG"}

        def runs(env):
            usage = self.run_tool(exe=exe, env=env)
            no_rule_file = self.run_tool(os.fsdecode(name), exe=exe, env=env)
            self.write_rules(b"a" + SEP + b"b", exe=exe)
            missing_file = self.run_tool(os.fsdecode(name), exe=exe, env=env)
            os.remove(self.rules_path(exe))
            return [(r.status, r.out, r.err) for r in (usage, no_rule_file, missing_file)]

        latin = runs(dict(plain, LC_ALL="C"))
        self.assertIn(folder, latin[0][1])
        self.assertEqual(latin[1:], [
            (1, b"", crlf(b"N\xe3o consegui abrir arquivo " + cfg + b": No such file or directory\n")),
            (0, crlf(b"N\xe3o consegui abrir: " + name + b"\nFeito\n"), b"")])
        in_utf8 = [(status, as_utf8(out, folder, name), as_utf8(err, folder, name))
                   for status, out, err in latin]
        for settings, wants_utf8 in LOCALES:
            with self.subTest(locale=settings):
                expected = in_utf8 if wants_utf8 and not WINDOWS else latin
                self.assertEqual(runs(dict(plain, **settings)), expected)
