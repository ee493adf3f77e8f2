# What every loopback server starter shares (sourced, after setting `starter` to its own
# name): a failure that names the starter, the refusal to run outside the namespace, and
# finding a server tool, in /usr/sbin too, with the package group that installs it.
fail() {
  echo "$starter: $*" >&2
  exit 1
}

if [ "${PELLAMAR_NETNS_INNER:-}" != 1 ] || [ -z "${PELLAMAR_NETNS_RUN:-}" ]; then
  fail "runs only inside the namespace made by tests/netns/run-in-netns.sh"
fi

find_tool() {
  local path
  path=$(command -v "$1" || true)
  [ -n "$path" ] || path=/usr/sbin/$1
  [ -x "$path" ] || fail "$1 is not installed (scripts/install-deps.sh server)"
  echo "$path"
}
