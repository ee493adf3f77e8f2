#!/usr/bin/env bash
# Builds the program and starts it. Until the desktop window exists this builds the
# library and lists what was built.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
scripts/install-deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
if [ -x build/app/pellamar ]; then
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display. Try 'xvfb-run ./run.sh', or use build/cli/pellamar-cli." >&2
    exit 1
  fi
  exec build/app/pellamar "$@"
fi
echo "run.sh: the window is not built yet; libraries built:"
find build -maxdepth 2 -name 'libpellamar_*.a' | sort
