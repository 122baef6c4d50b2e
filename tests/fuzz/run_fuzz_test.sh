#!/bin/sh
# One short fuzz run for CTest: every seed once, then further executions until RUNS of
# them have run or SECONDS have passed since the start, whichever comes first (a busy
# machine runs fewer, never longer). New inputs go to a scratch folder that is removed
# afterwards; a finding (crash-*, leak-*, timeout-*, oom-*) is kept in FINDINGS and
# fails the test. A dictionary beside the script (TARGET_NAME.dict) is used when there.
# Usage: run_fuzz_test.sh TARGET SEED_DIR RUNS SECONDS FINDINGS
set -e
target=$1 seeds=$2 runs=$3 seconds=$4 findings=$5
[ -x "$target" ] || { echo "fuzz target $target not built"; exit 1; }
[ -d "$seeds" ] || { echo "no seeds in $seeds"; exit 1; }
dict=$(dirname "$0")/$(basename "$target").dict
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$findings"
count=$(find "$seeds" -type f ! -name .made | wc -l)
started=$(date +%s)
set --
[ -f "$dict" ] && set -- -dict="$dict"
# The per-input limit only catches hangs: an input that takes a minute on a loaded
# machine is no finding.
"$target" -runs=$((count + runs)) -max_total_time="$seconds" -seed=1 -timeout=60 -rss_limit_mb=2048 \
  -print_final_stats=1 "$@" -artifact_prefix="$findings/" "$scratch" "$seeds"
echo "fuzz run of $(basename "$target"): $count seeds, $(( $(date +%s) - started )) s"
