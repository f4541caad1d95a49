"""What the tool guarantees when things go wrong: the named file is never lost,
what is not a plain writable file is refused, and runs never share a temporary file."""

import os
import random
import resource
import shutil
import signal
import socket
import stat
import subprocess
import sys
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

    def test_stale_temporary_file_is_replaced_by_a_new_one(self):
        # Whoever kept a descriptor on a leftover sees no byte of a later run,
        # also when the leftover took another user's owner and mode.
        tmp = os.path.join(self.work, "quorbel.tmp")
        for owner in ([None, 4242] if ROOT else [None]):
            with self.subTest(owner=owner):
                os.chmod(self.write("quorbel.tmp", b"stale" * 1000), 0o666)
                if owner:
                    os.chown(tmp, owner, owner)
                self.write("secret.txt", b"aXa")
                with open(tmp, "r+b") as kept:
                    result = self.run_tool("secret.txt")
                    kept.write(b"spoiled")
                    kept.seek(0)
                    self.assertEqual(kept.read(), b"spoiled" + (b"stale" * 1000)[7:])
                self.assertEqual(result.out, crlf(b"Analisando: secret.txt\nFeito\n"))
                self.assertEqual(self.read("secret.txt"), b"bXb")
                self.assertFalse(os.path.exists(tmp))

    @unittest.skipUnless(LINUX, "directory permissions")
    def test_current_directory_others_may_write_without_sticky_bit(self):
        self.write("t.txt", b"a")
        os.chmod(self.work, 0o777)
        self.assert_refused("t.txt", "criar")
        os.chmod(self.work, 0o1777)
        self.assertEqual(self.run_tool("t.txt").status, 0)
        self.assertEqual(self.read("t.txt"), b"b")

    @unittest.skipUnless(LINUX, "FIFOs")
    def test_rule_file_that_is_a_fifo_with_an_idle_writer(self):
        os.unlink(self.rules_path())
        os.mkfifo(self.rules_path())
        writer = os.open(self.rules_path(), os.O_RDWR)
        self.addCleanup(os.close, writer)
        result = self.run_tool("t.txt")
        self.assertEqual((result.status, result.out), (1, b""))
        self.assertEqual(result.err, crlf(latin1("Não consegui abrir arquivo %s: Illegal seek\n" % self.rules_path())))

    @unittest.skipUnless(LINUX, "closing a descriptor before exec")
    def test_closed_standard_streams_never_receive_a_file(self):
        self.write("f.txt", b"a" * 1000)
        for closed in ((1,), (1, 2), (0, 1, 2)):
            with self.subTest(closed=closed):
                done = subprocess.run(RUNNER + [self.exe] + ["f.txt"] * 40, cwd=self.work,
                                      preexec_fn=lambda: [os.close(fd) for fd in closed], timeout=60)
                self.assertEqual(done.returncode, 0)
                self.assertEqual(self.read("f.txt"), b"b" * 1000)
                self.write("f.txt", b"a" * 1000)


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
    SOAK = float(os.environ.get("QUORBEL_SOAK_SECONDS", "0"))

    def rounds(self, count):
        """`count` rounds, or as many as fit in QUORBEL_SOAK_SECONDS when set for a soak by hand."""
        end = time.monotonic() + self.SOAK
        done = 0
        while done < count or time.monotonic() < end:
            yield done
            done += 1

    def test_two_runs_on_one_file_both_apply(self):
        self.write_rules(*[rule(b"%d" % d, b"%d" % (d + 1)) for d in range(9)])
        for _ in self.rounds(4):
            self.write("f.txt", b"0" * 4_000_000)
            first = subprocess.Popen(RUNNER + [self.exe, "f.txt"], cwd=self.work, stdout=subprocess.DEVNULL)
            time.sleep(0.02)
            second = subprocess.run(RUNNER + [self.exe, "f.txt"], cwd=self.work, capture_output=True, timeout=120)
            self.assertEqual(first.wait(timeout=120), 0)
            self.assertEqual(second.stdout, crlf(b"Analisando: f.txt\nFeito\n"))
            self.assertEqual(self.read("f.txt"), b"2" * 4_000_000)

    @unittest.skipUnless(LINUX and os.path.isdir("/dev/shm"), "a second filesystem")
    def test_kills_during_a_copy_to_another_filesystem_leave_one_staging_file_at_most(self):
        self.write_rules(rule(b"a", b"bb"))
        shm = tempfile.mkdtemp(dir="/dev/shm")
        self.addCleanup(shutil.rmtree, shm, True)
        old, new = b"a" * 3_000_000, b"bb" * 3_000_000
        path = self.write("f.txt", old)
        rng = random.Random(11)
        for _ in self.rounds(15):
            process = subprocess.Popen(RUNNER + [self.exe, path], cwd=shm, stdout=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.0, 0.1))
            process.send_signal(signal.SIGKILL)
            process.wait()
            self.assertIn(self.read("f.txt"), (old, new))
            self.write("f.txt", old)
            self.assertLessEqual(set(os.listdir(self.work)), {"f.txt", "quorbel.stg"})
        self.assertEqual(self.run_tool(path, cwd=shm).status, 0)
        self.assertEqual(self.read("f.txt"), new)
        self.assertEqual((os.listdir(self.work), os.listdir(shm)), (["f.txt"], []))

    @unittest.skipUnless(ROOT and shutil.which("setpriv"), "another user swapping directories needs root and setpriv")
    def test_directory_swapped_for_a_link_mid_run(self):
        """Another user swaps a directory on the named path for a link to root's directory, over and
        over: root's runs never write that user's content there, nor anything else."""
        self.write_rules(rule(b"a", b"b"))
        home = os.path.join(self.work, "home")
        os.makedirs(os.path.join(home, "sub"))
        victim = os.path.join(self.work, "victim")
        os.mkdir(victim)
        self.write("victim/f.txt", b"VICTIM a")
        self.write("home/sub/f.txt", b"a" * 200_000 + b"USER")
        for path in (home, os.path.join(home, "sub"), os.path.join(home, "sub", "f.txt")):
            os.chown(path, 4242, 4242)
        for path in (self.scratch, self.work):
            os.chmod(path, 0o755)
        swap = ("import os, time\nos.chdir(%r)\nend = time.time() + %f\nwhile time.time() < end:\n"
                "    os.rename('sub', 'old'); os.symlink(%r, 'sub'); time.sleep(0.001)\n"
                "    os.unlink('sub'); os.rename('old', 'sub')\n") % (home, max(self.SOAK, 3.0), victim)
        swapper = subprocess.Popen(["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", sys.executable,
                                    "-c", swap])
        self.addCleanup(swapper.kill)
        while swapper.poll() is None:
            self.run_tool(os.path.join(home, "sub", "f.txt"))
        self.assertEqual(swapper.returncode, 0)
        self.assertEqual(os.listdir(victim), ["f.txt"])
        self.assertIn(self.read("victim/f.txt"), (b"VICTIM a", b"VICTIM b"))
        self.assertEqual(self.read("home/sub/f.txt"), b"b" * 200_000 + b"USER")

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
