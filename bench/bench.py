#!/usr/bin/env python3
"""Times quorbel beside its peers on generated rule sets and inputs and prints
a table of medians and ratios. Start it through bench/run.sh, which builds the
programs first.

Every figure is measured in this run, side by side: the ratios are what to
read, since absolute times depend on the machine and on what else runs on it.
"""

import argparse
import glob
import hashlib
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field

SEPARATOR = "^"
BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(BENCH_DIR)

DICTIONARY_GLOBS = [
    "/usr/lib/python3/dist-packages/codespell_lib/data/dictionary.txt",
    "/usr/lib/python3*/site-packages/codespell_lib/data/dictionary.txt",
    "/usr/local/lib/python3*/dist-packages/codespell_lib/data/dictionary.txt",
    "/usr/local/lib/python3*/site-packages/codespell_lib/data/dictionary.txt",
]

RULE_SETS = {"ten": "10 rules", "codespell": "codespell", "synthetic": "480k"}
INPUTS = {"text": "text", "random": "random", "empty": "empty file"}
PAIRS = [
    ("ten", "text"),
    ("codespell", "text"),
    ("codespell", "random"),
    ("synthetic", "text"),
    ("synthetic", "random"),
]
STARTUP_RULES = "synthetic"
PROGRAMS = ["cat", "dd", "quorbel", "aho-corasick", "perl", "reference"]
# Peers whose output must equal quorbel's byte for byte; cat and dd only copy.
SAME_OUTPUT = {"aho-corasick", "perl", "reference"}
# Peers too slow for the whole input with large rule sets: they run on the
# first bytes of it (None: the whole input) and their time is extrapolated.
SLOW = {"perl", "reference"}


@dataclass
class Mode:
    name: str
    text_bytes: int
    random_bytes: int
    reps: int
    slow_reps: int
    cap_seconds: float
    # program -> rule set -> slice length in bytes, or None for the whole input
    slices: dict


FULL = Mode(
    name="full",
    text_bytes=100_000_000,
    random_bytes=50_000_000,
    reps=5,
    slow_reps=3,
    cap_seconds=900,
    slices={
        # perl gives up its regex trie beyond some thousand alternatives and
        # then tries every key at every position: about 1 KB/s on codespell.
        "perl": {"ten": None, "codespell": 16 << 10, "synthetic": 2 << 10},
        # The reference lookup scans the whole prefix list wherever no main
        # entry matches: 74,000 entries with the 480k set.
        "reference": {"ten": None, "codespell": 256 << 10, "synthetic": 8 << 10},
    },
)
QUICK = Mode(
    name="quick",
    text_bytes=10_000_000,
    random_bytes=5_000_000,
    reps=3,
    slow_reps=1,
    cap_seconds=300,
    slices={
        "perl": {"ten": None, "codespell": 4 << 10, "synthetic": 512},
        "reference": {"ten": None, "codespell": 64 << 10, "synthetic": 2 << 10},
    },
)


@dataclass
class Run:
    seconds: float
    peak_kib: int


@dataclass
class Result:
    rules: str
    input: str
    program: str
    input_bytes: int  # the whole input the row stands for
    slice_bytes: int = 0  # bytes actually processed when sliced, else 0
    runs: list = field(default_factory=list)
    status: str = "ok"  # ok, timeout, failed
    detail: str = ""
    estimate: float = 0.0  # median seconds, extrapolated to the whole input when sliced
    check: str = ""  # "", "same", or a mismatch text

    def median(self):
        return statistics.median(r.seconds for r in self.runs) if self.runs else float("nan")

    def peak_mib(self):
        return max(r.peak_kib for r in self.runs) / 1024 if self.runs else float("nan")


def log(message):
    print(message, file=sys.stderr, flush=True)


def find_dictionary(given):
    if given:
        return given
    for pattern in DICTIONARY_GLOBS:
        for path in sorted(glob.glob(pattern)):
            return path
    sys.exit("bench: codespell's dictionary.txt not found; install Debian's codespell package "
             "(apt-get install codespell) or pass --dictionary PATH")


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


# ---- data ----

class Data:
    """The generated files, cached in one folder while the generator and the
    dictionary stay the same."""

    def __init__(self, folder, generator, dictionary, mode):
        self.folder = folder
        self.generator = generator
        self.dictionary = dictionary
        self.mode = mode
        self.paths = {
            "ten": os.path.join(folder, "ten.rules"),
            "codespell": os.path.join(folder, "codespell.rules"),
            "synthetic": os.path.join(folder, "synthetic.rules"),
            "text": os.path.join(folder, f"text-{mode.text_bytes}.txt"),
            "random": os.path.join(folder, f"random-{mode.random_bytes}.bin"),
            "empty": os.path.join(folder, "empty"),
        }

    def ensure(self):
        os.makedirs(self.folder, exist_ok=True)
        stamp_path = os.path.join(self.folder, "stamp")
        stamp = file_digest(os.path.join(BENCH_DIR, "generate.cpp")) + " " + file_digest(self.dictionary)
        old = open(stamp_path).read() if os.path.exists(stamp_path) else ""
        if old != stamp:
            log("bench: generator or dictionary changed; generating the data afresh")
            # Only what the generator wrote: the folder may be one the user gave.
            for name in os.listdir(self.folder):
                path = os.path.join(self.folder, name)
                if os.path.isfile(path) and (name.endswith((".rules", ".partial")) or name == "empty"
                                             or name.startswith(("text-", "random-"))):
                    os.remove(path)
            shutil.rmtree(os.path.join(self.folder, "slices"), ignore_errors=True)
        p = self.paths
        self._make(p["ten"], ["ten"])
        self._make(p["codespell"], ["codespell", self.dictionary])
        self._make(p["synthetic"], ["synthetic", self.dictionary])
        self._make(p["text"], ["text", self.dictionary, p["codespell"], p["synthetic"], str(self.mode.text_bytes)])
        self._make(p["random"], ["random", str(self.mode.random_bytes)])
        open(p["empty"], "wb").close()
        with open(stamp_path, "w") as file:
            file.write(stamp)

    def _make(self, path, arguments):
        if os.path.exists(path):
            return
        log(f"bench: generating {os.path.basename(path)}")
        partial = path + ".partial"
        started = time.perf_counter()
        # A file appears under its name only once complete, so an interrupted
        # run never leaves a truncated file in the cache.
        subprocess.run([self.generator] + arguments + [partial], check=True)
        os.replace(partial, path)
        log(f"bench:   {os.path.getsize(path):,} bytes in {time.perf_counter() - started:.1f} s")

    def slice(self, name, length):
        """The first `length` bytes of an input, as a cached file."""
        if length is None or length >= os.path.getsize(self.paths[name]):
            return self.paths[name]
        folder = os.path.join(self.folder, "slices")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, f"{os.path.basename(self.paths[name])}.first-{length}")
        if not os.path.exists(path):
            with open(self.paths[name], "rb") as source:
                content = source.read(length)
            with open(path + ".partial", "wb") as target:
                target.write(content)
            os.replace(path + ".partial", path)
        return path


# ---- running ----

def run_once(measure, argv, cwd, stdout_path, stderr_path, cap):
    """Runs argv in cwd through bench_measure, returning (Run, exit status),
    or (None, None) when killed at the cap."""
    report = stdout_path + ".report"
    with open(stderr_path, "wb") as err:
        # A session of its own, so that the cap ends the program with its wrapper.
        process = subprocess.Popen([measure, report, cwd, stdout_path] + argv, stdin=subprocess.DEVNULL,
                                   stderr=err, start_new_session=True)
        try:
            process.wait(timeout=cap)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None, None
    if process.returncode != 0:
        return Run(0.0, 0), f"bench_measure failed ({process.returncode})"
    seconds, peak_kib, status = open(report).read().split()
    os.remove(report)
    return Run(float(seconds), int(peak_kib)), int(status)


def fsync_copy(source, target):
    shutil.copyfile(source, target)
    with open(target, "rb+") as file:
        os.fsync(file.fileno())


def first_difference(path_a, path_b):
    """None when the files are equal, else the offset of the first difference."""
    with open(path_a, "rb") as a, open(path_b, "rb") as b:
        offset = 0
        while True:
            block_a = a.read(1 << 20)
            block_b = b.read(1 << 20)
            if block_a != block_b:
                for i, (x, y) in enumerate(zip(block_a, block_b)):
                    if x != y:
                        return offset + i
                return offset + min(len(block_a), len(block_b))
            if not block_a:
                return None
            offset += len(block_a)


class Bench:
    def __init__(self, args, mode, data):
        self.mode = mode
        self.data = data
        self.work = os.path.join(data.folder, "work")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.tools = {
            "cat": shutil.which("cat"),
            "dd": shutil.which("dd"),
            "perl": shutil.which("perl"),
            "aho-corasick": os.path.abspath(args.aho_corasick),
            "reference": os.path.abspath(args.reference),
        }
        # quorbel reads the rule file beside its executable, so each rule set
        # gets a folder with a copy of the executable and the rules.
        self.quorbel = {}
        for rules in RULE_SETS:
            folder = os.path.join(data.folder, "exe", rules)
            os.makedirs(folder, exist_ok=True)
            exe = os.path.join(folder, "quorbel")
            shutil.copy2(args.quorbel, exe)
            shutil.copyfile(data.paths[rules], exe + ".cfg")
            self.quorbel[rules] = exe
        self.measure = os.path.abspath(args.measure)
        self.startup = {}  # (program, rules) -> (runs, failure) on the empty file

    def argv(self, program, rules, source, output):
        rule_path = self.data.paths[rules]
        if program == "cat":
            return [self.tools["cat"], source]
        if program == "dd":
            return [self.tools["dd"], f"if={source}", f"of={output}", "bs=1M", "conv=fsync", "status=none"]
        if program == "perl":
            return [self.tools["perl"], os.path.join(BENCH_DIR, "perl_peer.pl"), rule_path, SEPARATOR, source, output]
        return [self.tools[program], rule_path, SEPARATOR, source, output]

    def run_program(self, program, rules, source, reps, label, tag=""):
        """Times `program` on `source`; returns (runs, output path, failure)."""
        output = os.path.join(self.work, f"out-{program}{tag}")
        stdout = os.path.join(self.work, "stdout")
        stderr = os.path.join(self.work, "stderr")
        runs = []
        for _ in range(reps):
            if program == "quorbel":
                # quorbel rewrites in place: it gets a fresh, synced copy.
                fsync_copy(source, output)
                argv, cwd = [self.quorbel[rules], os.path.basename(output)], self.work
            else:
                if os.path.exists(output):
                    os.remove(output)
                argv, cwd = self.argv(program, rules, source, output), self.work
            # Nothing left to write back from earlier runs while this one is timed.
            os.sync()
            run, status = run_once(self.measure, argv, cwd, output if program == "cat" else stdout, stderr,
                                   self.mode.cap_seconds)
            if run is None:
                return runs, output, f"timed out (> {self.mode.cap_seconds:.0f} s)"
            if isinstance(status, str):
                return runs, output, status
            runs.append(run)
            failure = None
            if status != 0:
                failure = f"exit status {status}"
            elif program == "quorbel":
                said = open(stdout, "rb").read()
                if not said.endswith(b"Feito\r\n") or b"N\xe3o" in said:
                    failure = f"quorbel said {said!r}"
            if failure:
                detail = open(stderr, "rb").read().decode("latin-1").strip()
                return runs, output, failure + (f": {detail}" if detail else "")
        log(f"bench:   {label}: {program}: "
            + " ".join(f"{r.seconds:.3f}" for r in runs) + f" s, {max(r.peak_kib for r in runs) / 1024:.0f} MiB")
        return runs, output, None

    def startup_time(self, program, rules, reps):
        key = (program, rules)
        if key not in self.startup:
            runs, _, failure = self.run_program(program, rules, self.data.paths["empty"], reps,
                                                f"{RULE_SETS[rules]} on the empty file", "-empty")
            self.startup[key] = (runs, failure)
        runs, failure = self.startup[key]
        return statistics.median(r.seconds for r in runs) if runs and not failure else 0.0

    def measure_pair(self, rules, input_name):
        label = f"{RULE_SETS[rules]} / {INPUTS[input_name]}"
        log(f"bench: {label}")
        source = self.data.paths[input_name]
        size = os.path.getsize(source)
        results = []
        quorbel_output = os.path.join(self.work, "expected")
        for program in PROGRAMS:
            length = self.mode.slices.get(program, {}).get(rules)
            sliced = self.data.slice(input_name, length) if program in SLOW else source
            reps = self.mode.slow_reps if program in SLOW else self.mode.reps
            result = Result(rules, input_name, program, size)
            if sliced != source:
                result.slice_bytes = os.path.getsize(sliced)
            runs, output, failure = self.run_program(program, rules, sliced, reps, label)
            result.runs = runs
            if failure:
                result.status = "timeout" if failure.startswith("timed out") else "failed"
                result.detail = failure
                log(f"bench:   {program}: {failure}")
                results.append(result)
                continue
            result.estimate = result.median()
            if result.slice_bytes:
                # Start-up is paid once; only the scan grows with the input.
                start = self.startup_time(program, rules, reps)
                result.estimate = start + max(result.median() - start, 0.0) * size / result.slice_bytes
            if program == "quorbel":
                os.replace(output, quorbel_output)
            elif program in SAME_OUTPUT:
                result.check = self.compare(program, rules, sliced, source, output, quorbel_output)
            if os.path.exists(output):
                os.remove(output)
            results.append(result)
        if os.path.exists(quorbel_output):
            os.remove(quorbel_output)
        return results

    def compare(self, program, rules, sliced, source, output, quorbel_output):
        expected = quorbel_output
        if sliced != source:
            # quorbel's own output on the same slice, untimed.
            expected = os.path.join(self.work, "expected-slice")
            fsync_copy(sliced, expected)
            subprocess.run([self.quorbel[rules], os.path.basename(expected)], cwd=self.work,
                           stdout=subprocess.DEVNULL, check=True)
        if not os.path.exists(expected):
            return "not checked: quorbel failed"
        offset = first_difference(output, expected)
        if expected != quorbel_output:
            os.remove(expected)
        if offset is None:
            return "same"
        return f"MISMATCH: output differs from quorbel's at byte {offset:,}"

    def measure_startup(self):
        rules = STARTUP_RULES
        log(f"bench: {RULE_SETS[rules]} start-up")
        results = []
        for program in PROGRAMS:
            reps = self.mode.slow_reps if program in SLOW else self.mode.reps
            self.startup_time(program, rules, reps)
            runs, failure = self.startup[(program, rules)]
            result = Result(rules, "empty", program, 0, runs=runs)
            if failure:
                result.status = "timeout" if failure.startswith("timed out") else "failed"
                result.detail = failure
            else:
                result.estimate = result.median()
            results.append(result)
        return results


# ---- the table ----

def format_seconds(seconds):
    if seconds >= 100:
        return f"{seconds:.0f}"
    if seconds >= 10:
        return f"{seconds:.1f}"
    if seconds >= 1:
        return f"{seconds:.2f}"
    return f"{seconds:.3f}"


def format_rate(value):
    if value >= 10:
        return f"{value:.0f}"
    if value >= 1:
        return f"{value:.1f}"
    return f"{value:.2g}"


def format_ratio(value):
    if value >= 1000:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.0f}"
    return f"{value:.2f}"


def format_bytes(count):
    for unit, size in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size and count % size == 0:
            return f"{count // size} {unit}"
    return f"{count} B"


def rows_for(results, with_rate):
    by_program = {r.program: r for r in results}
    cat = by_program.get("cat")
    quorbel = by_program.get("quorbel")
    rows = []
    for r in results:
        pair = f"{RULE_SETS[r.rules]} / {INPUTS[r.input]}" if with_rate else f"{RULE_SETS[r.rules]} start-up"
        if r.status != "ok":
            rows.append([pair, r.program, "-", "-", f"{r.peak_mib():.0f}" if r.runs else "-", "-", "-", r.detail])
            continue
        time_text = ("~" if r.slice_bytes else "") + format_seconds(r.estimate)
        rate = format_rate(r.input_bytes / 1e6 / r.estimate) if with_rate and r.estimate > 0 else "-"
        ratio_cat = format_ratio(r.estimate / cat.estimate) if cat and cat.status == "ok" and cat.estimate else "-"
        ratio_q = (format_ratio(r.estimate / quorbel.estimate)
                   if quorbel and quorbel.status == "ok" and quorbel.estimate else "-")
        notes = []
        if r.slice_bytes:
            notes.append(f"first {format_bytes(r.slice_bytes)} in {r.median():.2f} s, extrapolated")
        if r.check and r.check != "same":
            notes.append(r.check)
        elif r.check == "same":
            notes.append("output = quorbel's")
        peak = f"{r.peak_mib():.0f}" + ("*" if r.slice_bytes else "")
        rows.append([pair, r.program, time_text, rate, peak, ratio_cat, ratio_q, "; ".join(notes)])
    return rows


def print_table(header, rows):
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    right = {2, 3, 4, 5, 6}

    def line(row):
        cells = [str(c).rjust(widths[i]) if i in right else str(c).ljust(widths[i]) for i, c in enumerate(row)]
        return "  ".join(cells).rstrip()

    print(line(header))
    print("  ".join("-" * w for w in widths))
    previous = None
    for row in rows:
        if previous is not None and row[0] != previous:
            print()
        print(line(row))
        previous = row[0]


def describe_machine():
    model = ""
    try:
        for text_line in open("/proc/cpuinfo"):
            if text_line.startswith("model name"):
                model = text_line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{os.cpu_count()} cores, {model or platform.processor() or platform.machine()}"


def quorbel_version():
    try:
        commit = subprocess.run(["git", "-C", REPO_DIR, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", REPO_DIR, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return commit + (" with uncommitted changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller inputs and fewer repetitions")
    parser.add_argument("--data", required=True, help="folder for the generated data (kept between runs)")
    parser.add_argument("--quorbel", required=True, help="the caret build of quorbel")
    parser.add_argument("--generator", required=True, help="bench_generate")
    parser.add_argument("--reference", required=True, help="bench_reference")
    parser.add_argument("--measure", required=True, help="bench_measure")
    parser.add_argument("--aho-corasick", required=True, help="the aho-corasick peer")
    parser.add_argument("--dictionary", help="codespell's dictionary.txt")
    parser.add_argument("--reps", type=int, help="repetitions of each timed run (slow peers: fewer)")
    args = parser.parse_args()

    started = time.perf_counter()
    mode = QUICK if args.quick else FULL
    if args.reps:
        mode.reps = args.reps
        mode.slow_reps = min(mode.slow_reps, args.reps)
    data = Data(os.path.abspath(args.data), os.path.abspath(args.generator), find_dictionary(args.dictionary), mode)
    data.ensure()
    bench = Bench(args, mode, data)

    pair_results = [bench.measure_pair(rules, input_name) for rules, input_name in PAIRS]
    startup_results = bench.measure_startup()

    print()
    print(f"quorbel {quorbel_version()}; {describe_machine()}; {mode.name} mode: "
          f"text {mode.text_bytes / 1e6:.0f} MB, random {mode.random_bytes / 1e6:.0f} MB, "
          f"median of {mode.reps} runs ({mode.slow_reps} for perl and reference)")
    print()
    header = ["pair", "program", "median s", "MB/s", "peak MiB", "x cat", "x quorbel", "note"]
    rows = []
    for results in pair_results:
        rows += rows_for(results, True)
    rows += rows_for(startup_results, False)
    print_table(header, rows)

    print()
    print("480k peak memory (MiB)")
    memory_header = ["program", "empty file", "text", "random", "x rule file"]
    rule_mib = os.path.getsize(data.paths[STARTUP_RULES]) / (1 << 20)
    memory_rows = []
    for program in PROGRAMS:
        cells = [program]
        empty = next(r for r in startup_results if r.program == program)
        cells.append(f"{empty.peak_mib():.0f}" if empty.runs else "-")
        for input_name in ("text", "random"):
            found = [r for results in pair_results for r in results
                     if r.rules == STARTUP_RULES and r.input == input_name and r.program == program]
            r = found[0] if found else None
            cells.append(f"{r.peak_mib():.0f}" + ("*" if r.slice_bytes else "") if r and r.runs else "-")
        cells.append(f"{empty.peak_mib() / rule_mib:.1f}" if empty.runs else "-")
        memory_rows.append(cells)
    widths = [max(len(row[i]) for row in [memory_header] + memory_rows) for i in range(len(memory_header))]
    for row in [memory_header] + memory_rows:
        print("  ".join(c.ljust(widths[0]) if i == 0 else c.rjust(widths[i]) for i, c in enumerate(row)).rstrip())

    mismatches = [r for results in pair_results for r in results if r.check.startswith("MISMATCH")]
    failures = [r for results in pair_results + [startup_results] for r in results if r.status == "failed"]
    print()
    for r in mismatches:
        print(f"MISMATCH {RULE_SETS[r.rules]} / {INPUTS[r.input]}: {r.program}: {r.check}")
    for r in failures:
        print(f"FAILED {RULE_SETS[r.rules]} / {INPUTS[r.input]}: {r.program}: {r.detail}")
    print(f"""Columns: median s = median wall time of the runs, start to exit, output written (quorbel, dd, perl,
aho-corasick and reference also fsync it); ~ = extrapolated from a slice of the input as start-up on the
empty file plus the slice's scan time scaled to the whole input. MB/s = input size / median s. peak MiB =
largest resident set (ru_maxrss) of the runs; * = measured on the slice. x cat, x quorbel = median s over
that of cat or quorbel on the same pair in this run (above 1: slower). Floors: cat copies the input; dd
bs=1M conv=fsync copies it durably. quorbel runs on a fresh synced copy of the input each time (untimed).
perl: one alternation of all keys, longest first; aho-corasick: the Rust crate, leftmost-longest;
reference: lookup_reference() at every position. The last three must write quorbel's bytes, checked on
every pair. Rule files: 480k = {os.path.getsize(data.paths['synthetic']):,} bytes.""")
    minutes, seconds = divmod(int(time.perf_counter() - started), 60)
    print(f"The benchmark took {minutes} min {seconds} s.")
    return 1 if mismatches or failures else 0


if __name__ == "__main__":
    sys.exit(main())
