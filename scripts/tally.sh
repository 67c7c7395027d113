# Counting helpers for scripts/test-all.sh and .ci/windows.sh (POSIX sh, to be sourced).
# Each prints "<passed> <failed> <skipped>" for the output of one step (LOG) and that step's
# exit status (RC), counting every test once:
#   ctest_tally LOG RC   from ctest's "... N tests failed out of M" line; a skipped test (one
#                        whose tool is missing) is no pass: ctest lists it "(Skipped)"
#   lines_tally LOG RC   one per "PASS ..." or "FAIL ..." line (the Wine scenarios, the
#                        package checks), also as ctest --verbose prints them ("1: PASS ...")
# A step that failed without saying which test failed (it did not build, did not start,
# or was killed) counts as one failure, so that no failure is lost from the totals.

ctest_tally() {
  line=$(grep -E '[0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  if [ -n "$line" ]; then
    f=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    t=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/')
    s=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$1")
    p=$((t - f - s))
  else
    p=0
    f=0
    s=0
  fi
  [ "$2" -ne 0 ] && [ "$f" -eq 0 ] && f=1
  echo "$p $f $s"
}

lines_tally() {
  p=$(grep -cE '^([0-9]+: )?PASS ' "$1")
  f=$(grep -cE '^([0-9]+: )?FAIL ' "$1")
  [ "$2" -ne 0 ] && [ "$f" -eq 0 ] && f=1
  echo "$p $f 0"
}
