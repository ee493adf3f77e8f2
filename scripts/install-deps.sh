#!/usr/bin/env bash
# Installs, with apt-get, whichever of the Debian packages this project needs are missing.
#   scripts/install-deps.sh GROUP...   (groups: build test fuzz server app bench package)
# As a non-root user it only lists what is missing and carries on.
set -uo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++ pkg-config libidn2-dev libgnutls28-dev nettle-dev libnghttp2-dev"
  # The DNSSEC tests make their keys and signatures with OpenSSL: another library than the
  # one checking them (GnuTLS). graphviz: dot reads the chain of trust pellamar-cli --graph
  # writes.
  [test]="libgtest-dev libgmock-dev clang libclang-rt-14-dev iproute2 util-linux libssl-dev graphviz"
  [fuzz]="clang libclang-rt-14-dev"
  # The loopback servers of the test namespace (tests/netns) and the reference clients the
  # tests hold them to: openssl makes the TLS servers' certificates, kdig asks over TLS/HTTPS.
  [server]="nsd ldnsutils unbound bind9 bind9-dnsutils knot-dnsutils openssl python3 knot"
  [app]="qt6-base-dev qt6-svg-dev qt6-translations-l10n libgl-dev xvfb xauth fonts-dejavu-core fonts-liberation2"
  [bench]="libbenchmark-dev libssl-dev libldns-dev libc-ares-dev ldnsutils bind9-dnsutils knot-dnsutils hyperfine dnsperf time"
  # Building the .deb (dpkg-shlibdeps) and checking what it holds: the metainfo and
  # .desktop validators, man for the man pages, bash-completion for the completion.
  [package]="dpkg-dev appstream desktop-file-utils man-db groff-base bash-completion gzip"
)

wanted=()
for group in "$@"; do
  [ -n "${groups[$group]+x}" ] || { echo "install-deps: unknown group '$group'" >&2; exit 2; }
  for pkg in ${groups[$group]}; do wanted+=("$pkg"); done
done

missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$pkg")
done
# Keep the list unique.
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sed '/^$/d' | sort -u)
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps: missing packages (install them as root): ${missing[*]}" >&2
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
# Packages such as nsd would start their system service on install; our tests run their
# own instances inside a private namespace, so keep services from starting meanwhile.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && made_policy=1
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
status=$?
[ $made_policy -eq 1 ] && rm -f "$policy"
exit $status
