#!/bin/bash
# Times median and sigma-clipped master darks made by `stelp-cli master`:
#  - DARKS (default 50) 16-bit FITS darks of 1920x1080, Median and Sigma
#    clipping (kappa 3 and 3), against Siril's `stack ... med -nonorm` and
#    `stack ... rej s 3 3 -nonorm` on the same files when siril-cli is
#    installed (skipped otherwise). Stelp's masters are checked against
#    astropy's median and sigma_clip on a crop before any figure is printed.
#  - VIDEO_FRAMES (default 1000) 8-bit frames of 1920x1080 in one
#    uncompressed AVI, Median within a budget of BUDGET MiB (default 256):
#    time and peak memory (/usr/bin/time).
# Each figure is the median of RUNS (default 3) runs, the programs taking
# turns within each round.
#
#   bench/combine_bench.sh [STELP_CLI]
#
# STELP_CLI defaults to the Release build in build/release (this script builds
# nothing). Everything is written to a temporary folder that is removed at the
# end: the darks take DARKS x 4 MB, the video VIDEO_FRAMES x 2 MB (and its
# frames as much again while a master is made). VIDEO_FRAMES=0 skips the video.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CLI=$(realpath "${1:-$root/build/release/src/cli/stelp-cli}")
DARKS=${DARKS:-50}
VIDEO_FRAMES=${VIDEO_FRAMES:-1000}
BUDGET=${BUDGET:-256}
RUNS=${RUNS:-3}
WIDTH=1920
HEIGHT=1080
PYTHON=/usr/bin/python3
LIMIT=3600 # seconds any one step may take

if [[ ! -x $CLI ]]; then
  echo "combine_bench.sh: no stelp-cli at $CLI (build Release first)" >&2
  exit 1
fi
for tool in ffmpeg /usr/bin/time "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "combine_bench.sh: $tool is not installed" >&2; exit 1; }
done
SIRIL=$(command -v siril-cli || true)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/stelp-combine-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# Runs a command under /usr/bin/time; appends "SECONDS PEAK_KIB" to file $1.
timed() {
  local out=$1
  shift
  /usr/bin/time -f "%e %M" -o "$WORK/time" timeout "$LIMIT" "$@" >"$WORK/log" 2>&1 || {
    echo "combine_bench.sh: failed: $*" >&2
    tail -5 "$WORK/log" >&2
    exit 1
  }
  cat "$WORK/time" >>"$out"
}

# The median of a column of a file of figures.
median() { sort -g -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'; }

# ---- Darks: a bias of about 1000 counts with noise, a few hundred hot pixels,
# and a satellite trail across one frame, as a camera writes them (unsigned
# 16-bit, BZERO 32768). Siril finds them as the sequence "dark_".
mkdir "$WORK/darks"
"$PYTHON" - "$WORK/darks" "$DARKS" "$WIDTH" "$HEIGHT" <<'EOF'
import sys
import numpy as np
from astropy.io import fits
folder, count, width, height = sys.argv[1], *map(int, sys.argv[2:])
rng = np.random.default_rng(17)
hot = rng.integers(0, width * height, 300)
for i in range(count):
    frame = 1000 + 40 * rng.standard_normal((height, width))
    frame.reshape(-1)[hot] = 50000
    if i == count // 2:
        for x in range(width):
            frame[x * height // width:x * height // width + 3, x] = 30000
    fits.PrimaryHDU(np.clip(frame, 0, 65535).astype(np.uint16)).writeto(f"{folder}/dark_{i + 1:05d}.fit")
EOF
{
  printf '[Processing]\nColour=0\nFitsScale=1\n'
  for ((i = 1; i <= DARKS; ++i)); do printf '\n[Dark %d]\nFileName=%s/darks/dark_%05d.fit\nEnabled=1\n' "$i" "$WORK" "$i"; done
} >"$WORK/darks.sjx"
cat "$WORK/darks"/*.fit >/dev/null # neither timed run pays for the first read

if [[ -n $SIRIL ]]; then
  printf 'requires 1.0.0\ncd %s\nstack dark med -nonorm -out=%s/siril_median\n' "$WORK/darks" "$WORK" >"$WORK/median.ssf"
  printf 'requires 1.0.0\ncd %s\nstack dark rej s 3 3 -nonorm -out=%s/siril_sigma\n' "$WORK/darks" "$WORK" >"$WORK/sigma.ssf"
  # Siril writes its sequence file on the first visit: not timed.
  timeout "$LIMIT" "$SIRIL" -s "$WORK/median.ssf" >/dev/null 2>&1
fi

for ((run = 0; run < RUNS; ++run)); do
  timed "$WORK/stelp_median" "$CLI" master dark "$WORK/darks.sjx" "$WORK/median.raw" --combine median --quiet
  timed "$WORK/stelp_sigma" "$CLI" master dark "$WORK/darks.sjx" "$WORK/sigma.raw" --combine sigma --quiet
  if [[ -n $SIRIL ]]; then
    timed "$WORK/siril_median" "$SIRIL" -s "$WORK/median.ssf"
    timed "$WORK/siril_sigma" "$SIRIL" -s "$WORK/sigma.ssf"
  fi
done

# Stelp's masters against astropy on a crop of 64 rows across the frame's
# width (the raw output is top row first; FITS rows are bottom up).
"$PYTHON" - "$WORK" "$DARKS" "$WIDTH" "$HEIGHT" <<'EOF'
import sys
import numpy as np
from astropy.io import fits
from astropy.stats import sigma_clip
work, count, width, height = sys.argv[1], *map(int, sys.argv[2:])
rows = slice(height - 64, height)
stack = np.array([fits.getdata(f"{work}/darks/dark_{i + 1:05d}.fit")[rows] for i in range(count)], np.float64) / 257
stack = stack.astype(np.float32).astype(np.float64)  # the camera scale's float values
want = {"median": np.median(stack, axis=0),
        "sigma": sigma_clip(stack, sigma=3, maxiters=None, cenfunc="median", stdfunc="std", axis=0).mean(axis=0)}
for name, expected in want.items():
    got = np.flipud(np.fromfile(f"{work}/{name}.raw", "<f4").reshape(height, width))[rows]
    worst = np.max(np.abs(got - expected.astype(np.float32)) / np.abs(expected))
    if worst > 2.4e-7:
        sys.exit(f"combine_bench.sh: the {name} master differs from astropy's by {worst:.2e} (relative)")
    print(f"{name}: equal to astropy on a crop of {expected.size} pixels (largest relative difference {worst:.1e})")
EOF

printf '%d darks of %dx%d, 16-bit FITS (median of %d runs)\n' "$DARKS" "$WIDTH" "$HEIGHT" "$RUNS"
for method in median sigma; do
  stelp=$(median "$WORK/stelp_$method" 1)
  line=$(printf 'stelp-cli %-6s %8.2f s  %7d MiB' "$method" "$stelp" $(($(median "$WORK/stelp_$method" 2) / 1024)))
  if [[ -n $SIRIL ]]; then
    siril=$(median "$WORK/siril_$method" 1)
    line+=$(printf '   siril-cli %8.2f s  %7d MiB   stelp %.2fx faster' "$siril" \
      $(($(median "$WORK/siril_$method" 2) / 1024)) "$(awk -v a="$siril" -v b="$stelp" 'BEGIN { print a / b }')")
  fi
  echo "$line"
done
[[ -n $SIRIL ]] || echo "(siril-cli is not installed: no comparison)"

# ---- The long night: one uncompressed 8-bit video.
((VIDEO_FRAMES > 0)) || exit 0
timeout "$LIMIT" ffmpeg -nostdin -hide_banner -v error -y -f lavfi -i "testsrc2=size=${WIDTH}x${HEIGHT}:rate=25" \
  -frames:v "$VIDEO_FRAMES" -c:v rawvideo -pix_fmt gray "$WORK/night.avi"
{
  printf '[Processing]\nColour=0\n\n[Dark 1]\nFileName=%s\nFrames=%d\n' "$WORK/night.avi" "$VIDEO_FRAMES"
  for ((i = 0; i < VIDEO_FRAMES; ++i)); do printf 'Enabled %d=1\n' "$i"; done
} >"$WORK/night.sjx"
for ((run = 0; run < RUNS; ++run)); do
  timed "$WORK/stelp_video" "$CLI" master dark "$WORK/night.sjx" "$WORK/night.raw" --combine median --memory "$BUDGET" --quiet
done
printf '%d frames of %dx%d, 8-bit AVI, median within %d MiB: %.2f s, peak %d MiB (median of %d runs)\n' \
  "$VIDEO_FRAMES" "$WIDTH" "$HEIGHT" "$BUDGET" "$(median "$WORK/stelp_video" 1)" \
  $(($(median "$WORK/stelp_video" 2) / 1024)) "$RUNS"
