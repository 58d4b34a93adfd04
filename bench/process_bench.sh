#!/bin/bash
# Times `stelp-cli process` on a long grey video against ffmpeg copying the
# same video to uncompressed frames, and prints frames per second for both.
#
#   bench/process_bench.sh [STELP_CLI]
#
# STELP_CLI defaults to the Release build in build/release (this script builds
# nothing). FRAMES (default 2000), WIDTH and HEIGHT (default 640x480) size the
# input. Everything is written to a temporary folder that is removed at the
# end; the input takes about FRAMES x WIDTH x HEIGHT bytes, and each of the two
# outputs as much again.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CLI=${1:-$root/build/release/src/cli/stelp-cli}
FRAMES=${FRAMES:-2000}
WIDTH=${WIDTH:-640}
HEIGHT=${HEIGHT:-480}
LIMIT=1800 # seconds any one step may take

if [[ ! -x $CLI ]]; then
  echo "process_bench.sh: no stelp-cli at $CLI (build Release first)" >&2
  exit 1
fi
for tool in ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "process_bench.sh: $tool is not installed" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/stelp-process-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

ff() { timeout "$LIMIT" ffmpeg -nostdin -hide_banner -v error -y "$@"; }

# Input: FRAMES uncompressed 8-bit grey frames of a moving test pattern.
ff -f lavfi -i "testsrc2=size=${WIDTH}x${HEIGHT}:rate=25" -frames:v "$FRAMES" \
  -c:v rawvideo -pix_fmt gray "$WORK/in.avi"
# A dark of about 8 with a sprinkling of hot pixels at 250, and a vignetted flat.
ff -f lavfi -i "color=c=black:s=${WIDTH}x${HEIGHT}" -frames:v 1 \
  -vf "format=gray,geq=lum='if(eq(mod(7*X+13*Y\,997)\,0)\,250\,6+4*random(1))'" -pix_fmt gray "$WORK/dark.bmp"
ff -f lavfi -i "color=c=0xC8C8C8:s=${WIDTH}x${HEIGHT}" -frames:v 1 \
  -vf "vignette=angle=PI/5,format=gray" -pix_fmt gray "$WORK/flat.bmp"

for f in in.avi dark.bmp flat.bmp; do
  "$CLI" info "$WORK/$f" >/dev/null || { echo "process_bench.sh: stelp-cli cannot read $f" >&2; exit 1; }
done

# The project: grey processing with dark, flat and hot pixel repair, no stretch.
{
  printf '[Version]\nMajor=0\nMinor=9\n\n'
  printf '[Processing]\nColour=0\nDark=1\nFlat=1\nSynFlat=0\nHot=1\nStretch=0\n'
  printf 'StretchFromRel=1.000000\nStretchToRel=99.500000\nStretchFromAbs=0.000000\nStretchToAbs=255.000000\n'
  printf 'DeInterlace=0\n\n'
  printf '[Flat]\nFilterWidth=40\nFilterHeight=30\nVarHi=5\nVarLo=5\nBorder=0\n\n'
  printf '[Dark]\nHot=200\nCold=0\nExpand=0\n\n'
  printf '[Image 1]\nFileName=%s\nFrames=%d\n' "$WORK/in.avi" "$FRAMES"
  for ((i = 0; i < FRAMES; ++i)); do printf 'Enabled %d=1\n' "$i"; done
  printf '\n[Flat 1]\nFileName=%s\nEnabled=1\n\n' "$WORK/flat.bmp"
  printf '[Dark 1]\nFileName=%s\nEnabled=1\n' "$WORK/dark.bmp"
} >"$WORK/project.sjx"

now() { date +%s.%N; }

# Read the input once so that neither timed run pays for the first read.
cat "$WORK/in.avi" >/dev/null

start=$(now)
timeout "$LIMIT" "$CLI" process "$WORK/project.sjx" "$WORK/out.avi" --quiet
stelp_seconds=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')

start=$(now)
ff -i "$WORK/in.avi" -c:v rawvideo -pix_fmt gray "$WORK/out2.avi"
ffmpeg_seconds=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')

# Both outputs must hold every frame, or the figures mean nothing.
written=$("$CLI" info "$WORK/out.avi")
if [[ $written != "avi ${WIDTH}x${HEIGHT} frames=$FRAMES" ]]; then
  echo "process_bench.sh: stelp-cli wrote '$written'" >&2
  exit 1
fi
copied=$(timeout "$LIMIT" ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames -of csv=p=0 \
  "$WORK/out2.avi" </dev/null)
if [[ $copied != "$FRAMES" ]]; then
  echo "process_bench.sh: ffmpeg wrote $copied frames" >&2
  exit 1
fi

awk -v n="$FRAMES" -v w="$WIDTH" -v h="$HEIGHT" -v s="$stelp_seconds" -v f="$ffmpeg_seconds" 'BEGIN {
  printf "%d frames of %dx%d grey, dark + flat + hot pixel repair\n", n, w, h
  printf "stelp-cli process: %8.3f s  %8.1f frames/s\n", s, n / s
  printf "ffmpeg rawvideo:   %8.3f s  %8.1f frames/s\n", f, n / f
  printf "stelp-cli / ffmpeg speed: %.2f\n", (n / s) / (n / f)
}'
