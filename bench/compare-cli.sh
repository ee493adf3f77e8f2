#!/usr/bin/env bash
# Times pellamar-cli as a whole process, its plain output and its dig form (--dig), beside
# drill (ldnsutils), dig (bind9-dnsutils) and kdig (knot-dnsutils), all asking the loopback
# NSD server the same MX question, with hyperfine. Runs inside the private network
# namespace (which starts NSD on 127.0.0.1), so nothing can reach another server.
#
#   bench/compare-cli.sh [BUILD_DIR] [HYPERFINE_OPTION...]
#
# BUILD_DIR defaults to build/; e.g. bench/compare-cli.sh build --export-markdown out.md
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-cli hyperfine drill dig kdig -- "$@"
set -- "${bench_args[@]}"

# Inside the namespace. Every command names the server explicitly.
hyperfine --shell=none --warmup 20 --runs 300 "$@" \
  --command-name "pellamar-cli" "$cli -s 127.0.0.1 mx pellamar.test" \
  --command-name "drill" "drill @127.0.0.1 pellamar.test MX" \
  --command-name "dig" "dig @127.0.0.1 pellamar.test MX" \
  --command-name "pellamar-cli --dig" "$cli --dig @127.0.0.1 pellamar.test MX" \
  --command-name "kdig" "kdig @127.0.0.1 pellamar.test MX"
