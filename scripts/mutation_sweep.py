#!/usr/bin/env python3
r"""Every generated mutant (scripts/mutants.py) against the host unit suite.

Each worker keeps a scratch copy of the tree (build/mutation/sweep-<kind>-<n>)
built once with the host preset and then incrementally: a mutant is written into
its file, the unit test programs are rebuilt (only that file recompiles), and
only the programs whose binary changed run, each with a time limit of seconds;
the first failing test kills the mutant. A worker takes whole files from a
shared queue, so that its builds stay incremental.

The outcomes:
  killed      a test program failed, crashed or ran past its limit
  asan        it survived the plain build and the AddressSanitizer build (the
              asan preset, clang) caught it: a read past a buffer, say
  same-code   the object file compiled from it is the unchanged one, byte for
              byte: equivalent by construction
  broken      it does not compile (the generator works on text); not counted
  survived    nothing caught it. It is either a missing test or listed, with
              a reason a reviewer can check, in tests/mutation/equivalent.tsv
              (id TAB reason), and then reads `equivalent`.

The kill rate of a folder is (killed + asan) / (all - broken - same-code -
equivalent).

Modes:
  --write            all mutants; writes tests/mutation/sweep.tsv (the report)
  --incremental      only the mutants whose ids are not in the report, and the
                     report's survivors and equivalents; merges, drops the ids
                     that are gone and writes the report
  --sample N         N of the mutants the report records, chosen by the commit
                     (HEAD), so the choice moves from run to run (mutants no
                     sweep has run yet, and the survivors it recorded, are
                     counted, not sampled): one line per
                     mutant, `caught` or
                     `SURVIVED`; exits non-zero on a survivor that is not listed
                     as equivalent (what scripts/test.sh runs)
  --only ID,...      these mutants; --files FILE,... the mutants of these files

Usage: scripts/mutation_sweep.py [MODE] [--workers N] [--no-asan]
"""

import argparse
import hashlib
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutants as generator  # noqa: E402
import mutation_check as check  # noqa: E402

ROOT = generator.ROOT
REPORT = os.path.join(ROOT, "tests", "mutation", "sweep.tsv")
EQUIVALENT = os.path.join(ROOT, "tests", "mutation", "equivalent.tsv")
WORK = os.path.join(ROOT, "build", "mutation")
# A program runs at most this many times as long as it did on the unchanged
# tree, and never less than the floor: the suite's slowest program takes about
# a second.
TIME_FACTOR = 10
TIME_FLOOR = 5.0

print_lock = threading.Lock()


def say(line):
    with print_lock:
        print(line, flush=True)


def digest(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha1(f.read()).hexdigest()
    except OSError:
        return None


class Tree:
    """A scratch copy of the tree and its build, for one worker."""

    def __init__(self, kind, index):
        self.kind = kind
        self.scratch = os.path.join(WORK, f"sweep-{kind}-{index}")
        self.build = os.path.join(self.scratch, "build", kind)
        self.log = os.path.join(WORK, f"sweep-{kind}-{index}.log")
        self.programs = []
        self.binaries = {}
        self.objects = {}
        self.limits = {}
        self.times = {}

    def run(self, command):
        result = subprocess.run(command, cwd=self.scratch, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        with open(self.log, "ab") as f:
            f.write(b"$ " + " ".join(command).encode() + b"\n" + result.stdout)
        return result.returncode == 0

    def prepare(self, jobs, files):
        """Copies the tree as the snapshot `files` holds it, builds it and runs
        it once unchanged. Returns an error text, or None."""
        os.makedirs(self.scratch, exist_ok=True)
        open(self.log, "w").close()
        check.sync_scratch(self.scratch, files)
        self.programs = check.unit_programs(self.scratch)
        # No debug information (line numbers would make every object differ)
        # and gold, as the table's scratch build; no warnings, since a mutant
        # that only warns (an unused helper, && within ||) is still a fault.
        flags, linker = "-w", "-fuse-ld=gold"
        if self.kind == "asan":
            sanitize = "-fsanitize=address,undefined"
            flags = f"{sanitize} -fno-sanitize-recover=all -fno-omit-frame-pointer -w"
            linker = f"{sanitize} -fuse-ld=gold"
        if not self.run(["cmake", "--preset", self.kind, "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                         f"-DCMAKE_CXX_FLAGS={flags}", f"-DCMAKE_EXE_LINKER_FLAGS={linker}"]):
            return f"configuring {self.scratch} failed; see {self.log}"
        if not self.compile(jobs):
            return f"the unchanged tree does not build in {self.scratch}; see {self.log}"
        with open(os.path.join(self.build, "compile_commands.json"), encoding="utf-8") as f:
            for entry in json.load(f):
                relative = os.path.relpath(entry["file"], self.scratch)
                match = re.search(r" -o (\S+)", entry["command"])
                if match and not relative.startswith(".."):
                    self.objects[relative] = os.path.join(entry["directory"], match.group(1))
        self.binaries = {p: digest(os.path.join(self.build, p)) for p in self.programs}
        for program in self.programs:
            started = time.monotonic()
            failure = self.run_program(program, 600)
            if failure:
                return f"the unchanged tree fails {program}: {failure}"
            self.times[program] = time.monotonic() - started
            self.limits[program] = max(TIME_FLOOR, TIME_FACTOR * self.times[program])
        return None

    def compile(self, jobs):
        return self.run(["ninja", "-C", self.build, f"-j{jobs}"] + self.programs)

    def run_program(self, program, limit):
        process = subprocess.Popen(
            [os.path.join(self.build, program), "--gtest_fail_fast", "--gtest_brief=1"], cwd=self.build,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            output, _ = process.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            return f"ran past {limit:.0f} s"
        if process.returncode == 0:
            return None
        text = output.decode("utf-8", "replace")
        if "AddressSanitizer" in text or "runtime error:" in text:
            return "sanitizer: " + (re.search(r"(AddressSanitizer: [\w-]+|runtime error: [^\n]*)", text).group(1))
        return check.first_failure(text)

    def try_mutant(self, mutant, text):
        """Builds and runs one mutant; returns (outcome, detail)."""
        path = os.path.join(self.scratch, mutant["file"])
        with open(path, "w", encoding="utf-8") as f:
            f.write(generator.apply(text, mutant))
        if mutant["file"].endswith(".h"):
            return self.try_header_mutant()
        obj = self.objects.get(mutant["file"])
        if obj is None:
            return "broken", "no host object is built from this file"
        # The object first: when it is the unchanged one, nothing needs linking.
        if not self.run(["ninja", "-C", self.build, "-j1", os.path.relpath(obj, self.build)]):
            return "broken", "does not compile"
        if digest(obj) == self.baseline_object:
            return "same-code", "the object file is unchanged"
        # One program at a time, linked only when its turn comes: first those
        # that killed the most mutants of this file so far, then the quickest.
        # A program whose binary does not change does not link this file and
        # is left out for the rest of the file.
        ran = []
        order = sorted(self.linked, key=lambda p: (-self.kills.get(p, 0), self.times[p]))
        for program in order:
            if not self.run(["ninja", "-C", self.build, "-j1", program]):
                return "broken", "does not link"
            if digest(os.path.join(self.build, program)) == self.binaries[program]:
                self.linked.remove(program)
                continue
            ran.append(program)
            failure = self.run_program(program, self.limits[program])
            if failure:
                self.kills[program] = self.kills.get(program, 0) + 1
                return ("asan" if self.kind == "asan" else "killed"), f"{program}: {failure}"
        return "survived", ("no test program links it" if not ran else "ran " + " ".join(ran))

    def try_header_mutant(self):
        """A constant in a header: every program is rebuilt with it, and those
        whose binary changed run (a header has no object of its own, and which
        programs a constant reaches differs from constant to constant)."""
        if not self.compile(1):
            return "broken", "does not compile"
        changed = [p for p in self.programs
                   if digest(os.path.join(self.build, p)) != self.binaries[p]]
        if not changed:
            return "same-code", "no program changes"
        for program in sorted(changed, key=lambda p: (-self.kills.get(p, 0), self.times[p])):
            failure = self.run_program(program, self.limits[program])
            if failure:
                self.kills[program] = self.kills.get(program, 0) + 1
                return ("asan" if self.kind == "asan" else "killed"), f"{program}: {failure}"
        return "survived", "ran " + " ".join(changed)

    def file_mutants(self, path, items, record):
        """Every mutant of one file, then the file as it was."""
        full = os.path.join(self.scratch, path)
        with open(full, encoding="utf-8") as f:
            text = f.read()
        self.baseline_object = digest(self.objects.get(path, ""))
        self.linked = list(self.programs)
        self.kills = {}
        try:
            for mutant in items:
                started = time.monotonic()
                outcome, detail = self.try_mutant(mutant, text)
                record(mutant, outcome, detail, time.monotonic() - started)
        finally:
            with open(full, "w", encoding="utf-8") as f:
                f.write(text)
            self.compile(1)


def run_phase(kind, mutants, workers, record, build_jobs, files):
    """Runs the mutants in `workers` trees of the given kind."""
    by_file = {}
    for mutant in mutants:
        by_file.setdefault(mutant["file"], []).append(mutant)
    # The biggest files first, so that the workers finish together.
    order = sorted(by_file, key=lambda p: -len(by_file[p]))
    work = queue.Queue()
    for path in order:
        work.put(path)
    workers = max(1, min(workers, len(order)))

    # The trees are prepared one after the other (a full build takes every
    # core it is given), then work side by side.
    trees = []
    for index in range(workers):
        tree = Tree(kind, index)
        error = tree.prepare(build_jobs, files)
        if error:
            return [error]
        trees.append(tree)

    def worker(tree):
        while True:
            try:
                path = work.get_nowait()
            except queue.Empty:
                return
            tree.file_mutants(path, by_file[path], record)

    threads = [threading.Thread(target=worker, args=(tree,)) for tree in trees]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return []


def read_report(path):
    rows = {}
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.startswith("#") or not line.strip():
                    continue
                fields = line.rstrip("\n").split("\t")
                if len(fields) >= 4:
                    rows[fields[0]] = {"outcome": fields[1], "detail": fields[2], "change": fields[3]}
    return rows


def read_texts(path):
    """The report's `# text FILE SHA1` lines: the text of each file its
    verdicts were recorded against."""
    texts = {}
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                fields = line.split()
                if len(fields) == 4 and fields[:2] == ["#", "text"]:
                    texts[fields[2]] = fields[3]
    return texts


def report_notes(path):
    """The lines of the report's header that tell of earlier runs."""
    if not os.path.isfile(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [line[2:].rstrip("\n") for line in f if line.startswith("# ") and " mutants run in " in line]


def read_equivalents(path):
    listed = {}
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                if line.startswith("#") or not line.strip():
                    continue
                fields = line.rstrip("\n").split("\t")
                if len(fields) != 2 or not fields[1].strip():
                    raise SystemExit(f"{path}:{number}: want an id and a reason, tab-separated")
                listed[fields[0]] = fields[1]
    return listed


COUNTED = ("killed", "asan", "survived")


def rates(results, mutants):
    """Per folder: counts of each outcome and the kill rate."""
    table = {}
    for mutant in mutants:
        row = results.get(mutant["id"])
        if row is None:
            continue
        counts = table.setdefault(generator.folder_of(mutant["file"]), {})
        counts[row["outcome"]] = counts.get(row["outcome"], 0) + 1
    lines = []
    for folder in sorted(table):
        counts = table[folder]
        killed = counts.get("killed", 0) + counts.get("asan", 0)
        live = killed + counts.get("survived", 0)
        rate = 100.0 * killed / live if live else 100.0
        lines.append(f"{folder}: {sum(counts.values())} mutants, {counts.get('broken', 0)} do not compile, "
                     f"{counts.get('same-code', 0)} same code, {counts.get('equivalent', 0)} equivalent; "
                     f"{killed} of {live} killed ({counts.get('asan', 0)} by asan), {rate:.1f} %")
    return lines


def write_report(path, results, mutants, note, texts):
    order = {m["id"]: m for m in mutants}
    with open(path, "w", encoding="utf-8") as f:
        f.write("# Generated mutants against the host unit suite (scripts/mutation_sweep.py --write).\n")
        f.write("# Columns: id, outcome, what caught it (or why not), the change.\n")
        for line in note:
            f.write(f"# {line}\n")
        for name in sorted(texts):
            f.write(f"# text {name} {texts[name]}\n")
        for line in rates(results, mutants):
            f.write(f"# {line}\n")
        for mutant_id, mutant in order.items():
            row = results.get(mutant_id)
            if row is None:
                continue
            detail = " ".join(row["detail"].split())
            f.write(f"{mutant_id}\t{row['outcome']}\t{detail}\t{generator.describe(mutant)}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--write", action="store_true")
    mode.add_argument("--incremental", action="store_true")
    mode.add_argument("--sample", type=int, default=0)
    mode.add_argument("--only", default="")
    mode.add_argument("--files", default="")
    parser.add_argument("--workers", type=int, default=None,
                        help="scratch trees side by side (default PROBE_JOBS or 2; 1 for a sample, "
                             "where building a second tree costs more than it saves)")
    parser.add_argument("--no-asan", action="store_true", help="leave the survivors of the plain build at that")
    parser.add_argument("--update", action="store_true",
                        help="with --only or --files: merge the outcomes into the report")
    args = parser.parse_args()

    if args.workers is None:
        args.workers = 1 if args.sample else int(os.environ.get("PROBE_JOBS", "2"))
    started = time.monotonic()
    # Every tree is a copy of the tree as it is now: edits made while the
    # sweep runs do not reach it.
    files = check.snapshot()
    sources = [p for p in generator.source_files(ROOT) if p in files]
    mutants = generator.generate(ROOT, sources, {p: files[p][0].decode("utf-8") for p in sources})
    equivalents = read_equivalents(EQUIVALENT)
    known = {m["id"] for m in mutants}
    stale = sorted(set(equivalents) - known)
    report = read_report(REPORT)
    texts = read_texts(REPORT)
    current = {p: hashlib.sha1(files[p][0]).hexdigest() for p in sources}
    if args.incremental:
        again = {i for i, row in report.items() if row["outcome"] in ("survived", "equivalent")}
        chosen = [m for m in mutants if m["id"] not in report or m["id"] in again or m["id"] in equivalents]
    elif args.sample:
        seed = subprocess.run(["git", "rev-parse", "HEAD"], cwd=ROOT, stdout=subprocess.PIPE,
                              text=True).stdout.strip()
        # The sample re-checks what a sweep has recorded against the file's
        # present text, so that a test taken away or weakened shows; a mutant
        # of a file changed since (or never swept) has no verdict to hold the
        # tests to, and waits for the next sweep of its file.
        recorded = [m for m in mutants if m["id"] in report and texts.get(m["file"]) == current[m["file"]]]
        # A survivor the report records is open work the report already
        # shows (and the sweep lists): running it again tells nothing new.
        open_work = [m for m in recorded if report[m["id"]]["outcome"] == "survived" and m["id"] not in equivalents]
        recorded = [m for m in recorded if m not in open_work]
        ranked = sorted(recorded, key=lambda m: hashlib.sha1(f"{seed}\0{m['id']}".encode()).hexdigest())
        chosen = ranked[:args.sample]
        say(f"sweep: {len(chosen)} of the {len(recorded)} recorded mutants, chosen by commit {seed[:12]};"
            f" {len(mutants) - len(recorded) - len(open_work)} of {len(mutants)} not yet swept as their files"
            f" now read (--incremental or --files runs them); {len(open_work)} recorded survivors not yet killed"
            f" or listed as equivalent")
    elif args.only:
        wanted = set(args.only.split(","))
        chosen = [m for m in mutants if m["id"] in wanted]
        missing = wanted - {m["id"] for m in chosen}
        if missing:
            say(f"sweep: no such mutant: {', '.join(sorted(missing))}")
            return 2
    elif args.files:
        wanted = set(args.files.split(","))
        chosen = [m for m in mutants if m["file"] in wanted]
    else:
        chosen = mutants

    os.makedirs(WORK, exist_ok=True)
    results = {}
    lock = threading.Lock()

    def record(mutant, outcome, detail, seconds):
        with lock:
            results[mutant["id"]] = {"outcome": outcome, "detail": detail}
        if outcome == "survived" and phase["kind"] == "host" and not args.no_asan:
            # The asan build has its say first.
            say(f"  (to the asan build: {mutant['id']}: {generator.describe(mutant)})")
            return
        show(mutant, outcome, detail, seconds)

    def show(mutant, outcome, detail, seconds=0.0):
        if outcome == "survived" and mutant["id"] in equivalents:
            say(f"equivalent {mutant['id']}: {equivalents[mutant['id']]}")
        elif outcome == "survived":
            say(f"SURVIVED {mutant['id']} ({mutant['file']}:{mutant['line']}): {generator.describe(mutant)}"
                f" [{detail}]")
        elif outcome in ("killed", "asan"):
            say(f"caught   {mutant['id']} by {detail} ({seconds:.1f} s)")
        elif outcome == "same-code":
            say(f"equivalent {mutant['id']}: {detail}")
        else:
            say(f"skipped  {mutant['id']}: {detail}")

    phase = {"kind": "host"}
    build_jobs = max(2, args.workers) if args.sample else max(1, args.workers)
    errors = run_phase("host", chosen, args.workers, record, build_jobs, files)
    if errors:
        for error in errors:
            say(f"sweep: {error}")
        return 2
    survivors = [m for m in chosen if results.get(m["id"], {}).get("outcome") == "survived"]
    if args.sample:
        # A sample only asks whether something survives that should not: the
        # listed equivalents need no asan build (which takes minutes to make).
        for mutant in survivors:
            if mutant["id"] in equivalents:
                show(mutant, "survived", "")
        survivors = [m for m in survivors if m["id"] not in equivalents]
    if survivors and not args.no_asan:
        phase["kind"] = "asan"
        say(f"sweep: {len(survivors)} survived the plain build; the asan build tries them")
        errors = run_phase("asan", survivors, args.workers, record, build_jobs, files)
        if errors:
            for error in errors:
                say(f"sweep: {error}")
            return 2
    for mutant_id, row in results.items():
        if row["outcome"] == "survived" and mutant_id in equivalents:
            row["outcome"] = "equivalent"
            row["detail"] = equivalents[mutant_id]

    elapsed = time.monotonic() - started
    missing = [m for m in chosen if m["id"] not in results]
    left = [m for m in chosen if results.get(m["id"], {}).get("outcome") == "survived"]
    if args.write or args.incremental or (args.update and (args.only or args.files)):
        merged = {} if args.write else {i: r for i, r in report.items() if i in known}
        merged.update(results)
        # The runs that made the report so far, then this one.
        note = [line for line in report_notes(REPORT) if not args.write]
        note.append(f"{time.strftime('%Y-%m-%d')}: {len(chosen)} mutants run in {elapsed / 60:.0f} min "
                    f"with {args.workers} workers"
                    + (" (all)" if args.write else " (incremental)" if args.incremental else " (chosen)"))
        # The files whose every mutant has now been run (as --incremental
        # understands a file: its killed verdicts kept) read as they do now.
        if args.write or args.incremental:
            texts = dict(current)
        elif args.files:
            texts.update({p: current[p] for p in args.files.split(",") if p in current})
        write_report(REPORT, merged, mutants, note, texts)
        for line in rates(merged, mutants):
            say(f"sweep: {line}")
    else:
        for line in rates(results, chosen):
            say(f"sweep: {line}")
    say(f"sweep: {len(chosen)} mutants, {len(left)} survivors not listed as equivalent, {elapsed:.0f} s")
    for mutant in left:
        say(f"  survivor {mutant['id']}: {generator.describe(mutant)}")
    for mutant_id in stale:
        say(f"sweep: tests/mutation/equivalent.tsv lists {mutant_id}, which the tree no longer makes")
    if missing:
        say(f"sweep: {len(missing)} mutants were not run")
    return 1 if left or missing or stale and not (args.only or args.files or args.sample) else 0


if __name__ == "__main__":
    sys.exit(main())
