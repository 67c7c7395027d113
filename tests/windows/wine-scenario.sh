#!/bin/sh
# Windows programs of the build under Wine, each against a prepared set of COM ports:
#   wine-scenario.sh <wine-run.sh> <prefix> serial <pty_peer> <com number> <program.exe>
#       the program runs against a pseudo-terminal seen as COM<n>, played by pty_peer
#   wine-scenario.sh <wine-run.sh> <prefix> console <program.exe>
#       the program runs with no console: standard input is /dev/null
#   wine-scenario.sh <wine-run.sh> <prefix> korvo-none <korvo.exe>
#       korvo scans COM1-COM16 with no port present and, with no console, ends on its own
#   wine-scenario.sh <wine-run.sh> <prefix> korvo-silent <pty_peer> <com number> <korvo.exe>
#       korvo probes a port where nothing answers, named by the system's own device path
#       \\.\COM<n>: its query goes out at 19200 baud, then it tries the bootloader at 115200
# Before each run every COM link of the prefix is removed, so nothing reaches the machine's
# own serial devices; only the link the scenario needs is made.
set -u
# The prefix to ourselves while its COM links are rearranged (see wine-run.sh).
if [ -z "${KORVO_WINE_HELD:-}" ]; then
  mkdir -p "$(dirname "$2")" || exit 2
  KORVO_WINE_HELD=alone exec flock -o -w 600 -E 2 "$2.use" sh "$0" "$@"
fi
wine_run=$1
prefix=$2
what=$3
shift 3
run() { "$wine_run" "$prefix" "$@"; }

# Start Wine now (and with it the start-up links it makes), so that nothing recreates COM
# links behind the scenario's back; its output would only be noise.
run cmd /c exit >/dev/null 2>&1 </dev/null
rm -f "$prefix"/dosdevices/com*

fail() { echo "FAILED: $what: $*"; exit 1; }

out=$(mktemp)
trap 'rm -f "$out" "$out.txt" "$out.line"' EXIT
# korvo's text, with msvcrt's text-mode line ends turned back into "\n".
korvo_run() {
  started=$(date +%s)
  "$@" </dev/null >"$out" 2>&1
  status=$?
  seconds=$(($(date +%s) - started))
  tr -d '\r' <"$out" >"$out.txt"
  cat "$out.txt"
  echo
  echo "exit status $status after ${seconds} s"
}

case $what in
  serial)
    "$1" "$prefix/dosdevices" "$2" "$wine_run" "$prefix" "$3" || fail "exit status $?"
    ;;
  console)
    run "$1" </dev/null || fail "exit status $?"
    ;;
  korvo-none)
    korvo_run timeout 120 "$wine_run" "$prefix" "$1"
    [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
    [ "$(grep -c '^COM[0-9]*: Could not open port\.$' "$out.txt")" -eq 16 ] ||
      fail "expected 16 'Could not open port.' verdicts"
    grep -q '^No updatable Torva devices found\.$' "$out.txt" || fail "no final verdict"
    grep -q '^Press any key to exit\.\.\.$' "$out.txt" || fail "no key prompt"
    ;;
  korvo-silent)
    korvo_run timeout 120 "$1" --silent "$out.line" "$prefix/dosdevices" "$2" \
      "$wine_run" "$prefix" "$3" "\\\\.\\COM$2"
    echo "On the line:"
    cut -c1-100 "$out.line"
    [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
    head -n 1 "$out.line" | grep -q '^19200: 5e 56 24' || fail "no version query at 19200 first"
    grep -q '^115200: ' "$out.line" || fail "nothing sent at 115200"
    grep -q "^COM$2: No Torva devices detected\.\$" "$out.txt" || fail "no verdict for COM$2"
    grep -q '^Press any key to exit\.\.\.$' "$out.txt" || fail "no key prompt"
    ;;
  *)
    fail "unknown scenario $what"
    ;;
esac
echo "PASSED: $what"
