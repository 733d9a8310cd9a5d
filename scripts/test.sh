#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test; then runs the tests of
# the code that reads untrusted files (ZIP reader, package loader, picture intake) once more
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${FACEMASK_BUILD_DIR:-$root/build}"
sanitized="${build}-sanitize"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2
(cd "$build" && ctest --output-on-failure -j2)

cmake -S "$root" -B "$sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFACEMASK_SANITIZE=ON \
      -DFACEMASK_BUILD_BENCHMARKS=OFF
cmake --build "$sanitized" -j2 --target tst_zipwriter tst_zipreader tst_zipinterop \
      fuzz_zipreader_replay tst_packageformat tst_imagefiles tst_pictureheaders tst_facemaskproject tst_pngcodec pngprobe \
      fuzz_pngdecode_replay fuzz_package_replay fuzz_pictureheader_replay
(cd "$sanitized" && ctest --output-on-failure -j2 \
      -R '^(tst_zip|fuzz_zipreader|tst_packageformat|tst_imagefiles|tst_pictureheaders|tst_facemaskproject|tst_pngcodec|fuzz_pngdecode|fuzz_package|fuzz_pictureheader)')
