#!/usr/bin/env bash
# Builds the Debian package pellamar_VERSION_ARCH.deb with CPack and prints its path.
#   scripts/build-deb.sh [BUILD_DIR]      (BUILD_DIR defaults to build-deb)
# A new BUILD_DIR is configured as a release build without tests or benchmarks; an
# existing one (./test.sh passes its own build) is used as it is configured. Install the
# result with `apt-get install ./pellamar_*.deb`, remove it with `apt-get remove pellamar`.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build_dir=${1:-build-deb}

scripts/install-deps.sh build app package
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELLAMAR_TESTS=OFF \
    -DPELLAMAR_BENCH=OFF >/dev/null
fi
cmake --build "$build_dir" -j "$(nproc)" >/dev/null
# Without Qt the build leaves the window out (with only a note); a package without it is
# not Pellamar.
if [ ! -x "$build_dir/app/pellamar" ]; then
  echo "build-deb: the window was not built (is Qt 6 installed? scripts/install-deps.sh app)" >&2
  exit 1
fi
rm -f "$build_dir"/pellamar_*.deb
log=$(mktemp)
(cd "$build_dir" && cpack -G DEB) >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; exit 1; }
rm -f "$log"
debs=("$build_dir"/pellamar_*.deb)
[ -f "${debs[0]}" ] || { echo "build-deb: cpack made no package" >&2; exit 1; }
echo "${debs[0]}"
