#!/usr/bin/env bash
# Starts the loopback DNS servers of the test namespace (run by run-in-netns.sh, inside
# the namespace only): five NSD instances with their own configuration and files under
# $PELLAMAR_NETNS_RUN, never the system's NSD configuration or service.
#
#   127.0.0.1:53  pellamar.test, 127.in-addr.arpa and ::/64 under ip6.arpa (also the
#                 namespace's resolver), and types.test (a name for each record type)
#   127.0.0.2:53  parent.test (referrals) and unglued-host.test
#   127.0.0.3:53  glued.parent.test and unglued.parent.test (the children)
#   127.0.0.4:53  batch.pellamar.test: h0 .. h4999, each with A 10.4.(i / 256).(i % 256)
#   127.0.0.5:53  the same names with A 10.5.(i / 256).(i % 256), for comparing servers
#   127.0.0.40:53 zone transfers: xfr.test (anyone), signed.xfr.test (a TSIG key of
#                 nsd/xfr.keys), closed.xfr.test (nobody: REFUSED) and big.xfr.test
#                 (100,000 records, written at start)
#
# Each server's pid is appended to $PELLAMAR_NETNS_RUN/pids; the script returns once all
# answer. The zone files (tests/netns/nsd/*.zone) say what each record is for; the batch
# zones are written at start, into $PELLAMAR_NETNS_RUN/batch-zones-*, from the lines below.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
zones=$here/nsd

if [ "${PELLAMAR_NETNS_INNER:-}" != 1 ] || [ -z "${PELLAMAR_NETNS_RUN:-}" ]; then
  echo "start-nsd: runs only inside the namespace made by tests/netns/run-in-netns.sh" >&2
  exit 1
fi
nsd_bin=$(command -v nsd || true)
[ -n "$nsd_bin" ] || nsd_bin=/usr/sbin/nsd
if [ ! -x "$nsd_bin" ]; then
  echo "start-nsd: nsd is not installed (scripts/install-deps.sh server)" >&2
  exit 1
fi

# start_instance NAME ADDRESS ZONE... (the zone files are taken from $zone_dir when set)
start_instance() {
  local name=$1 address=$2 zone_files=${zone_dir:-$zones}
  shift 2
  local dir=$PELLAMAR_NETNS_RUN/nsd-$name
  mkdir -p "$dir"
  sed -e "s|@RUN@|$dir|g" -e "s|@ADDRESS@|$address|g" -e "s|@ZONES@|$zone_files|g" \
    "$zones/nsd.conf" >"$dir/nsd.conf"
  : >"$dir/zones.conf"
  local zone
  for zone in "$@"; do
    printf 'zone:\n    name: "%s"\n    zonefile: "%s/%s.zone"\n' "$zone" "$zone_files" "$zone" \
      >>"$dir/zones.conf"
  done
  "$nsd_bin" -d -c "$dir/nsd.conf" >"$dir/stdout.log" 2>&1 &
  echo $! >>"$PELLAMAR_NETNS_RUN/pids"
}

# Sends one SOA question for the name given as wire labels to ADDRESS:53 and succeeds
# when an answer with the same ID and response code 0 comes back within a second.
answers() {
  local address=$1 qname=$2 reply
  reply=$(
    exec 3<>"/dev/udp/$address/53" || exit 1
    printf "\x50\x4d\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00${qname}\x00\x00\x06\x00\x01" >&3
    timeout 1 dd bs=4096 count=1 <&3 2>/dev/null | od -An -tx1 -N4 | tr -d ' \n'
  ) 2>/dev/null || return 1
  # ID 504d, QR set, response code 0 in the low four bits of the fourth byte.
  [[ $reply == 504d8[0-9a-f][0-9a-f]0 ]]
}

wait_for() {
  local name=$1 address=$2 qname=$3 tries=0
  until answers "$address" "$qname"; do
    tries=$((tries + 1))
    if [ $tries -ge 100 ]; then
      echo "start-nsd: the $name server on $address does not answer; its log:" >&2
      cat "$PELLAMAR_NETNS_RUN/nsd-$name/nsd.log" "$PELLAMAR_NETNS_RUN/nsd-$name/stdout.log" \
        >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
}

# write_batch_zone DIR SECOND_OCTET: batch.pellamar.test with 5,000 hosts for the batch
# engine's tests, generated rather than kept as 5,000 lines in the repository.
write_batch_zone() {
  local dir=$1 octet=$2
  mkdir -p "$dir"
  {
    printf '$ORIGIN batch.pellamar.test.\n$TTL 300\n'
    # The copy on 127.0.0.5 is one change ahead: serial 2 against 1.
    printf '@ IN SOA ns.batch.pellamar.test. hostmaster.pellamar.test. %s 3600 600 86400 300\n' \
      $((octet - 3))
    printf '@ IN NS ns.batch.pellamar.test.\nns IN A 127.0.0.%s\n' "$octet"
    awk -v octet="$octet" 'BEGIN {
      for (i = 0; i < 5000; i++) printf "h%d IN A 10.%d.%d.%d\n", i, octet, int(i / 256), i % 256
    }'
  } >"$dir/batch.pellamar.test.zone"
}

write_batch_zone "$PELLAMAR_NETNS_RUN/batch-zones-4" 4
write_batch_zone "$PELLAMAR_NETNS_RUN/batch-zones-5" 5

# The transfer server: its keys from nsd/xfr.keys ("ALGORITHM NAME SECRET" a line), each
# allowed to transfer signed.xfr.test; its zones share one file of records.
start_xfr_instance() {
  local dir=$PELLAMAR_NETNS_RUN/nsd-xfr zone_files=$PELLAMAR_NETNS_RUN/xfr-zones
  mkdir -p "$dir" "$zone_files"
  sed -e "s|@RUN@|$dir|g" -e "s|@ADDRESS@|127.0.0.40|g" -e "s|@ZONES@|$zone_files|g" \
    "$zones/nsd.conf" >"$dir/nsd.conf"
  local zone algorithm name secret allowed
  for zone in xfr.test signed.xfr.test closed.xfr.test; do
    { printf '$ORIGIN %s.\n' "$zone"; cat "$zones/xfr.test.zone"; } >"$zone_files/$zone.zone"
  done
  {
    printf '$ORIGIN big.xfr.test.\n$TTL 300\n'
    printf '@ IN SOA ns1 hostmaster 1 3600 600 86400 300\n@ IN NS ns1\nns1 IN A 127.0.0.40\n'
    awk 'BEGIN { for (i = 0; i < 99997; i++)
      printf "h%d IN A 10.%d.%d.%d\n", i, int(i / 65536), int(i / 256) % 256, i % 256 }'
  } >"$zone_files/big.xfr.test.zone"
  : >"$dir/zones.conf"
  allowed=""
  while read -r algorithm name secret; do
    printf 'key:\n    name: "%s"\n    algorithm: %s\n    secret: "%s"\n' \
      "$name" "$algorithm" "$secret" >>"$dir/zones.conf"
    allowed+="    provide-xfr: 127.0.0.0/8 $name"$'\n'
  done <"$zones/xfr.keys"
  # The tests sign with the same keys.
  cp "$zones/xfr.keys" "$PELLAMAR_NETNS_RUN/xfr.keys"
  # big.xfr.test to the keys too: a signed transfer of many messages, each chained.
  for zone in xfr.test big.xfr.test; do
    printf 'zone:\n    name: "%s"\n    zonefile: "%s/%s.zone"\n    provide-xfr: 127.0.0.0/8 NOKEY\n' \
      "$zone" "$zone_files" "$zone" >>"$dir/zones.conf"
    [ "$zone" = big.xfr.test ] && printf '%s' "$allowed" >>"$dir/zones.conf"
  done
  printf 'zone:\n    name: "signed.xfr.test"\n    zonefile: "%s/signed.xfr.test.zone"\n%s' \
    "$zone_files" "$allowed" >>"$dir/zones.conf"
  printf 'zone:\n    name: "closed.xfr.test"\n    zonefile: "%s/closed.xfr.test.zone"\n    provide-xfr: 10.9.9.9 NOKEY\n' \
    "$zone_files" >>"$dir/zones.conf"
  "$nsd_bin" -d -c "$dir/nsd.conf" >"$dir/stdout.log" 2>&1 &
  echo $! >>"$PELLAMAR_NETNS_RUN/pids"
}
start_xfr_instance

start_instance main 127.0.0.1 pellamar.test 127.in-addr.arpa \
  0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa types.test
start_instance parent 127.0.0.2 parent.test unglued-host.test
start_instance child 127.0.0.3 glued.parent.test unglued.parent.test
zone_dir=$PELLAMAR_NETNS_RUN/batch-zones-4 start_instance batch 127.0.0.4 batch.pellamar.test
zone_dir=$PELLAMAR_NETNS_RUN/batch-zones-5 start_instance batch2 127.0.0.5 batch.pellamar.test

wait_for main 127.0.0.1 '\x08pellamar\x04test'
wait_for main 127.0.0.1 '\x05types\x04test'
wait_for parent 127.0.0.2 '\x06parent\x04test'
wait_for child 127.0.0.3 '\x05glued\x06parent\x04test'
wait_for batch 127.0.0.4 '\x05batch\x08pellamar\x04test'
wait_for batch2 127.0.0.5 '\x05batch\x08pellamar\x04test'
wait_for xfr 127.0.0.40 '\x03xfr\x04test'
wait_for xfr 127.0.0.40 '\x03big\x03xfr\x04test'
