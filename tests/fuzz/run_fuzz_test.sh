#!/bin/sh
# One short fuzz run for CTest: every seed once, then RUNS further executions.
# New inputs go to a scratch folder that is removed afterwards; a finding (crash-*,
# leak-*, timeout-*, oom-*) is kept in FINDINGS and fails the test.
# Usage: run_fuzz_test.sh TARGET SEED_DIR RUNS FINDINGS
set -e
target=$1 seeds=$2 runs=$3 findings=$4
[ -x "$target" ] || { echo "fuzz target $target not built"; exit 1; }
[ -d "$seeds" ] || { echo "no seeds in $seeds"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$findings"
count=$(find "$seeds" -type f ! -name .made | wc -l)
"$target" -runs=$((count + runs)) -seed=1 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$scratch" "$seeds"
