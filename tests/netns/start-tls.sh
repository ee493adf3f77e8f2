#!/usr/bin/env bash
# Serves DNS over TLS and over HTTPS on loopback (run by run-in-netns.sh, inside the
# namespace only), with a test CA and certificates made anew every time, everything under
# $PELLAMAR_NETNS_RUN/tls. Four Unbound instances (tests/netns/tls/unbound.conf), each
# answering for pellamar.test from the namespace's NSD (127.0.0.1) and refusing the rest:
#
#   127.0.0.80  853 TLS, 443 HTTPS, 53 plain  dns.pem (dns.pellamar.test): the server a
#                                             client should trust
#   127.0.0.81  853 TLS, 443 HTTPS, 53 plain  other.pem (other.pellamar.test): valid, but
#                                             for another name; asked as dns.pellamar.test
#                                             it must fail on the name
#   127.0.0.82  853 TLS, 443 HTTPS, 53 plain  expired.pem (expired.pellamar.test): valid
#                                             only in January 2020
#   127.0.0.83  853 plain UDP and TCP         none: a server on the TLS port that a client
#                                             must not take for an encrypted one
#   127.0.0.84  443 HTTPS, HTTP/1.1 only;     http1.pem (http1.pellamar.test): not Unbound
#               853 TLS that never answers    but tls/doh-http1.py, which answers well or
#                                             badly by path (see there)
#   127.0.0.85  853 TLS, 443 HTTP/2,          names-*.pem, chosen by the name the client
#               4431-4434 HTTP/2 floods       sends: tls/tls-hostile.py (see there)
#   127.0.0.87  853 TLS, 443 HTTPS, 53 plain  tree.pem (tree.pellamar.test): not one of the
#                                             four but the signed tree's resolver (see
#                                             below), for the chain of trust over TLS
#
# The three certificates are signed by ca.pem and name their server both ways (DNS:name,
# IP:address). HTTPS is Unbound's: HTTP/2 only, path /dns-query, POST and GET ?dns=.
# The names-*.pem, also signed by ca.pem, are asked by name at 127.0.0.85 (no /etc/hosts
# entry): names-san (DNS:san.enc.test) and names-wildcard (DNS:*.enc.test, asked as
# any.enc.test) as a client must accept them; names-cn-only (cn-only.enc.test only in the
# CN), names-partial (DNS:d*.enc.test, asked as dns.enc.test) and names-cn-wildcard
# (*.enc.test only in the CN, asked as cnwild.enc.test) as it must refuse them.
#
# Files for the clients, in $PELLAMAR_NETNS_RUN/tls:
#   ca.pem        "Pellamar Test CA", the CA to trust (EC P-256, thirty days)
#   other-ca.pem  "Pellamar Other CA", unrelated: it signed nothing served here
#   dns.pem, other.pem, expired.pem and their .key files: the servers' certificates
#
# /etc/hosts is covered (in this mount namespace only) by a copy that maps the three
# names above to their addresses, so clients can be given the names.
# Each server's pid is appended to $PELLAMAR_NETNS_RUN/pids; the script returns once all
# four answer, the first with its certificate checked against ca.pem over TLS and HTTPS.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
templates=$here/tls

starter=start-tls
source "$here/starter-common.sh"
unbound_bin=$(find_tool unbound)
openssl_bin=$(find_tool openssl)
kdig_bin=$(find_tool kdig)

top=$PELLAMAR_NETNS_RUN/tls
# Once per namespace: a second run would make new keys while the first servers keep the ports.
mkdir "$top" 2>/dev/null || fail "$top exists already (started twice in one namespace?)"
mkdir -p "$top/ca-db/issued"
: >"$top/ca-db/index.txt"
echo 1000 >"$top/ca-db/serial"
export TLS_DIR=$top
ssl_conf=$templates/openssl.cnf
ssl_log=$top/openssl.log

# openssl with the test settings; its chatter goes to openssl.log, shown when it fails.
ssl() {
  "$openssl_bin" "$@" >>"$ssl_log" 2>&1 || {
    cat "$ssl_log" >&2
    fail "openssl $1 failed"
  }
}

# new_ca FILE NAME: a self-signed CA, FILE.pem and FILE.key.
new_ca() {
  TLS_CN=$2 TLS_SAN='' ssl req -x509 -new -config "$ssl_conf" -extensions ca_ext \
    -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -sha256 -days 30 \
    -keyout "$top/$1.key" -out "$top/$1.pem"
}

# new_certificate FILE CN SAN [-startdate WHEN -enddate WHEN]: a server certificate
# signed by the test CA with the subject CN and the subjectAltName SAN (empty: none),
# FILE.pem and FILE.key.
new_certificate() {
  local file=$1 extensions=server_ext
  export TLS_CN=$2 TLS_SAN=$3
  shift 3
  [ -n "$TLS_SAN" ] || extensions=server_cn_only_ext
  ssl req -new -config "$ssl_conf" -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc \
    -keyout "$top/$file.key" -out "$top/$file.csr"
  ssl ca -batch -config "$ssl_conf" -extensions "$extensions" -notext \
    -in "$top/$file.csr" -out "$top/$file.pem" "$@"
  unset TLS_CN TLS_SAN
}

# new_server FILE NAME ADDRESS [-startdate WHEN -enddate WHEN]: a server certificate
# for NAME and ADDRESS.
new_server() {
  local file=$1 name=$2 address=$3
  shift 3
  new_certificate "$file" "$name" "DNS:$name, IP:$address" "$@"
}

# start_unbound NAME SETTING... : an instance in $top/unbound-NAME whose instance.conf
# holds the given server settings, one per argument.
start_unbound() {
  local name=$1 dir=$top/unbound-$1
  shift
  mkdir "$dir"
  sed -e "s|@RUN@|$dir|g" "$templates/unbound.conf" >"$dir/unbound.conf"
  printf '    %s\n' "$@" >"$dir/instance.conf"
  "$unbound_bin" -d -c "$dir/unbound.conf" >"$dir/stdout.log" 2>&1 &
  echo $! >>"$PELLAMAR_NETNS_RUN/pids"
}

# The settings of a TLS instance on ADDRESS with the certificate FILE.pem.
tls_instance() {
  local address=$1 file=$2
  tls_settings=(
    "interface: $address@53" "interface: $address@853" "interface: $address@443"
    "tls-port: 853" "https-port: 443"
    "tls-service-pem: \"$top/$file.pem\"" "tls-service-key: \"$top/$file.key\""
  )
}

new_ca ca "Pellamar Test CA"
new_ca other-ca "Pellamar Other CA"
new_server dns dns.pellamar.test 127.0.0.80
new_server other other.pellamar.test 127.0.0.81
# The whole window in the past; only "openssl ca" takes both ends.
new_server expired expired.pellamar.test 127.0.0.82 \
  -startdate 20200101000000Z -enddate 20200201000000Z
new_server http1 http1.pellamar.test 127.0.0.84
# The names of tls-hostile.py's certificates, each asked by the name beside it.
new_certificate names-san san.enc.test DNS:san.enc.test
new_certificate names-wildcard "Wildcard" "DNS:*.enc.test"
new_certificate names-cn-only cn-only.enc.test ""
new_certificate names-partial "d*.enc.test" "DNS:d*.enc.test"
new_certificate names-cn-wildcard "*.enc.test" ""

tls_instance 127.0.0.80 dns
start_unbound dns "${tls_settings[@]}"
tls_instance 127.0.0.81 other
start_unbound other "${tls_settings[@]}"
tls_instance 127.0.0.82 expired
start_unbound expired "${tls_settings[@]}"
# Unbound takes every address on its TLS port (853 unless told otherwise) for a TLS one;
# moved to ports this instance does not listen on, 853 here is plain DNS.
start_unbound plain "interface: 127.0.0.83@853" "tls-port: 8853" "https-port: 8443"
# 127.0.0.87: the signed tree's resolver again (tests/netns/start-dnssec.sh's 127.0.0.53,
# from the same template), plain on 53, TLS on 853 and HTTPS on 443 with tree.pem
# (tree.pellamar.test, also valid for 127.0.0.97, where a test's counting proxy sits in
# front of it): the chain of trust over an encrypted connection.
new_certificate tree tree.pellamar.test "DNS:tree.pellamar.test, IP:127.0.0.87, IP:127.0.0.97"
tree_dir=$top/unbound-tree
mkdir "$tree_dir"
sed -e "s|@RUN@|$tree_dir|g" -e "s|@HINTS@|$here/dnssec/root.hints|g" \
  -e "s|^    interface: 127.0.0.53\$|    include: \"$tree_dir/instance.conf\"|" \
  -e '/^    port: 53$/d' "$here/dnssec/unbound.conf" >"$tree_dir/unbound.conf"
tls_instance 127.0.0.87 tree
printf '    %s\n' "${tls_settings[@]}" "http-endpoint: \"/dns-query\"" >"$tree_dir/instance.conf"
"$unbound_bin" -d -c "$tree_dir/unbound.conf" >"$tree_dir/stdout.log" 2>&1 &
echo $! >>"$PELLAMAR_NETNS_RUN/pids"
python_bin=$(command -v python3 || true)
[ -n "$python_bin" ] || fail "python3 is not installed (scripts/install-deps.sh server)"
"$python_bin" "$templates/doh-http1.py" 127.0.0.84 "$top/http1.pem" "$top/http1.key" \
  >"$top/doh-http1.log" 2>&1 &
echo $! >>"$PELLAMAR_NETNS_RUN/pids"
"$python_bin" "$templates/tls-hostile.py" 127.0.0.85 "$top" san.enc.test=names-san \
  any.enc.test=names-wildcard cn-only.enc.test=names-cn-only dns.enc.test=names-partial \
  cnwild.enc.test=names-cn-wildcard >"$top/tls-hostile.log" 2>&1 &
echo $! >>"$PELLAMAR_NETNS_RUN/pids"

# The names of the certificates, for clients given a name rather than an address.
hosts=/etc/hosts
[ -L "$hosts" ] && hosts=$(readlink -f "$hosts")
cp "$hosts" "$top/hosts"
printf '%s\n' "127.0.0.80 dns.pellamar.test" "127.0.0.81 other.pellamar.test" \
  "127.0.0.82 expired.pellamar.test" "127.0.0.84 http1.pellamar.test" \
  "127.0.0.87 tree.pellamar.test" >>"$top/hosts"
mount --bind "$top/hosts" "$hosts" || fail "cannot bind-mount $hosts"
[ "$(getent hosts dns.pellamar.test | awk '{ print $1 }')" = 127.0.0.80 ] ||
  fail "dns.pellamar.test does not resolve to 127.0.0.80 through $hosts"

# wait_for INSTANCE KDIG-OPTION...: until kdig gets the test zone's TXT record with these
# options; a server still silent after five seconds has failed.
wait_for() {
  local name=$1 deadline=$((SECONDS + 5))
  shift
  until "$kdig_bin" +timeout=1 +retry=0 +short "$@" info.pellamar.test TXT 2>/dev/null |
    grep -qx '"Pellamar test zone"'; do
    if [ $SECONDS -ge $deadline ]; then
      echo "start-tls: the $name server does not answer kdig $*; its logs:" >&2
      cat "$top/unbound-$name"/*.log "$top/$name.log" >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.05
  done
}

ca=$top/ca.pem
wait_for dns @127.0.0.80 -p 853 +tls-ca="$ca" +tls-hostname=dns.pellamar.test
wait_for dns @127.0.0.80 -p 443 +https=/dns-query +tls-ca="$ca" \
  +tls-hostname=dns.pellamar.test
wait_for other @127.0.0.81 -p 853 +tls-ca="$ca" +tls-hostname=other.pellamar.test
# Its certificate has expired: only an unchecked TLS session can tell that it is up.
wait_for expired @127.0.0.82 -p 853 +tls
wait_for plain @127.0.0.83 -p 853
# The HTTP/1.1 server is not a DNS server kdig could ask: its ports taking connections is
# enough.
deadline=$((SECONDS + 5))
until (exec 3<>/dev/tcp/127.0.0.84/443 && exec 4<>/dev/tcp/127.0.0.84/853) 2>/dev/null; do
  if [ $SECONDS -ge $deadline ]; then
    cat "$top/doh-http1.log" >&2
    fail "the HTTP/1.1 server on 127.0.0.84 does not take connections"
  fi
  sleep 0.05
done
deadline=$((SECONDS + 5))
until "$kdig_bin" +timeout=1 +retry=0 +short @127.0.0.87 -p 853 +tls-ca="$ca" \
  +tls-hostname=tree.pellamar.test ed.example SOA 2>/dev/null | grep -q .; do
  if [ $SECONDS -ge $deadline ]; then
    cat "$tree_dir"/*.log >&2
    fail "the signed tree's resolver on 127.0.0.87 does not answer over TLS"
  fi
  sleep 0.05
done
wait_for tls-hostile @127.0.0.85 -p 853 +tls-ca="$ca" +tls-hostname=san.enc.test
for port in 443 4431 4432 4433 4434; do
  until (exec 3<>/dev/tcp/127.0.0.85/$port) 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then
      cat "$top/tls-hostile.log" >&2
      fail "tls-hostile.py on 127.0.0.85 does not take connections on port $port"
    fi
    sleep 0.05
  done
done
