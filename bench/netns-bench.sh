# Shared by the comparison scripts (sourced, not run): finds pellamar-cli in the build
# folder given as the first argument (build/ by default), checks that the peer tools are
# installed, and runs the calling script again inside the private network namespace,
# which starts the loopback NSD server, so that no packet can reach another server.
#
#   source "$here/netns-bench.sh" NAME TOOL... -- "$@"
# Afterwards: $build, $cli, and the script's own remaining arguments in "${bench_args[@]}".
bench_name=$1
shift
bench_tools=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  bench_tools+=("$1")
  shift
done
[ $# -gt 0 ] && shift
repo=$(cd "$here/.." && pwd)

build=$repo/build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  build=$1
  shift
fi
bench_args=("$@")
cli=$(cd "$build" 2>/dev/null && pwd)/cli/pellamar-cli
if [ ! -x "$cli" ]; then
  echo "$bench_name: $cli is not built (cmake --build $build --target pellamar-cli)" >&2
  exit 1
fi
for tool in "${bench_tools[@]}"; do
  if ! command -v "$tool" >/dev/null; then
    echo "$bench_name: $tool is missing (scripts/install-deps.sh bench)" >&2
    exit 1
  fi
done

if [ "${PELLAMAR_NETNS:-}" != 1 ]; then
  # Once only: without the rights to make a namespace, run-in-netns.sh would run us again
  # outside it.
  if [ "${PELLAMAR_BENCH_INNER:-}" = 1 ]; then
    echo "$bench_name: needs the private network namespace (run as root)" >&2
    exit 1
  fi
  export PELLAMAR_BENCH_INNER=1
  exec "$repo/tests/netns/run-in-netns.sh" "$0" "$build" "${bench_args[@]}"
fi
