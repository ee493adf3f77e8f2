#!/usr/bin/env bash
# Starts BIND's named on loopback (run by run-in-netns.sh, inside the namespace only),
# two instances with their configuration and files under $PELLAMAR_NETNS_RUN/named-*,
# never the system's named configuration or service. Both answer for cookie.test
# (tests/netns/named/cookie.test.zone) and send server cookies:
#
#   127.0.0.60:53  require-server-cookie yes: a question over UDP whose cookie carries no
#                  valid server cookie gets BADCOOKIE (with the cookie to send back)
#   127.0.0.61:53  tcp-advertised-timeout 0: its keepalive option tells a client to close
#                  an idle connection at once
#
# Each server's pid is appended to $PELLAMAR_NETNS_RUN/pids; the script returns once both
# answer.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
templates=$here/named

starter=start-named
source "$here/starter-common.sh"
named_bin=$(find_tool named)

# start_instance NAME ADDRESS EXTRA-OPTIONS
start_instance() {
  local name=$1 address=$2 extra=$3
  local dir=$PELLAMAR_NETNS_RUN/named-$name
  mkdir -p "$dir"
  # named listens only on the addresses interfaces carry, not on all of 127.0.0.0/8.
  ip addr add "$address/32" dev lo 2>/dev/null || true
  sed -e "s|@RUN@|$dir|g" -e "s|@ADDRESS@|$address|g" -e "s|@ZONES@|$templates|g" \
    -e "s|@EXTRA@|$extra|g" "$templates/named.conf" >"$dir/named.conf"
  # -g: in the foreground, logging to standard error too; -n 1: one worker is plenty.
  "$named_bin" -g -n 1 -c "$dir/named.conf" >"$dir/stdout.log" 2>&1 &
  echo $! >>"$PELLAMAR_NETNS_RUN/pids"
}

# Succeeds when ADDRESS answers an SOA question for cookie.test over TCP (which needs no
# cookie) with response code 0 within a second.
answers() {
  local reply
  reply=$(
    exec 2>/dev/null 3<>"/dev/tcp/$1/53" || exit 1
    printf '\x00\x1d\x50\x4d\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x06cookie\x04test\x00\x00\x06\x00\x01' >&3
    timeout 1 dd bs=4096 count=1 <&3 2>/dev/null | od -An -tx1 -j2 -N4 | tr -d ' \n'
  ) 2>/dev/null || return 1
  [[ $reply == 504d8[0-9a-f][0-9a-f]0 ]]
}

wait_for() {
  local name=$1 address=$2 tries=0
  until answers "$address"; do
    tries=$((tries + 1))
    if [ $tries -ge 100 ]; then
      echo "$starter: the $name server on $address does not answer; its log:" >&2
      cat "$PELLAMAR_NETNS_RUN/named-$name/stdout.log" >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
}

start_instance strict 127.0.0.60 'require-server-cookie yes;'
start_instance brief 127.0.0.61 'tcp-advertised-timeout 0;'
wait_for strict 127.0.0.60
wait_for brief 127.0.0.61
