#!/usr/bin/env bash
# Builds and runs every test: the normal build, the sanitizer build, and the Windows build
# under Wine. Ends with one summary line "Total: N passed, N failed".
set -u
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
passed=0
failed=0
status=0

# ctest prints "... tests passed, N tests failed out of M"; add its figures to the totals.
run_ctest() {
  local preset=$1 log
  log=$(mktemp)
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
  rm -f "$log"
  [ "$rc" -eq 0 ] || status=1
}

build() {
  local preset=$1
  if ! cmake --preset "$preset" || ! cmake --build --preset "$preset" -j "$jobs"; then
    echo "build of preset $preset failed"
    failed=$((failed + 1))
    status=1
    return 1
  fi
}

echo "== native build and tests"
build default && run_ctest default
echo "== AddressSanitizer + UBSan build and tests"
build asan && run_ctest asan
echo "== Windows build, tests under Wine"
if bash .ci/windows.sh; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi

echo
echo "Total: $passed passed, $failed failed"
exit $status
