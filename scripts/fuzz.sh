#!/usr/bin/env bash
# Builds the fuzz preset (clang 14, libFuzzer, ASan, UBSan) and runs each fuzz target for the
# given number of seconds (default 30), one after the other. Prints each target's executions
# and executions per second; exits 1 when any target found something, leaving the reproducer
# in build-fuzz/findings/<target>/ (commit it under tests/fuzz/<target>/regressions/ once
# fixed, and the normal test run replays it). New inputs collect in build-fuzz/corpus/<target>/.
#   scripts/fuzz.sh [seconds] [target...]
set -u
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(version packet bootinfo image run telnet netport)

build=build-fuzz
mkdir -p $build
if ! { cmake --preset fuzz && cmake --build --preset fuzz --target "${targets[@]/#/korvo_fuzz_}"; } \
    >$build/build.log 2>&1; then
  cat $build/build.log
  echo "building the fuzz targets failed"
  exit 2
fi

status=0
total=0
started=$(date +%s)
for t in "${targets[@]}"; do
  began=$(date +%s)
  corpus=$build/corpus/$t
  findings=$build/findings/$t/
  log=$build/fuzz-$t.log
  mkdir -p "$corpus" "$findings"
  "$build/bin/korvo_fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict=tests/fuzz/korvo.dict -artifact_prefix="$findings" -print_final_stats=1 \
    "$corpus" "tests/fuzz/$t/corpus" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  printf '%-9s %12s executions %9s exec/s %6s s\n' "$t" "${runs:-?}" "${speed:-?}" \
    "$(($(date +%s) - began))"
  total=$((total + ${runs:-0}))
  if [ $rc -ne 0 ]; then
    status=1
    echo "FINDING in $t (exit $rc), log $log:"
    grep -E 'ERROR|broken:|SUMMARY|Test unit written' "$log" | head -n 8 | sed 's/^/  /'
  fi
done
echo "total     $(printf '%12s' "$total") executions in $(($(date +%s) - started)) s"
exit $status
