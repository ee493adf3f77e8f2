#!/usr/bin/env bash
# What one encrypted lookup costs as a whole command, beside kdig, inside the private
# network namespace with the TLS servers the tests use (tests/netns/start-tls.sh, started
# by run-in-netns.sh): one DNS over HTTPS question (POST, HTTP/2) and one DNS over TLS
# question to Unbound on 127.0.0.80, the certificate checked against the test CA.
#  - whole-command times with hyperfine, pellamar-cli beside kdig +https / +tls (and
#    beside a second pellamar-cli, today's code for instance, when PELLAMAR_BASELINE_CLI
#    names one);
#  - with valgrind installed, callgrind's instruction counts of one run of each, in all and
#    in the TLS library's steps (loading it, making the context or the priorities, reading
#    the CAs, the handshake and within it the certificate check; GnuTLS's and, for a
#    baseline built on OpenSSL, OpenSSL's), beside kdig's total.
#
#   bench/compare-tls.sh [BUILD_DIR] [HYPERFINE_OPTION...]
#   PELLAMAR_BASELINE_CLI=/path/to/old/pellamar-cli bench/compare-tls.sh
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/netns-bench.sh" compare-tls hyperfine kdig -- "$@"
set -- "${bench_args[@]}"

tls=$PELLAMAR_NETNS_RUN/tls
check="--tls-hostname dns.pellamar.test --tls-ca $tls/ca.pem"
kcheck="+tls-hostname=dns.pellamar.test +tls-ca=$tls/ca.pem"
baseline=${PELLAMAR_BASELINE_CLI:-}

# compare NAME PELLAMAR-OPTION KDIG-OPTION...
compare() {
  local name=$1 option=$2
  shift 2
  local commands=(--command-name "pellamar-cli $option"
    "$cli @127.0.0.80 $option $check txt info.pellamar.test")
  [ -n "$baseline" ] && commands+=(--command-name "baseline $option"
    "$baseline @127.0.0.80 $option $check txt info.pellamar.test")
  commands+=(--command-name "kdig $*" "kdig @127.0.0.80 $* $kcheck info.pellamar.test TXT")
  echo "== $name =="
  hyperfine --shell=none --warmup 10 --runs 100 "${bench_hyperfine[@]}" "${commands[@]}"
}
bench_hyperfine=("$@")
compare "one DNS over HTTPS question (HTTP/2 POST)" --https -p 443 +https
compare "one DNS over TLS question" --tls +tls

command -v valgrind >/dev/null || {
  echo "(valgrind is not installed: no instruction counts)"
  exit 0
}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# instructions FILE: the whole run's count and the TLS library's steps, each inclusive of
# what it calls.
instructions() {
  callgrind_annotate --inclusive=yes "$1" 2>/dev/null | awk '
    /PROGRAM TOTALS/ { printf "  %-32s %14s\n", "whole command", $1; next }
    match($0, /:(dlopen@@GLIBC[^ ]*|OPENSSL_init_ssl|SSL_CTX_new|SSL_CTX_load_verify_locations|SSL_CTX_load_verify_dir|SSL_CTX_set_default_verify_paths|SSL_do_handshake|gnutls_priority_init2|gnutls_certificate_set_x509_trust_file|gnutls_handshake|gnutls_x509_trust_list_verify_crt2|nghttp2_session_client_new) /) {
      name = substr($0, RSTART + 1, RLENGTH - 2)
      if (!(name in shown)) { shown[name] = 1; printf "  %-32s %14s\n", name, $1 }
    }'
}
for option in --https --tls; do
  program=$cli
  for who in pellamar-cli ${baseline:+baseline}; do
    [ "$who" = baseline ] && program=$baseline
    valgrind --tool=callgrind --callgrind-out-file="$out/$who$option" \
      "$program" @127.0.0.80 $option $check txt info.pellamar.test >/dev/null 2>&1
    echo "== instructions: $who $option =="
    instructions "$out/$who$option"
  done
  case $option in
    --https) kdig_option=(-p 443 +https) ;;
    *) kdig_option=(+tls) ;;
  esac
  valgrind --tool=callgrind --callgrind-out-file="$out/kdig$option" \
    kdig @127.0.0.80 "${kdig_option[@]}" $kcheck info.pellamar.test TXT >/dev/null 2>&1
  echo "== instructions: kdig ${option#--} =="
  instructions "$out/kdig$option" | head -1
done
