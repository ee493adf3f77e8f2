#!/usr/bin/env bash
# Times pellamar-cli where the network is not kind, beside dig and kdig on the same
# loopback NSD server, with hyperfine, inside the private network namespace:
#  - an answer too long for a datagram (the server sets TC, the question goes again over
#    TCP) beside dig and kdig asking over TCP at once (+tcp) and dig without EDNS, which
#    also retries after the truncated datagram;
#  - a UDP port nobody listens on (ICMP port unreachable) with a 3-second time-out;
#  - a lookup whose first datagram is lost (a relay drops every other question), each
#    tool with its default time-out and tries;
#  - a lookup over DNS over TLS with the certificate checked, beside kdig +tls and dig +tls;
#  - a lookup over DNS over HTTPS (POST, HTTP/2), beside kdig +https and dig +https;
#  - a trace from the root over the signed tree's three servers beside drill -T.
#
#   bench/compare-network.sh [BUILD_DIR] [HYPERFINE_OPTION...]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-network hyperfine dig kdig drill python3 -- "$@"
set -- "${bench_args[@]}"

# Inside the namespace. Every command names the server explicitly.
echo "== an answer longer than 512 bytes (30 MX records) =="
hyperfine --shell=none --warmup 20 --runs 200 "$@" \
  --command-name "pellamar-cli (UDP, TC, then TCP)" "$cli -s 127.0.0.1 mx bigmx.pellamar.test" \
  --command-name "dig +noedns (UDP, TC, then TCP)" "dig @127.0.0.1 bigmx.pellamar.test MX +noedns" \
  --command-name "dig +tcp" "dig @127.0.0.1 bigmx.pellamar.test MX +tcp" \
  --command-name "kdig +tcp" "kdig @127.0.0.1 bigmx.pellamar.test MX +tcp"

# A port that was free a moment ago: nothing listens there.
closed=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
echo "== a closed UDP port ($closed), time-out 3 s =="
hyperfine --shell=none --ignore-failure --warmup 3 --runs 30 "$@" \
  --command-name "pellamar-cli" "$cli -s 127.0.0.1 -p $closed -W 3 a host4.pellamar.test" \
  --command-name "dig" "dig @127.0.0.1 -p $closed host4.pellamar.test A +tries=1 +timeout=3" \
  --command-name "kdig" "kdig @127.0.0.1 -p $closed host4.pellamar.test A +retry=0 +timeout=3"

# The relay loses the first datagram of each lookup and passes the second to NSD.
relay_port=5301
python3 "$here/drop-every-other.py" $relay_port 53 &
relay=$!
trap 'kill $relay 2>/dev/null' EXIT
sleep 0.5
# dig is given its documented defaults: it would take the namespace's resolv.conf options
# (a 2-second time-out and one attempt, set for the tests' host-name lookups) instead.
echo "== the first datagram lost (default time-outs and tries) =="
hyperfine --shell=none --warmup 1 --runs 10 "$@" \
  --command-name "pellamar-cli" "$cli -s 127.0.0.1 -p $relay_port a host4.pellamar.test" \
  --command-name "dig" "dig @127.0.0.1 -p $relay_port host4.pellamar.test A +timeout=5 +tries=3" \
  --command-name "kdig" "kdig @127.0.0.1 -p $relay_port host4.pellamar.test A" \
  --command-name "drill" "drill -p $relay_port host4.pellamar.test @127.0.0.1 A"

# DNS over TLS to the namespace's Unbound (tests/netns/start-tls.sh), each tool checking
# the certificate against the test CA for the server's name: one whole lookup, handshake
# included.
tls=$PELLAMAR_NETNS_RUN/tls
echo "== DNS over TLS, certificate checked (Unbound on 127.0.0.80:853) =="
hyperfine --shell=none --warmup 5 --runs 50 "$@" \
  --command-name "pellamar-cli --tls" \
  "$cli @127.0.0.80 --tls --tls-hostname dns.pellamar.test --tls-ca $tls/ca.pem txt info.pellamar.test" \
  --command-name "kdig +tls" \
  "kdig @127.0.0.80 +tls +tls-hostname=dns.pellamar.test +tls-ca=$tls/ca.pem info.pellamar.test TXT" \
  --command-name "dig +tls" \
  "dig @127.0.0.80 +tls +tls-hostname=dns.pellamar.test +tls-ca=$tls/ca.pem info.pellamar.test TXT"

echo "== DNS over HTTPS, POST over HTTP/2, certificate checked (Unbound on 127.0.0.80:443) =="
hyperfine --shell=none --warmup 5 --runs 50 "$@" \
  --command-name "pellamar-cli --https" \
  "$cli @127.0.0.80 --https --tls-hostname dns.pellamar.test --tls-ca $tls/ca.pem txt info.pellamar.test" \
  --command-name "kdig +https" \
  "kdig @127.0.0.80 +https +tls-hostname=dns.pellamar.test +tls-ca=$tls/ca.pem info.pellamar.test TXT" \
  --command-name "dig +https" \
  "dig @127.0.0.80 +https +tls-hostname=dns.pellamar.test +tls-ca=$tls/ca.pem info.pellamar.test TXT"

# The batch (-f) beside dig -f and dnsperf is bench/compare-batch.sh.

# A trace from the root of the signed tree: 127.0.0.10, then example. on .11, then
# ed.example. on .12 (tests/netns/start-dnssec.sh), from the same hints file.
hints=$(mktemp)
printf '. 3600000 NS a.root-servers.example.\na.root-servers.example. 3600000 A 127.0.0.10\n' >"$hints"
echo "== a trace from the root over three servers =="
hyperfine --shell=none --warmup 5 --runs 50 "$@" \
  --command-name "pellamar-cli --trace" "$cli --root-hints $hints www.ed.example" \
  --command-name "drill -T" "drill -T -r $hints www.ed.example"
rm -f "$hints"
