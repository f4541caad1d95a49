"""Usage text, rule-file location and every rule-file failure."""

import os
import shutil
import unittest

from harness import EXE_NAME, SEP, WINDOWS, ToolTest, crlf, latin1, rule

USAGE = latin1(
    "\n"
    "Programa Quorbel, versão de 24/02/2003\n"
    "\n"
    "Para corrigir textos digite:\n"
    "{exe}  Seguido dos nomes dos arquivos\n"
    "\n"
    "Arquivo de configuração: {cfg}\n"
    "Cada linha desse arquivo contém um texto\n"
    "que deve ser trocado, da seguinte formata:\n"
    "palavraantiga|palavranova\n"
    "As linhas que não tiverem o símbolo | serão ignoradas.\n"
    "\n"
    "Nota: O arquivo de configuração deve ter no máximo 15000 K-bytes.\n"
    "      Na versão anterior (11/11/2001) era 16 K-bytes.\n"
    "\n"
    "Pressione ENTER para continuar\n")

NO_RULES = crlf(latin1("Nada para ser trocado, checar arquivo de configuração\n"))
TOO_LARGE = crlf(latin1("Arquivo de configuração muito grande\n"))
LIMIT = 15_360_000


class UsageTest(ToolTest):
    def expected_usage(self, exe):
        return crlf(USAGE.replace(b"{exe}", self.host_path(exe).encode())
                    .replace(b"{cfg}", self.host_path(self.rules_path(exe)).encode()))

    def test_usage_shows_real_paths_and_never_opens_the_rule_file(self):
        # No rule file exists; the run still succeeds with the usage text.
        result = self.run_tool()
        self.assertEqual((result.status, result.err), (0, b""))
        self.assertEqual(result.out, self.expected_usage(self.exe))
        # A rule file that would fail to load makes no difference either.
        os.mkdir(self.rules_path())
        self.assertEqual(self.run_tool().out, self.expected_usage(self.exe))

    @unittest.skipIf(WINDOWS, "symbolic links and PATH lookup of a Linux executable")
    def test_relative_symlink_and_path_runs_find_the_real_executable(self):
        self.write_rules(rule(b"a", b"b"))
        link_dir = os.path.join(self.scratch, "links")
        os.mkdir(link_dir)
        os.symlink(self.exe, os.path.join(link_dir, "q"))
        expected = self.expected_usage(self.exe)
        self.assertEqual(self.run_tool(exe="../bin/" + EXE_NAME).out, expected)
        self.assertEqual(self.run_tool(exe=os.path.join(link_dir, "q")).out, expected)
        env = dict(os.environ, PATH=link_dir + os.pathsep + os.environ["PATH"])
        self.assertEqual(self.run_tool(exe="q", env=env).out, expected)
        # Through the link, the rule file beside the real executable is used.
        self.write("t.txt", b"aaa")
        self.assertEqual(self.run_tool("t.txt", exe=os.path.join(link_dir, "q")).status, 0)
        self.assertEqual(self.read("t.txt"), b"bbb")

    def test_exe_ending_in_any_case_becomes_cfg(self):
        # The whole path counts: "bin/.exe" is longer than four bytes.
        for name, cfg in (("QUORBEL.EXE", "QUORBEL.cfg"), ("q.Exe", "q.cfg"), (".exe", ".cfg"),
                          ("quorbel.exe.bak", "quorbel.exe.bak.cfg"), ("qexe", "qexe.cfg")):
            with self.subTest(name=name):
                exe = os.path.join(self.bin_dir, name)
                shutil.copy2(self.exe, exe)
                result = self.run_tool(exe=exe)
                line = latin1("Arquivo de configuração: ") + self.host_path(os.path.join(self.bin_dir, cfg)).encode()
                self.assertIn(line + b"\r\n", result.out)

    def test_long_program_path_is_used_whole(self):
        deep = self.bin_dir
        while len(deep) < 300:
            deep = os.path.join(deep, "d" * 40)
        os.makedirs(deep)
        exe = os.path.join(deep, EXE_NAME)
        shutil.copy2(self.exe, exe)
        self.assertEqual(self.run_tool(exe=exe).out, self.expected_usage(exe))
        self.write_rules(rule(b"x", b"y"), exe=exe)
        self.write("t.txt", b"x")
        self.assertEqual(self.run_tool("t.txt", exe=exe).status, 0)
        self.assertEqual(self.read("t.txt"), b"y")

    def test_arguments_with_a_hyphen_are_file_names(self):
        self.write_rules(rule(b"a", b"b"))
        self.write("-n", b"aa")
        result = self.run_tool("-n", "--help")
        self.assertEqual(result.out, crlf(latin1("Analisando: -n\nNão consegui abrir: --help\nFeito\n")))
        self.assertEqual(self.read("-n"), b"bb")


class RuleFileFailureTest(ToolTest):
    def test_missing_rule_file(self):
        result = self.run_tool("t.txt")
        self.assertEqual((result.status, result.out), (1, b""))
        self.assertEqual(result.err, crlf(latin1("Não consegui abrir arquivo ") + self.host_path(self.rules_path()).encode()
                                          + b": No such file or directory\n"))

    def test_rule_file_that_is_a_directory(self):
        os.mkdir(self.rules_path())
        self.write("t.txt", b"abc")
        result = self.run_tool("t.txt")
        self.assertEqual((result.status, result.out), (1, b""))
        self.assertTrue(result.err.startswith(latin1("Não consegui abrir arquivo ")
                                              + self.host_path(self.rules_path()).encode() + b": "), result.err)
        self.assertTrue(result.err.endswith(b"\r\n"))
        self.assertEqual(self.read("t.txt"), b"abc")

    @unittest.skipIf(WINDOWS, "FIFOs")
    def test_rule_file_that_is_a_fifo_does_not_block(self):
        os.mkfifo(self.rules_path())
        self.write("t.txt", b"abc")
        result = self.run_tool("t.txt")
        self.assertEqual(result.status, 1)
        self.assertEqual(self.read("t.txt"), b"abc")

    def test_no_rules(self):
        for raw in (b"", b"no separator here\n\r\n", SEP + b"starts with the separator\n", b"x" * 201 + SEP + b"y\n",
                    b"\0" + rule(b"a", b"b")):
            with self.subTest(raw=raw[:40]):
                self.write_rules(raw=raw)
                self.write("t.txt", b"abc")
                result = self.run_tool("t.txt")
                self.assertEqual((result.status, result.out, result.err), (1, NO_RULES, b""))
                self.assertEqual(self.read("t.txt"), b"abc")

    def test_size_limit(self):
        self.write("t.txt", b"abc")
        body = rule(b"b", b"X") + b"\n"
        self.write_rules(raw=body + b"#" * (LIMIT - len(body)))
        result = self.run_tool("t.txt")
        self.assertEqual((result.status, result.err), (0, b""))
        self.assertEqual(self.read("t.txt"), b"aXc")
        self.write_rules(raw=body + b"#" * (LIMIT + 1 - len(body)))
        result = self.run_tool("t.txt")
        self.assertEqual((result.status, result.out, result.err), (1, b"", TOO_LARGE))
        self.assertEqual(self.read("t.txt"), b"aXc")

    @unittest.skipIf(os.geteuid() == 0, "root reads any file, also through wine or valgrind")
    def test_unreadable_rule_file(self):
        self.write_rules(rule(b"a", b"b"))
        os.chmod(self.rules_path(), 0)
        result = self.run_tool("t.txt")
        self.assertEqual(result.status, 1)
        self.assertTrue(result.err.endswith(b": Permission denied\r\n"), result.err)


class RuleFormatTest(ToolTest):
    def test_line_forms(self):
        other = b"$" if SEP == b"^" else b"^"
        raw = (b"abc" + SEP + b"xyz\r\n"             # CR LF
               b"del" + SEP + b"\n"                  # empty replacement deletes
               b"a" + SEP + b"b" + SEP + b"c\r"      # further separators belong to the replacement; CR alone
               b"\n\n\r\r"
               + SEP + b"ign\n"                      # empty key: ignored
               b"pipe|ignored\n"                     # "|" is ordinary text
               b"oth" + other + b"er\n"              # the other build's separator is ordinary too
               b" sp " + SEP + b" SP \n"             # blanks belong to key and replacement
               + b"K" * 200 + SEP + b"200\n"         # longest key
               + b"L" * 201 + SEP + b"201\n"         # too long: a comment
               + b"\xe9" + SEP + b"e-acute\n"
               b"last" + SEP + b"LAST")              # no line end
        self.write_rules(raw=raw)
        text = (b"abc del a pipe|ignored oth" + other + b"er sp x sp \xe9 last "
                + b"K" * 200 + b" " + b"L" * 201)
        self.write("t.txt", text)
        self.assertEqual(self.run_tool("t.txt").status, 0)
        expected = (b"xyz  b" + SEP + b"c pipe|ignored oth" + other + b"er SP x SP e-acute LAST "
                    + b"200 " + b"L" * 201)
        self.assertEqual(self.read("t.txt"), expected)

    def test_nul_ends_the_rule_text(self):
        # A rule whose replacement holds the NUL still counts, cut there.
        self.write_rules(raw=rule(b"a", b"1") + b"\n" + rule(b"b", b"2\0tail") + b"\n" + rule(b"c", b"3") + b"\n")
        self.write("t.txt", b"abc")
        self.assertEqual(self.run_tool("t.txt").status, 0)
        self.assertEqual(self.read("t.txt"), b"12c")


if __name__ == "__main__":
    unittest.main()
