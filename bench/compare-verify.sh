#!/usr/bin/env bash
# Sets our DNSSEC signature checks beside OpenSSL's own figures, one row per algorithm:
# verifications per second through CheckDnssecSignature and through VerifyRRset (from
# zvDnssecVerify_bench), what `openssl speed` reports for the same key type, and how much
# longer one of ours takes than one of OpenSSL's. It builds nothing and sends nothing.
#
#   bench/compare-verify.sh [BUILD_DIR] [SECONDS] [REPEATS]
#
# BUILD_DIR defaults to build-opt/ or else build-h2/ (a Release build with the benchmarks);
# SECONDS (2) is how long `openssl speed` runs each half of each algorithm and roughly how
# long each benchmark row runs, REPEATS (3) how many times each side is run. A busy machine
# can only slow a run down, so the fastest run of each side is the figure kept.
#
# The two do not time quite the same work, so read the overhead with this in mind:
#  - `openssl speed` holds the key as OpenSSL's object with one context set up for it once,
#    and checks a short fixed buffer: for RSA and ECDSA it stands for the digest, so nothing
#    is hashed (for RSA, one public-key operation and the padding check); for EdDSA it is
#    the message. Ours takes the key in DNSKEY wire form and makes GnuTLS's key from it
#    every time (a validator meets a zone's key in an answer), and checks with GnuTLS and
#    nettle beneath it (another library than OpenSSL: its elliptic curves are slower),
#    hashing the 120 bytes of an RRset's signed data.
#  - openssl speed has only a 2048-bit RSA row, which both RSA/SHA-256 and RSA/SHA-512 are
#    set beside.
#  - "in-process" is OpenSSL alone in the benchmark (BM_OpenSslDigestVerify): the key
#    object made once, a fresh context and the one-shot verification with hashing, on the
#    same data and signature. Its overhead column is the cost of our entry point proper.
# Rates are per CPU second on both sides (openssl speed's default; the benchmark's CPU
# time), so time the process spends waiting for a busy CPU does not count.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)

if [ $# -gt 0 ]; then
  build=$1
elif [ -x "$repo/build-opt/bench/zvDnssecVerify_bench" ]; then
  build=$repo/build-opt
else
  build=$repo/build-h2
fi
seconds=${2:-2}
repeats=${3:-3}
bench=$build/bench/zvDnssecVerify_bench
if [ ! -x "$bench" ]; then
  echo "compare-verify: $bench is not built (cmake --build $build --target zvDnssecVerify_bench)" >&2
  exit 1
fi
for tool in openssl jq awk; do
  if ! command -v "$tool" >/dev/null; then
    echo "compare-verify: $tool is missing" >&2
    exit 1
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "Machine: $(nproc) CPUs, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
openssl version
echo

# The two sides take turns, so that a busy stretch of the machine falls on both rather
# than on one of them.
for ((run = 0; run < repeats; run++)); do
  "$bench" --benchmark_format=json --benchmark_min_time="$seconds" \
    >"$work/bench.$run.json" 2>"$work/bench.err" || {
    cat "$work/bench.err" >&2
    exit 1
  }
  # `openssl speed -mr` ends with one line per key type, in operations per second:
  #   +F2:index:bits:sign/s:verify/s                 RSA
  #   +F4:index:bits:sign/s:verify/s                 ECDSA
  #   +F6:index:bits:name:sign/s:verify/s            EdDSA
  openssl speed -mr -seconds "$seconds" rsa2048 ecdsap256 ecdsap384 ed25519 ed448 \
    >>"$work/speed.txt" 2>"$work/speed.err" || {
    cat "$work/speed.err" >&2
    exit 1
  }
done

# The fastest run of one benchmark row, in verifications per CPU second.
ours() {
  jq -rs --arg name "$1/alg:$2" '
    [.[].benchmarks[] | select(.name == $name and (.error_occurred | not)) |
     {"ns": 1e9, "us": 1e6, "ms": 1e3, "s": 1}[.time_unit] / .cpu_time] | max // empty' \
    "$work"/bench.*.json
}
# openssl speed's best verify rate for the row whose tag and bits (or name) are given.
theirs() {
  awk -F: -v tag="$1" -v key="$2" '
    $1 == tag && tag != "+F6" && $3 == key && $5 + 0 > best { best = $5 + 0 }
    $1 == tag && tag == "+F6" && $4 == key && $6 + 0 > best { best = $6 + 0 }
    END { if (best > 0) print best }' "$work/speed.txt"
}

awk_table() {
  awk -v name="$1" -v check="$2" -v rrset="$3" -v speed="$4" -v floor="$5" '
    function rate(x) { return x == "" ? "-" : sprintf("%.0f", x) }
    function over(ours, base) {
      return (ours == "" || base == "" || ours == 0) ? "-" : sprintf("%+.0f %%", (base / ours - 1) * 100)
    }
    BEGIN {
      printf "%-16s %12s %12s %12s %10s %10s %12s %10s\n", name, rate(check), rate(rrset),
             rate(speed), over(check, speed), over(rrset, speed), rate(floor), over(check, floor)
    }'
}

printf "%-16s %12s %12s %12s %10s %10s %12s %10s\n" "algorithm" "check/s" "VerifyRRset/s" \
  "openssl/s" "check ovh" "RRset ovh" "in-process/s" "check ovh"
printf "%-16s %12s %12s %12s %10s %10s %12s %10s\n" "" "(ours)" "(ours)" "(speed)" \
  "vs speed" "vs speed" "(floor)" "vs floor"
while read -r alg label tag key; do
  awk_table "$label" "$(ours BM_CheckDnssecSignature "$alg")" "$(ours BM_VerifyRRset "$alg")" \
    "$(theirs "$tag" "$key")" "$(ours BM_OpenSslDigestVerify "$alg")"
done <<'EOF'
8 RSASHA256-2048 +F2 2048
10 RSASHA512-2048 +F2 2048
13 ECDSAP256SHA256 +F4 256
14 ECDSAP384SHA384 +F4 384
15 ED25519 +F6 Ed25519
16 ED448 +F6 Ed448
EOF
echo
echo "Overhead: how much longer one of ours takes than one of the other's (+20 % = 1.2 times)."
