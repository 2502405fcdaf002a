# Shared by the scripts: the project root and a helper that configures and builds a preset.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="${QX_JOBS:-2}"

build_preset() {
  local preset="$1"
  shift
  cmake --preset "$preset" -S "$root" "$@" >/dev/null
  cmake --build "$root/build/$preset" -j "$jobs"
}
