#!/usr/bin/env bash
# Runs every fuzz target of a build for a bounded time each.
# Usage: tools/run-fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build dir}
seconds=${2:-20}
shopt -s nullglob
status=0
for target in "$build"/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  echo "fuzz: $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=0 "$corpus" >"$corpus.log" 2>&1; then
    echo "fuzz: $name FAILED"; tail -n 60 "$corpus.log"; status=1
  fi
  rm -rf "$corpus" "$corpus.log"
done
exit $status
