#!/usr/bin/env python3
"""What scripts/release.sh does with the built exes: check them, then package them.

  release_pack.py check --epoch N [--release-key DER]... [--test-key DER]...
                        [--forbid TEXT]... EXE...
      Every EXE is a PE32 image whose time stamp is N (the commit time), that
      holds every release key (the RSAPublicKey bytes the release chain pins)
      and no test key, and that holds none of the TEXTs (the build directories)
      in 8-bit or UTF-16LE form. Prints one line per finding; exit 1 on any.

  release_pack.py pack --version V --epoch N --calling TEMPLATE --toolchain RECORD
                       [--source SOURCE] [--tree TREE [--caller-version C]]
                       --out DIR EXE...
      Writes DIR/platform_probe-V-win32/ with the EXEs, with --tree the caller
      library's sources (TREE/caller/, whose version must be C, by default V)
      and the examples (TREE/examples/) in folders of those names,
      CALLING.txt (the template with @VERSION@ filled in, CR LF line ends),
      TOOLCHAIN.txt (the RECORD of package versions, as it is), SOURCE.txt (the
      version and commit, as it is) and SHA256SUMS, and
      DIR/platform_probe-V-win32.zip holding the same files in that order.
      The zip is the same bytes for the same inputs: stored (no compressor
      whose output could change between zlib versions), every entry dated N,
      mode 0644, made on "Unix", no extra fields and no comment.
"""
import argparse
import hashlib
import os
import re
import struct
import sys
import time
import zipfile

PACKAGE = "platform_probe-{version}-win32"


def pe_time_stamp(image):
    """The COFF header's TimeDateStamp, or None when this is no PE image."""
    if len(image) < 0x40 or image[:2] != b"MZ":
        return None
    (lfanew,) = struct.unpack_from("<I", image, 0x3C)
    if lfanew > len(image) - 24 or image[lfanew:lfanew + 4] != b"PE\0\0":
        return None
    machine, _, stamp = struct.unpack_from("<HHI", image, lfanew + 4)
    return stamp if machine == 0x014C else None


def check(args):
    release_keys = [(path, open(path, "rb").read()) for path in args.release_key]
    test_keys = [(path, open(path, "rb").read()) for path in args.test_key]
    problems = 0
    for exe in args.exe:
        image = open(exe, "rb").read()
        name = os.path.basename(exe)
        stamp = pe_time_stamp(image)
        findings = []
        if stamp is None:
            findings.append("is no 32-bit x86 PE image")
        elif stamp != args.epoch:
            findings.append(
                "has PE time stamp %d, not the commit time %d (SOURCE_DATE_EPOCH did not reach the linker)"
                % (stamp, args.epoch))
        for path, key in release_keys:
            if not key or key not in image:
                findings.append("does not pin the release key of %s" % path)
        for path, key in test_keys:
            if key and key in image:
                findings.append("pins the TEST key of %s: a test-pinned build never ships" % path)
        for text in args.forbid:
            for encoded in (text.encode("utf-8"), text.encode("utf-16-le")):
                if encoded in image:
                    findings.append("holds the build path %s" % text)
                    break
        for finding in findings:
            print("%s %s" % (name, finding))
        problems += len(findings)
        if not findings:
            print("%s: release pins, time stamp %d, no build path" % (name, stamp))
    return 1 if problems else 0


def sha256(data):
    return hashlib.sha256(data).hexdigest()


CALLER_VERSION = re.compile(rb'^#define PLATFORM_PROBE_CALLER_VERSION "([^"]*)"$', re.M)


def source_files(tree, version):
    """The caller library and the examples as (name, bytes), or None when the
    library's version is not the package's."""
    files = []
    for folder in ("caller", "examples"):
        for name in sorted(os.listdir(os.path.join(tree, folder))):
            files.append((folder + "/" + name, open(os.path.join(tree, folder, name), "rb").read()))
    header = dict(files).get("caller/probe_caller_version.h", b"")
    found = CALLER_VERSION.search(header)
    if found is None or found.group(1).decode("ascii", "replace") != version:
        print("caller/probe_caller_version.h says %s, the package is %s"
              % (found.group(1).decode("ascii", "replace") if found else "no version", version))
        return None
    return files


def pack(args):
    package = PACKAGE.format(version=args.version)
    files = []  # (name, bytes), in the order they are listed and zipped
    for exe in args.exe:
        files.append((os.path.basename(exe), open(exe, "rb").read()))
    if args.tree:
        sources = source_files(args.tree, args.caller_version or args.version)
        if sources is None:
            return 1
        files.extend(sources)
    template = open(args.calling, "r", encoding="utf-8").read()
    calling = template.replace("@VERSION@", args.version).replace("\r\n", "\n").replace("\n", "\r\n")
    files.append(("CALLING.txt", calling.encode("utf-8")))
    files.append(("TOOLCHAIN.txt", open(args.toolchain, "rb").read()))
    if args.source:
        files.append(("SOURCE.txt", open(args.source, "rb").read()))
    sums = "".join("%s  %s\n" % (sha256(data), name) for name, data in files)
    files.append(("SHA256SUMS", sums.encode("ascii")))

    out = os.path.join(args.out, package)
    os.makedirs(out, exist_ok=True)
    for name, data in files:
        os.makedirs(os.path.dirname(os.path.join(out, name)), exist_ok=True)
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        os.chmod(os.path.join(out, name), 0o644)

    # The DOS date of an entry has two-second steps and starts in 1980.
    when = time.gmtime(max(args.epoch, 315532800))
    date_time = (when.tm_year, when.tm_mon, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec & ~1)
    zip_path = os.path.join(args.out, package + ".zip")
    with zipfile.ZipFile(zip_path, "w", compression=zipfile.ZIP_STORED) as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(package + "/" + name, date_time=date_time)
            entry.create_system = 3
            entry.external_attr = (0o100644 << 16)
            entry.compress_type = zipfile.ZIP_STORED
            archive.writestr(entry, data)
    os.chmod(zip_path, 0o644)
    for name, data in files:
        print("%s  %s/%s" % (sha256(data), package, name))
    print("%s  %s.zip" % (sha256(open(zip_path, "rb").read()), package))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("check")
    c.add_argument("--epoch", type=int, required=True)
    c.add_argument("--release-key", action="append", default=[])
    c.add_argument("--test-key", action="append", default=[])
    c.add_argument("--forbid", action="append", default=[])
    c.add_argument("exe", nargs="+")
    p = sub.add_parser("pack")
    p.add_argument("--version", required=True)
    p.add_argument("--epoch", type=int, required=True)
    p.add_argument("--calling", required=True)
    p.add_argument("--toolchain", required=True)
    p.add_argument("--source")
    p.add_argument("--tree")
    p.add_argument("--caller-version")
    p.add_argument("--out", required=True)
    p.add_argument("exe", nargs="+")
    args = parser.parse_args()
    if args.command == "check" and not args.release_key:
        parser.error("check needs at least one --release-key")
    return check(args) if args.command == "check" else pack(args)


if __name__ == "__main__":
    sys.exit(main())
