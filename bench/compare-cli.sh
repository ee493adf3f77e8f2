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
source "$here/netns-bench.sh" compare-cli hyperfine drill dig -- "$@"
set -- "${bench_args[@]}"

# Inside the namespace. Every command names the server explicitly.
hyperfine --shell=none --warmup 20 --runs 300 "$@" \
  --command-name "pellamar-cli" "$cli -s 127.0.0.1 mx pellamar.test" \
  --command-name "drill" "drill @127.0.0.1 pellamar.test MX" \
  --command-name "dig" "dig @127.0.0.1 pellamar.test MX"
