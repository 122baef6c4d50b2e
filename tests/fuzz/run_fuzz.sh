#!/bin/sh
# Long fuzz runs, one target after the other (never two at once): each target runs
# for SECONDS on its seeds and on its corpus of earlier runs (TREE/corpus/TARGET,
# which grows). Findings (crash-*, leak-*, timeout-*, oom-*) land in
# TREE/findings/TARGET; each one becomes a regression test. A dictionary beside the
# target's sources (tests/fuzz/TARGET.dict) is passed to it.
# Usage: tests/fuzz/run_fuzz.sh [SECONDS [TARGET...]]   (default 600 s, every target)
#   TREE is build/fuzz, or $FUZZ_TREE.
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
tree=${FUZZ_TREE:-$root/build/fuzz}
seconds=${1:-600}
[ $# -gt 0 ] && shift
"$root/tests/fuzz/build_fuzz.sh" "$tree"
targets=$*
[ -n "$targets" ] || targets=$(sed -n 's/^tessivar_fuzz_target(\([a-z0-9_]*\).*/\1/p' "$root/tests/fuzz/targets.cmake")
for target in $targets; do
  mkdir -p "$tree/corpus/$target" "$tree/findings/$target"
  dict=
  [ -f "$root/tests/fuzz/$target.dict" ] && dict="-dict=$root/tests/fuzz/$target.dict"
  echo "== $target for $seconds s"
  "$tree/bin/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 $dict \
    -artifact_prefix="$tree/findings/$target/" "$tree/corpus/$target" "$tree/seeds/$target" || true
done
ls -l "$tree"/findings/*/ 2>/dev/null | grep -E 'crash|leak|timeout|oom' || echo "no findings"
