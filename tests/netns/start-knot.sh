#!/usr/bin/env bash
# Starts Knot DNS (knotd) on 127.0.0.41:53 for the incremental transfer tests (run by
# run-in-netns.sh, inside the namespace only), with its configuration, database and
# journal under $PELLAMAR_NETNS_RUN/knot. It serves knot/ixfr.test.zone to anyone on
# loopback and, once it answers, makes two changes through knotc so that the journal
# holds real difference sequences (serial 1 -> 2 -> 3). Its pid is appended to
# $PELLAMAR_NETNS_RUN/pids.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ "${PELLAMAR_NETNS_INNER:-}" != 1 ] || [ -z "${PELLAMAR_NETNS_RUN:-}" ]; then
  echo "start-knot: runs only inside the namespace made by tests/netns/run-in-netns.sh" >&2
  exit 1
fi
knotd_bin=$(command -v knotd || echo /usr/sbin/knotd)
knotc_bin=$(command -v knotc || echo /usr/sbin/knotc)
if [ ! -x "$knotd_bin" ]; then
  echo "start-knot: knotd is not installed (scripts/install-deps.sh server)" >&2
  exit 1
fi
dir=$PELLAMAR_NETNS_RUN/knot
mkdir -p "$dir/zones" "$dir/db"
cp "$here/knot/ixfr.test.zone" "$dir/zones/ixfr.test.zone"
cat >"$dir/knot.conf" <<CONF
server:
    rundir: "$dir"
    listen: 127.0.0.41@53
log:
  - target: "$dir/knot.log"
    any: info
database:
    storage: "$dir/db"
control:
    listen: "$dir/knot.sock"
acl:
  - id: transfer
    address: 127.0.0.0/8
    action: transfer
template:
  - id: default
    storage: "$dir/zones"
    zonefile-sync: -1
    journal-content: changes
    serial-policy: increment
zone:
  - domain: ixfr.test
    acl: transfer
CONF
"$knotd_bin" -c "$dir/knot.conf" >"$dir/stdout.log" 2>&1 &
echo $! >>"$PELLAMAR_NETNS_RUN/pids"
knotc() { "$knotc_bin" -s "$dir/knot.sock" "$@" >/dev/null; }
for _ in $(seq 100); do
  knotc zone-status ixfr.test 2>/dev/null && break
  sleep 0.1
done
knotc zone-begin ixfr.test
knotc zone-unset ixfr.test www A 192.0.2.1
knotc zone-set ixfr.test www 300 A 192.0.2.2
knotc zone-set ixfr.test new 300 A 192.0.2.3
knotc zone-commit ixfr.test
knotc zone-begin ixfr.test
knotc zone-unset ixfr.test old TXT
knotc zone-commit ixfr.test
