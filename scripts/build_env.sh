# Configuring and building a CMake preset. Source this file.
#
#   build_preset NAME [TARGET...]
#                        configure (again, cheaply, when already configured)
#                        and build the preset NAME, PROBE_JOBS jobs (default 2):
#                        every target, or only those named

build_preset() {
  local preset=$1 targets=()
  shift
  [[ $# -eq 0 ]] || targets=(--target "$@")
  mkdir -p build
  echo "== build: $preset"
  cmake --preset "$preset" >"build/.configure-$preset.log" 2>&1 || {
    cat "build/.configure-$preset.log"
    echo "configure of preset $preset failed"
    return 1
  }
  cmake --build --preset "$preset" --parallel "${PROBE_JOBS:-2}" "${targets[@]}"
}
