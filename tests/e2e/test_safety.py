"""What the tool guarantees when things go wrong: the named file is never lost,
what is not a plain writable file is refused, and runs never share a temporary file."""

import os
import random
import resource
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest

from harness import RUNNER, WINDOWS, ToolTest, crlf, latin1, rule

ROOT = not WINDOWS and os.geteuid() == 0
LINUX = not WINDOWS
SLOW_RUNNER = bool(RUNNER) and not WINDOWS  # valgrind and the like


def message(kind: str, name: str) -> bytes:
    return crlf(latin1("Não consegui %s: %s\n" % (kind, name)))


class RefusalTest(ToolTest):
    def setUp(self):
        super().setUp()
        self.write_rules(rule(b"a", b"b"))

    def assert_refused(self, name, kind="abrir"):
        result = self.run_tool(name)
        self.assertEqual(result.status, 0)
        self.assertEqual(result.out, message(kind, name) + crlf(b"Feito\n"))

    @unittest.skipUnless(LINUX, "Linux special files")
    def test_special_files_are_refused_without_blocking(self):
        os.mkdir(os.path.join(self.work, "dir"))
        os.mkfifo(os.path.join(self.work, "fifo"))
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(os.path.join(self.work, "sock"))
        self.addCleanup(listener.close)
        for name in ("dir", "fifo", "sock", "/dev/null"):
            with self.subTest(name=name):
                self.assert_refused(name)
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))

    @unittest.skipUnless(LINUX, "permission bits")
    def test_read_only_file_is_refused_even_for_root(self):
        path = self.write("ro.txt", b"aaa")
        os.chmod(path, 0o444)
        self.assert_refused("ro.txt")
        self.assertEqual(self.read("ro.txt"), b"aaa")

    def test_temporary_file_named_as_argument(self):
        self.write("quorbel.tmp", b"aaa")
        for name in ("quorbel.tmp", "./quorbel.tmp", os.path.join(self.work, "quorbel.tmp")):
            with self.subTest(name=name):
                self.assert_refused(name, "criar")
                self.assertEqual(self.read("quorbel.tmp"), b"aaa")
        if LINUX:
            os.symlink("quorbel.tmp", os.path.join(self.work, "link"))
            self.assert_refused("link", "criar")
            self.assertEqual(self.read("quorbel.tmp"), b"aaa")
        # Named anywhere on the command line, it is used for no file of the run.
        self.write("f.txt", b"aaa")
        for names in (["quorbel.tmp", "f.txt"], ["f.txt", "quorbel.tmp"]):
            with self.subTest(names=names):
                result = self.run_tool(*names)
                self.assertEqual(result.out, b"".join(message("criar", n) for n in names) + crlf(b"Feito\n"))
                self.assertEqual((self.read("quorbel.tmp"), self.read("f.txt")), (b"aaa", b"aaa"))

    @unittest.skipUnless(LINUX, "links and ownership")
    def test_planted_temporary_file_is_never_written_through(self):
        victim = self.write("victim", b"precious")
        self.write("t.txt", b"aaa")
        tmp = os.path.join(self.work, "quorbel.tmp")
        plants = [("symlink", lambda: os.symlink(victim, tmp)),
                  ("dangling symlink", lambda: os.symlink(os.path.join(self.work, "new"), tmp)),
                  ("directory", lambda: os.mkdir(tmp)),
                  ("hard link", lambda: os.link(victim, tmp)),
                  ("fifo", lambda: os.mkfifo(tmp)),
                  ("read-only file", lambda: os.chmod(self.write("quorbel.tmp", b"kept"), 0o444))]
        for label, plant in plants:
            with self.subTest(plant=label):
                plant()
                self.assert_refused("t.txt", "criar")
                self.assertEqual(self.read("t.txt"), b"aaa")
                self.assertEqual(self.read("victim"), b"precious")
                self.assertFalse(os.path.exists(os.path.join(self.work, "new")))
                (os.rmdir if os.path.isdir(tmp) and not os.path.islink(tmp) else os.unlink)(tmp)

    def test_stale_temporary_file_is_reused(self):
        self.write("quorbel.tmp", b"left over from a killed run" * 1000)
        self.write("t.txt", b"aXa")
        result = self.run_tool("t.txt")
        self.assertEqual(result.out, crlf(b"Analisando: t.txt\nFeito\n"))
        self.assertEqual(self.read("t.txt"), b"bXb")
        self.assertFalse(os.path.exists(os.path.join(self.work, "quorbel.tmp")))


@unittest.skipUnless(LINUX, "Linux permissions, links and filesystems")
class KeepWhatTheUserSetTest(ToolTest):
    def setUp(self):
        super().setUp()
        self.write_rules(rule(b"a", b"b"))

    def test_permissions_and_owner_are_kept(self):
        for mode in (0o600, 0o755, 0o640, 0o200):
            with self.subTest(mode=oct(mode)):
                path = self.write("m.txt", b"a")
                os.chmod(path, mode)
                old_umask = os.umask(0)
                try:
                    self.assertEqual(self.run_tool("m.txt").status, 0)
                finally:
                    os.umask(old_umask)
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), mode)
                os.chmod(path, 0o600)
                self.assertEqual(self.read("m.txt"), b"b")
        if ROOT:
            path = self.write("owned.txt", b"a")
            os.chown(path, 1234, 5678)
            self.assertEqual(self.run_tool("owned.txt").status, 0)
            self.assertEqual((os.stat(path).st_uid, os.stat(path).st_gid), (1234, 5678))

    def test_symbolic_link_stays_a_link(self):
        os.mkdir(os.path.join(self.work, "real"))
        target = self.write(os.path.join("real", "t.txt"), b"aaa")
        link = os.path.join(self.work, "link.txt")
        os.symlink(os.path.join("real", "t.txt"), link)
        result = self.run_tool("link.txt")
        self.assertEqual(result.out, crlf(b"Analisando: link.txt\nFeito\n"))
        self.assertTrue(os.path.islink(link))
        self.assertEqual(self.read(os.path.join("real", "t.txt")), b"bbb")
        self.assertEqual(sorted(os.listdir(os.path.join(self.work, "real"))), ["t.txt"])
        self.assertTrue(os.path.samefile(link, target))

    def test_current_directory_on_another_filesystem(self):
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no /dev/shm")
        shm = tempfile.mkdtemp(dir="/dev/shm")
        self.addCleanup(lambda: os.rmdir(shm) if os.path.isdir(shm) else None)
        path = self.write("t.txt", b"a" * 100_000)
        os.chmod(path, 0o640)
        self.assertNotEqual(os.stat(shm).st_dev, os.stat(path).st_dev)
        result = self.run_tool(path, cwd=shm)
        self.assertEqual(result.out, crlf(b"Analisando: %s\nFeito\n" % path.encode()))
        self.assertEqual(self.read("t.txt"), b"b" * 100_000)
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o640)
        self.assertEqual(os.listdir(shm), [])
        self.assertEqual(os.listdir(self.work), ["t.txt"])

    @unittest.skipUnless(ROOT, "needs an immutable directory")
    def test_failed_replace_leaves_the_file_untouched(self):
        sub = os.path.join(self.work, "locked")
        os.mkdir(sub)
        self.write(os.path.join("locked", "t.txt"), b"aaa")
        if subprocess.run(["chattr", "+i", sub], capture_output=True).returncode != 0:
            self.skipTest("chattr not supported here")
        self.addCleanup(subprocess.run, ["chattr", "-i", sub])
        result = self.run_tool(os.path.join("locked", "t.txt"), "ok.txt")
        self.assertEqual(result.out, crlf(b"Analisando: locked/t.txt\n") + message("mudar", os.path.join("locked", "t.txt"))
                         + message("abrir", "ok.txt") + crlf(b"Feito\n"))
        self.assertEqual(self.read(os.path.join("locked", "t.txt")), b"aaa")
        self.assertEqual(sorted(os.listdir(self.work)), ["locked"])


@unittest.skipUnless(LINUX, "file size limits and mounts")
class WriteFailureTest(ToolTest):
    def test_file_size_limit_leaves_the_file_untouched_and_goes_on(self):
        self.write_rules(rule(b"a", b"aaaa"))
        big = self.write("big.txt", b"a" * 300_000)
        self.write("small.txt", b"a")

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (400_000, 400_000))
        result = self.run_tool("big.txt", "small.txt", preexec_fn=limit)
        self.assertEqual(result.status, 0)
        self.assertEqual(result.out, crlf(latin1("Analisando: big.txt\nNão consegui gravar: big.txt\n"
                                                 "Analisando: small.txt\nFeito\n")))
        self.assertEqual(os.path.getsize(big), 300_000)
        self.assertEqual(self.read("small.txt"), b"aaaa")
        self.assertEqual(sorted(os.listdir(self.work)), ["big.txt", "small.txt"])


class FullDiskTest(ToolTest):
    @unittest.skipUnless(os.geteuid() == 0, "mounting a small tmpfs needs root")
    def test_full_disk(self):
        disk = tempfile.mkdtemp()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", disk], capture_output=True).returncode:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(os.rmdir, disk)
        self.addCleanup(subprocess.run, ["umount", disk])
        self.write_rules(rule(b"a", b"aaaa"))
        with open(os.path.join(disk, "t.txt"), "wb") as f:
            f.write(b"a" * 100_000)
        # Named twice: the first failure leaves nothing behind that spoils the second.
        result = self.run_tool("t.txt", "t.txt", cwd=disk)
        self.assertEqual(result.out, crlf(latin1("Analisando: t.txt\nNão consegui gravar: t.txt\n") * 2 + b"Feito\n"))
        with open(os.path.join(disk, "t.txt"), "rb") as f:
            self.assertEqual(f.read(), b"a" * 100_000)
        self.assertEqual(os.listdir(disk), ["t.txt"])


@unittest.skipIf(SLOW_RUNNER, "timing-driven: too slow under an instrumenting runner")
class InterruptionTest(ToolTest):
    @unittest.skipUnless(LINUX, "SIGKILL")
    def test_killed_runs_leave_every_file_whole(self):
        self.write_rules(rule(b"a", b"bb"))
        names = ["f%d.txt" % i for i in range(4)]
        old = b"a" * 3_000_000
        new = b"bb" * 3_000_000
        for name in names:
            self.write(name, old)
        rng = random.Random(7)
        for _ in range(25):
            process = subprocess.Popen(RUNNER + [self.exe] + names, cwd=self.work,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.0, 0.15))
            process.send_signal(signal.SIGKILL)
            process.wait()
            for name in names:
                content = self.read(name)
                self.assertIn(content, (old, new), name)
                if content == new:
                    self.write(name, old)
        # A later run cleans up whatever temporary file a kill left behind.
        self.assertEqual(self.run_tool(*names).status, 0)
        self.assertTrue(all(self.read(n) == new for n in names))
        self.assertFalse(os.path.exists(os.path.join(self.work, "quorbel.tmp")))

    def test_runs_side_by_side_in_one_directory(self):
        self.write_rules(rule(b"a", b"b"))
        for round in range(3):
            groups = [["g%d_%d.txt" % (g, i) for i in range(5)] for g in range(4)]
            for group in groups:
                for name in group:
                    self.write(name, b"a" * 200_000 + name.encode())
            processes = [subprocess.Popen(RUNNER + [self.exe] + group, cwd=self.work, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE) for group in groups]
            for group, process in zip(groups, processes):
                out, err = process.communicate(timeout=300)
                self.assertEqual(process.returncode, 0)
                self.assertEqual(err, b"")
                self.assertEqual(out, crlf(b"".join(b"Analisando: %s\n" % n.encode() for n in group) + b"Feito\n"))
            for group in groups:
                for name in group:
                    self.assertEqual(self.read(name), b"b" * 200_000 + name.encode().replace(b"a", b"b"))
            self.assertFalse(os.path.exists(os.path.join(self.work, "quorbel.tmp")), round)


if __name__ == "__main__":
    unittest.main()
