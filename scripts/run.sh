#!/usr/bin/env bash
# Builds Stelp (optimised) and runs it. Without arguments it makes the bundled
# demo night (build/demo) and calibrates it: the calibrated frames and a
# rendering of every view land in build/demo/out. With arguments it runs
# stelp-cli with them (see stelp-cli --help).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DSTELP_BUILD_TESTS=OFF -DSTELP_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build/release" -j "$(nproc)" >/dev/null
cli="$root/build/release/src/cli/stelp-cli"
if [[ $# -gt 0 ]]; then exec "$cli" "$@"; fi

demo="$root/build/demo"
[[ -f "$demo/demo.sjx" ]] || "$cli" demo "$demo" >/dev/null
mkdir -p "$demo/out"
"$cli" process "$demo/demo.sjx" "$demo/out/calibrated.bmp"
for view in "images raw" "images processed" "flats averaged" "flats grad" "flats synthetic" "darks averaged" "darks hot"; do
  set -- $view
  "$cli" render "$demo/demo.sjx" "$1" "$2" "$demo/out/view_$1_$2.bmp" --quiet
done
echo "Calibrated frames and view renderings: $demo/out"
