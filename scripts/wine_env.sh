# Private Wine prefixes for running the probe headless, 32-bit (win32) or 64-bit
# (win64). Source this file; it defines functions only and changes nothing until
# one is called.
#
#   wine_env_host_arches     the Windows architectures this host can execute,
#                            "win32 win64", "win64" or "": tried once per run
#                            by executing each Wine loader (the kernel's
#                            configuration does not tell), and kept in
#                            WINE_ENV_HOST_ARCHES for every later call and
#                            child process. PROBE_WINE_ARCH=win32|win64
#                            narrows the answer to that one architecture.
#   wine_env_arch_reason ARCH
#                            succeed when ARCH can run here; else print why
#                            not, in one line, and fail
#   wine_env_skip_unless_runnable NAME
#                            exit 77 with the reason when WINE_ENV_ARCH
#                            cannot run here
#   wine_env_use DIR [ARCH]  point WINEPREFIX, the headless settings and the one
#                            loader and server of ARCH (default WINE_ENV_ARCH,
#                            else win32) at DIR
#   wine_env_boot DIR [ARCH] wine_env_use DIR ARCH, create and boot the prefix
#                            unless DIR already holds a booted prefix of this
#                            Wine and architecture, and leave a persistent
#                            wineserver running for it
#   wine_env_fresh DIR [ARCH]
#                            the same, always from an empty DIR
#   wine_env_wine ARGS...    run the prefix's Wine loader: a Windows program,
#                            or wineboot and winecfg by name
#   wine_env_run OUT ERR -- PROGRAM [ARGS...]
#                            run PROGRAM under Wine with stdin from /dev/null,
#                            its stdout bytes in OUT and stderr in ERR; returns
#                            the program's exit status (124 on time-out)
#   wine_env_stop            stop the prefix's wineserver and every Wine process
#                            in it, and wait until they are gone
#
# The settings are exported, so every Wine command after wine_env_use works on
# the same prefix with the same loader. WINE_ENV_DLLOVERRIDES replaces the
# default DLL overrides (for example to let planted system-DLL names through).
# Time limits: WINE_ENV_BOOT_TIMEOUT (default 180 s), WINE_ENV_RUN_TIMEOUT (60 s).
#
# Debian's wine and wineserver wrappers pick the 32-bit loader whenever it is
# installed, even where it cannot execute; so every call here names the loader
# and the server of the prefix's architecture directly.

WINE_ENV_LIBDIR=${WINE_ENV_LIBDIR:-/usr/lib/wine}

wine_env_log() {
  printf 'wine_env: %s\n' "$*" >&2
}

wine_env_loader() {
  case $1 in
    win32) echo "$WINE_ENV_LIBDIR/wine" ;;
    win64) echo "$WINE_ENV_LIBDIR/wine64" ;;
    *) return 1 ;;
  esac
}

wine_env_host_arches() {
  if [[ -z ${WINE_ENV_HOST_ARCHES+set} ]]; then
    local arch found=()
    for arch in win32 win64; do
      # Executing the loader is the test: where 32-bit programs cannot run,
      # the 32-bit loader fails with "Exec format error".
      if "$(wine_env_loader "$arch")" --version >/dev/null 2>&1 </dev/null; then
        found+=("$arch")
      fi
    done
    WINE_ENV_HOST_ARCHES=${found[*]}
    export WINE_ENV_HOST_ARCHES
  fi
  case ${PROBE_WINE_ARCH:-} in
    '') echo "$WINE_ENV_HOST_ARCHES" ;;
    win32 | win64) echo "$PROBE_WINE_ARCH" ;;
    *)
      wine_env_log "PROBE_WINE_ARCH must be win32 or win64, not '$PROBE_WINE_ARCH'"
      return 1
      ;;
  esac
}

wine_env_arch_reason() {
  local arch=$1 arches
  arches=$(wine_env_host_arches) || return 1
  [[ " $arches " == *" $arch "* ]] && return 0
  if [[ -n ${PROBE_WINE_ARCH:-} ]]; then
    echo "PROBE_WINE_ARCH=$PROBE_WINE_ARCH chooses the other architecture"
  elif [[ ! -e $(wine_env_loader "$arch") ]]; then
    echo "the $arch Wine loader is not installed ($(wine_env_loader "$arch"))"
  elif [[ $arch == win32 ]]; then
    echo "this host cannot execute 32-bit programs"
  else
    echo "this host cannot execute the 64-bit Wine loader"
  fi
  return 1
}

# wine_env_skip_unless_runnable NAME: for a test script, exit 77 (skipped),
# naming the reason, when the architecture of WINE_ENV_ARCH cannot run here.
# Skipped in CI too: a width the host cannot execute is not a failure.
wine_env_skip_unless_runnable() {
  local reason
  reason=$(wine_env_arch_reason "${WINE_ENV_ARCH:-win32}") && return 0
  echo "$1: skipped: ${WINE_ENV_ARCH:-win32}: $reason" >&2
  exit 77
}

wine_env_use() {
  local dir=$1 arch=${2:-${WINE_ENV_ARCH:-win32}}
  mkdir -p "$dir"
  WINEPREFIX=$(cd "$dir" && pwd)
  export WINEPREFIX
  WINELOADER=$(wine_env_loader "$arch") || {
    wine_env_log "unknown architecture '$arch' (win32 or win64)"
    return 1
  }
  # The server of the same width as the loader: a 32-bit prefix keeps the
  # 32-bit server it always had; a 64-bit one needs the 64-bit server.
  if [[ $arch == win32 && -x $WINE_ENV_LIBDIR/wineserver32 ]]; then
    WINESERVER=$WINE_ENV_LIBDIR/wineserver32
  else
    WINESERVER=$WINE_ENV_LIBDIR/wineserver64
  fi
  export WINELOADER WINESERVER
  export WINEARCH=$arch
  export WINEDEBUG=-all
  # No Mono or Gecko installers and no desktop menu entries; planting tests
  # widen this.
  export WINEDLLOVERRIDES=${WINE_ENV_DLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
  unset DISPLAY WAYLAND_DISPLAY
  # Wine keeps per-user files under HOME; a bare CI environment may lack it.
  if [[ -z ${HOME:-} ]]; then
    HOME=$(getent passwd "$(id -u)" | cut -d: -f6)
    export HOME
  fi
}

# What the booted marker records: a prefix made by another Wine is made again.
wine_env_signature() {
  printf '%s %s\n' "$(wine_env_wine --version 2>/dev/null || echo unknown)" "$WINEARCH"
}

wine_env_wine() {
  "$WINELOADER" "$@"
}

wine_env_server() {
  "$WINESERVER" "$@"
}

wine_env_start_server() {
  # Persistent: it stays between runs instead of lingering and restarting.
  # Its output goes to a file, never to a pipe that a caller waits on.
  # A server already running for the prefix (left by a run that was cut short)
  # makes it fail; that server serves as well.
  wine_env_server -p >>"$WINEPREFIX/.wine_env.log" 2>&1 </dev/null || true
}

wine_env_boot() {
  local dir=$1 marker signature
  wine_env_use "$dir" "${2:-}" || return 1
  marker="$WINEPREFIX/.wine_env.booted"
  signature=$(wine_env_signature)
  if [[ -f $marker && $(cat "$marker") == "$signature" ]]; then
    wine_env_start_server
    return 0
  fi
  # Only a directory that is empty or was a prefix of ours is emptied.
  if [[ -n $(ls -A "$WINEPREFIX") && ! -e $WINEPREFIX/.wine_env.log ]]; then
    wine_env_log "$WINEPREFIX is not empty and not a prefix made here; not touching it"
    return 1
  fi
  wine_env_stop
  find "$WINEPREFIX" -mindepth 1 -delete
  : >"$WINEPREFIX/.wine_env.log"
  wine_env_start_server
  # The first Wine command of a prefix starts background services that inherit
  # its output: it goes to a file, so that nothing waits on a pipe for them.
  if ! timeout --kill-after=10 "${WINE_ENV_BOOT_TIMEOUT:-180}" \
      "$WINELOADER" wineboot -i >>"$WINEPREFIX/.wine_env.log" 2>&1 </dev/null; then
    wine_env_log "wineboot failed for $WINEPREFIX (log: $WINEPREFIX/.wine_env.log)"
    wine_env_stop
    return 1
  fi
  if [[ ! -d $WINEPREFIX/drive_c/windows/system32 ]]; then
    wine_env_log "no system directory after wineboot in $WINEPREFIX"
    wine_env_stop
    return 1
  fi
  printf '%s' "$signature" >"$marker"
}

wine_env_fresh() {
  local dir=$1 arch=${2:-}
  if [[ -f $dir/.wine_env.log ]]; then
    wine_env_use "$dir" "$arch" || return 1
    wine_env_stop
    rm -f "$WINEPREFIX/.wine_env.booted"
  fi
  wine_env_boot "$dir" "$arch"
}

wine_env_run() {
  local out=$1 err=$2 status=0
  if [[ $3 != -- ]]; then
    wine_env_log "usage: wine_env_run OUT ERR -- PROGRAM [ARGS...]"
    return 2
  fi
  shift 3
  timeout --kill-after=10 "${WINE_ENV_RUN_TIMEOUT:-60}" \
    "$WINELOADER" "$@" >"$out" 2>"$err" </dev/null || status=$?
  return "$status"
}

wine_env_stop() {
  # Only a prefix made here; the commands below leave files in any directory.
  [[ -n ${WINEPREFIX:-} && -f $WINEPREFIX/.wine_env.log && -n ${WINESERVER:-} ]] || return 0
  # -k ends every process of this prefix and its server; -w waits for the end.
  wine_env_server -k >/dev/null 2>&1 </dev/null || true
  timeout 30 "$WINESERVER" -w >/dev/null 2>&1 </dev/null || true
}
