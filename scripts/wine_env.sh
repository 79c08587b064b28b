# Private 32-bit Wine prefixes for running the probe headless. Source this file;
# it defines functions only and changes nothing until one is called.
#
#   wine_env_use DIR         point WINEPREFIX and the headless settings at DIR
#   wine_env_boot DIR        wine_env_use DIR, create and boot the prefix unless
#                            DIR already holds a booted prefix of this Wine, and
#                            leave a persistent wineserver running for it
#   wine_env_fresh DIR       the same, always from an empty DIR
#   wine_env_run OUT ERR -- PROGRAM [ARGS...]
#                            run PROGRAM under Wine with stdin from /dev/null,
#                            its stdout bytes in OUT and stderr in ERR; returns
#                            the program's exit status (124 on time-out)
#   wine_env_stop            stop the prefix's wineserver and every Wine process
#                            in it, and wait until they are gone
#
# The settings are exported, so every Wine command after wine_env_use (winecfg,
# reg, a helper exe) works on the same prefix. WINE_ENV_DLLOVERRIDES replaces the
# default DLL overrides (for example to let planted system-DLL names through).
# Time limits: WINE_ENV_BOOT_TIMEOUT (default 180 s), WINE_ENV_RUN_TIMEOUT (60 s).

wine_env_log() {
  printf 'wine_env: %s\n' "$*" >&2
}

wine_env_use() {
  local dir=$1
  mkdir -p "$dir"
  WINEPREFIX=$(cd "$dir" && pwd)
  export WINEPREFIX
  export WINEARCH=win32
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
  printf '%s win32\n' "$(wine --version 2>/dev/null || echo unknown)"
}

wine_env_start_server() {
  # Persistent: it stays between runs instead of lingering and restarting.
  # Its output goes to a file, never to a pipe that a caller waits on.
  # A server already running for the prefix (left by a run that was cut short)
  # makes it fail; that server serves as well.
  wineserver -p >>"$WINEPREFIX/.wine_env.log" 2>&1 </dev/null || true
}

wine_env_boot() {
  local dir=$1 marker signature
  wine_env_use "$dir"
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
      wineboot -i >>"$WINEPREFIX/.wine_env.log" 2>&1 </dev/null; then
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
  local dir=$1
  if [[ -f $dir/.wine_env.log ]]; then
    wine_env_use "$dir"
    wine_env_stop
    rm -f "$WINEPREFIX/.wine_env.booted"
  fi
  wine_env_boot "$dir"
}

wine_env_run() {
  local out=$1 err=$2 status=0
  if [[ $3 != -- ]]; then
    wine_env_log "usage: wine_env_run OUT ERR -- PROGRAM [ARGS...]"
    return 2
  fi
  shift 3
  timeout --kill-after=10 "${WINE_ENV_RUN_TIMEOUT:-60}" \
    wine "$@" >"$out" 2>"$err" </dev/null || status=$?
  return "$status"
}

wine_env_stop() {
  # Only a prefix made here; the commands below leave files in any directory.
  [[ -n ${WINEPREFIX:-} && -f $WINEPREFIX/.wine_env.log ]] || return 0
  # -k ends every process of this prefix and its server; -w waits for the end.
  wineserver -k >/dev/null 2>&1 </dev/null || true
  timeout 30 wineserver -w >/dev/null 2>&1 </dev/null || true
}
