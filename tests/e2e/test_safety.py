"""No named file is lost or exposed: what is not a plain writable file is refused, a file is replaced whole by one that
grants exactly its access or left as it is, and runs on one file take turns, from any directory and under any name."""

import fcntl
import itertools
import os
import random
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from harness import CHECKER, LINUX, ROOT, RUNNER, SEP, WINDOWS, ToolTest, done, say, text

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

    @unittest.skipUnless(LINUX, "Linux special files")
    def test_special_and_read_only_files_are_refused_without_blocking(self):
        os.mkdir(self.path("dir"))
        os.mkfifo(self.path("fifo"))
        with socket.socket(socket.AF_UNIX) as listener:  # its file stays
            listener.bind(self.path("sock"))
        os.chmod(self.write("ro.txt", b"aaa"), 0o444)  # also for root
        for name in ("dir", "fifo", "sock", "/dev/null", "ro.txt"):
            self.assert_run(name, out=done(("cannot_open", name)), files={"ro.txt": b"aaa"})

    def test_names_like_the_temporary_files_are_ordinary_names(self):
        # A quorbel.tmp of whatever kind, named or not, and another run's leftover are the user's, never this run's.
        names, leftover = ["quorbel.tmp", "Quorbel.TMP", "f.txt"], "quorbel-0123456789.tmp"
        self.write_all({**dict.fromkeys(names, b"aaa"), leftover: b"aaa"})
        self.assert_run(*names, out=done(*names), files={**dict.fromkeys(names, b"bbb"), leftover: b"aaa"})
        self.assertEqual(self.ls(), sorted(names + [leftover]))
        victim, tmp = self.write("victim", b"precious"), self.path("quorbel.tmp")
        for plant in [lambda: os.link(victim, tmp)] + ([lambda: os.symlink(victim, tmp)] if LINUX else []):
            os.remove(tmp)
            plant()
            self.write("t.txt", b"aaa")
            self.assert_run("t.txt", out=done("t.txt"), files={"t.txt": b"bbb", "victim": b"precious"})

    @unittest.skipUnless(LINUX, "Linux modes")
    def test_a_directory_where_others_may_swap_names_gets_no_temporary_file(self):
        # Every user may write it, without the sticky bit (unlike /tmp).
        self.write("t.txt", b"aaa")
        os.chmod(self.work, 0o777)
        self.assert_run("t.txt", out=done(("cannot_create", "t.txt")), files={"t.txt": b"aaa"})
        os.chmod(self.work, 0o1777)
        self.assert_run("t.txt", out=done("t.txt"), files={"t.txt": b"bbb"})
        self.assertEqual(self.ls(), ["t.txt"])

    @unittest.skipUnless(OTHERS, "other users, played by root")
    def test_other_users_leftovers_and_runs_hold_nobody(self):
        # In a shared sticky directory, another user's leftovers stay theirs; two users correcting their own files
        # there at once both succeed, round after round.
        for path in (self.scratch, self.work):
            os.chmod(path, 0o755)  # the program and its rules must be theirs to read
        os.mkdir(self.path("shared"))
        os.chmod(self.path("shared"), 0o1777)
        for leftover in ("quorbel.tmp", "quorbel-0123456789.tmp"):
            os.chmod(self.write("shared/" + leftover, b"a"), 0o600)
            os.chown(self.path("shared", leftover), 4242, 4242)
        names = {4242: ["shared/a%d.txt" % i for i in range(4)], 4243: ["shared/b%d.txt" % i for i in range(4)]}
        for _ in rounds(20):
            for uid, files in names.items():
                for name in files:
                    self.write(name, b"a" * 100_000)
                    os.chown(self.path(name), uid, uid)
            runs = [subprocess.Popen(["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups", self.exe,
                                      *files], cwd=self.work, stdout=PIPE, stderr=PIPE)
                    for uid, files in names.items()]
            for (uid, files), run in zip(names.items(), runs):
                self.assertEqual((run.wait(timeout=120), run.stdout.read()), (0, text(done(*files))), uid)
                run.stdout.close()
                run.stderr.close()
            for name in names[4242] + names[4243]:
                self.assertEqual(self.read(name), b"b" * 100_000, name)
        self.assertEqual(self.ls("shared"), sorted(["quorbel.tmp", "quorbel-0123456789.tmp"] +
                                                   [os.path.basename(name) for name in names[4242] + names[4243]]))

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
        # A file capability, visible to all, only root may set.
        cases = (("theirs.txt", 4242, 4300), ("mine.txt", 4243, 4301), ("cap.txt", 4243, 4300), ("own.txt", 4243, 4300))
        for name, owner, group in cases:
            os.chmod(self.write("shared/" + name, b"a"), 0o666)
            os.chown(self.path("shared", name), owner, group)
        capability = struct.pack("<5I", 0x02000001, 1 << 10, 0, 0, 0)  # revision 2, effective, cap_net_bind_service
        os.setxattr(self.path("shared", "cap.txt"), "security.capability", capability)
        names = ["shared/" + name for name, _, _ in cases]
        self.assert_run(*names, user=(4243, 4300), files=dict(zip(names, [b"a", b"a", b"a", b"b"])),
                        out=done(*[step for name in names[:3] for step in (name, ("cannot_move", name))], names[3]))
        self.assertEqual([os.stat(self.path(name))[4:6] for name in names], [case[1:] for case in cases])
        self.assertEqual(os.getxattr(self.path("shared", "cap.txt"), "security.capability"), capability)
        self.assertEqual(self.ls("shared"), sorted(name for name, _, _ in cases))

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
        # Run from the files' directory and from another file system: what a kill leaves lies beside the files, under
        # a name of its own, and spoils no later run.
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
                for name in names:
                    self.assertIn(self.read(name), (old, new), name)
            self.assert_run(*paths, out=done(*paths), cwd=cwd, files={name: new for name in names})
            left = set(self.ls()) - set(names)
            self.assertTrue(all(re.fullmatch(r"quorbel-[a-z0-9]{10}\.tmp", name) for name in left), left)
            self.assertEqual(os.listdir(shm), [])

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
        # Corrected by a run that found the directory in its place, or by none, when a busy machine gave the swapper
        # every chance; never spoilt.
        self.assertIn(self.read("home/sub/f.txt"), (b"a" * 200_000 + b"USER", b"b" * 200_000 + b"USER"))
        self.assertEqual(self.ls("home", "sub"), ["f.txt"])

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

    def temporary_files(self) -> list:
        return [name for name in self.ls() if re.fullmatch(r"quorbel-[a-z0-9]{10}\.tmp", name)]

    @unittest.skipUnless((LINUX and not RUNNER) or WINDOWS, "stopping a process; timed")
    def test_waits_say_so_and_end(self):
        # Behind a run stopped while it holds big.txt (its temporary file shows it), a run on big.txt, and one through
        # a second hard link, say after 2 s that they wait and after 20 s leave it as it is; a run on a file beside it
        # waits for nothing. The two builds differ in a constant: one waits for both.
        if SEP != b"^":
            self.skipTest("one build is enough for a wait of 20 s")
        self.write("small.txt", b"a")
        for size in (20 << 20, 80 << 20, 320 << 20):
            self.write("big.txt", b"a" * size)
            first = self.popen("big.txt", stdout=DEVNULL)
            self.addCleanup(first.kill)
            while not self.temporary_files() and first.poll() is None:
                time.sleep(0.001)
            first.send_signal(signal.SIGSTOP)
            if os.WIFSTOPPED(os.waitpid(first.pid, os.WUNTRACED)[1]) and self.temporary_files():
                break
            first.send_signal(signal.SIGCONT)
            first.wait()
        os.link(self.path("big.txt"), self.path("same.txt"))
        self.assert_run("small.txt", out=done("small.txt"), files={"small.txt": b"b"})
        waiting = {name: self.popen(name, stdout=PIPE, stderr=PIPE) for name in ("big.txt", "same.txt")}
        for name, process in waiting.items():
            out, err = process.communicate(timeout=300)
            self.assertEqual((process.returncode, out, err),
                             (2, text(done(("cannot_open", name))), text(say("waiting", name))))
        first.send_signal(signal.SIGCONT)
        self.assertEqual(first.wait(timeout=300), 0)
        # The second name still holds the file that the first run replaced under the other one.
        self.assertEqual((self.read("big.txt"), self.read("same.txt")), (b"b" * size, b"a" * size))
        self.assertEqual(self.ls(), ["big.txt", "same.txt", "small.txt"])

    @unittest.skipUnless(LINUX and not RUNNER, "a lock on the file; timed")
    def test_another_users_lock_holds_a_run_no_longer_than_its_patience(self):
        if SEP != b"^":
            self.skipTest("one build is enough for a wait of 20 s")
        self.write_all({"f.txt": b"a", "g.txt": b"a"})
        user = ["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups"] if OTHERS else []
        for path in (self.scratch, self.work):
            os.chmod(path, 0o755)
        os.chmod(self.path("f.txt"), 0o644)  # any user who may read it may lock it
        holder = subprocess.Popen(user + ["flock", "-s", self.path("f.txt"), "sleep", "120"])
        self.addCleanup(holder.kill)
        while not held(self.path("f.txt")):
            self.assertIsNone(holder.poll())
            time.sleep(0.01)
        self.assert_run("f.txt", "g.txt", out=done(("cannot_open", "f.txt"), "g.txt"), err=say("waiting", "f.txt"),
                        files={"f.txt": b"a", "g.txt": b"b"})

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("mount.exfat-fuse") and shutil.which("mkfs.exfat"),
                         "an exFAT image, mounted as root")
    def test_a_case_insensitive_file_system_loses_no_named_file(self):
        image, mount = os.path.join(self.scratch, "exfat.img"), self.path("exfat")
        os.mkdir(mount)
        with open(image, "wb") as f:
            f.truncate(32 << 20)
        subprocess.run(["mkfs.exfat", image], check=True, capture_output=True)
        loop = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, text=True)
        if loop.returncode != 0:
            self.skipTest("no loop device here")
        self.addCleanup(subprocess.run, ["losetup", "-d", loop.stdout.strip()])
        # Masked as a desktop mounts a stick for its user: a directory every user may write gets no temporary file.
        if subprocess.run(["mount.exfat-fuse", "-o", "umask=022", loop.stdout.strip(), mount],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount exFAT here")
        self.addCleanup(subprocess.run, ["umount", mount])
        self.write_all({"exfat/Quorbel.tmp": b"aaa", "exfat/QUORBEL.TMP.txt": b"aaa", "exfat/F.txt": b"aaa"})
        names = ["exfat/quorbel.tmp", "exfat/QUORBEL.TMP.txt", "exfat/f.txt", "exfat/QUORBEL.TMP"]
        self.assert_run(*names, out=done(*names), files={"exfat/Quorbel.tmp": b"bbb", "exfat/QUORBEL.TMP.txt": b"bbb",
                                                         "exfat/F.txt": b"bbb"})
        self.assertEqual(self.ls("exfat"), ["F.txt", "QUORBEL.TMP.txt", "Quorbel.tmp"])

    @unittest.skipUnless(os.geteuid() == 0, "a bind mount, as root")
    def test_names_through_a_bind_mount_lead_to_the_same_files(self):
        os.mkdir(self.path("d"))
        os.mkdir(self.path("b"))
        if subprocess.run(["mount", "--bind", self.path("d"), self.path("b")]).returncode != 0:
            self.skipTest("cannot bind-mount here")
        self.addCleanup(subprocess.run, ["umount", self.path("b")])
        self.write_all({"d/quorbel.tmp": b"aaa", "d/f.txt": b"aaa"})
        names = ["b/quorbel.tmp", "d/quorbel.tmp", "d/f.txt", "b/f.txt"]
        self.assert_run(*names, out=done(*names), files={"d/quorbel.tmp": b"bbb", "d/f.txt": b"bbb"})
        self.assertEqual(self.ls("d"), ["f.txt", "quorbel.tmp"])
