#!/usr/bin/env bash
# Times a DNSSEC-checked lookup on the signed test tree (keys made and zones signed at the
# namespace's start, served through the non-validating resolver at 127.0.0.53), beside
# delv and drill -S checking the same answer from the same trust anchor, with hyperfine,
# inside the private network namespace.
#
#   bench/compare-dnssec.sh [BUILD_DIR] [HYPERFINE_OPTION...]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-dnssec hyperfine delv drill -- "$@"
set -- "${bench_args[@]}"

tree=$PELLAMAR_NETNS_RUN/dnssec
for name in www.ed.example www.rsa.example; do
  echo "== $name A, checked from the tree's root anchor =="
  hyperfine --shell=none --warmup 5 --runs 100 "$@" \
    --command-name "pellamar-cli --trust-anchor" \
    "$cli @127.0.0.53 --trust-anchor $tree/root.anchor $name" \
    --command-name "delv" "delv @127.0.0.53 -a $tree/delv.anchor +root=. $name A" \
    --command-name "drill -S" "drill -S -k $tree/root.anchor @127.0.0.53 $name A"
done
