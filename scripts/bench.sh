#!/usr/bin/env bash
# Benchmark of a whole update against the simulated device: wall time against the wire-time
# bound, the host's turnaround per exchange, processor time, and time per record at 1x, 2x and
# 4x the stand-in's records. Not a test: it measures, and says what it measured.
#   scripts/bench.sh [runs]          runs per figure (default 3): min / median / max
#   BENCH_SCALES="1 2 4" BENCH_UNPACED=1 BENCH_CPUS=0 BENCH_DEVICES="1 2 4" scripts/bench.sh
# BENCH_DEVICES: devices updated at once by one korvo (--yes over several ports), each on a
# simulator of its own, paced; empty: no such case.
# BENCH_CPUS: the processors (taskset list) that korvo and the simulator share; empty: any.
# On a virtual machine, waking a process on the other processor costs tens of microseconds
# per pty crossing, which is the rig's cost, not korvo's; the README gives both figures.
# The simulated device answers at once and restarts at once (--app-start 0): the bound counts
# only wire time and the prescribed sleeps, so any time of the device's own would be charged
# to korvo.
set -eu
cd "$(dirname "$0")/.."
runs=${1:-3}
scales=${BENCH_SCALES:-1 2 4}
unpaced=${BENCH_UNPACED:-1}
devices=${BENCH_DEVICES-1 2 4}
cpus=${BENCH_CPUS-}
pin=()
[ -n "$cpus" ] && pin=(taskset -c "$cpus")
tree=build-bench
out=$tree/bench
mkdir -p "$out"

echo "== release build in $tree"
cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=Release -DKORVO_TESTS=OFF >/dev/null
cmake --build "$tree" -j 2 --target korvo-image korvo-devsim >/dev/null

# One korvo per scale, with an image of that many times the stand-in's records in slot 1.
for k in $scales; do
  img=$PWD/$out/x$k.img
  "$tree"/bin/korvo-image pack "$img" --records $((574 * k)) >/dev/null
  cmake -S . -B "$tree" -DKORVO_IMAGES="$img" >/dev/null
  cmake --build "$tree" -j 2 --target korvo >/dev/null
  cp "$tree"/bin/korvo "$out/korvo-x$k"
done
cmake -S . -B "$tree" -DKORVO_IMAGES=standin >/dev/null

# min median max of numbers on standard input, with a format.
stats() {
  sort -g | awk -v f="$1" '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf f, v[1], m, v[NR] }'
}

# One update: korvo answers y through a pipe; the simulator reports the line. Leaves the
# simulator's report in $1.report and korvo's processor time (user + system, s) in $1.cpu.
# The wall time is korvo's own, from its start to its exit: the simulator's set-up and its check
# of the flash afterwards are not the update. korvo's own lines go to $1.err, its update record
# into the benchmark's folder.
update() {
  local base=$1 korvo=$2 pacing=$3
  "${pin[@]}" "$tree"/bin/korvo-devsim --com 3 $pacing --app-start 0 --exit-status --image "$out/$(basename "$korvo" | sed 's/korvo-//').img" \
    --timing-log "$base.turns" -- \
    bash -c "TIMEFORMAT='%R %U %S'; { time printf y | XDG_STATE_HOME='$PWD/$out' '$korvo' 3 >/dev/null 2>'$base.err'; } 2>'$base.time'" \
    2>"$base.report" >/dev/null || { echo "update failed: $base.report"; exit 1; }
  awk '{ print $1 }' "$base.time" >"$base.wall"
  awk '{ print $2, $3 }' "$base.time" >"$base.cpu"
}

# A field of the simulator's summary line (microseconds) in the timing log of run $1.
field() {
  sed -n "s/^# summary: .*\b$2=\([0-9]*\).*/\1/p" "$1.turns"
}

summary() {
  local label=$1 records=$2
  shift 2
  local files=("$@")
  echo "-- $label ($records records, ${#files[@]} runs)"
  cat "${files[@]/%/.wall}" | stats "   wall time         min %.3f  median %.3f  max %.3f s\n"
  cat "${files[@]/%/.cpu}" | awk '{ print $1 + $2 }' |
    stats "   korvo cpu time    min %.3f  median %.3f  max %.3f s\n"
  case $label in paced-*) ;; *) return ;; esac
  # Wire time of both directions (the protocol never overlaps them) plus the prescribed sleeps:
  # 1000 ms after the entry text and 10 ms after the leave command.
  local bound
  bound=$(awk -v s="$(field "${files[0]}" sent_us)" -v r="$(field "${files[0]}" received_us)" \
    'BEGIN { printf "%.3f", (s + r) / 1e6 + 1.010 }')
  echo "   wire-time bound   $bound s"
  cat "${files[@]/%/.wall}" | awk -v b="$bound" '{ print 100 * b / $1 }' |
    stats "   efficiency        min %.1f  median %.1f  max %.1f %%\n"
  # The simulator's own lag in handing bytes over is time the line waited for the device:
  # without it, what an exact device would have given.
  for f in "${files[@]}"; do
    echo "$(cat "$f.wall") $(field "$f" device_wait_us)"
  done | awk -v b="$bound" '{ print 100 * b / ($1 - $2 / 1e6) }' |
    stats "   without the simulator's lag  min %.1f  median %.1f  max %.1f %%\n"
  for f in "${files[@]}"; do field "$f" lag_median_us; done |
    stats "   simulator's lag   median per run: min %.0f  median %.0f  max %.0f us\n"
  cat "${files[@]/%/.turns}" | awk '!/^#/ { print $3 }' | sort -g | awk '{ v[NR] = $1 } END {
    printf "   host turnaround   median %.0f us, 99th percentile %.0f us (%d exchanges)\n",
      v[int((NR + 1) / 2)], v[int(NR * 0.99 + 0.999)], NR }'
  # Exchanges that took over a millisecond: on a virtual machine they come in spells, when its
  # processors are taken away for a few milliseconds at a time, and they decide the medians.
  for f in "${files[@]}"; do
    awk '!/^#/ && $3 > 1000 { n++; s += $3 } END { printf "%d %.3f\n", n, s / 1e6 }' "$f.turns"
  done | awk '{ n[NR] = $1; s[NR] = $2 } END {
    printf "   turnarounds over 1 ms  per run: %s", n[1] " (" s[1] " s)"
    for (i = 2; i <= NR; i++) printf ", %s", n[i] " (" s[i] " s)"
    printf "\n" }'
  # What the rig itself takes for an exchange in which the host does nothing but answer.
  for f in "${files[@]}"; do field "$f" floor_median_us; done |
    stats "   pty round trip    median per run: min %.0f  median %.0f  max %.0f us\n"
  # The median, not the mean: one run caught in a slow spell of the machine would tilt a mean.
  local lowest median
  read -r lowest median _ < <(cat "${files[@]/%/.wall}" | stats "%.6f %.6f %.6f\n")
  echo "$median" >"$out/$label.median"
  echo "$lowest" >"$out/$label.min"
  cat "${files[@]/%/.cpu}" | awk -v w="$(cat "${files[@]/%/.wall}" | awk '{ s += $1 } END { print s }')" \
    '{ c += $1 + $2 } END { printf "   cpu / wall        %.2f %%\n", 100 * c / w }'
}

echo "== machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)${cpus:+; korvo and the simulator on processor(s) $cpus}"
for k in $scales; do
  files=()
  for r in $(seq "$runs"); do
    update "$out/paced-x$k-$r" "$PWD/$out/korvo-x$k" --pacing
    files+=("$out/paced-x$k-$r")
  done
  summary "paced-x$k" $((574 * k)) "${files[@]}"
  if [ "$unpaced" = 1 ] && [ "$k" = 1 ]; then
    files=()
    for r in $(seq "$runs"); do
      update "$out/unpaced-x$k-$r" "$PWD/$out/korvo-x$k" ""
      files+=("$out/unpaced-x$k-$r")
    done
    summary "unpaced-x$k" $((574 * k)) "${files[@]}"
  fi
done

# Time per record: the marginal cost of a record between scales, so that the fixed costs (scan,
# entry, leave) do not count; flat means these slopes agree.
set -- $scales
if [ $# -ge 2 ]; then
  echo "-- time per record (paced, between scales: from the median wall times, and from the fastest runs)"
  # ms a record between scales $prev_k and $k, from the wall times of kind $1 (median, min)
  per_record() {
    awk -v a="$(cat "$out/paced-x$prev_k.$1")" -v b="$(cat "$out/paced-x$k.$1")" -v n=$((574 * (k - prev_k))) \
      'BEGIN { printf "%.3f", 1000 * (b - a) / n }'
  }
  prev_k=$1
  shift
  for k in "$@"; do
    echo "   x$prev_k to x$k: $(per_record median) ms a record (fastest runs: $(per_record min) ms)"
    prev_k=$k
  done
fi

# Several devices at once: one korvo updates n simulated devices (x1 image, paced), each
# simulator started inside the previous one's command. Wall time is korvo's own, against the
# time of one device; korvo's processor time is shared out per device.
rack() {
  local base=$1 n=$2 cmd links=()
  for i in $(seq "$n"); do links+=("$PWD/$base-dev$i"); done
  cmd=$(printf '%q ' bash -c "TIMEFORMAT='%R %U %S'; { time XDG_STATE_HOME='$PWD/$out' '$PWD/$out/korvo-x1' --yes --no-record ${links[*]} >'$base.out' 2>'$base.err'; } 2>'$base.time'")
  for i in $(seq "$n" -1 1); do
    cmd="$tree/bin/korvo-devsim --link ${links[$((i - 1))]} --pacing --app-start 0 --exit-status --image $out/x1.img -- $cmd"
  done
  eval "${pin[*]} $cmd" 2>"$base.report" >/dev/null || { echo "rack update failed: $base.report $base.out"; exit 1; }
  # Several devices end in "<port>: verified" lines; one is the console's run, with its verdict line.
  local said=$base.out pattern=': verified$'
  [ "$n" = 1 ] && said=$base.err pattern=': verified: '
  [ "$(grep -c "$pattern" "$said")" = "$n" ] ||
    { echo "not every device verified: $base.out"; exit 1; }
  awk '{ print $1 }' "$base.time" >"$base.wall"
  awk -v n="$n" '{ print ($2 + $3) / n }' "$base.time" >"$base.cpu"
}

if [ -n "$devices" ]; then
  one=
  for n in $devices; do
    files=()
    for r in $(seq "$runs"); do
      rack "$out/rack-x$n-$r" "$n"
      files+=("$out/rack-x$n-$r")
    done
    echo "-- $n device(s) at once (paced, ${#files[@]} runs)"
    cat "${files[@]/%/.wall}" | stats "   wall time         min %.3f  median %.3f  max %.3f s\n"
    median=$(cat "${files[@]/%/.wall}" | stats "%.6f %.6f %.6f\n" | awk '{ print $2 }')
    [ -z "$one" ] && one=$median
    awk -v a="$median" -v b="$one" 'BEGIN { printf "   against one device  %.3f x (medians)\n", a / b }'
    for f in "${files[@]}"; do echo "$(cat "$f.cpu") $(cat "$f.wall")"; done | awk '{ print 100 * $1 / $2 }' |
      stats "   korvo cpu per device  min %.2f  median %.2f  max %.2f %% of wall time\n"
  done
fi
