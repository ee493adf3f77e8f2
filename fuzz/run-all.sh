#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a share of a time budget, starting from the
# committed seeds. New inputs go to a scratch folder; the committed corpus is not touched.
#   fuzz/run-all.sh BUILD_DIR SECONDS
set -uo pipefail
build_dir=${1:?build dir}
budget=${2:-60}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mapfile -t targets < <(find "$build_dir/fuzz" -maxdepth 1 -type f -name '*_fuzzer' -perm -u+x 2>/dev/null | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets built"
  exit 0
fi
share=$((budget / ${#targets[@]}))
[ $share -lt 5 ] && share=5
status=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  work=$(mktemp -d)
  seeds=()
  [ -d "$here/corpus/$name" ] && seeds=("$here/corpus/$name")
  echo "fuzz: $name for ${share}s"
  if ! "$target" -max_total_time="$share" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
      -artifact_prefix="$work/" "$work" "${seeds[@]}" >"$work/log" 2>&1; then
    echo "fuzz: $name FAILED"
    tail -n 60 "$work/log"
    status=1
  else
    grep -E '^(Done [0-9]+ runs|#[0-9]+ *DONE)' "$work/log" | tail -n 1 | sed "s/^/fuzz: $name /"
  fi
  rm -rf "$work"
done
exit $status
