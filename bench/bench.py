#!/usr/bin/env python3
"""Times quorbel beside its peers on generated rule sets and inputs and prints
a table of medians and ratios. Start it through bench/run.sh, which builds the
programs first. Every figure comes from this run on this machine: read the
ratios, not the seconds."""

import argparse
import filecmp
import glob
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import time

import generate as make

BENCH = os.path.dirname(os.path.abspath(__file__))
RULES = {"ten": "10 rules", "words100": "100 words", "words1000": "1,000 words", "words10000": "10,000 words",
         "codespell": "codespell", "synthetic": "480k"}
PAIRS = [("ten", "text"), ("words100", "text"), ("words1000", "text"), ("words10000", "text"),
         ("codespell", "text"), ("codespell", "random"), ("synthetic", "text"), ("synthetic", "random"),
         ("synthetic", "empty")]
# perl builds no trie beyond some thousand alternatives and then tries every
# key at every position: hours for the large sets.
PERL_RULES = {"ten", "words100", "words1000"}
PEERS = ["hyperscan", "aho-corasick", "perl"]


def log(message):
    print(message, file=sys.stderr, flush=True)


def digest(*paths):
    hashed = hashlib.sha256()
    for path in paths:
        hashed.update(open(path, "rb").read())
    return hashed.hexdigest()


def generate(args, text_bytes, random_bytes):
    """The data files, generated afresh when the generator or the dictionary changes."""
    dictionary = args.dictionary or next(iter(sorted(glob.glob(
        "/usr/lib/python3*/*-packages/codespell_lib/data/dictionary.txt"))), None)
    if not dictionary:
        sys.exit("bench: codespell's dictionary.txt not found: apt-get install codespell, or give --dictionary")
    folder = os.path.abspath(args.data)
    os.makedirs(folder, exist_ok=True)
    stamp = os.path.join(folder, "stamp")
    sources = digest(os.path.join(BENCH, "generate.py"), dictionary)
    if not os.path.exists(stamp) or open(stamp).read() != sources:
        # Only the generated files: the folder may be one the user gave.
        for name in os.listdir(folder):
            if name.endswith((".rules", ".txt", ".bin")):
                os.remove(os.path.join(folder, name))
    paths = {name: os.path.join(folder, name + ".rules") for name in RULES}
    paths.update(text=os.path.join(folder, f"text-{text_bytes}.txt"),
                 random=os.path.join(folder, f"random-{random_bytes}.bin"), empty=os.path.join(folder, "empty"))
    steps = [("ten", lambda: make.rules_text(make.TEN)),
             ("codespell", lambda: make.rules_text(make.codespell(dictionary)))]
    steps += [(f"words{n}", lambda n=n: make.rules_text(make.words(n, paths["codespell"]))) for n in (100, 1000, 10000)]
    steps += [("synthetic", lambda: make.synthetic(dictionary)),
              ("text", lambda: make.text(dictionary, paths["codespell"], paths["synthetic"], text_bytes)),
              ("random", lambda: make.random_bytes(random_bytes)), ("empty", lambda: "")]
    for name, content in steps:
        if not os.path.exists(paths[name]):
            log(f"bench: generating {os.path.basename(paths[name])}")
            # Complete files only under their name, should a run be interrupted.
            make.write(paths[name] + ".part", content())
            os.replace(paths[name] + ".part", paths[name])
    with open(stamp, "w") as file:
        file.write(sources)
    return paths


class Bench:
    def __init__(self, args, paths, reps):
        self.args, self.paths, self.reps = args, paths, reps
        self.work = os.path.join(os.path.abspath(args.data), "work")
        shutil.rmtree(self.work, ignore_errors=True)
        # quorbel reads the rule file beside its executable: a folder per rule set.
        self.builds = {"quorbel": (os.path.abspath(args.quorbel), [])}
        if args.wine_quorbel:
            self.builds["quorbel wine"] = (os.path.abspath(args.wine_quorbel), ["wine"])
        for rules in RULES:
            for build, (exe, _) in self.builds.items():
                folder = os.path.join(self.work, build.replace(" ", "-"), rules)
                os.makedirs(folder)
                shutil.copy2(exe, folder)
                shutil.copyfile(paths[rules], os.path.join(folder, "quorbel.cfg"))

    def command(self, program, rules, source, output):
        if program in self.builds:
            exe, prefix = self.builds[program]
            folder = os.path.join(self.work, program.replace(" ", "-"), rules)
            # A fresh, synced copy to rewrite in place, untimed.
            shutil.copyfile(source, output)
            with open(output, "rb+") as file:
                os.fsync(file.fileno())
            return prefix + [os.path.join(folder, os.path.basename(exe)), os.path.relpath(output, self.work)]
        if program == "cat":
            return ["cat", source]
        if program == "dd":
            return ["dd", f"if={source}", f"of={output}", "bs=1M", "conv=fsync", "status=none"]
        peer = {"hyperscan": [self.args.hyperscan], "aho-corasick": [self.args.aho_corasick],
                "perl": ["perl", os.path.join(BENCH, "perl_peer.pl")]}[program]
        return peer + [self.paths[rules], "^", source, output]

    def time(self, program, rules, source):
        """Median seconds and peak MiB of `program`, and where it wrote; seconds are None on failure."""
        output = os.path.join(self.work, "out-" + program.replace(" ", "-"))
        stdout = os.path.join(self.work, "stdout")
        runs = []
        for _ in range(self.reps):
            if os.path.exists(output):
                os.remove(output)
            command = self.command(program, rules, source, output)
            os.sync()  # nothing of earlier runs left to write back while this one is timed
            subprocess.run([self.args.measure, stdout + ".report", self.work, output if program == "cat" else stdout]
                           + [shutil.which(command[0]) or command[0]] + command[1:], check=True)
            seconds, peak_kib, status = open(stdout + ".report").read().split()
            said = open(stdout, "rb").read() if program in self.builds else b"Feito\r\n"
            if status != "0" or not said.endswith(b"Feito\r\n"):
                log(f"bench:   {program} failed: exit status {status}, said {said[-200:]!r}")
                return None, 0, output
            runs.append((float(seconds), int(peak_kib) / 1024))
            if float(seconds) > 10:
                break  # one run of a slow program says enough
        log(f"bench:   {program}: " + " ".join(f"{s:.3f}" for s, _ in runs) + " s")
        return statistics.median(s for s, _ in runs), max(p for _, p in runs), output

    def pair(self, rules, input_name):
        log(f"bench: {RULES[rules]} / {input_name}")
        source = self.paths[input_name]
        expected = os.path.join(self.work, "expected")
        programs = ["cat", "dd"] + list(self.builds) + [p for p in PEERS if p != "perl" or rules in PERL_RULES]
        rows = []
        for program in programs:
            seconds, peak, output = self.time(program, rules, source)
            note = "" if seconds is not None else "FAILED"
            if program == "quorbel" and seconds is not None:
                os.replace(output, expected)
            elif program not in ("cat", "dd") and seconds is not None:
                note = "same output" if filecmp.cmp(output, expected, shallow=False) else "MISMATCH with quorbel"
            rows.append([program, seconds, peak, note])
        return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="10 MB of text and 5 MB of random bytes, 3 runs")
    parser.add_argument("--reps", type=int, help="runs of each program (default 5, quick 3)")
    parser.add_argument("--dictionary", help="codespell's dictionary.txt")
    for name in ("data", "quorbel", "measure", "hyperscan", "aho-corasick"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--wine-quorbel", help="the Windows caret build, timed under wine beside the native one")
    args = parser.parse_args()
    started = time.time()
    text_bytes, random_bytes = (10_000_000, 5_000_000) if args.quick else (100_000_000, 50_000_000)
    bench = Bench(args, generate(args, text_bytes, random_bytes), args.reps or (3 if args.quick else 5))
    table = [(pair, bench.pair(*pair)) for pair in PAIRS]

    commit = subprocess.run(["git", "-C", BENCH, "describe", "--always", "--dirty"], capture_output=True, text=True)
    print(f"\nquorbel {commit.stdout.strip()}; {os.cpu_count()} cores; text {text_bytes / 1e6:.0f} MB, random "
          f"{random_bytes / 1e6:.0f} MB, median of {bench.reps} runs\n")
    header = ["pair", "program", "median s", "MB/s", "peak MiB", "x dd", "x quorbel", "note"]
    lines = [header]
    for (rules, input_name), rows in table:
        size = os.path.getsize(bench.paths[input_name])
        times = {program: seconds for program, seconds, _, _ in rows}
        for program, seconds, peak, note in rows:
            ok = seconds is not None
            ratio = lambda other: f"{seconds / times[other]:.2f}" if ok and times.get(other) else "-"
            lines.append([f"{RULES[rules]} / {input_name}", program, f"{seconds:.3f}" if ok else "-",
                          f"{size / 1e6 / seconds:.0f}" if ok and size else "-", f"{peak:.0f}", ratio("dd"),
                          ratio("quorbel"), note])
        lines.append(None)
    widths = [max(len(line[i]) for line in lines if line) for i in range(len(header))]
    for line in lines:
        print("  ".join(c.rjust(w) if 2 <= i <= 6 else c.ljust(w) for i, (c, w) in enumerate(zip(line, widths)))
              .rstrip() if line else "")
    print("""median s: wall time from start to exit, output written and fsynced by all but cat. x dd, x quorbel:
median s over that of dd (bs=1M conv=fsync, a durable copy) or quorbel on the same pair (above 1: slower).
quorbel rewrites a fresh synced copy of the input in place. Peers must write quorbel's bytes.""")
    print(f"The benchmark took {(time.time() - started) / 60:.1f} min.")
    failed = any(note.startswith(("MISMATCH", "FAILED")) for _, rows in table for *_, note in rows)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
