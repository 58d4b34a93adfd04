#!/bin/bash
# Stelp beside its peers and beside the least work the same job takes, on
# inputs the script makes with ffmpeg and astropy:
#   - `stelp-cli process` of a grey AVI (dark, flat, hot pixels) against
#     ffmpeg rewriting the same AVI as raw grey video, and against that
#     rewrite followed by flushing the file to disk, as Stelp's writer does
#     before it puts a file in place;
#   - `stelp-cli master` of 16-bit FITS frames (1920 x 1080 and 4096 x 4096)
#     against Siril's mean stack of the same files and against read_floor
#     (read and sum on one thread);
#   - ProcessFrame on a colour 1080p frame against a bare (p - d) x (m / f)
#     loop (engine_bench);
#   - `stelp-cli master` of the grey AVI against read_floor reading the same
#     frame chunks and summing them;
#   - each Stelp figure again on one core (taskset -c 0; ProcessFrame on one
#     thread) against both cores.
# Every measurement runs once per round, the rounds interleave them, and the
# table shows medians. The load average is printed beside the figures: on a
# busy machine compare ratios, not times.
#
#   bench/peers_bench.sh [BUILD]
#
# BUILD is an optimised build folder holding stelp-cli, engine_bench and
# read_floor (default build/release); this script builds nothing. Settings:
#   ROUNDS    rounds (default 5)
#   FRAMES    frames of the 640 x 480 grey video (default 2000)
#   SMALL     1920 x 1080 FITS frames (default 50)
#   LARGE     4096 x 4096 FITS frames (default 20)
#   BASELINE  another stelp-cli (say, of the previous version), timed in the
#             same rounds for a "before" column; its outputs must be byte for
#             byte those of BUILD's
#   PYTHON    a Python with numpy and astropy (default /usr/bin/python3)
# Siril (`siril-cli`, the Debian siril package) is optional: without it its
# column says so. Siril uses both cores in every round. Inputs and outputs
# take about 3 GB under TMPDIR (default /tmp) and are removed at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$root/build/release}
CLI=$BUILD/src/cli/stelp-cli
ENGINE_BENCH=$BUILD/bench/engine_bench
FLOOR=$BUILD/bench/read_floor
ROUNDS=${ROUNDS:-5}
FRAMES=${FRAMES:-2000}
SMALL=${SMALL:-50}
LARGE=${LARGE:-20}
BASELINE=${BASELINE:-}
PYTHON=${PYTHON:-/usr/bin/python3}
LIMIT=1800 # seconds any one run may take

fail() {
  echo "peers_bench.sh: $*" >&2
  exit 1
}
for program in "$CLI" "$ENGINE_BENCH" "$FLOOR" ${BASELINE:+"$BASELINE"}; do
  [[ -x $program ]] || fail "no $program (build an optimised BUILD first)"
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/stelp-peers-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
LOG=$WORK/log # what the timed programs print, kept for a failure's message

for tool in ffmpeg taskset; do
  command -v "$tool" >"$LOG" || fail "$tool is not installed"
done
"$PYTHON" -c "import numpy, astropy" 2>"$LOG" || fail "$PYTHON lacks numpy or astropy: $(cat "$LOG")"
SIRIL=$(command -v siril-cli || true)

# --- Inputs ------------------------------------------------------------------

ff() { timeout "$LIMIT" ffmpeg -nostdin -hide_banner -v error -y "$@"; }

# The grey video as ffmpeg writes it (raw grey, 'Y800'), a dark with a
# sprinkling of hot pixels and a vignetted flat.
ff -f lavfi -i "testsrc2=size=640x480:rate=25" -frames:v "$FRAMES" -c:v rawvideo -pix_fmt gray "$WORK/grey.avi"
ff -f lavfi -i "color=c=black:s=640x480" -frames:v 1 \
  -vf "format=gray,geq=lum='if(eq(mod(7*X+13*Y\,997)\,0)\,250\,6+4*random(1))'" -pix_fmt gray "$WORK/dark.bmp"
ff -f lavfi -i "color=c=0xC8C8C8:s=640x480" -frames:v 1 -vf "vignette=angle=PI/5,format=gray" -pix_fmt gray \
  "$WORK/flat.bmp"

# 16-bit FITS frames of random camera values, as astropy writes them (BZERO
# 32768), named as Siril numbers a sequence.
"$PYTHON" - "$WORK" "$SMALL" "$LARGE" <<'EOF'
import pathlib, sys
import numpy as np
from astropy.io import fits
work, counts = pathlib.Path(sys.argv[1]), {"small": (int(sys.argv[2]), 1080, 1920), "large": (int(sys.argv[3]), 4096, 4096)}
rng = np.random.default_rng(16)
for name, (n, h, w) in counts.items():
    (work / name).mkdir()
    for i in range(n):
        data = rng.integers(0, 65536, (h, w), dtype=np.uint16)
        fits.PrimaryHDU(data).writeto(work / name / f"f_{i + 1:05d}.fits")
EOF

settings() { # grey, dark on, the camera's FITS scale, hot pixels and flat as asked
  printf '[Version]\nMajor=0\nMinor=9\n\n[Processing]\nColour=0\nDark=1\nFlat=%d\nSynFlat=0\nHot=%d\nStretch=0\n' "$1" "$1"
  printf 'DeInterlace=0\nFitsScale=1\n\n[Dark]\nHot=200\nCold=0\nExpand=0\n\n'
}
{
  settings 1
  printf '[Image 1]\nFileName=%s\nFrames=%d\n\n' "$WORK/grey.avi" "$FRAMES"
  printf '[Flat 1]\nFileName=%s\nEnabled=1\n\n[Dark 1]\nFileName=%s\nEnabled=1\n' "$WORK/flat.bmp" "$WORK/dark.bmp"
} >"$WORK/process.sjx"
{
  settings 0
  printf '[Dark 1]\nFileName=%s\nFrames=%d\n' "$WORK/grey.avi" "$FRAMES"
} >"$WORK/grey.sjx"
for set in small large; do
  {
    settings 0
    n=0
    for f in "$WORK/$set"/*.fits; do printf '[Dark %d]\nFileName=%s\nEnabled=1\n\n' $((++n)) "$f"; done
  } >"$WORK/$set.sjx"
done

for f in grey.avi dark.bmp flat.bmp small/f_00001.fits large/f_00001.fits; do
  "$CLI" info "$WORK/$f" >"$LOG" 2>&1 || fail "stelp-cli cannot read $f: $(cat "$LOG")"
done

# Siril stacks a sequence: its frames are linked once, outside the timing. Its
# settings folder is kept inside the work folder.
if [[ -n $SIRIL ]]; then
  export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/.config
  mkdir -p "$XDG_CONFIG_HOME"
  printf 'requires 1.0.0\nlink s -out=.\n' >"$WORK/link.ssf"
  printf 'requires 1.0.0\nstack s rej n -nonorm -out=stacked\n' >"$WORK/stack.ssf"
  for set in small large; do
    timeout "$LIMIT" "$SIRIL" -d "$WORK/$set" -s "$WORK/link.ssf" >"$LOG" 2>&1 || fail "Siril: $(tail -3 "$LOG")"
  done
fi

# --- Timing -------------------------------------------------------------------

declare -A seconds # measurement -> its times, one a round
timed() {          # timed NAME COMMAND...: runs COMMAND, adds its wall time to NAME
  local name=$1 start=$EPOCHREALTIME
  shift
  timeout "$LIMIT" "$@" >"$LOG" 2>&1 || fail "$name failed: $(tail -3 "$LOG")"
  seconds[$name]+="$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }') "
}

# Each Stelp run writes where the same run of another build or on one core
# writes too, so that the outputs can be compared byte for byte. The runs
# take turns at going first, as the first one after a large write meets the
# system still flushing it.
stelp_runs() { # stelp_runs NAME ARGS...: the build's run, one core, and the baseline
  local name=$1
  shift
  local runs=(both 1core ${BASELINE:+before}) k
  for ((k = 0; k < ${#runs[@]}; ++k)); do
    case ${runs[(k + round) % ${#runs[@]}]} in
      both) timed "$name" "$CLI" "$@" "$WORK/out/$name.${OUT_EXT}" ;;
      1core) timed "$name.1core" taskset -c 0 "$CLI" "$@" "$WORK/out/$name.1core.${OUT_EXT}" ;;
      before) timed "$name.before" "$BASELINE" "$@" "$WORK/out/$name.before.${OUT_EXT}" ;;
    esac
  done
}

mkdir -p "$WORK/out"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
for ((round = 1; round <= ROUNDS; ++round)); do
  echo "round $round of $ROUNDS (load $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  OUT_EXT=avi stelp_runs process process "$WORK/process.sjx" --quiet
  timed ffmpeg ffmpeg -nostdin -v error -y -i "$WORK/grey.avi" -c:v rawvideo -pix_fmt gray "$WORK/out/ffmpeg.avi"
  # Stelp puts a written file in place only once it is on the disk (fsync):
  # ffmpeg's rewrite again, followed by the same flush of its file.
  timed ffmpeg.sync bash -c 'ffmpeg -nostdin -v error -y -i "$1" -c:v rawvideo -pix_fmt gray "$2" && sync -d "$2"' _ \
    "$WORK/grey.avi" "$WORK/out/ffmpeg.sync.avi"
  for set in small large; do
    OUT_EXT=raw stelp_runs "$set" master dark "$WORK/$set.sjx" --quiet
    timed "$set.floor" "$FLOOR" fits "$WORK/$set"/*.fits
    [[ -z $SIRIL ]] || timed "$set.siril" "$SIRIL" -d "$WORK/$set" -s "$WORK/stack.ssf"
  done
  OUT_EXT=raw stelp_runs grey master dark "$WORK/grey.sjx" --quiet
  timed grey.floor "$FLOOR" avi "$WORK/grey.avi"
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# ProcessFrame and the bare loop, interleaved by Google Benchmark.
timeout "$LIMIT" "$ENGINE_BENCH" --benchmark_filter='BM_ProcessFrameColour|BM_BareCalibrationLoop' \
  --benchmark_repetitions="$ROUNDS" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=csv >"$WORK/engine.csv" 2>"$LOG" ||
  fail "engine_bench failed: $(tail -3 "$LOG")"
bench_ms() { # the median wall milliseconds of a benchmark, whatever unit the CSV gives
  awk -F, -v name="\"$1_median\"" '$1 == name {
    scale = $5 == "ns" ? 1e-6 : $5 == "us" ? 1e-3 : $5 == "s" ? 1e3 : 1
    print $3 * scale
  }' "$WORK/engine.csv"
}
seconds[image]=$(bench_ms "BM_ProcessFrameColour/$(getconf _NPROCESSORS_ONLN)")
seconds[image.1core]=$(bench_ms BM_ProcessFrameColour/1)
seconds[image.bare]=$(bench_ms BM_BareCalibrationLoop)

# --- Checks -------------------------------------------------------------------

written=$("$CLI" info "$WORK/out/process.avi")
[[ $written == "avi 640x480 frames=$FRAMES" ]] || fail "stelp-cli process wrote '$written'"
for name in process grey small large; do
  ext=raw
  [[ $name != process ]] || ext=avi
  cmp -s "$WORK/out/$name.$ext" "$WORK/out/$name.1core.$ext" || fail "$name: one core gave other bytes"
  [[ -z $BASELINE ]] || cmp -s "$WORK/out/$name.$ext" "$WORK/out/$name.before.$ext" ||
    fail "$name: the baseline gave other bytes"
done

# --- Table --------------------------------------------------------------------

median() { # median of the times of a measurement; "-" when there are none
  local values=${seconds[$1]:-}
  [[ -n $values ]] || { echo -; return; }
  tr ' ' '\n' <<<"$values" | grep . | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { # a / b to two places; "-" when either is missing
  awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b }'
}
before() { [[ -z $BASELINE ]] || printf ' (before: %s s, %s)' "$(median "$1.before")" "$2"; }

echo
echo "Stelp: $CLI${BASELINE:+; before: $BASELINE}"
echo "medians of $ROUNDS interleaved rounds; load average $load_start at the start, $load_end at the end"
echo
echo "| work | Stelp | anchor (same run) | ratio | target |"
echo "|---|---|---|---|---|"
p=$(median process) f=$(median ffmpeg) fs=$(median ffmpeg.sync)
echo "| \`process\` $FRAMES x 640 x 480 grey AVI -> AVI, dark + flat + hot pixels | $p s$(before process \
  "$(ratio "$(median process.before)" "$f") x ffmpeg") | ffmpeg rewriting the AVI (rawvideo gray) $f s; \
with its file flushed to disk as Stelp's is $fs s | Stelp $(ratio "$p" "$f") x ffmpeg; \
$(ratio "$p" "$fs") x ffmpeg + flush | <= 1.5 x |"
for set in small large; do
  if [[ $set == small ]]; then what="$SMALL x 1920 x 1080" target=">= 3 x faster than Siril; <= 1.5 x the floor"
  else what="$LARGE x 4096 x 4096" target=">= 2 x faster than Siril; <= 1.5 x the floor"; fi
  s=$(median "$set") fl=$(median "$set.floor") si=$(median "$set.siril")
  siril_text="Siril \`stack rej n -nonorm\` (both cores) $si s"
  [[ -n $SIRIL ]] || siril_text="Siril not installed (siril-cli)"
  echo "| master of $what 16-bit FITS (mean) | $s s$(before "$set" \
    "$(ratio "$(median "$set.before")" "$fl") x the floor") | $siril_text; one-thread read + sum floor $fl s | \
Stelp $(ratio "$si" "$s") x as fast as Siril; $(ratio "$s" "$fl") x the floor | $target |"
done
i=$(median image) b=$(median image.bare)
echo "| \`ProcessFrame\` colour 1920 x 1080, all steps | $i ms | bare (p - d) x (m / f) loop $b ms | \
$(ratio "$i" "$b") x | <= 2 x |"
g=$(median grey) gf=$(median grey.floor)
echo "| master of the grey AVI (Y800), $FRAMES x 640 x 480 | $g s$(before grey "$(ratio "$(median grey.before)" \
  "$gf") x the floor") | reading the same frame chunks and summing $gf s | $(ratio "$g" "$gf") x | <= 1.3 x |"
speedups=""
for name in process small large grey image; do
  speedups+="$name $(ratio "$(median "$name.1core")" "$(median "$name")"), "
done
echo "| both cores against one (one core: taskset -c 0) | ${speedups%, } | - | - | >= 1.6 x idle; never below 1 loaded |"
