#!/usr/bin/env bash
# Runs a command inside a private network namespace: only loopback exists, and the
# resolver (resolv.conf) points at 127.0.0.1, where the loopback DNS servers started by
# tests/netns/start-*.sh answer. Nothing the command sends can leave the machine, and
# the machine's own resolver is never asked.
#
#   tests/netns/run-in-netns.sh COMMAND [ARG...]
#
# Without the rights to make a namespace it runs the command as it is, without
# PELLAMAR_NETNS=1, so the loopback tests skip themselves and say why.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ "${PELLAMAR_NETNS_INNER:-}" != 1 ]; then
  if unshare --net --mount true 2>/dev/null; then
    exec unshare --net --mount env PELLAMAR_NETNS_INNER=1 "$0" "$@"
  fi
  echo "run-in-netns: cannot make a private network namespace (run as root);" \
       "loopback tests will be skipped" >&2
  exec "$@"
fi

# Inside the namespace. Keep our mounts to ourselves.
mount --make-rprivate / 2>/dev/null || true
ip link set lo up || { echo "run-in-netns: cannot bring loopback up" >&2; exit 1; }
# A link-local address on lo, for the tests of servers given with a scope (fe80::53%lo);
# without it those tests skip themselves and say why.
ip -6 addr add fe80::53/64 dev lo 2>/dev/null ||
  echo "run-in-netns: cannot add fe80::53 to lo; link-local tests will be skipped" >&2

run_dir=$(mktemp -d /tmp/pellamar-netns.XXXXXX)
export PELLAMAR_NETNS_RUN=$run_dir
printf 'nameserver 127.0.0.1\noptions timeout:2 attempts:1\n' >"$run_dir/resolv.conf"
resolv=/etc/resolv.conf
[ -L "$resolv" ] && resolv=$(readlink -f "$resolv")
if [ ! -e "$resolv" ]; then
  echo "run-in-netns: no resolv.conf to cover" >&2
  exit 1
fi
mount --bind "$run_dir/resolv.conf" "$resolv" ||
  { echo "run-in-netns: cannot bind-mount resolv.conf" >&2; exit 1; }
# The system's root hints (dns-root-data) name the public root servers: covered by an empty
# file, so a trace without hints takes its root servers from a loopback resolver instead.
if [ -e /usr/share/dns/root.hints ]; then
  : >"$run_dir/root.hints"
  mount --bind "$run_dir/root.hints" /usr/share/dns/root.hints ||
    { echo "run-in-netns: cannot bind-mount root.hints" >&2; exit 1; }
fi

stop_servers() {
  if [ -f "$run_dir/pids" ]; then
    while read -r pid; do kill "$pid" 2>/dev/null; done <"$run_dir/pids"
  fi
}
trap stop_servers EXIT

# Each start-*.sh starts one loopback server in the background and appends its pid to
# $PELLAMAR_NETNS_RUN/pids; it returns once the server answers.
for starter in "$here"/start-*.sh; do
  [ -e "$starter" ] || continue
  bash "$starter" || { echo "run-in-netns: $(basename "$starter") failed" >&2; exit 1; }
done

export PELLAMAR_NETNS=1
"$@"
rc=$?
exit $rc
