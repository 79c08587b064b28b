#!/usr/bin/env bash
# What the shipped exe must be, read from the file itself.
#
#   exe_shape.sh budget EXE OBJDUMP LIMIT DLL...
#       PE32 i386 console program of at most LIMIT bytes that imports only the
#       listed DLLs (compared without regard to case).
#   exe_shape.sh resources EXE WINDRES VERSION
#       the embedded manifest (resource 1 of type 24) asks for asInvoker without
#       UI access, and the version resource carries the product name and the
#       four-part VERSION as file and product version.
#
# Exit 77 (skipped) when the exe is missing outside CI; in CI that fails.
set -euo pipefail

mode=$1
exe=$2
tool=$3
shift 3

if [[ ! -f $exe ]]; then
  echo "exe_shape: no exe at $exe" >&2
  [[ ${CI:-} == true ]] && exit 1
  echo "exe_shape: skipped (outside CI); build the windows-i686 preset first" >&2
  exit 77
fi
if [[ ! -x $tool ]]; then
  echo "exe_shape: tool not found: '$tool' (install the mingw-w64 binutils)" >&2
  exit 1
fi

failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

budget() {
  local limit=$1 size headers imports dll allowed system_dll
  shift
  size=$(stat -c %s "$exe")
  headers=$("$tool" -p "$exe")
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
  echo "size: $size bytes (limit $limit)"
  echo "imports: $(tr '\n' ' ' <<<"$imports")"

  [[ $size -le $limit ]] || fail "size $size exceeds $limit bytes"
  grep -q 'file format pei-i386' <<<"$headers" || fail "not a PE32 i386 image"
  grep -q '^Magic[[:space:]]*010b' <<<"$headers" || fail "optional header is not PE32"
  grep -q '^Subsystem[[:space:]].*(Windows CUI)' <<<"$headers" || fail "not a console program"
  # An empty list would mean the headers were not read, not a clean exe.
  grep -qix 'kernel32.dll' <<<"$imports" || fail "KERNEL32.dll missing from the imports"
  while IFS= read -r dll; do
    [[ -n $dll ]] || continue
    allowed=0
    for system_dll in "$@"; do
      if [[ ${dll,,} == "${system_dll,,}" ]]; then
        allowed=1
      fi
    done
    [[ $allowed -eq 1 ]] || fail "imports $dll, which is not an allowed system DLL ($*)"
  done <<<"$imports"
}

resources() {
  local version=$1 rc manifest
  if ! rc=$("$tool" -J coff -i "$exe" -O rc); then
    fail "resources cannot be read"
    return
  fi
  # windres writes the manifest as a block of quoted lines with "" for ".
  manifest=$(sed -n '/^1 24 /,/^END/p' <<<"$rc" | sed 's/""/"/g')
  if [[ -z $manifest ]]; then
    fail "no manifest resource (type 24, id 1)"
  else
    grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' <<<"$manifest" ||
      fail "manifest does not request asInvoker without UI access"
    grep -q '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>' <<<"$manifest" ||
      fail "manifest does not declare Windows 10 and 11"
  fi
  grep -q '^1 VERSIONINFO' <<<"$rc" || fail "no version resource"
  grep -q "^ FILEVERSION ${version//./, }\$" <<<"$rc" || fail "fixed file version is not $version"
  grep -q 'VALUE "ProductName", "KORVEX Stratoplay platform probe"' <<<"$rc" ||
    fail "no product name"
  grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$rc" || fail "file version string is not $version"
  grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$rc" || fail "product version string is not $version"
  grep -q 'VALUE "OriginalFilename", "platform_probe.exe"' <<<"$rc" ||
    fail "original file name is not platform_probe.exe"
  if [[ $failures -ne 0 ]]; then
    echo "resources as read back:"
    echo "$rc"
  else
    echo "manifest: asInvoker, uiAccess false; version $version"
  fi
}

case $mode in
  budget) budget "$@" ;;
  resources) resources "$@" ;;
  *)
    echo "exe_shape: unknown check '$mode'" >&2
    exit 2
    ;;
esac
[[ $failures -eq 0 ]]
