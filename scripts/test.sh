#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${FACEMASK_BUILD_DIR:-$root/build}"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2
