#!/usr/bin/env bash
# Times pellamar-cli as a whole process beside drill (ldnsutils) and dig (bind9-dnsutils),
# all three asking the loopback NSD server the same MX question, with hyperfine. Runs
# inside the private network namespace (which starts NSD on 127.0.0.1), so nothing can
# reach another server.
#
#   bench/compare-cli.sh [BUILD_DIR] [HYPERFINE_OPTION...]
#
# BUILD_DIR defaults to build/; e.g. bench/compare-cli.sh build --export-markdown out.md
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)

build=$repo/build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  build=$1
  shift
fi
cli=$(cd "$build" 2>/dev/null && pwd)/cli/pellamar-cli
if [ ! -x "$cli" ]; then
  echo "compare-cli: $cli is not built (cmake --build $build --target pellamar-cli)" >&2
  exit 1
fi
for tool in hyperfine drill dig; do
  if ! command -v "$tool" >/dev/null; then
    echo "compare-cli: $tool is missing (scripts/install-deps.sh bench)" >&2
    exit 1
  fi
done

if [ "${PELLAMAR_NETNS:-}" != 1 ]; then
  # Once only: without the rights to make a namespace, run-in-netns.sh would run us again
  # outside it.
  if [ "${PELLAMAR_COMPARE_CLI_INNER:-}" = 1 ]; then
    echo "compare-cli: needs the private network namespace (run as root)" >&2
    exit 1
  fi
  export PELLAMAR_COMPARE_CLI_INNER=1
  exec "$repo/tests/netns/run-in-netns.sh" "$0" "$build" "$@"
fi

# Inside the namespace. Every command names the server explicitly.
hyperfine --shell=none --warmup 20 --runs 300 "$@" \
  --command-name "pellamar-cli" "$cli -s 127.0.0.1 mx pellamar.test" \
  --command-name "drill" "drill @127.0.0.1 pellamar.test MX" \
  --command-name "dig" "dig @127.0.0.1 pellamar.test MX"
