#!/usr/bin/env bash
# A launcher project consumes the caller library with add_subdirectory and
# builds, at both widths, with mingw-w64 as a launcher team would set it up:
# its own compiler flags (warnings as errors, C90 for the C program), nothing
# of the probe's build. Then the programs' imports: with -static, system DLLs
# only (no libstdc++ or libgcc DLL to ship).
#
#   run.sh WORK     exit 0 passed, 1 failed, 77 skipped (no mingw-w64, outside CI)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$1
failures=0
for triplet in i686-w64-mingw32 x86_64-w64-mingw32; do
  if ! command -v "$triplet-g++-win32" >/dev/null; then
    echo "launcher: no $triplet-g++-win32" >&2
    [[ ${CI:-} == true ]] && exit 1
    exit 77
  fi
  build=$work/$triplet
  rm -rf "$build"
  mkdir -p "$work"
  if ! cmake -S "$here" -B "$build" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
      -DCMAKE_C_COMPILER="$triplet-gcc-win32" -DCMAKE_CXX_COMPILER="$triplet-g++-win32" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_EXE_LINKER_FLAGS=-static \
      -DPROBE_CALLER_DIR="$here/../../caller" >"$build.log" 2>&1 ||
    ! cmake --build "$build" >>"$build.log" 2>&1; then
    echo "FAIL $triplet: the launcher project does not build:"
    tail -n 30 "$build.log"
    failures=$((failures + 1))
    continue
  fi
  for exe in launcher.exe launcher_c.exe; do
    imports=$("$triplet-objdump" -p "$build/$exe" | sed -n 's/^\tDLL Name: //p' | sort | tr '\n' ' ')
    if [[ $imports == 'KERNEL32.dll msvcrt.dll ' ]]; then
      echo "$triplet $exe: imports $imports"
    else
      echo "FAIL $triplet $exe imports $imports, not KERNEL32.dll and msvcrt.dll alone"
      failures=$((failures + 1))
    fi
  done
done
[[ $failures -eq 0 ]]
