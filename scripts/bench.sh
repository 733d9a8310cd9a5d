#!/usr/bin/env bash
# Builds every benchmark of the project (Release) and prints its figures, each next to the
# reference it is measured against in the same run. Nothing here asserts a time.
#   scripts/bench.sh            all benchmarks
#   scripts/bench.sh zip paint  only these areas (paint, detection, zip, package, preview, cli, accuracy)
# The build folder is $FACEMASK_BUILD_DIR (default: build). Benchmarks run one after the other,
# in a folder holding "shape_predictor.dat", with the offscreen Qt platform.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${FACEMASK_BUILD_DIR:-$root/build}"
model="/usr/share/dlib/shape_predictor_68_face_landmarks.dat"

areas=("$@")
if [ ${#areas[@]} -eq 0 ]; then
    areas=(paint detection zip package preview cli accuracy)
fi

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFACEMASK_BUILD_BENCHMARKS=ON >/dev/null

targets=()
for area in "${areas[@]}"; do
    if [ -f "$root/benchmarks/$area/CMakeLists.txt" ]; then
        targets+=("bench_$area")
    else
        echo "bench_$area: no benchmark in benchmarks/$area yet; skipped" >&2
    fi
done
if [ ${#targets[@]} -eq 0 ]; then
    echo "no benchmarks to run" >&2
    exit 1
fi
for target in "${targets[@]}"; do
    cmake --build "$build" --target "$target" -j2 >/dev/null
done

rundir=$(mktemp -d)
trap 'rm -rf "$rundir"' EXIT
ln -s "$model" "$rundir/shape_predictor.dat"
mkdir -m 700 "$rundir/runtime"

failed=0
for target in "${targets[@]}"; do
    area=${target#bench_}
    echo
    echo "=== $target ($(date '+%Y-%m-%d %H:%M:%S'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)) ==="
    if ! (cd "$rundir" && QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$rundir/runtime" "$build/benchmarks/$area/$target"); then
        echo "$target FAILED" >&2
        failed=1
    fi
done
exit $failed
