#!/usr/bin/env bash
# Installs what the program needs, builds it and starts it in the build folder, where
# "shape_predictor.dat" links to the landmark model of libdlib-data.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${FACEMASK_BUILD_DIR:-$root/build}"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target facemask -j2
cd "$build"
exec ./facemask
