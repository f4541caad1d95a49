"""When things go wrong no named file is lost; what is not a plain writable file is refused; no run shares a file."""

import itertools
import os
import random
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from harness import CHECKER, LINUX, ROOT, RUNNER, WINDOWS, ToolTest, done, text

SOAK = float(os.environ.get("QUORBEL_SOAK_SECONDS", "0"))  # a soak by hand: loops go on this long


def rounds(count: int):
    end = time.monotonic() + SOAK
    return itertools.takewhile(lambda i: i < count or time.monotonic() < end, itertools.count())


class SafetyTest(ToolTest):
    RULES = {b"a": b"b"}

    def test_special_files_read_only_files_and_the_temporary_file_are_refused_without_blocking(self):
        if LINUX:
            os.mkdir(self.path("dir"))
            os.mkfifo(self.path("fifo"))
            with socket.socket(socket.AF_UNIX) as listener:  # its file stays
                listener.bind(self.path("sock"))
            os.chmod(self.write("ro.txt", b"aaa"), 0o444)  # also for root
            for name in ("dir", "fifo", "sock", "/dev/null", "ro.txt"):
                self.assert_run(name, out=done(("abrir", name)), files={"ro.txt": b"aaa"})
            os.symlink("quorbel.tmp", self.path("link"))
        self.write_all({"quorbel.tmp": b"aaa", "f.txt": b"aaa"})
        names = ["quorbel.tmp", "./quorbel.tmp", self.path("quorbel.tmp")] + (["link"] if LINUX else [])
        # Named anywhere on the command line, it is used for no file of the run.
        for args in [[name] for name in names] + [["quorbel.tmp", "f.txt"], ["f.txt", "quorbel.tmp"]]:
            self.assert_run(*args, out=done(*(("criar", n) for n in args)),
                            files={"quorbel.tmp": b"aaa", "f.txt": b"aaa"})

    def test_planted_temporary_file_is_never_written_through(self):
        victim, tmp = self.write("victim", b"precious"), self.path("quorbel.tmp")
        self.write("t.txt", b"aaa")
        plants = [(os.mkdir, os.rmdir), (lambda tmp: os.link(victim, tmp), os.unlink),
                  (lambda tmp: os.chmod(self.write(tmp, b"kept"), 0o444), os.unlink)]
        if LINUX:  # wine shows a symbolic link as the file it points to
            plants += [(lambda tmp: os.symlink(victim, tmp), os.unlink), (os.mkfifo, os.unlink),
                       (lambda tmp: os.symlink(self.path("new"), tmp), os.unlink),  # dangling
                       # not planted, but anyone could: others may write the directory, without the sticky bit
                       (lambda tmp: os.chmod(self.work, 0o777), lambda tmp: os.chmod(self.work, 0o1777))]
        for plant, remove in plants:
            plant(tmp)
            self.assert_run("t.txt", out=done(("criar", "t.txt")), files={"t.txt": b"aaa", "victim": b"precious"})
            self.assertFalse(os.path.exists(self.path("new")))
            remove(tmp)
        self.assert_run("t.txt", out=done("t.txt"), files={"t.txt": b"bbb"})  # and with it, or nothing planted

    def test_stale_temporary_file_is_replaced_by_a_new_one(self):
        # A descriptor kept on a leftover sees no byte of a later run, also when it took another owner and mode.
        tmp = self.path("quorbel.tmp")
        for owner in [None, 4242] if ROOT else [None]:
            os.chmod(self.write("quorbel.tmp", b"stale" * 1000), 0o666)
            if owner:
                os.chown(tmp, owner, owner)
            self.write("secret.txt", b"aXa")
            with open(tmp, "r+b") as kept:
                self.assert_run("secret.txt", out=done("secret.txt"), files={"secret.txt": b"bXb"})
                kept.write(b"spoiled")
                kept.seek(0)
                self.assertEqual(kept.read(), b"spoiled" + (b"stale" * 1000)[7:])
            self.assertFalse(os.path.exists(tmp))

    @unittest.skipUnless(LINUX, "closing a descriptor before exec")
    def test_closed_standard_streams_never_receive_a_file(self):
        # valgrind's own reports need standard error
        for closed in ((1,),) if CHECKER == "valgrind" else ((1,), (1, 2), (0, 1, 2)):
            self.write("f.txt", b"a" * 1000)
            process = self.popen(*["f.txt"] * 40, preexec_fn=lambda: [os.close(fd) for fd in closed])
            self.assertEqual((process.wait(timeout=60), self.read("f.txt")), (0, b"b" * 1000), closed)

    @unittest.skipUnless(LINUX, "Linux permissions and links")
    def test_permissions_owner_and_links_are_kept(self):
        self.addCleanup(os.umask, os.umask(0))
        owner = (1234, 5678) if ROOT else (os.getuid(), os.getgid())
        for mode in (0o600, 0o755, 0o640, 0o200):
            os.chmod(self.write("m.txt", b"a"), mode)
            os.chown(self.path("m.txt"), *owner)
            self.assert_run("m.txt", out=done("m.txt"))
            kept = os.stat(self.path("m.txt"))
            self.assertEqual((kept.st_mode & 0o7777, kept.st_uid, kept.st_gid), (mode, *owner))
            os.chmod(self.path("m.txt"), 0o600)
            self.assertEqual(self.read("m.txt"), b"b")
        os.mkdir(self.path("real"))  # and a symbolic link stays a link
        self.write("real/t.txt", b"aaa")
        os.symlink("real/t.txt", self.path("link.txt"))
        self.assert_run("link.txt", out=done("link.txt"), files={"real/t.txt": b"bbb"})
        self.assertEqual((os.path.islink(self.path("link.txt")), self.ls("real")), (True, ["t.txt"]))

    def test_current_directory_on_another_filesystem(self):
        shm, path = tempfile.mkdtemp(dir="/dev/shm"), self.write("t.txt", b"a" * 100_000)
        os.chmod(path, 0o640)
        self.addCleanup(shutil.rmtree, shm, True)
        self.assertNotEqual(os.stat(shm).st_dev, os.stat(path).st_dev)
        self.assert_run(self.host_path(path), out=done(self.host_path(path)), cwd=shm, files={"t.txt": b"b" * 100_000})
        self.assertEqual((os.listdir(shm), self.ls()), ([], ["t.txt"]))
        self.assertTrue(WINDOWS or os.stat(path).st_mode & 0o777 == 0o640)

    def test_failed_writes_and_replaces_leave_the_file_untouched_and_go_on(self):
        self.write_rules({b"a": b"aaaa"})
        if LINUX:  # a file size limit
            self.write_all({"big.txt": b"a" * 300_000, "small.txt": b"a"})
            self.assert_run("big.txt", "small.txt", out=done("big.txt", ("gravar", "big.txt"), "small.txt"),
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (400_000, 400_000)),
                            files={"big.txt": b"a" * 300_000, "small.txt": b"aaaa"})
            self.assertEqual(self.ls(), ["big.txt", "small.txt"])
        disk = tempfile.mkdtemp()  # a full disk
        self.addCleanup(os.rmdir, disk)
        if os.geteuid() or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", disk]).returncode:
            self.skipTest("cannot mount a small tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "--lazy", disk])  # wine may still hold it a moment
        self.write(os.path.join(disk, "t.txt"), b"a" * 100_000)
        # Named twice: the first failure leaves nothing behind that spoils the second.
        self.assert_run("t.txt", "t.txt", out=done(*["t.txt", ("gravar", "t.txt")] * 2), cwd=disk,
                        files={os.path.join(disk, "t.txt"): b"a" * 100_000})
        self.assertEqual(os.listdir(disk), ["t.txt"])
        if LINUX:  # a replace that fails, in an immutable directory
            os.mkdir(self.path("locked"))
            self.write("locked/t.txt", b"aaa")
            if subprocess.run(["chattr", "+i", self.path("locked")]).returncode != 0:
                self.skipTest("chattr not supported here")
            self.addCleanup(subprocess.run, ["chattr", "-i", self.path("locked")])
            self.assert_run("locked/t.txt", "ok.txt", files={"locked/t.txt": b"aaa"},
                            out=done("locked/t.txt", ("mudar", "locked/t.txt"), ("abrir", "ok.txt")))
            self.assertEqual(self.ls(), ["big.txt", "locked", "small.txt"])

    @unittest.skipUnless(LINUX and not RUNNER, "SIGKILL; timed, too slow under an instrumenting runner")
    def test_killed_runs_leave_every_file_whole(self):
        # Run from the files' directory, and from another filesystem, which copies through a staging file beside them.
        self.write_rules({b"a": b"bb"})
        names, old, new = ["f%d.txt" % i for i in range(4)], b"a" * 3_000_000, b"bb" * 3_000_000
        paths, rng = [self.path(name) for name in names], random.Random(7)
        shm = tempfile.mkdtemp(dir="/dev/shm")
        self.addCleanup(shutil.rmtree, shm, True)
        for cwd, leftover in ((self.work, "quorbel.tmp"), (shm, "quorbel.stg")):
            for _ in rounds(20):
                self.write_all(dict.fromkeys(names, old))
                process = self.popen(*paths, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(rng.uniform(0.0, 0.15))
                process.kill()  # SIGKILL
                process.wait()
                self.assertLessEqual(set(self.ls()), set(names + [leftover]))
                for name in names:
                    self.assertIn(self.read(name), (old, new), name)
            # A later run cleans up whatever a kill left behind.
            self.assert_run(*paths, out=done(*paths), cwd=cwd, files={name: new for name in names})
            self.assertEqual(self.ls(), names)
        self.assertEqual(os.listdir(shm), [])

    @unittest.skipUnless(ROOT and shutil.which("setpriv") and not RUNNER, "needs root and setpriv; timed")
    def test_directory_swapped_for_a_link_mid_run(self):
        # Another user swaps a directory on the path for a link to root's: root's runs never write through it.
        self.write_rules({b"a": b"b"})
        os.makedirs(self.path("home", "sub"))
        os.mkdir(self.path("victim"))
        self.write_all({"victim/f.txt": b"VICTIM a", "home/sub/f.txt": b"a" * 200_000 + b"USER"})
        for path in ("home", "home/sub", "home/sub/f.txt"):
            os.chown(self.path(path), 4242, 4242)
        for path in (self.scratch, self.work):
            os.chmod(path, 0o755)
        swap = ("import os, time\nos.chdir(%r)\nend = time.time() + %f\nwhile time.time() < end:\n"
                "    os.rename('sub', 'old'); os.symlink(%r, 'sub'); time.sleep(0.001)\n"
                "    os.unlink('sub'); os.rename('old', 'sub')\n")
        swap %= (self.path("home"), max(SOAK, 3), self.path("victim"))
        swapper = subprocess.Popen(["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", sys.executable,
                                    "-c", swap])
        self.addCleanup(swapper.kill)
        while swapper.poll() is None:
            self.run_tool(self.path("home/sub/f.txt"))
        self.assertEqual((swapper.returncode, self.ls("victim")), (0, ["f.txt"]))
        self.assertIn(self.read("victim/f.txt"), (b"VICTIM a", b"VICTIM b"))
        self.assertEqual(self.read("home/sub/f.txt"), b"b" * 200_000 + b"USER")

    @unittest.skipIf(RUNNER and LINUX, "timed: too slow under an instrumenting runner")
    def test_runs_side_by_side(self):
        # Groups in one directory never share a temporary file; two runs on one file both apply.
        self.write_rules({b"a": b"b", **{b"%d" % d: b"%d" % (d + 1) for d in range(9)}})
        groups = [["g%s%s.txt" % (g, i) for i in "vwxyz"] for g in "pqrs"]
        for _ in rounds(3):
            self.write_all({name: b"a" * 200_000 + name.encode() for name in sum(groups, [])})
            self.write("f.txt", b"0" * 4_000_000)
            first = self.popen("f.txt", stdout=subprocess.DEVNULL)
            time.sleep(0.02)
            processes = [self.popen(*group, stdout=subprocess.PIPE, stderr=subprocess.PIPE) for group in groups]
            self.assert_run("f.txt", out=done("f.txt"))
            for group, process in zip(groups, processes):
                self.assertEqual(process.communicate(timeout=300) + (process.returncode,), (text(done(*group)), b"", 0))
                for name in group:
                    self.assertEqual(self.read(name), b"b" * 200_000 + name.encode())
            self.assertEqual((first.wait(timeout=120), self.read("f.txt")), (0, b"2" * 4_000_000))
            self.assertNotIn("quorbel.tmp", self.ls())
