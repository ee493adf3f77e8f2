#!/usr/bin/env bash
# What a zone transfer costs as a whole command, beside dig and kdig, inside the private
# network namespace: AXFR of big.xfr.test (100,000 records, NSD on 127.0.0.40, written by
# tests/netns/start-nsd.sh), each command's output thrown away.
#  - whole-command times with hyperfine;
#  - peak memory (maximum resident set) of one run of each with /usr/bin/time -v.
#
#   bench/compare-xfr.sh [BUILD_DIR] [HYPERFINE_OPTION...]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-xfr hyperfine dig kdig /usr/bin/time -- "$@"
set -- "${bench_args[@]}"

ours="$cli @127.0.0.40 axfr big.xfr.test"
dig_axfr="dig @127.0.0.40 axfr big.xfr.test"
kdig_axfr="kdig @127.0.0.40 axfr big.xfr.test"
echo "== AXFR of 100,000 records =="
hyperfine --shell=none --warmup 3 --runs 30 "$@" \
  --command-name "pellamar-cli axfr" "$ours" \
  --command-name "dig axfr" "$dig_axfr" \
  --command-name "kdig axfr" "$kdig_axfr"
echo "== peak memory =="
for command in "$ours" "$dig_axfr" "$kdig_axfr"; do
  kb=$(/usr/bin/time -v $command 2>&1 >/dev/null | awk -F: '/Maximum resident/ { print $2 + 0 }')
  printf '%-14s %6d KB\n' "${command%% *}" "$kb" | sed "s|^$cli|pellamar-cli|"
done
