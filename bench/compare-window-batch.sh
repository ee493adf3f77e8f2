#!/usr/bin/env bash
# Times the window's batch ("Lote", driven offscreen by pellamar-window-batch) beside
# pellamar-cli -f on the same file of 100,000 A questions (the 5,000 hosts of
# batch.pellamar.test twenty times) against the same loopback NSD server (127.0.0.4),
# inside the private network namespace: wall time and peak memory of one run of each
# (GNU time -v), and the longest the window's event loop went unhandled, with the table
# in the file's order and sorted while it fills; and the window with a one-name file, for
# the memory that is the window's own rather than its rows'.
#
#   bench/compare-window-batch.sh [BUILD_DIR]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-window-batch -- "$@"
window=$build/app/pellamar-window-batch
if [ ! -x "$window" ]; then
  echo "compare-window-batch: $window is not built (cmake --build $build --target pellamar-window-batch)" >&2
  exit 1
fi
[ -x /usr/bin/time ] || { echo "compare-window-batch: GNU time is missing (apt-get install time)" >&2; exit 1; }

names=$(mktemp)
report=$(mktemp)
trap 'rm -f "$names" "$names.one" "$report"' EXIT
for i in $(seq 0 99999); do echo "h$((i % 5000)).batch.pellamar.test A"; done >"$names"

# run NAME COMMAND...: one run under GNU time -v; prints its wall time and peak memory.
run() {
  local name=$1
  shift
  /usr/bin/time -v -o "$report" "$@" >"$report.out" 2>/dev/null
  local wall peak
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { print $2 }' "$report")
  peak=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$report")
  printf '  %-34s wall %8s, peak %7d KiB' "$name" "$wall" "$peak"
  grep -o 'longest event-loop gap [0-9]* ms' "$report.out" | sed 's/^/, /' | tr -d '\n'
  echo
  grep -o 'sorted by .*' "$report.out" | sed 's/^/      /' || true
  rm -f "$report.out"
}

echo "== 100,000 A questions from one file (NSD on 127.0.0.4, 100 in flight) =="
run "pellamar-cli -f" "$cli" -s 127.0.0.4 -f "$names"
run "pellamar-cli -f --short" "$cli" -s 127.0.0.4 -f "$names" --short
export QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME
XDG_CONFIG_HOME=$(mktemp -d)
head -n 1 "$names" >"$names.one"
run "window, one name (its own memory)" "$window" 127.0.0.4 "$names.one"
run "window, in the file's order" "$window" 127.0.0.4 "$names"
run "window, sorted by time as it fills" "$window" 127.0.0.4 "$names" --sorted
rm -rf "$XDG_CONFIG_HOME"
