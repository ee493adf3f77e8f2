#!/usr/bin/env bash
# Builds and runs every test: the normal build's suite, the checks of what it installs and
# of its Debian package, the same suite under clang with AddressSanitizer and UBSan, then
# each fuzz target for a bounded time. Tests that send packets run inside a private
# network namespace (tests/netns/run-in-netns.sh).
#   ./test.sh            everything
#   ./test.sh --quick    the normal build's suite and the package checks only
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/install-deps.sh build test fuzz server app package || exit 1
jobs=$(nproc)
failed=0
total_passed=0
total_failed=0

# Runs CTest inside the namespace and adds its counts to the totals.
run_suite() {
  local build_dir=$1 log
  log=$(mktemp)
  tests/netns/run-in-netns.sh ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" \
    --timeout 300 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local fails all
    fails=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    all=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    total_passed=$((total_passed + all - fails))
    total_failed=$((total_failed + fails))
  fi
  rm -f "$log"
  [ "$rc" -eq 0 ] || failed=1
}

echo "== normal build (g++) =="
# The suite is what this script is for: without GoogleTest the configuration stops.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLAMAR_TESTS=ON >/dev/null &&
  cmake --build build -j "$jobs" || exit 1
run_suite build

# The installed tree, .desktop, metainfo, man pages, completion and .deb of that build;
# every check counts as one test in the totals.
echo "== install and package checks =="
log=$(mktemp)
tests/package/check-package.sh build 2>&1 | tee "$log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
counts=$(grep -E '^package: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
if [ -n "$counts" ]; then
  total_passed=$((total_passed + $(sed -E 's/^package: ([0-9]+) passed.*/\1/' <<<"$counts")))
  total_failed=$((total_failed + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$counts")))
else
  total_failed=$((total_failed + 1))  # the checks stopped before counting
fi
rm -f "$log"

if [ $quick -eq 0 ]; then
  echo "== sanitizer build (clang, ASan + UBSan) =="
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DPELLAMAR_SANITIZE=ON -DPELLAMAR_BENCH=OFF -DPELLAMAR_TESTS=ON >/dev/null &&
    cmake --build build-asan -j "$jobs" || exit 1
  run_suite build-asan

  echo "== fuzzing (clang, libFuzzer + ASan + UBSan) =="
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELLAMAR_FUZZ=ON >/dev/null &&
    cmake --build build-fuzz -j "$jobs" || exit 1
  bash fuzz/run-all.sh build-fuzz "${PELLAMAR_FUZZ_SECONDS:-60}" ||
    { failed=1; total_failed=$((total_failed + 1)); }
fi

echo
if [ $failed -eq 0 ]; then echo "All stages passed."; else echo "Some stage FAILED."; fi
echo "pellamar: $total_passed passed, $total_failed failed"
exit $failed
