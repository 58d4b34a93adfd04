#!/usr/bin/env bash
# Installs what Stelp's build and tests need on Debian 12. Packages already
# present are skipped, so a second run only checks and returns.
set -euo pipefail

packages=(
  # build
  g++ cmake make pkg-config
  # tests, benchmarks, fuzzing
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  # the window and video decoding
  qt6-base-dev fonts-dejavu-core libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
  # interop peers
  ffmpeg python3 python3-astropy python3-pil python3-numpy fitsverify
  # screenshots of the window under a virtual display
  xvfb xauth
  # checks of the desktop entry
  desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
