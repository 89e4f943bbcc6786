#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time from its seed corpus (read only; new inputs
# go to a scratch folder), and on a crash prints the reproducer's path and bytes.
# Usage: run_fuzz.sh TARGET SEED_DIR SECONDS [extra libFuzzer flags]
set -u
target="$1" seeds="$2" seconds="$3"; shift 3
work="$(mktemp -d)"
artifacts="${TAVRO_FUZZ_ARTIFACTS:-$PWD/fuzz-artifacts}/$(basename "$target")/"
mkdir -p "$artifacts"
trap 'rm -rf "$work"' EXIT
"$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts" \
  -rss_limit_mb=2048 -timeout=10 "$@" "$work" "$seeds"
rc=$?
if [ $rc -ne 0 ]; then
  for f in "$artifacts"*; do
    [ -f "$f" ] || continue
    echo "reproducer: $f"
    echo "reproduce with: $target $f"
    od -A x -t x1z -v "$f" | head -40
  done
fi
exit $rc
