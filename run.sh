#!/usr/bin/env bash
# Builds the program and starts the window (pellamar). Without a display it says so: run
# it as 'xvfb-run ./run.sh' to get a virtual one, or use the command-line companion.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
scripts/install-deps.sh build app
# The test suite only when GoogleTest is there: the window needs no test framework (and a
# folder an earlier configuration left asking for the suite is set back to that).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLAMAR_TESTS=AUTO >/dev/null
targets=$(ninja -C build -t targets all)
if ! grep -q '^app/pellamar:' <<<"$targets"; then
  # No window target: Qt 6 is missing (install-deps lists it when not run as root).
  cmake --build build -j "$(nproc)"
  echo "run.sh: the window is not built (Qt 6 Widgets is missing: scripts/install-deps.sh app)." >&2
  echo "run.sh: the command-line companion is build/cli/pellamar-cli." >&2
  exit 1
fi
cmake --build build -j "$(nproc)" --target pellamar
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run.sh: there is no display to show the window on." >&2
  echo "run.sh: try 'xvfb-run ./run.sh' for a virtual display, or the command-line" \
       "companion: build/cli/pellamar-cli --help" >&2
  exit 1
fi
exec build/app/pellamar "$@"
