#!/usr/bin/env bash
# Checks what a user gets from a build: the installed tree, the .desktop and metainfo
# files, the man pages, the bash completion and the Debian package. Fast (a few seconds)
# on a folder that is already built; sends nothing over the network.
#   tests/package/check-package.sh BUILD_DIR
# The last line is "package: N passed, M failed"; the exit status is 0 only when none
# failed.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
build_dir=${1:?usage: check-package.sh BUILD_DIR}
passed=0
failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pass() {
  echo "package: ok   $1"
  passed=$((passed + 1))
}
fail() {
  echo "package: FAIL $1"
  [ -s "$work/why" ] && sed 's/^/    /' "$work/why"
  failed=$((failed + 1))
}
# check NAME COMMAND...: passes when COMMAND succeeds; what it printed is shown when not.
check() {
  local name=$1
  shift
  if "$@" >"$work/why" 2>&1; then pass "$name"; else fail "$name"; fi
}
# same NAME EXPECTED ACTUAL: the two lists of words are the same set.
same() {
  local name=$1
  diff <(tr ' ' '\n' <<<"$2" | sed '/^$/d' | sort -u) \
    <(tr ' ' '\n' <<<"$3" | sed '/^$/d' | sort -u) >"$work/why"
  if [ $? -eq 0 ]; then pass "$name"; else fail "$name (< expected, > found)"; fi
}
finish() {
  echo "package: $passed passed, $failed failed"
  [ $failed -eq 0 ]
  exit
}

# ---- the installed tree ----
dest=$work/dest
if ! DESTDIR=$dest cmake --install "$build_dir" --prefix /usr >"$work/why" 2>&1; then
  fail "cmake --install into a DESTDIR"
  finish
fi
expected_tree="usr/bin/pellamar
usr/bin/pellamar-cli
usr/share/applications/pellamar.desktop
usr/share/bash-completion/completions/pellamar-cli
usr/share/man/man1/pellamar-cli.1.gz
usr/share/man/man1/pellamar.1.gz
usr/share/metainfo/org.example.pellamar.metainfo.xml
usr/share/icons/hicolor/scalable/apps/pellamar.svg"
for size in 16 24 32 48 64 128 256; do
  expected_tree+=$'\n'"usr/share/icons/hicolor/${size}x${size}/apps/pellamar.png"
done
installed_tree=$(cd "$dest" && find . -type f -printf '%P\n')
same "the installed files are exactly the expected ones" "$expected_tree" "$installed_tree"
check "both programs are executable" test -x "$dest/usr/bin/pellamar" -a -x "$dest/usr/bin/pellamar-cli"
cli=$dest/usr/bin/pellamar-cli

# ---- .desktop and metainfo ----
desktop=$dest/usr/share/applications/pellamar.desktop
metainfo=$dest/usr/share/metainfo/org.example.pellamar.metainfo.xml
# desktop-file-validate succeeds on hints, so anything it prints counts as a failure.
check "desktop-file-validate has nothing to say" \
  bash -c '! desktop-file-validate "$1" 2>&1 | grep .' _ "$desktop"
check "appstreamcli validate --no-net" appstreamcli validate --no-net "$metainfo"
icon=$(sed -n 's/^Icon=//p' "$desktop")
check "the .desktop icon is installed in every size" \
  test "$(cd "$dest" && find usr/share/icons -name "$icon.*" | wc -l)" -eq 8
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
check "the metainfo launches the installed .desktop file" \
  test -f "$dest/usr/share/applications/$launchable"
version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo")
# The version has four parts, major.minor.release.build; the programs show "1.0 (build 170)".
shown_version=$(awk -F. '{ printf "%s.%s (build %s)", $1, $2, $4 }' <<<"$version")
check "pellamar-cli --version shows the metainfo's release" \
  test "$("$cli" --version)" = "pellamar-cli $shown_version"

# ---- man pages ----
for page in "$dest"/usr/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  # man --warnings passes groff's warnings through to standard error.
  LC_ALL=C.UTF-8 MANWIDTH=200 man --warnings -l "$page" >"$work/$name.txt" 2>"$work/$name.err"
  check "man $name renders without warnings" \
    bash -c '[ -s "$1" ] && ! grep . "$2"' _ "$work/$name.txt" "$work/$name.err"
  check "man $name shows the version" grep -q "Pellamar $shown_version" "$work/$name.txt"
done

# The option words of a section, from the lines that start with an option (up to the
# first run of two spaces, where the description begins). A line may start with the
# server's "@SERVER, -s, --server" form, whose options count too.
section() { sed -n "/^$1\$/,/^[A-Z]/p" | sed '1d;$d'; }
option_words() {
  grep -E '^ +[-@]' | sed -E 's/^ +//; s/  .*//' | grep -oE -- '(^|[ ,])-{1,2}[A-Za-z0-9][-A-Za-z0-9]*' |
    tr -d ' ,'
}
# A type word with a value (ixfr=SERIAL) is offered as its stem (ixfr=).
type_words() { grep -E '^ +[a-z][a-z0-9]*(=[A-Z]+)?( |$)' | awk '{ sub(/=.*/, "=", $1); print $1 }'; }
help=$("$cli" --help)
help_options=$(section OPTIONS <<<"$help" | option_words)
help_types=$(section 'TYPES.*' <<<"$help" | type_words)
man_cli=$(<"$work/pellamar-cli.txt")
# Empty lists would pass every comparison below.
check "--help shows its options and types" test -n "$help_options" -a -n "$help_types"
same "the man page lists the options of --help" "$help_options" \
  "$(section OPTIONS <<<"$man_cli" | grep -E '^ {7}[-@]' | option_words)"
same "the man page lists the types of --help" "$help_types" \
  "$(section TYPES <<<"$man_cli" | grep -E '^ {7}[a-z]' | type_words)"

# ---- bash completion ----
completion=$dest/usr/share/bash-completion/completions/pellamar-cli
completion_lists() {
  # shellcheck disable=SC1090
  bash -c 'source "$1"; eval "echo \"\${$2[*]}\""' _ "$completion" "$1"
}
same "the completion offers the options of --help" "$help_options" \
  "$(completion_lists _pellamar_cli_value_options) $(completion_lists _pellamar_cli_flag_options) \
$(completion_lists _pellamar_cli_alone_options)"
same "the completion offers the types of --help" "$help_types" \
  "$(completion_lists _pellamar_cli_types)"
# What bash would offer after the given words (the last one is being completed).
complete_words() {
  PATH="$dest/usr/bin:$PATH" bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _pellamar_cli "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "${COMPREPLY[*]}"' _ "$completion" "$@"
}
# A server on another port is listed as " - ADDRESS -p PORT"; only the address is offered.
same "completing after -s offers the --list-dns servers" \
  "$("$cli" --list-dns | sed -n 's/^ - \([^ ]*\).*/\1/p')" "$(complete_words pellamar-cli -s '')"
same "completing the first word offers the types" "$help_types" \
  "$(complete_words pellamar-cli -p 53 '')"
same "completing -- offers the long options" "$(grep -E '^--' <<<"$help_options")" \
  "$(complete_words pellamar-cli --)"
same "nothing is offered after TYPE and NAME" "" "$(complete_words pellamar-cli mx pellamar.test '')"
same "nothing is offered after --list-dns" "" "$(complete_words pellamar-cli --list-dns '')"

# ---- configuring without GoogleTest ----
# run.sh's configuration, on a machine with only what run.sh installs, builds the window
# without the test framework; test.sh's, which is there for the suite, stops at once.
configure_as() {
  local line
  line=$(grep -m1 -E '^cmake -S \. -B build ' "$1" | sed -E 's/ *(>|&&).*//')
  [ -n "$line" ] || return 2
  ${line/-B build/-B $work/configure-$1} -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
}
check "run.sh's configuration needs no GoogleTest" configure_as run.sh
check "test.sh's configuration stops without GoogleTest" \
  bash -c "$(declare -f configure_as); work=$work configure_as test.sh; [ \$? -eq 1 ]"

# ---- the Debian package ----
if ! deb=$(scripts/build-deb.sh "$build_dir" 2>"$work/why"); then
  fail "scripts/build-deb.sh builds the package"
  finish
fi
pass "scripts/build-deb.sh builds $(basename "$deb")"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
check "the package is pellamar $version in section net" \
  test "$(field Package) $(field Version) $(field Section)" = "pellamar $version net"
check "its dependencies name the C++ runtime, Qt 6 Widgets, libidn2, libgnutls30 and libnghttp2" \
  bash -c 'grep -q "libstdc++6" <<<"$1" && grep -q "libqt6widgets6" <<<"$1" &&
    grep -q "libidn2-0" <<<"$1" && grep -q "libgnutls30" <<<"$1" &&
    grep -q "libnghttp2-14" <<<"$1"' _ "$(field Depends)"
same "the package holds exactly the installed files" "$installed_tree" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }')"
finish
