#!/usr/bin/env bash
# Times a DNSSEC-checked lookup over TCP, TLS and HTTPS of a name three zones deep
# (www.ed.example: the root, example., ed.example.) on the signed test tree's encrypted
# resolver (127.0.0.87, tests/netns/start-tls.sh), this build beside another one (the code
# before the chain kept the lookup's connection), with hyperfine, inside the private
# network namespace; and counts the connections each opens (strace's connect calls to the
# port). Then the same once more with 15 ms added each way on loopback (a 30 ms round
# trip, as to a resolver across a city), where each connection costs round trips, when
# the kernel offers netem.
#
#   PELLAMAR_BEFORE_BUILD=DIR bench/compare-chain-sessions.sh [BUILD_DIR] [HYPERFINE_OPTION...]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-chain-sessions hyperfine strace tc -- "$@"
set -- "${bench_args[@]}"

before=${PELLAMAR_BEFORE_BUILD:?set PELLAMAR_BEFORE_BUILD to the other build}/cli/pellamar-cli
[ -x "$before" ] || { echo "compare-chain-sessions: $before is not built" >&2; exit 1; }
tls=$PELLAMAR_NETNS_RUN/tls
anchor=$PELLAMAR_NETNS_RUN/dnssec/root.anchor
name=www.ed.example

ask() {  # BINARY TRANSPORT-OPTION PORT
  local ca="--tls-ca $tls/ca.pem"
  [ "$2" = --tcp ] && ca=
  echo "$1 @127.0.0.87 -p $3 $2 $ca --dnssec --trust-anchor $anchor $name"
}

connections() {  # BINARY TRANSPORT-OPTION PORT
  # shellcheck disable=SC2046
  strace -f -qq -e trace=connect $(ask "$@") 2>&1 >/dev/null | grep -c "htons($3)"
}

run() {  # RUNS
  for transport in "--tcp 53" "--tls 853" "--https 443"; do
    set -- "$1" $transport
    echo "== $name A, --dnssec $2 =="
    for build in before after; do
      binary=$cli
      [ $build = before ] && binary=$before
      $(ask "$binary" "$2" "$3") | grep -q "DNSSEC: secure" ||
        echo "compare-chain-sessions: $build $2 is not secure" >&2
      echo "$build: $(connections "$binary" "$2" "$3") connections"
    done
    hyperfine --shell=none --warmup 3 --runs "$1" "${bench_args[@]}" \
      --command-name "before $2" "$(ask "$before" "$2" "$3")" \
      --command-name "after $2" "$(ask "$cli" "$2" "$3")"
  done
}

run 50
# Only where the kernel has netem (sch_netem); elsewhere the first part is all there is.
if tc qdisc add dev lo root netem delay 15ms 2>/dev/null; then
  echo "== with a 30 ms round trip on loopback =="
  run 10
  tc qdisc del dev lo root
else
  echo "compare-chain-sessions: no netem here, the 30 ms round trip is left out" >&2
fi
