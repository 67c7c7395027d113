#!/usr/bin/env bash
# What a noisy line does to unattended updates: N updates (korvo --yes --retries R) against the
# simulated device with a bit error rate, one seed each, counting the flashes the device itself
# verified (korvo-devsim --exit-status) and the runs that reported success (exit 0) without a
# verified flash, which must be none. Not a test: it measures, and says what it measured.
#   scripts/noisy.sh [BER] [RETRIES] [N] [FIRST_SEED]     defaults: 1e-6 5 40 1
#   NOISY_BUILD=build scripts/noisy.sh 3e-6 2
# Unpaced, an update takes 1 to 2 s an attempt; a retry adds its 1 s pause and a probe.
set -eu
cd "$(dirname "$0")/.."
ber=${1:-1e-6}
retries=${2:-5}
runs=${3:-40}
first=${4:-1}
tree=${NOISY_BUILD:-build}
bin=$tree/bin
image=$tree/images/standin.img
for f in "$bin/korvo" "$bin/korvo-devsim" "$image"; do
  [ -e "$f" ] || { echo "noisy.sh: $f missing: build the default preset first" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

verified=0
claimed=0      # exit 0
false_ok=0     # exit 0 without a verified flash: must stay 0
attempts=0
started=$(date +%s.%N)
for ((seed = first; seed < first + runs; seed++)); do
  set +e
  "$bin/korvo-devsim" --ber "$ber" --seed "$seed" --exit-status --image "$image" --link "$work/tty" -- \
    sh -c '"$@"; echo $? >"$0"' "$work/status" \
    "$bin/korvo" --yes --retries "$retries" --json --record "$work/record.jsonl" "$work/tty" \
    >"$work/out" 2>"$work/err"
  flash=$?
  set -e
  # korvo's own exit status (the simulator's is the flash verdict): 0 says verified.
  ok=0
  [ "$(cat "$work/status" 2>/dev/null)" = 0 ] && ok=1
  n=$(grep -c '"event":"retry"' "$work/out" || true)
  attempts=$((attempts + n + 1))
  [ "$flash" -eq 0 ] && verified=$((verified + 1))
  [ "$ok" -eq 1 ] && claimed=$((claimed + 1))
  if [ "$ok" -eq 1 ] && [ "$flash" -ne 0 ]; then
    false_ok=$((false_ok + 1))
    echo "seed $seed: korvo reported success, the flash is not verified" >&2
  fi
  printf 'seed %d: flash %s, korvo %s, %d attempt(s)\n' "$seed" \
    "$([ "$flash" -eq 0 ] && echo verified || echo NOT-verified)" \
    "$([ "$ok" -eq 1 ] && echo verified || echo failed)" $((n + 1))
done
elapsed=$(awk -v end="$(date +%s.%N)" -v start="$started" 'BEGIN { print end - start }')
printf 'BER %s, --retries %s, seeds %d..%d: %d of %d verified by the device, %d reported verified by korvo, '`
      `'%d reported success without a verified flash; %d attempts; %.1f s per update\n' \
  "$ber" "$retries" "$first" $((first + runs - 1)) "$verified" "$runs" "$claimed" "$false_ok" "$attempts" \
  "$(awk -v e="$elapsed" -v n="$runs" 'BEGIN { print e / n }')"
[ "$false_ok" -eq 0 ]
