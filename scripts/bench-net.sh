#!/usr/bin/env bash
# Benchmark of a whole update (korvo --yes) against the paced simulated device: on its pty
# directly; behind a real ser2net in RFC 2217 mode on 127.0.0.1, first with ser2net's defaults,
# then with the settings the README gives (no character delay, TCP_NODELAY); and with those
# settings through the delay proxy (BENCH_DELAY_MS each way, default 20). Not a test: it
# measures, and says what it measured.
#   scripts/bench-net.sh [runs]      runs per figure (default 3): min / median / max
# Uses the default build (build/): korvo, korvo-devsim and korvo-delay-proxy.
set -eu
cd "$(dirname "$0")/.."
runs=${1:-3}
delay=${BENCH_DELAY_MS:-20}
tree=${BENCH_TREE:-build}
bin=$PWD/$tree/bin
ser2net=${KORVO_SER2NET:-$(command -v ser2net || echo /usr/sbin/ser2net)}
[ -x "$ser2net" ] || { echo "bench-net: no ser2net" >&2; exit 2; }
cmake --build "$tree" -j 2 --target korvo korvo-devsim korvo-delay-proxy >/dev/null
work=$(mktemp -d /tmp/korvo-bench-net.XXXXXX)
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

free_port() {
  local p=$((30000 + RANDOM % 20000))
  while ss -ltn | grep -q "[:.]$p "; do p=$((p + 1)); done
  echo "$p"
}
listening() {
  for _ in $(seq 50); do ss -ltn | grep -q "127.0.0.1:$1 " && return 0; sleep 0.1; done
  echo "bench-net: nothing listens on $1" >&2
  return 1
}

stats() {
  sort -g | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "min %.3f  median %.3f  max %.3f s\n", v[1], m, v[NR] }'
}

# One update of a fresh paced device in the given way; prints korvo's wall time in seconds.
update() {
  local how=$1
  "$bin"/korvo-devsim --link "$work/pty" --pacing --app-start 0 --image "$PWD/$tree/images/standin.img" >/dev/null 2>"$work/devsim.err" &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$work/pty" ] && break; sleep 0.1; done
  local port="$work/pty"
  if [ "$how" != direct ]; then
    local net
    net=$(free_port)
    if [ "$how" = defaults ]; then
      printf 'connection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,19200n81,local\n' \
        "$net" "$work/pty" >"$work/ser2net.yaml"
    else
      printf 'connection: &bench\n  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,%s\n  connector: serialdev,%s,19200n81,local\n  options:\n    chardelay: false\n' \
        "$net" "$work/pty" >"$work/ser2net.yaml"
    fi
    "$ser2net" -n -d -P "$work/ser2net.pid" -c "$work/ser2net.yaml" >/dev/null 2>&1 &
    pids+=($!)
    listening "$net"
    port="rfc2217://127.0.0.1:$net"
    if [ "$how" = delayed ]; then
      local relay
      relay=$(free_port)
      "$bin"/korvo-delay-proxy "$relay" 127.0.0.1 "$net" "$delay" &
      pids+=($!)
      listening "$relay"
      port="rfc2217://127.0.0.1:$relay"
    fi
  fi
  local start end
  start=$(date +%s%N)
  XDG_STATE_HOME="$work" "$bin"/korvo --yes --no-record "$port" >/dev/null 2>"$work/korvo.err" ||
    { echo "bench-net: the update failed ($how): $(cat "$work/korvo.err")" >&2; exit 1; }
  end=$(date +%s%N)
  stop_all
  rm -f "$work/pty"
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", (b - a) / 1e9 }'
}

for how in direct defaults tuned delayed; do
  : >"$work/$how.times"
  for _ in $(seq "$runs"); do update "$how" >>"$work/$how.times"; done
  case $how in
    direct) label="direct (pty)" ;;
    defaults) label="ser2net, its defaults" ;;
    tuned) label="ser2net, README settings" ;;
    delayed) label="the same + ${delay} ms each way" ;;
  esac
  printf '%-32s %s\n' "$label" "$(stats <"$work/$how.times")"
done
