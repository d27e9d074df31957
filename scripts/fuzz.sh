#!/usr/bin/env bash
# Fuzzes every parser: builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer; the fuzz preset), runs each for SECONDS (default 60) on its corpus
# in tests/fuzz/corpus/<target>/, one target at a time, minimises the corpus with what it found
# (-merge=1: the named seeds and only the inputs that add coverage), and prints a table:
# target, executions, corpus size, findings.
#
#   ./scripts/fuzz.sh [SECONDS]               every target
#   ULV_FUZZ_TARGETS="decode gateway" ./scripts/fuzz.sh 30
#   ULV_FUZZ_RUNS=10000000 ./scripts/fuzz.sh 36000   each target until 10M inputs (or the time)
#
# A finding (crash, sanitizer report, broken invariant, time-out) stops that target's run; its
# input is left in build/fuzz/findings/<target>/ and named in the table. Executions are also
# added up per target over runs in build/fuzz/executions.txt.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

seconds=${1:-60}
build=build/fuzz
jobs=${ULV_JOBS:-2}

ensure_packages clang libfuzzer-14-dev cmake ninja-build || exit 1

echo "== configure and build the fuzz targets"
mkdir -p "$build"
# Runs may go side by side (one target each, on its own core): one of them builds at a time,
# and one at a time adds to the totals.
exec 9>"$build/lock"
flock 9
if ! cmake --preset fuzz >"$build/build.log" 2>&1; then tail -n 30 "$build/build.log"; exit 1; fi
targets=${ULV_FUZZ_TARGETS:-$(cat "$build/fuzz-targets.txt")}
if ! cmake --build --preset fuzz -j "$jobs" --target $(printf 'ulv_fuzz_%s ' $targets) >>"$build/build.log" 2>&1; then
  tail -n 30 "$build/build.log"
  exit 1
fi
flock -u 9

totals=$build/executions.txt
touch "$totals"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

rows=()
status=0
for target in $targets; do
  # A run of telephony messages needs no more than 512 bytes (a hundred messages): longer runs
  # repeat states, and each message costs file writes, so they only slow the search down.
  max_len=4096
  [ "$target" = tapi_message ] && max_len=512
  corpus=tests/fuzz/corpus/$target
  found=$build/new/$target
  findings=$build/findings/$target
  log=$build/logs/$target.log
  rm -rf "$found"
  mkdir -p "$corpus" "$found" "$findings" "$(dirname "$log")"
  before=$(find "$findings" -type f | wc -l)
  echo "== $target: ${seconds}s"
  # New inputs go to $found; the corpus is only read here.
  "$build/tests/fuzz/ulv_fuzz_$target" -max_total_time="$seconds" ${ULV_FUZZ_RUNS:+-runs=$ULV_FUZZ_RUNS} \
    -max_len=$max_len -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$found" "$corpus" >"$log" 2>&1
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  executions=${executions:-0}
  # The corpus minimised: the named seeds (the tests' golden inputs) stay, and of the inputs
  # found, in this run or before (named by their hash), only those that add coverage.
  merged=$build/merged/$target
  rm -rf "$merged" && mkdir -p "$merged"
  find "$corpus" -maxdepth 1 -type f ! -regex '.*/[0-9a-f]\{40\}' -exec cp {} "$merged/" \;
  if "$build/tests/fuzz/ulv_fuzz_$target" -merge=1 -max_len=$max_len "$merged" "$corpus" "$found" \
       >>"$log" 2>&1; then
    rm -rf "$corpus" && cp -r "$merged" "$corpus"
  else
    echo "$target: merge failed (see $log)"
    status=1
  fi
  size=$(find "$corpus" -type f | wc -l)
  new=$(( $(find "$findings" -type f | wc -l) - before ))
  if [ "$new" -gt 0 ]; then
    status=1
    new="$new ($(ls -t "$findings" | head -n 1))"
  fi
  flock 9
  previous=$(sed -n "s/^$target //p" "$totals")
  total=$(( ${previous:-0} + executions ))
  sed -i "/^$target /d" "$totals" && echo "$target $total" >>"$totals"
  flock -u 9
  rows+=("$(printf '| %-20s | %12s | %14s | %6s | %s |' "$target" "$executions" "$total" "$size" "$new")")
done

echo
printf '| %-20s | %12s | %14s | %6s | %s |\n' target executions "all runs" corpus findings
printf '|%s|%s|%s|%s|%s|\n' ---------------------- -------------- ---------------- -------- ----------
printf '%s\n' "${rows[@]}"
exit $status
