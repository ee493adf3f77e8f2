#!/usr/bin/env bash
# Makes the README's pictures: the main window after an MX lookup of pellamar.test
# (docs/screenshot.png) and the about box (docs/about.png), then the same two with a dark
# desktop theme (docs/screenshot-dark.png, docs/about-dark.png); then DNSSEC's verdicts on
# the signed test tree, a secure answer and a forged one, light and dark
# (docs/dnssec-secure.png, docs/dnssec-bogus.png and their -dark twins), and a TXT answer
# after an MX one (docs/screenshot-txt.png, docs/screenshot-txt-dark.png), the SOA of the
# batch zone asked of its two servers at once (docs/screenshot-several.png), the chain of
# trust's picture for the secure and the forged answer (docs/chain-secure.png,
# docs/chain-bogus.png), a TXT answer over DNS over HTTPS (docs/screenshot-https.png), the
# trace from the root of a name whose zone is bogus (docs/trace.png) and the batch table part
# of the way through 100,000 names (docs/batch.png), with their -dark twins. The window
# remembers nothing here: its settings go to a scratch folder.
#   scripts/screenshot.sh [--xvfb] [BUILD_DIR]     (BUILD_DIR defaults to build)
# Qt's offscreen platform draws them unless --xvfb asks for a real window on a virtual X
# display. Run as root, it runs inside the private test namespace, where the lookup is
# a real one against the loopback test server (once the query component is built);
# elsewhere the program draws a built-in copy of that server's answer. Nothing is sent
# off this machine either way.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
xvfb=0
if [ "${1:-}" = "--xvfb" ]; then xvfb=1; shift; fi
build_dir=${1:-build}

cmake -S . -B "$build_dir" -G Ninja >/dev/null
cmake --build "$build_dir" --target pellamar-screenshot -j 2
mkdir -p docs
XDG_CONFIG_HOME=$(mktemp -d)
export XDG_CONFIG_HOME
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
shot="$PWD/$build_dir/app/pellamar-screenshot"

if [ $xvfb -eq 1 ]; then
  command -v xvfb-run >/dev/null || { echo "screenshot: xvfb-run is missing (scripts/install-deps.sh app)" >&2; exit 1; }
  runner=(xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96")
else
  export QT_QPA_PLATFORM=offscreen
  runner=()
fi
tests/netns/run-in-netns.sh "${runner[@]}" "$shot" "$PWD/docs/screenshot.png" "$PWD/docs/about.png"
tests/netns/run-in-netns.sh "${runner[@]}" "$shot" --dark "$PWD/docs/screenshot-dark.png" \
  "$PWD/docs/about-dark.png"
for theme in "" --dark; do
  suffix=${theme:+-dark}
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --dnssec www.ed.example \
    "$PWD/docs/dnssec-secure$suffix.png"
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --dnssec www.bogus-ds.example \
    "$PWD/docs/dnssec-bogus$suffix.png"
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --chain www.ed.example \
    "$PWD/docs/chain-secure$suffix.png"
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --chain www.bogus-ds.example \
    "$PWD/docs/chain-bogus$suffix.png"
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --txt info.pellamar.test \
    "$PWD/docs/screenshot-txt$suffix.png"
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --several batch.pellamar.test \
    "$PWD/docs/screenshot-several$suffix.png"
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --https info.pellamar.test \
    "$PWD/docs/screenshot-https$suffix.png"
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --trace www.bogus-ds.example \
    "$PWD/docs/trace$suffix.png"
  tests/netns/run-in-netns.sh "${runner[@]}" "$shot" $theme --batch "$PWD/docs/batch$suffix.png"
done
echo "screenshot: wrote docs/screenshot.png, docs/about.png, docs/dnssec-secure.png," \
  "docs/dnssec-bogus.png, docs/chain-secure.png, docs/chain-bogus.png, docs/screenshot-txt.png," \
  "docs/screenshot-several.png, docs/screenshot-https.png, docs/trace.png, docs/batch.png" \
  "and their -dark twins"
