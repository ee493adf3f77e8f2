#!/usr/bin/env bash
# Times a batch (pellamar-cli -f) beside dig -f, with hyperfine, inside the private network
# namespace against the loopback NSD server of batch.pellamar.test (127.0.0.4):
#  - 2,000 A questions, the same file for every tool: pellamar-cli's text, --short and
#    --json (JSON Lines) output beside dig -f and dig -f +short;
#  - CPU per question and peak memory of each (GNU time over 20 runs);
#  - dnsperf against the same server: its rate with 100 questions in flight;
#  - 20,000 questions (the zone's 5,000 hosts four times) at --concurrency 100 and 10000:
#    the time and the questions left without an answer.
#
#   bench/compare-batch.sh [BUILD_DIR] [HYPERFINE_OPTION...]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-batch hyperfine dig dnsperf -- "$@"
set -- "${bench_args[@]}"

names=$(mktemp)
many=$(mktemp)
trap 'rm -f "$names" "$many" "$names.time" "$many.out"' EXIT
for i in $(seq 0 1999); do echo "h$i.batch.pellamar.test A"; done >"$names"
for i in $(seq 0 19999); do echo "h$((i % 5000)).batch.pellamar.test A"; done >"$many"

echo "== a batch of 2,000 A questions (NSD on 127.0.0.4) =="
hyperfine --shell=none --warmup 5 --runs 40 "$@" \
  --command-name "pellamar-cli -f" "$cli -s 127.0.0.4 -f $names" \
  --command-name "pellamar-cli -f --json" "$cli -s 127.0.0.4 -f $names --json" \
  --command-name "pellamar-cli -f --short" "$cli -s 127.0.0.4 -f $names --short" \
  --command-name "dig -f" "dig @127.0.0.4 -f $names" \
  --command-name "dig -f +short" "dig @127.0.0.4 -f $names +short"

echo "-- CPU per question and peak memory (GNU time over 20 runs, the peak of one) --"
per_question() {
  local name=$1
  shift
  /usr/bin/time -f '%U %S %M' -o "$names.time" \
    bash -c 'for run in $(seq 20); do "$@" >/dev/null 2>&1; done' per-question "$@"
  read -r user sys peak <"$names.time"
  awk -v n="$name" -v u="$user" -v s="$sys" -v p="$peak" \
    'BEGIN { printf "  %-24s %6.2f us CPU a question, peak %d KiB\n", n, (u + s) * 1e6 / 40000, p }'
}
per_question "pellamar-cli -f" "$cli" -s 127.0.0.4 -f "$names"
per_question "pellamar-cli -f --json" "$cli" -s 127.0.0.4 -f "$names" --json
per_question "pellamar-cli -f --short" "$cli" -s 127.0.0.4 -f "$names" --short
per_question "dig -f" dig @127.0.0.4 -f "$names"
per_question "dig -f +short" dig @127.0.0.4 -f "$names" +short

echo "-- dnsperf against the same server --"
# dnsperf looks the server up with AI_ADDRCONFIG, which counts no loopback address: a
# private one on lo (this namespace's lo, nothing leaves it) lets it take 127.0.0.4.
ip addr add 10.255.255.1/32 dev lo 2>/dev/null || true
dnsperf -f inet -s 127.0.0.4 -d "$names" -l 5 -c 4 -q 100 2>&1 |
  grep -E 'Queries (sent|completed|per second)'

echo "== 20,000 questions, 100 and 10,000 in flight =="
for concurrency in 100 10000; do
  start=$(date +%s.%N)
  "$cli" -s 127.0.0.4 -f "$many" --short --concurrency "$concurrency" >"$many.out" 2>/dev/null
  end=$(date +%s.%N)
  awk -v c="$concurrency" -v s="$start" -v e="$end" -v lost="$(grep -c ' ;; ' "$many.out")" \
    'BEGIN { printf "  --concurrency %-6s %6.2f s, %d of 20000 without an answer\n", c, e - s, lost }'
done
