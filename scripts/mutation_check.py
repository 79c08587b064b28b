#!/usr/bin/env python3
r"""Deliberate faults against the unit suite.

Each fault in tests/mutation/faults.tsv is applied, one at a time, to a scratch
copy of the tree (build/mutation/tree), which is built with the host preset,
incrementally, so that only the touched file recompiles. The unit test programs
whose binary changed then run against it (the others are the bytes that
passed); a fault that no test notices is a survivor. The script prints every
fault with the test that caught it, lists the survivors and exits non-zero when
any fault survives, when the unchanged tree fails its own tests, or when a row
of the table cannot be applied.

The table is tab-separated, one edit per line:

    id <TAB> file <TAB> original text <TAB> replacement <TAB> why it matters

The original text must occur exactly once in its file. Text is literal except
that \n stands for a line break, so one row can span lines.
Rows that share an id are one fault made of several edits (swapping two names,
for example). Lines starting with '#' and blank lines are ignored.

Usage: scripts/mutation_check.py [--jobs N] [--only ID[,ID...]] [--table FILE]
"""

import argparse
import hashlib
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = os.path.join(ROOT, "tests", "mutation", "faults.tsv")
SCRATCH = os.path.join(ROOT, "build", "mutation", "tree")
BUILD = os.path.join(SCRATCH, "build", "host")
# A test program that runs this long under a fault is stopped, and the fault
# counts as caught: the suite as it stands finishes in about a second.
TEST_TIMEOUT = 60


class TableError(Exception):
    pass


def read_table(path):
    faults = {}
    order = []
    with open(path, encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) != 5 or not all(f.strip() for f in (fields[0], fields[1], fields[4])):
                raise TableError(
                    f"{path}:{number}: want 5 tab-separated fields "
                    f"(id, file, original, replacement, why), got {len(fields)}")
            fault_id, path, original, replacement, why = fields
            original = original.replace("\\n", "\n")
            replacement = replacement.replace("\\n", "\n")
            if original == replacement:
                raise TableError(f"{path}:{number}: row {fault_id}: replacement equals original")
            if fault_id not in faults:
                faults[fault_id] = {"id": fault_id, "edits": [], "why": why}
                order.append(fault_id)
            faults[fault_id]["edits"].append(
                {"line": number, "file": path, "original": original, "replacement": replacement})
    return [faults[i] for i in order]


def check_rows(faults, table):
    """Every original text must be found exactly once in the tree as it is."""
    problems = []
    for fault in faults:
        for edit in fault["edits"]:
            path = os.path.join(ROOT, edit["file"])
            where = f"{table}:{edit['line']}: row {fault['id']}"
            if not os.path.isfile(path):
                problems.append(f"{where}: no file {edit['file']}")
                continue
            with open(path, encoding="utf-8") as source:
                count = source.read().count(edit["original"])
            if count != 1:
                problems.append(
                    f"{where}: original text found {count} times in {edit['file']} "
                    f"(must be exactly once): {edit['original']!r}")
    return problems


def tree_files():
    listing = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT, check=True, stdout=subprocess.PIPE).stdout.decode("utf-8")
    return sorted({p for p in listing.split("\0") if p and os.path.isfile(os.path.join(ROOT, p))})


def snapshot():
    """The tree's files as they are now: path -> (bytes, mode)."""
    files = {}
    for path in tree_files():
        source = os.path.join(ROOT, path)
        with open(source, "rb") as f:
            files[path] = (f.read(), os.stat(source).st_mode)
    return files


def sync_scratch(scratch=SCRATCH, files=None):
    """Makes the scratch copy equal to the tree (or to a snapshot of it),
    writing only what differs so that the scratch build stays incremental."""
    files = files or snapshot()
    wanted = set(files)
    for path, (data, mode) in sorted(files.items()):
        target = os.path.join(scratch, path)
        if os.path.isfile(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, mode & 0o7777)
    for directory, dirs, names in os.walk(scratch):
        relative = os.path.relpath(directory, scratch)
        if relative == "build" or relative.startswith("build" + os.sep):
            dirs[:] = []
            continue
        dirs[:] = [d for d in dirs if not (relative == "." and d == "build")]
        for name in names:
            path = os.path.normpath(os.path.join(relative, name))
            if path not in wanted:
                os.remove(os.path.join(directory, name))


def unit_programs(scratch=SCRATCH):
    """The unit test programs, as tests/unit/*.cmake declare them."""
    names = []
    unit_dir = os.path.join(scratch, "tests", "unit")
    for name in sorted(os.listdir(unit_dir)):
        if name.endswith(".cmake"):
            with open(os.path.join(unit_dir, name), encoding="utf-8") as f:
                names += re.findall(r"probe_unit_test\(\s*([A-Za-z0-9_]+)", f.read())
    if not names:
        raise TableError("no unit test programs found in tests/unit/*.cmake")
    return names


def run(command, cwd, log):
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    with open(log, "ab") as f:
        f.write(b"$ " + " ".join(command).encode() + b"\n" + result.stdout)
    return result.returncode == 0, result.stdout.decode("utf-8", "replace")


def configure(log):
    if os.path.isfile(os.path.join(BUILD, "build.ninja")):
        return True
    # The host preset, without debug information and linked by gold (binutils'
    # own): every fault relinks each test program, and with the default linker
    # the links are most of a fault's build.
    ok, _ = run(["cmake", "--preset", "host", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                 "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold"], SCRATCH, log)
    return ok


def build(programs, jobs, log):
    ok, output = run(["cmake", "--build", BUILD, "--parallel", str(jobs), "--target"] + programs,
                     SCRATCH, log)
    return ok, output


def first_failure(output):
    match = re.search(r"^\[  FAILED  \] ([^\s,]+)", output, re.M)
    if match:
        return match.group(1)
    return "crashed" if output else "no output"


def run_suite(programs, jobs):
    """Runs every program, `jobs` at a time, each stopping at its first failing
    test; stops everything at the first program that fails. Returns None when
    all pass, else (program, failing test)."""
    pending = list(programs)
    running = []
    failure = None
    while (pending or running) and failure is None:
        while pending and len(running) < jobs:
            name = pending.pop(0)
            process = subprocess.Popen(
                [os.path.join(BUILD, name), "--gtest_fail_fast", "--gtest_brief=1"], cwd=BUILD,
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
            running.append((name, process, time.monotonic()))
        time.sleep(0.01)
        for entry in list(running):
            name, process, started = entry
            code = process.poll()
            if code is None:
                if time.monotonic() - started > TEST_TIMEOUT:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
                    running.remove(entry)
                    failure = (name, f"timed out after {TEST_TIMEOUT} s")
                continue
            running.remove(entry)
            output = process.stdout.read().decode("utf-8", "replace")
            if code != 0:
                failure = (name, first_failure(output))
    for name, process, _ in running:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    return failure


def binary_digest(name):
    with open(os.path.join(BUILD, name), "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def apply(fault):
    saved = {}
    for edit in fault["edits"]:
        path = os.path.join(SCRATCH, edit["file"])
        if path not in saved:
            with open(path, encoding="utf-8") as f:
                saved[path] = f.read()
    texts = dict(saved)
    for edit in fault["edits"]:
        path = os.path.join(SCRATCH, edit["file"])
        texts[path] = texts[path].replace(edit["original"], edit["replacement"], 1)
    for path, text in texts.items():
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return saved


def restore(saved):
    for path, text in saved.items():
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("PROBE_JOBS", "2")))
    parser.add_argument("--only", default="", help="comma-separated fault ids")
    parser.add_argument("--table", default=TABLE, help="another table of faults, to try some out")
    args = parser.parse_args()

    try:
        faults = read_table(args.table)
    except TableError as error:
        print(f"mutation: {error}")
        return 2
    if args.only:
        wanted = set(args.only.split(","))
        faults = [f for f in faults if f["id"] in wanted]
    problems = check_rows(faults, args.table)
    if problems:
        for problem in problems:
            print(f"mutation: {problem}")
        print(f"mutation: {len(problems)} table rows cannot be applied; fix them first")
        return 2

    started = time.monotonic()
    os.makedirs(SCRATCH, exist_ok=True)
    log = os.path.join(ROOT, "build", "mutation", "build.log")
    open(log, "w").close()
    sync_scratch()
    programs = unit_programs()
    if not configure(log):
        print(f"mutation: configuring the scratch tree failed; see {log}")
        return 2
    ok, _ = build(programs, args.jobs, log)
    if not ok:
        print(f"mutation: the unchanged tree does not build; see {log}")
        return 2
    baseline = run_suite(programs, args.jobs)
    # A program whose binary a fault leaves byte for byte as it was passes as
    # it did: only the changed ones run.
    unchanged = {name: binary_digest(name) for name in programs}
    if baseline is not None:
        print(f"mutation: the unchanged tree fails {baseline[0]}: {baseline[1]}")
        return 2

    # Faults in the same file one after another: each build then recompiles
    # only that file.
    files = []
    for fault in faults:
        if fault["edits"][0]["file"] not in files:
            files.append(fault["edits"][0]["file"])
    faults.sort(key=lambda f: files.index(f["edits"][0]["file"]))

    survivors = []
    broken = []
    for fault in faults:
        saved = apply(fault)
        try:
            ok, output = build(programs, args.jobs, log)
            if not ok:
                broken.append(fault)
                print(f"BROKEN   {fault['id']}: does not build (see {log})")
                continue
            changed = [name for name in programs if binary_digest(name) != unchanged[name]]
            failure = run_suite(changed, args.jobs)
        finally:
            restore(saved)
        where = fault["edits"][0]["file"]
        if failure is None:
            survivors.append(fault)
            print(f"SURVIVED {fault['id']} ({where}): {fault['why']}"
                  + ("" if changed else " [no test program changes]"))
        else:
            print(f"caught   {fault['id']} ({where}) by {failure[0]}: {failure[1]}")
        sys.stdout.flush()

    # Leave the scratch build matching the tree again.
    build(programs, args.jobs, log)
    elapsed = time.monotonic() - started
    print(f"mutation: {len(faults)} faults, {len(faults) - len(survivors) - len(broken)} caught, "
          f"{len(survivors)} survived, {len(broken)} did not build, {elapsed:.0f} s")
    for fault in survivors:
        print(f"  survivor {fault['id']}: {fault['why']}")
    return 1 if survivors or broken else 0


if __name__ == "__main__":
    sys.exit(main())
