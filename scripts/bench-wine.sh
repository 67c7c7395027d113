#!/usr/bin/env bash
# The Windows build under Wine against the simulator's paced line: a whole update answered
# through a terminal (the Y/N question and the key wait read the console), timed from the
# answer to the final prompt. Not a test: it measures, and says what it measured.
#   scripts/bench-wine.sh [runs]      (default 3; needs the windows preset built)
# Each serial call of the Windows build is a round trip to Wine's server, so the turnaround
# here says more about Wine than about the program; it shows what the Windows build adds.
set -eu
cd "$(dirname "$0")/.."
runs=${1:-3}
exe=$PWD/build-windows/bin/korvo.exe
image=$PWD/build-windows/images/standin.img
devsim=$PWD/build-bench/bin/korvo-devsim
# The Windows build's shared prefix, to ourselves: the benchmark links a COM port in it and
# keeps its server running (see cmake/wine-run.sh).
prefix=$(sed -n 's/^KORVO_WINE_PREFIX:PATH=//p' build-windows/CMakeCache.txt 2>/dev/null || true)
[ -n "$prefix" ] || { echo "bench-wine: build-windows names no KORVO_WINE_PREFIX (cmake --preset windows)" >&2; exit 2; }
if [ -z "${KORVO_WINE_HELD:-}" ]; then
  mkdir -p "$(dirname "$prefix")"
  KORVO_WINE_HELD=alone exec flock -o -w 600 -E 2 "$prefix.use" bash "$0" "$@"
fi
work=$PWD/build-bench/wine
for file in "$exe" "$image"; do
  [ -e "$file" ] || { echo "bench-wine: no $file (cmake --preset windows && cmake --build --preset windows)" >&2; exit 2; }
done
command -v tmux >/dev/null || { echo "bench-wine: no tmux" >&2; exit 2; }
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVO_TESTS=OFF >/dev/null
cmake --build build-bench -j 2 --target korvo-devsim >/dev/null
mkdir -p "$work"
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
tmux_cmd() { tmux -f /dev/null -S "$work/tmux.sock" "$@"; }
sim=
cleanup() {
  tmux_cmd kill-server 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

# Wine kept running, and started before any link is made: a Wine that starts cold removes
# the COM links it was not told of.
sh cmake/wine-run.sh "$prefix" cmd /c exit >/dev/null 2>&1 </dev/null
WINEPREFIX=$prefix "$wineserver" -w >/dev/null 2>&1
WINEPREFIX=$prefix "$wineserver" -p600 >/dev/null 2>&1  # ends 600 s after its last program, should this script be killed
sh cmake/wine-run.sh "$prefix" cmd /c exit >/dev/null 2>&1 </dev/null

# Waits up to $2 tenths of a second for the text $1 in korvo's output.
wait_for() {
  local tries=$2
  until grep -qaF -- "$1" "$work/out.raw" 2>/dev/null; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || { echo "bench-wine: no \"$1\" from korvo.exe" >&2; exit 1; }
    sleep 0.1
  done
}

echo "== machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1); $(sh cmake/wine-run.sh "$prefix" --version 2>/dev/null)"
for r in $(seq "$runs"); do
  rm -f "$prefix"/dosdevices/com* "$work"/out.raw
  "$devsim" --link "$prefix/dosdevices/com3" --pacing --app-start 0 --image "$image" \
    --timing-log "$work/run$r.turns" </dev/null >/dev/null 2>"$work/run$r.report" &
  sim=$!
  until grep -q -- "-> " "$work/run$r.report" 2>/dev/null; do sleep 0.1; done
  tmux_cmd new-session -d -s korvo -x 100 -y 30 \
    "sh cmake/wine-run.sh '$prefix' '$exe' 3 >'$work/out.raw' 2>/dev/null"
  wait_for "(Y,N)" 600
  tmux_cmd send-keys -t korvo y
  start=$(date +%s%N)
  wait_for "Press any key to exit..." 1200
  end=$(date +%s%N)
  tmux_cmd send-keys -t korvo x
  sleep 0.5
  kill "$sim" && wait "$sim" 2>/dev/null || true
  sim=
  grep -q "flash verified" "$work/run$r.report" || { echo "update failed: $work/run$r.report" >&2; exit 1; }
  awk -v s="$start" -v e="$end" 'BEGIN { printf "   run %d: answer to final prompt %.3f s,", '"$r"', (e - s) / 1e9 }'
  # Exchanges under half a second: the user's answer is one, and not the program's.
  awk '!/^#/ && $3 < 500000 { print $3 }' "$work/run$r.turns" | sort -g |
    awk '{ v[NR] = $1 } END { printf " host turnaround median %.0f us, 99th percentile %.0f us\n", v[int((NR + 1) / 2)], v[int(NR * 0.99 + 0.999)] }'
done
