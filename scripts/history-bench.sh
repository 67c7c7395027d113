#!/usr/bin/env bash
# Benchmark of `korvo --history` over a large update record: wall time and the largest
# resident memory (from /usr/bin/time -v) for the table and for --json. Not a test: it
# measures, and says what it measured.
#   scripts/history-bench.sh [lines] [runs]   lines in the record (default 1000000), runs per
#                                             figure (default 3): min / median / max
#   KORVO=build/bin/korvo                     the program measured
#   FORMATS="table json"                      the --format values measured (csv and html too)
# The record is made once in a folder of its own and removed at the end: lines like korvo's
# own, each with its own time, port, device and outcome, one in a hundred failed and one in a
# thousand damaged, so that every path of the reader is taken.
set -eu
cd "$(dirname "$0")/.."
lines=${1:-1000000}
runs=${2:-3}
korvo=${KORVO:-build/bin/korvo}
[ -x "$korvo" ] || { echo "history-bench: $korvo is not built (cmake --build build --target korvo)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "history-bench: /usr/bin/time is needed (Debian: time)" >&2; exit 2; }

dir=$(mktemp -d /tmp/korvo-history-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT
record=$dir/updates.jsonl

awk -v n="$lines" 'BEGIN {
  sha = "3f5a0c9e1b7d2468ace013579bdf2468ace013579bdf2468ace013579bdf2468";
  for (i = 1; i <= n; i++) {
    if (i % 1000 == 0) { printf "{\"time\":\"2026-12-0%dT07:40:12Z\",\"port\":\"COM\n", i % 9 + 1; continue }
    failed = i % 100 == 0;
    printf "{\"time\":\"2026-%02d-%02dT%02d:%02d:%02dZ\",\"host\":\"bench-%d\",\"korvo\":\"1.01\",", \
      i % 12 + 1, i % 28 + 1, i % 24, i % 60, (i * 7) % 60, i % 7;
    printf "\"port\":\"COM%d\",\"path\":\"/dev/ttyUSB%d\",\"adapter\":\"USB 0403:6001 FT232R\",", \
      i % 99 + 1, i % 8;
    printf "\"device\":{\"name\":\"Zone %d\",\"model\":\"Slate %d\",\"product\":68,\"pcb_revision\":6,\"extra\":305419896},", \
      i % 500, i % 9;
    printf "\"version_before\":\"1.13\",\"image\":{\"version\":\"1.14\",\"target_name\":\"slate8\",\"sha256\":\"%s\",\"records\":574},", sha;
    if (failed)
      printf "\"outcome\":\"failed\",\"failed_stage\":\"records\",\"failed_code\":3,\"version_after\":null,\"verified\":false,";
    else
      printf "\"outcome\":\"updated\",\"failed_stage\":null,\"failed_code\":null,\"version_after\":\"1.14\",\"verified\":true,";
    printf "\"duration_ms\":%d,\"round_trip_ms\":{\"median\":1.8,\"p99\":4.25},\"attempts\":%d,\"failures\":%s}\n", \
      40000 + i % 5000, failed ? 3 : 1, failed ? "[{\"stage\":\"records\",\"code\":3},{\"stage\":\"records\",\"code\":3}]" : "[]";
  }
}' >"$record"
echo "record: $lines lines, $(du -m "$record" | cut -f1) MB; $runs runs each"

# One figure's min / median / max over the runs.
summary() { sort -n | awk '{ v[NR] = $1 } END { printf "min %s  median %s  max %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }

for mode in ${FORMATS:-table json}; do
  args=(--history --record "$record" --format "$mode")
  : >"$dir/seconds"
  : >"$dir/cpu"
  : >"$dir/megabytes"
  for _ in $(seq "$runs"); do
    /usr/bin/time -v "$korvo" "${args[@]}" >"$dir/out" 2>"$dir/err" || true
    awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' \
      "$dir/err" >>"$dir/seconds"
    # Processor time too: on a machine shared with other work, wall time says more of the others.
    awk -F': ' '/User time|System time/ { s += $2 } END { print s }' "$dir/err" >>"$dir/cpu"
    awk -F': ' '/Maximum resident set size/ { printf "%.1f\n", $2 / 1024 }' "$dir/err" >>"$dir/megabytes"
  done
  rows=$(wc -l <"$dir/out")
  rm -f "$dir/out"  # a page of a million rows is half a gigabyte
  damaged=$(grep -c 'damaged' "$dir/err" || true)
  echo "--history ($mode): $rows lines out, $damaged damaged-line warnings"
  echo "  wall seconds: $(summary <"$dir/seconds")"
  echo "  cpu seconds:  $(summary <"$dir/cpu")"
  echo "  max RSS MB:   $(summary <"$dir/megabytes")"
done
