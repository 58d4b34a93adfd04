#!/usr/bin/env bash
# Builds Stelp (optimised) and runs stelp-cli with the given arguments;
# without arguments it shows what stelp-cli can do.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DSTELP_BUILD_TESTS=OFF -DSTELP_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build/release" -j "$(nproc)" >/dev/null
if [[ $# -eq 0 ]]; then set -- --help; fi
exec "$root/build/release/src/cli/stelp-cli" "$@"
