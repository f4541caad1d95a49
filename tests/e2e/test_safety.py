"""No named file is lost or exposed: what is not a plain writable file is refused, a file is replaced whole by one that
grants exactly its access or left as it is, and runs on one file take turns, from any directory and under any name."""

import fcntl
import itertools
import os
import random
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from harness import CHECKER, LINUX, ROOT, RUNNER, WINDOWS, ToolTest, done, say, text

SOAK = float(os.environ.get("QUORBEL_SOAK_SECONDS", "0"))  # a soak by hand: loops go on this long
OTHERS = ROOT and shutil.which("setpriv") and not RUNNER  # other users, played by root
PIPE, DEVNULL = subprocess.PIPE, subprocess.DEVNULL


def rounds(count: int):
    end = time.monotonic() + SOAK
    return itertools.takewhile(lambda i: i < count or time.monotonic() < end, itertools.count())


def access(path: str) -> tuple:
    """Owner, group, mode, and every extended attribute (the access control list among them)."""
    status = os.stat(path)
    attributes = {name: os.getxattr(path, name) for name in os.listxattr(path)}
    return status.st_uid, status.st_gid, status.st_mode & 0o7777, attributes


def held(path: str) -> bool:
    """Whether some process holds the lock on the file at `path`."""
    try:
        with open(path, "rb") as file:
            fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except FileNotFoundError:
        pass
    return False


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
                self.assert_run(name, out=done(("cannot_open", name)), files={"ro.txt": b"aaa"})
            os.symlink("quorbel.tmp", self.path("link"))
        os.mkdir(self.path("other"))
        self.write_all({"quorbel.tmp": b"aaa", "f.txt": b"aaa", "other/g.txt": b"aaa"})
        names = ["quorbel.tmp", "./quorbel.tmp", self.path("quorbel.tmp")] + (["link"] if LINUX else [])
        # Named anywhere on the command line, it is used for no file beside it; files elsewhere are corrected.
        for args in [[name] for name in names] + [["quorbel.tmp", "f.txt"], ["f.txt", "quorbel.tmp"]]:
            self.assert_run(*args, "other/g.txt", out=done(*(("cannot_create", n) for n in args), "other/g.txt"),
                            files={"quorbel.tmp": b"aaa", "f.txt": b"aaa", "other/g.txt": b"bbb"})

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
            self.assert_run("t.txt", out=done(("cannot_create", "t.txt")),
                            files={"t.txt": b"aaa", "victim": b"precious"})
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

    @unittest.skipUnless(LINUX, "Linux owners, modes, access control lists and extended attributes")
    def test_access_is_carried_exactly_and_links_stay(self):
        self.addCleanup(os.umask, os.umask(0o022))
        owner = (1234, 5678) if ROOT else (os.getuid(), os.getgid())
        os.mkdir(self.path("setgid"))
        os.chmod(self.path("setgid"), 0o2775)  # a new file there would take the directory's group
        os.chown(self.path("setgid"), -1, 4300 if ROOT else os.getgid())
        os.mkdir(self.path("inherits"))
        cases = [("m.txt", mode, []) for mode in (0o600, 0o755, 0o640, 0o200, 0o6750 if ROOT else 0o700)]
        cases += [("setgid/g.txt", 0o640, []), ("inherits/n.txt", 0o640, []),
                  ("acl.txt", 0o660, ["-m", "u:4242:rw,g::---,m::rw"])]
        for name, mode, acl in cases:
            os.chmod(self.write(name, b"a"), mode)
            os.chown(self.path(name), *owner)
            if acl:
                subprocess.run(["setfacl", *acl, self.path(name)], check=True)
            os.setxattr(self.path(name), "user.origin", b"kept")
            # A default list on the directory must not reach a file that had none.
            subprocess.run(["setfacl", "-d", "-m", "u:4242:rwx", self.path("inherits")], check=True)
            before = access(self.path(name))
            self.assert_run(name, out=done(name))
            self.assertEqual(access(self.path(name)), before, name)
            os.chmod(self.path(name), 0o600)
            self.assertEqual(self.read(name), b"b", name)
        self.assertIn("system.posix_acl_access", access(self.path("acl.txt"))[3])
        os.mkdir(self.path("real"))  # and a symbolic link stays a link
        self.write("real/t.txt", b"aaa")
        os.symlink("real/t.txt", self.path("link.txt"))
        self.assert_run("link.txt", out=done("link.txt"), files={"real/t.txt": b"bbb"})
        self.assertEqual((os.path.islink(self.path("link.txt")), self.ls("real")), (True, ["t.txt"]))

    @unittest.skipUnless(OTHERS, "other users, played by root")
    def test_access_that_cannot_be_carried_leaves_the_file_as_it_is(self):
        # A group-writable directory: its members may write another member's file, never take it over.
        os.mkdir(self.path("shared"))
        os.chown(self.path("shared"), 0, 4300)
        os.chmod(self.path("shared"), 0o2775)
        for name, owner, group in (("theirs.txt", 4242, 4300), ("mine.txt", 4243, 4301), ("own.txt", 4243, 4300)):
            os.chmod(self.write("shared/" + name, b"a"), 0o666)
            os.chown(self.path("shared", name), owner, group)
        names = ["shared/theirs.txt", "shared/mine.txt", "shared/own.txt"]
        self.assert_run(*names, user=(4243, 4300), files={"shared/theirs.txt": b"a", "shared/mine.txt": b"a",
                                                          "shared/own.txt": b"b"},
                        out=done(names[0], ("cannot_move", names[0]), names[1], ("cannot_move", names[1]), names[2]))
        self.assertEqual([os.stat(self.path(name))[4:6] for name in names], [(4242, 4300), (4243, 4301), (4243, 4300)])
        self.assertEqual(self.ls("shared"), ["mine.txt", "own.txt", "theirs.txt"])

    @unittest.skipUnless(OTHERS, "other users, played by root; timed")
    def test_another_user_cannot_put_a_file_in_place_of_roots(self):
        # Root corrects a file in its own directory, started from a directory another user owns and fills with
        # files called like the temporary file.
        self.write_rules({b"a": b"b"})
        os.makedirs(self.path("theirs"))
        os.makedirs(self.path("roots"), 0o700)
        os.chown(self.path("theirs"), 4242, 4242)
        for path in (self.scratch, self.work):
            os.chmod(path, 0o755)
        planter = ("import os, time\nos.chdir(%r)\nend = time.time() + %f\nwhile time.time() < end:\n"
                   "    open('evil', 'w').write('EVIL'); os.rename('evil', 'quorbel.tmp')\n")
        planter = subprocess.Popen(["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", sys.executable,
                                    "-c", planter % (self.path("theirs"), max(SOAK, 2))])
        self.addCleanup(planter.kill)
        target = self.path("roots", "f.txt")
        while planter.poll() is None:
            self.write(target, b"a" * 100_000 + b"ROOT")
            self.assert_run(target, out=done(target), cwd=self.path("theirs"))
            self.assertEqual((self.read(target), os.stat(target).st_uid), (b"b" * 100_000 + b"ROOT", 0))
        self.assertEqual((planter.returncode, self.ls("roots")), (0, ["f.txt"]))

    def test_a_file_with_nothing_to_change_is_left_untouched(self):
        self.write_rules({b"a": b"a", b"x": b"y"})  # a key may stand for itself
        stamp = self.write("same.txt", b"abc" * 100_000)
        os.utime(stamp, ns=(1_000_000_000, 1_000_000_000))
        before = os.stat(stamp)
        self.assert_run("same.txt", out=done("same.txt"))
        after = os.stat(stamp)
        self.assertEqual((after.st_ino, after.st_mtime_ns, self.ls()), (before.st_ino, 1_000_000_000, ["same.txt"]))
        self.assertTrue(WINDOWS or after.st_ctime_ns == before.st_ctime_ns)

    def test_the_temporary_file_lies_beside_the_file_whatever_the_current_directory(self):
        # A current directory on another file system, and one that cannot be written: nothing goes there.
        shm, path = tempfile.mkdtemp(dir="/dev/shm"), self.write("t.txt", b"a" * 100_000)
        self.addCleanup(shutil.rmtree, shm, True)
        locked = os.path.join(self.scratch, "locked")
        os.mkdir(locked, 0o555)
        for cwd in (shm, locked):
            self.write("t.txt", b"a" * 100_000)
            self.assert_run(self.host_path(path), out=done(self.host_path(path)), cwd=cwd,
                            files={"t.txt": b"b" * 100_000})
            self.assertEqual((os.listdir(cwd), self.ls()), ([], ["t.txt"]))

    def test_failed_writes_and_replaces_leave_the_file_untouched_and_go_on(self):
        self.write_rules({b"a": b"aaaa"})
        if LINUX:  # a file size limit
            self.write_all({"big.txt": b"a" * 300_000, "small.txt": b"a"})
            self.assert_run("big.txt", "small.txt", out=done("big.txt", ("cannot_write", "big.txt"), "small.txt"),
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
        self.assert_run("t.txt", "t.txt", out=done(*["t.txt", ("cannot_write", "t.txt")] * 2), cwd=disk,
                        files={os.path.join(disk, "t.txt"): b"a" * 100_000})
        self.assertEqual(os.listdir(disk), ["t.txt"])
        if LINUX:  # a directory that holds no new file
            os.mkdir(self.path("locked"))
            self.write("locked/t.txt", b"aaa")
            if subprocess.run(["chattr", "+i", self.path("locked")]).returncode != 0:
                self.skipTest("chattr not supported here")
            self.addCleanup(subprocess.run, ["chattr", "-i", self.path("locked")])
            self.assert_run("locked/t.txt", "ok.txt", files={"locked/t.txt": b"aaa"},
                            out=done(("cannot_create", "locked/t.txt"), ("cannot_open", "ok.txt")))

    @unittest.skipUnless(LINUX and not RUNNER, "SIGKILL; timed, too slow under an instrumenting runner")
    def test_killed_runs_leave_every_file_whole(self):
        # Run from the files' directory and from another file system: what is left lies beside the files.
        self.write_rules({b"a": b"bb"})
        names, old, new = ["f%d.txt" % i for i in range(4)], b"a" * 3_000_000, b"bb" * 3_000_000
        paths, rng = [self.path(name) for name in names], random.Random(7)
        shm = tempfile.mkdtemp(dir="/dev/shm")
        self.addCleanup(shutil.rmtree, shm, True)
        for cwd in (self.work, shm):
            for _ in rounds(20):
                self.write_all(dict.fromkeys(names, old))
                process = self.popen(*paths, cwd=cwd, stdout=DEVNULL, stderr=DEVNULL)
                time.sleep(rng.uniform(0.0, 0.15))
                process.kill()  # SIGKILL
                process.wait()
                self.assertLessEqual(set(self.ls()), set(names + ["quorbel.tmp"]))
                for name in names:
                    self.assertIn(self.read(name), (old, new), name)
            # A later run cleans up whatever a kill left behind.
            self.assert_run(*paths, out=done(*paths), cwd=cwd, files={name: new for name in names})
            self.assertEqual((self.ls(), os.listdir(shm)), (names, []))

    @unittest.skipUnless(OTHERS, "needs root and setpriv; timed")
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
    def test_runs_on_shared_files_take_turns_from_any_directory_and_name(self):
        # Eight runs over the same twelve files, each from a directory of its own, half of them through a link:
        # every run applies the rules to what the one before it left.
        self.write_rules({b"%d" % d: b"%d" % (d + 1) for d in range(9)})
        names = ["f%02d.txt" % i for i in range(12)]
        os.mkdir(self.path("shared"))
        homes = [self.path("home%d" % run) for run in range(8)]
        for run, home in enumerate(homes):
            os.mkdir(home)
            if LINUX and run % 2:
                os.symlink(self.path("shared"), os.path.join(home, "link"))
        for _ in rounds(2):
            self.write_all({"shared/" + name: b"0" * 300_000 for name in names})
            runs = []
            for run, home in enumerate(homes):
                paths = [("link/" if LINUX and run % 2 else "../shared/") + name for name in names[run:] + names[:run]]
                runs.append((paths, self.popen(*paths, cwd=home, stdout=PIPE, stderr=PIPE)))
            for paths, process in runs:
                out, err = process.communicate(timeout=600)
                self.assertEqual((process.returncode, out), (0, text(done(*paths))))
                self.assertEqual(err.count(b"\n"), err.count(text(say("waiting", "")).strip()), err)
            for name in names:
                self.assertEqual(self.read("shared/" + name), b"8" * 300_000, name)
            self.assertEqual(self.ls("shared"), names)

    @unittest.skipUnless(LINUX and not RUNNER, "stopping a process; timed")
    def test_a_run_that_waits_says_so(self):
        # Behind a stopped run, a run on its file and a run on another file beside it say once that they wait.
        tmp = self.path("quorbel.tmp")
        for size in (20 << 20, 80 << 20, 320 << 20):
            self.write_all({"big.txt": b"a" * size, "small.txt": b"a"})
            first = self.popen("big.txt", stdout=DEVNULL)
            self.addCleanup(first.kill)
            while not os.path.exists(tmp) and first.poll() is None:
                time.sleep(0.001)
            time.sleep(0.02)  # past making the temporary file, into writing it
            first.send_signal(signal.SIGSTOP)
            if os.WIFSTOPPED(os.waitpid(first.pid, os.WUNTRACED)[1]) and held(tmp):
                break
            first.send_signal(signal.SIGCONT)
            first.wait()
        waiting = [self.popen(name, stdout=PIPE, stderr=PIPE) for name in ("big.txt", "small.txt")]
        for process in waiting:
            self.assertTrue(select.select([process.stderr], [], [], 60)[0])
            self.assertEqual(process.stderr.readline(), text(say("waiting", tmp)))
        first.send_signal(signal.SIGCONT)
        for process in waiting:
            process.communicate(timeout=300)
        self.assertEqual([first.wait(timeout=300)] + [process.returncode for process in waiting], [0, 0, 0])
        self.assertEqual((self.read("big.txt"), self.read("small.txt"), self.ls()),
                         (b"b" * size, b"b", ["big.txt", "small.txt"]))
