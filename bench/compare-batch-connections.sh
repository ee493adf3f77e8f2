#!/usr/bin/env bash
# Times a batch (pellamar-cli -f) of 2,000 A questions over --tcp, --tls and --https beside
# dnsperf -m tcp / dot / doh, inside the private network namespace, against the namespace's
# Unbound on 127.0.0.80 (tests/netns/start-tls.sh), which answers batch.pellamar.test from
# the loopback NSD server that holds it. Each is given as questions a second: the batch's
# whole command (start-up, connections and handshakes included) from hyperfine's mean,
# dnsperf's own count over one pass of the same file (-n 1, 4 clients, 100 in flight).
# A first pass of each fills Unbound's cache, so every tool meets the same warm server.
#
#   bench/compare-batch-connections.sh [BUILD_DIR] [HYPERFINE_OPTION...]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-batch-connections hyperfine dnsperf -- "$@"
hyperfine_options=("${bench_args[@]}")

names=$(mktemp)
json=$(mktemp)
trap 'rm -f "$names" "$json"' EXIT
for i in $(seq 0 1999); do echo "h$i.batch.pellamar.test A"; done >"$names"
ca=$PELLAMAR_NETNS_RUN/tls/ca.pem
# dnsperf looks the server up with AI_ADDRCONFIG, which counts no loopback address: a
# private one on lo (this namespace's lo, nothing leaves it) lets it take 127.0.0.80.
ip addr add 10.255.255.1/32 dev lo 2>/dev/null || true

run_cli() { # NAME OPTION...: the batch's rate from hyperfine's mean
  local name=$1
  shift
  "$cli" -s dns.pellamar.test -f "$names" --short "$@" >/dev/null
  hyperfine --shell=none --warmup 2 --runs 10 --export-json "$json" "${hyperfine_options[@]}" \
    --command-name "$name" "$cli -s dns.pellamar.test -f $names --short $*" \
    >/dev/null
  python3 -c 'import json,sys; m=json.load(open(sys.argv[1]))["results"][0]["mean"];
print("  %-28s %8.0f questions/s (%.3f s a batch)" % (sys.argv[2], 2000 / m, m))' "$json" "$name"
}

run_dnsperf() { # NAME OPTION...
  local name=$1
  shift
  dnsperf -s 127.0.0.80 -d "$names" -n 1 -c 4 -q 100 "$@" >/dev/null 2>&1
  dnsperf -s 127.0.0.80 -d "$names" -n 1 -c 4 -q 100 "$@" 2>&1 |
    awk -v n="$name" '/Queries completed/ { done = $3 } /Queries per second/ { rate = $4 }
      END { printf "  %-28s %8.0f questions/s (%s of 2000 answered)\n", n, rate, done }'
}

echo "== a batch of 2,000 A questions over connections (Unbound on 127.0.0.80) =="
run_cli "pellamar-cli -f --tcp" -p 53 --tcp
run_dnsperf "dnsperf -m tcp" -p 53 -m tcp
run_cli "pellamar-cli -f --tls" -p 853 --tls --tls-ca "$ca"
run_dnsperf "dnsperf -m dot" -p 853 -m dot
run_cli "pellamar-cli -f --https" -p 443 --https --tls-ca "$ca"
run_dnsperf "dnsperf -m doh" -p 443 -m doh -O doh-uri=https://dns.pellamar.test/dns-query \
  -O doh-method=POST
