#!/usr/bin/env python3
"""The self-test kit's control: the test-pinned probe built from a scratch copy
of the tree whose signature check is short-circuited (the vl-fail-open fault of
tests/mutation/faults.tsv, copied and applied as mutation_check.py does), so
that a kit holding it must fail. Nothing in the product can do this.

usage: short_circuit.py SCRATCH PINS_DIR ARCH OUT_EXE
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import mutation_check  # noqa: E402

scratch, pins, arch, out = sys.argv[1:5]
mutation_check.sync_scratch(scratch)
fault = next(f for f in mutation_check.read_table(mutation_check.TABLE) if f["id"] == "vl-fail-open")
for edit in fault["edits"]:
    path = os.path.join(scratch, edit["file"])
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if text.count(edit["original"]) != 1:
        sys.exit(f"short_circuit: the fault's text is not in {edit['file']} exactly once")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(edit["original"], edit["replacement"], 1))
build = os.path.join(scratch, "build", "kit-control")
subprocess.run(["cmake", "-S", scratch, "-B", build, "-G", "Ninja", "--toolchain",
                os.path.join(scratch, "cmake", f"toolchain-{arch}-w64-mingw32.cmake"),
                "-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DPROBE_TEST_PINS_DIR={pins}"],
               check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", build, "--parallel", os.environ.get("PROBE_JOBS", "2"),
                "--target", "platform_probe_test_pinned"], check=True, stdout=subprocess.DEVNULL)
shutil.copyfile(os.path.join(build, "test-pinned", "platform_probe.exe"), out)
print(f"short-circuited probe: {out}")
