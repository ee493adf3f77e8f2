#!/usr/bin/env bash
# Starts a validating Unbound that sends Extended DNS Errors (tests/netns/ede/unbound.conf)
# on 127.0.0.54:53, over the signed tree start-dnssec.sh built (which runs before it:
# starters run in name order), with its files under $PELLAMAR_NETNS_RUN/ede. Its pid is
# appended to $PELLAMAR_NETNS_RUN/pids; it returns once a secure name resolves through it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

starter=start-ede
source "$here/starter-common.sh"
unbound_bin=$(find_tool unbound)

anchor=$PELLAMAR_NETNS_RUN/dnssec/root.anchor
[ -s "$anchor" ] || fail "no root anchor at $anchor (start-dnssec.sh did not run first?)"
dir=$PELLAMAR_NETNS_RUN/ede
mkdir "$dir" 2>/dev/null || fail "$dir exists already (started twice in one namespace?)"
sed -e "s|@RUN@|$dir|g" -e "s|@HINTS@|$here/dnssec/root.hints|g" -e "s|@ANCHOR@|$anchor|g" \
  "$here/ede/unbound.conf" >"$dir/unbound.conf"
"$unbound_bin" -d -c "$dir/unbound.conf" >"$dir/stdout.log" 2>&1 &
echo $! >>"$PELLAMAR_NETNS_RUN/pids"

# One SOA question for ed.example. with RD; up to ten seconds for the first answer.
for _ in $(seq 1 50); do
  reply=$(
    exec 3<>/dev/udp/127.0.0.54/53 || exit 1
    printf '\x45\x44\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x02ed\x07example\x00\x00\x06\x00\x01' >&3
    timeout 1 head -c 4 <&3 2>/dev/null | od -An -tx1 | tr -d ' \n'
  ) || true
  [ "${reply:0:4}" = 4544 ] && [ "${reply:7:1}" = 0 ] && exit 0
  sleep 0.2
done
cat "$dir/unbound.log" >&2 2>/dev/null || true
fail "Unbound on 127.0.0.54 did not answer"
