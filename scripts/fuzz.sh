#!/usr/bin/env bash
# Runs one libFuzzer target of build-fuzz/ for a number of seconds over its
# seed files and its growing corpus (build-fuzz/corpus/<name>), and prints the
# number of executions. Usage: scripts/fuzz.sh fuzz_png 1800
# The log is build-fuzz/<name>.log; the exit status is the fuzzer's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
name=$1
seconds=${2:-20}
target="$root/build-fuzz/fuzz/$name"
seeds="$root/build-fuzz/seeds/$name"
rm -rf "$seeds"; mkdir -p "$seeds" "$root/build-fuzz/corpus/$name"
# fuzz/<name>.seeds lists globs (relative to the project root) of seed files.
if [ -f "fuzz/$name.seeds" ]; then
  while read -r pattern; do
    [ -z "$pattern" ] || [ "${pattern#\#}" != "$pattern" ] && continue
    for f in $pattern; do [ -f "$f" ] && [ "$(stat -c %s "$f")" -le 1048576 ] && cp "$f" "$seeds/" || true; done
  done < "fuzz/$name.seeds"
fi
log="$root/build-fuzz/$name.log"
status=0
# Crash inputs land in build-fuzz/ rather than the project root.
"$target" -max_total_time="$seconds" -rss_limit_mb=6144 -timeout=30 -print_final_stats=1 \
  -artifact_prefix="$root/build-fuzz/$name-" \
  "$root/build-fuzz/corpus/$name" "$seeds" >"$log" 2>&1 || status=$?
if [ "$status" -eq 0 ]; then
  echo "fuzz $name: $(grep -Eo 'stat::number_of_executed_units: [0-9]+' "$log" || tail -n 1 "$log")"
else
  echo "fuzz $name FAILED:"; tail -n 40 "$log"
fi
exit "$status"
