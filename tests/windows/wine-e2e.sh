#!/bin/sh
# End-to-end scenarios of the real korvo.exe under Wine against the simulated device, with
# the same transcripts and exit statuses as the POSIX end-to-end tests:
#   wine-e2e.sh <wine-run.sh> <prefix> <korvo.exe> <korvo-devsim> <image> [scenario...]
# Scenarios: update decline bootloader scan unplugged check yes_json rack rack_stop rack_view
# net_update net_yes net_raw net_rack net_stop net_vanish net_return (all when none is named). The net_ ones reach their devices through a
# ser2net on 127.0.0.1 (KORVO_SER2NET, else the one on the PATH or in /usr/sbin), and are
# skipped where there is none.
#
# korvo.exe runs in a real console: a tmux window whose pane is Wine's console, so _getch
# reads keys sent with "tmux send-keys". Standard output goes to a file, where
# msvcrt's text mode writes every "\n" as "\r\n"; the comparison turns "\r\n" back into
# "\n" and nothing else (the progress line's lone "\r" must stay). Each device is a
# korvo-devsim on a pseudo-terminal that the prefix sees as COM<n> through its
# dosdevices/com<n> link; every other com link is removed, so that nothing reaches the
# machine's own serial devices.
#
# Prints one "PASS <scenario> (<time>)" or "FAIL <scenario> (<time>): <reason>" line per
# scenario; the exit status is 1 when any scenario failed, 2 when the suite could not start.
# Everything the runs leave (output, traces, devsim logs) stays in wine-e2e/ beside the
# prefix, so that a failure can be looked at afterwards.
set -u

if [ $# -lt 5 ]; then
  echo "use: wine-e2e.sh <wine-run.sh> <prefix> <korvo.exe> <korvo-devsim> <image> [scenario...]" >&2
  exit 2
fi
# Absolute paths: korvo.exe runs in its scenario's folder.
absolute() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
wine_run=$(absolute "$1")
prefix=$(absolute "$2")
korvo=$(absolute "$3")
devsim=$(absolute "$4")
image=$(absolute "$5")
shift 5
scenarios=${*:-update decline bootloader scan unplugged check yes_json rack rack_stop rack_view net_update net_yes net_raw net_rack net_stop net_vanish net_return}
work=${KORVO_E2E_WORK:-$(dirname "$prefix")/wine-e2e}
ports=$prefix/dosdevices

# Bounds of every wait, in seconds. A whole update takes a few seconds under Wine; these
# only keep a hung run from hanging the suite.
PROMPT_WAIT_S=60
UPDATE_WAIT_S=120
EXIT_WAIT_S=20
DEVICE_WAIT_S=5
# A device serves until it is stopped; should this script be killed before its cleanup,
# none outlives this (timeout passes our stop on to it as well).
DEVICE_LIFE_S=600

for tool in tmux perl flock timeout; do
  command -v $tool >/dev/null 2>&1 || { echo "wine-e2e: no $tool" >&2; exit 2; }
done
for file in "$wine_run" "$korvo" "$devsim" "$image"; do
  [ -e "$file" ] || { echo "wine-e2e: no $file" >&2; exit 2; }
done
wineserver=${KORVO_WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
export WINEPREFIX="$prefix" WINEDEBUG=-all

now_ms() { date +%s%3N; }
seconds_since() {
  ms=$(($(now_ms) - $1))
  printf '%d.%d s' $((ms / 1000)) $((ms % 1000 / 100))
}
tmux_cmd() { tmux -f /dev/null -S "$work/tmux.sock" "$@"; }
remove_port_links() { rm -f "$ports"/com*; }

# Ends the simulated devices this suite started (their ids are in $work/pids), each by its
# id and only while that id still names a korvo-devsim: a leftover list from a run that was
# killed may hold ids that are someone else's by now.
# (An ended child that is not collected yet has an empty command line.)
devsim_running() { grep -q korvo-devsim "/proc/$1/cmdline" 2>/dev/null; }
stop_devsims() {
  [ -f "$work/pids" ] || return 0
  while read -r pid; do
    if devsim_running "$pid"; then
      kill -TERM "$pid" 2>/dev/null
      tries=$((DEVICE_WAIT_S * 10))
      while [ $tries -gt 0 ] && devsim_running "$pid"; do
        sleep 0.1
        tries=$((tries - 1))
      done
      devsim_running "$pid" && kill -KILL "$pid" 2>/dev/null
    fi
    # Collects our own child; returns at once for an id that is not (a killed run's).
    wait "$pid" 2>/dev/null
  done <"$work/pids"
  rm -f "$work/pids"
}

# The ser2net servers this suite started, each by its id while it still is one.
ser2net_running() { grep -q ser2net "/proc/$1/cmdline" 2>/dev/null; }
stop_ser2nets() {
  [ -f "$work/ser2net.pids" ] || return 0
  while read -r pid; do
    ser2net_running "$pid" && kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done <"$work/ser2net.pids"
  rm -f "$work/ser2net.pids"
}

cleanup() {
  tmux_cmd kill-server 2>/dev/null
  stop_ser2nets
  stop_devsims
  "$wineserver" -k 2>/dev/null
  remove_port_links
}

# The prefix to ourselves: the scenarios rearrange its COM links and restart its server,
# and other build folders share it. flock holds the lock around the whole script and keeps
# it from the script's children (-o), so that a Wine or a device left over from a killed
# run cannot hold it; our own programs take no lock (KORVO_WINE_HELD). Not the lock that
# wine-run.sh takes to create the prefix, which would then wait for us.
if [ -z "${KORVO_E2E_LOCKED:-}" ]; then
  mkdir -p "$(dirname "$prefix")" || exit 2
  KORVO_E2E_LOCKED=1 KORVO_WINE_HELD=alone exec flock -o -w 600 -E 2 "$prefix.use" \
    sh "$0" "$wine_run" "$prefix" "$korvo" "$devsim" "$image" $scenarios
fi

# A run that was killed may have left its devices, its tmux server or its Wine behind.
[ -d "$work" ] && cleanup
rm -rf "$work"
mkdir -p "$work" || exit 2
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# One Wine for the whole suite. Its start-up services make the COM links of the machine's
# serial devices (the prefix's registry moves them to COM256 and up); a persistent server
# keeps those services running, so once the links are removed below nothing makes them
# again, where a fresh Wine per scenario would (and would remove the link to a device,
# which the registry does not name). The server ends 600 s after its last program, should
# this script be killed before its cleanup.
suite_started=$(now_ms)
"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 </dev/null
"$wineserver" -k 2>/dev/null
"$wineserver" -p600 >"$work/wineserver.log" 2>&1 || { echo "wine-e2e: cannot start the wineserver" >&2; exit 2; }
"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 </dev/null
remove_port_links
echo "wine-e2e: Wine ready after $(seconds_since "$suite_started")"

# ---- one scenario's pieces; each returns 1 after saying what went wrong (bad)

bad() {
  reason=$*
  return 1
}

# device <com> [korvo-devsim options]: a simulated device as COM<com>, with a byte trace and
# a check of the flash against the image.
device() {
  com=$1
  shift
  timeout $DEVICE_LIFE_S "$devsim" --link "$ports/com$com" --image "$image" --trace "$dir/trace$com.txt" \
    "$@" </dev/null >/dev/null 2>"$dir/devsim$com.err" &
  echo $! >>"$work/pids"
  tries=$((DEVICE_WAIT_S * 10))
  until grep -q -- "-> " "$dir/devsim$com.err" 2>/dev/null; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || { bad "korvo-devsim for COM$com did not start: $(cat "$dir/devsim$com.err")"; return 1; }
    sleep 0.1
  done
}

# served <com> [raw|rfc2217 [korvo-devsim options]]: the simulated device of COM<com> behind a
# ser2net of its own, in RFC 2217 mode or raw; korvo.exe reaches it only through 127.0.0.1 (its
# COM link is taken away). The port's URL lands in $url.
ser2net=${KORVO_SER2NET:-$(command -v ser2net || echo /usr/sbin/ser2net)}
net_port=$((20000 + $$ % 20000))
served() {
  net_com=$1
  mode=${2:-rfc2217}
  if [ $# -ge 2 ]; then shift 2; else shift 1; fi
  device "$net_com" "$@" || return 1
  mv "$ports/com$net_com" "$dir/pty$net_com" || { bad "no link to COM$net_com's pty"; return 1; }
  accepter="telnet(rfc2217),tcp"
  scheme=rfc2217
  if [ "$mode" = raw ]; then
    accepter=tcp
    scheme=tcp
  fi
  net_port=$((net_port + 1))
  while ss -ltn | grep -q "[:.]$net_port "; do net_port=$((net_port + 1)); done
  printf 'connection: &com%s\n  accepter: %s,127.0.0.1,%s\n  connector: serialdev,%s,19200n81,local\n' \
    "$net_com" "$accepter" "$net_port" "$dir/pty$net_com" >"$dir/ser2net$net_com.yaml"
  : >"$dir/ser2net$net_com.log"
  start_ser2net "$net_com" || return 1
  url="$scheme://127.0.0.1:$net_port"
}

# start_ser2net <com>: COM<com>'s ser2net from the configuration served wrote, listening on
# $net_port when it returns (served, and a server started again on the same port).
start_ser2net() {
  timeout $DEVICE_LIFE_S "$ser2net" -n -d -P "$dir/ser2net$1.pid" -c "$dir/ser2net$1.yaml" \
    </dev/null >>"$dir/ser2net$1.log" 2>&1 &
  echo $! >>"$work/ser2net.pids"
  tries=$((DEVICE_WAIT_S * 10))
  until ss -ltn | grep -q "127.0.0.1:$net_port "; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || { bad "ser2net for COM$1 did not listen: $(cat "$dir/ser2net$1.log")"; return 1; }
    sleep 0.1
  done
}

# run_korvo [argument]: korvo.exe in a new tmux window; its exit status lands in rc.txt.
# The wrapper outlives a Ctrl-C typed into the pane (korvo.exe decides what it means) to write
# the exit status.
run_korvo() {
  tmux_cmd new-session -d -s "$name" -x 100 -y 30 -c "$dir" \
    sh -c 'trap : INT; "$@" >out.raw 2>err.txt; echo $? >rc.new; mv rc.new rc.txt' \
    sh "$wine_run" "$prefix" "$korvo" "$@" || { bad "tmux did not start"; return 1; }
}

key() { tmux_cmd send-keys -t "$name" "$@" || { bad "tmux send-keys $*"; return 1; }; }

# wait_output <text> <seconds>: until korvo has written the text; 1 when it ended without
# it or the time ran out.
wait_output() {
  tries=$(($2 * 10))
  until grep -qaF -- "$1" "$dir/out.raw" 2>/dev/null; do
    [ -f "$dir/rc.txt" ] && { bad "korvo.exe ended without writing \"$1\""; return 1; }
    tries=$((tries - 1))
    [ $tries -gt 0 ] || { bad "no \"$1\" within $2 s"; return 1; }
    sleep 0.1
  done
}

# The final key wait: the program must really wait for it, then end with the status.
exit_with_key() {
  wait_output "Press any key to exit..." "$UPDATE_WAIT_S" || return 1
  sleep 0.3
  [ -f "$dir/rc.txt" ] && { bad "korvo.exe ended without waiting for a key"; return 1; }
  key "$@" || return 1
  tries=$((EXIT_WAIT_S * 10))
  until [ -f "$dir/rc.txt" ]; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || { bad "korvo.exe did not end within $EXIT_WAIT_S s of the key"; return 1; }
    sleep 0.1
  done
}

# The expected standard output, built piece by piece (printf %b: "\n" and "\r" escapes).
expect() { printf '%b' "$*" >>"$dir/expected"; }
expect_banner() { expect "\nTorva firmware update utility. Version 1.01\n"; }
expect_found() { expect "\nCOM$1: A matching Torva device found."; }
# expect_newer <device version> <model>: the stand-in image (1.14, "SlatePro") is newer.
expect_newer() {
  expect "\n\nThis update is newer than the firmware inside the $2.\n"
  expect "\n Current Version: $1, Model: $2\n Update Version:  1.14, Model: SlatePro"
  expect "\n\nContinue with update to newer version? (Y,N) "
}
# expect_progress <records> [record that failed]: 0% up to the record before the failed
# one, or up to 99% and then the 100% line.
expect_progress() {
  shown=${2:-$1}
  expect "\n"
  k=0
  while [ $k -lt "$shown" ]; do
    printf '\rUpdating firmware: %3u%% complete.' $((k * 100 / $1)) >>"$dir/expected"
    k=$((k + 1))
  done
  [ $# -eq 1 ] && expect "\rUpdating firmware: 100% complete.\n"
}
expect_key_wait() { expect "\nPress any key to exit...\n"; }

# The transcript with msvcrt's "\r\n" read as "\n", byte for byte against the expected one.
check_transcript() {
  perl -pe 's/\r\n/\n/g' "$dir/out.raw" >"$dir/out.txt"
  cmp -s "$dir/expected" "$dir/out.txt" && return 0
  at=$(cmp "$dir/expected" "$dir/out.txt" 2>&1 | sed -n 's/.*byte \([0-9]*\).*/\1/p')
  from=$((${at:-1} > 60 ? ${at:-1} - 60 : 1))
  {
    echo "  expected, from byte $from:"
    tail -c +$from "$dir/expected" | head -c 160 | od -An -c
    printf '%s\n' '  korvo.exe wrote (with "\r\n" read as "\n"):'
    tail -c +$from "$dir/out.txt" | head -c 160 | od -An -c
  } >"$dir/diff.txt"
  bad "the transcript differs at byte ${at:-?} (see below)"
}

check_status() {
  status=$(cat "$dir/rc.txt")
  [ "$status" = "$1" ] || bad "exit status $status, expected $1"
}

# Standard error: every scenario offers the stand-in, and a test build says before the
# question that its images are not device firmware; then korvo's own "korvo: " verdict.
TEST_BUILD='korvo: this build carries test images, not device firmware\n'
# check_stderr <text>: standard error holds exactly this (printf %b; "\r\n" read as "\n").
check_stderr() {
  printf '%b' "$1" >"$dir/expected-err"
  perl -pe 's/\r\n/\n/g' "$dir/err.txt" >"$dir/err-lf.txt"
  cmp -s "$dir/expected-err" "$dir/err-lf.txt" ||
    { bad "standard error: \"$(cat "$dir/err-lf.txt")\", expected \"$1\""; return 1; }
}
# printf, not echo: dash's echo turns the "\n" into a line break, which $(...) then drops.
verified() { printf '%s' "korvo: COM$1: verified: the device restarted and runs version 1.14, model Slate Pro, the version of this update\\n"; }

# How often the entry text "^BOOTL$" reached the device, however the reads cut it up: the
# bytes of every host>dev line of the trace, joined (a line is "<time> ms host>dev <side>
# <speed> <hex bytes>  |<text>|").
bootl_count() {
  awk '$3 == "host>dev" { line = substr($0, 1, index($0, "  |") - 1); n = split(line, f, " ");
                          for (i = 6; i <= n; ++i) printf " %s", f[i] }' "$dir/trace$1.txt" |
    grep -o ' 5E 42 4F 4F 54 4C 24' | wc -l
}
check_bootl() {
  grep -q "host>dev" "$dir/trace$1.txt" 2>/dev/null || { bad "COM$1's trace shows nothing sent"; return 1; }
  n=$(bootl_count "$1")
  [ "$n" -eq "$2" ] || bad "\"^BOOTL\$\" reached COM$1 $n times, expected $2"
}

# Stops the devices; then each device's last line is its verdict on the flash.
check_flash() {
  stop_devsims
  verdict=$(tail -n 1 "$dir/devsim$1.err")
  case $verdict in
    "korvo-devsim: flash verified:"*) return 0 ;;
  esac
  bad "COM$1: $verdict"
}

# ---- the scenarios

# A device running its application: found, asked, updated, verified; status 1 even so.
scenario_update() {
  device 3 || return 1
  run_korvo 3 || return 1
  wait_output "(Y,N) " "$PROMPT_WAIT_S" || return 1
  key -l y || return 1
  exit_with_key Enter || return 1
  expect_banner
  expect_found 3
  expect "\n"
  expect_newer 1.13 "Slate Pro"
  expect "Y\n"
  expect_progress 574
  expect_key_wait
  check_transcript && check_status 1 && check_stderr "$TEST_BUILD$(verified 3)" || return 1
  # The entry text, three times in one write, went out once: this also shows that the
  # check of the decline can fail.
  check_bootl 3 3 && check_flash 3
}

# The user declines; keys other than Y and N are skipped without a trace, and nothing
# reaches the bootloader.
#
# Not tested here: keys typed during the scan, which korvo throws away before its question
# (msvcrt's keys and FlushConsoleInputBuffer). Wine 8.0's console on a Unix terminal hands
# over no key before a blocking console read: _kbhit, GetNumberOfConsoleInputEvents and a
# zero wait on the input handle all report nothing, FlushConsoleInputBuffer finds nothing to
# flush, and the next _getch returns the key (seen with a probe program, the key sent 2 s
# before those calls). So under Wine that key answers the question. A Windows console queues
# keys from the start; the POSIX end-to-end tests cover this step on a pty.
scenario_decline() {
  device 4 || return 1
  run_korvo 4 || return 1
  wait_output "(Y,N) " "$PROMPT_WAIT_S" || return 1
  key -l x || return 1
  key -l n || return 1
  exit_with_key -l q || return 1
  expect_banner
  expect_found 4
  expect "\n"
  expect_newer 1.13 "Slate Pro"
  expect "N\n\nUpdate cancelled.\n\n"
  expect_key_wait
  check_transcript && check_status 0 && check_stderr "$TEST_BUILD" || return 1
  stop_devsims
  check_bootl 4 0
}

# A device that waits in its bootloader: found there, no entry text, updated and verified.
scenario_bootloader() {
  device 5 --side boot --fw-version 1.12 || return 1
  run_korvo 5 || return 1
  wait_output "(Y,N) " "$PROMPT_WAIT_S" || return 1
  key -l Y || return 1
  exit_with_key -l q || return 1
  expect_banner
  expect_found 5
  expect "\n"
  expect_newer 1.12 "Slate Pro"
  expect "Y\n"
  expect_progress 574
  expect_key_wait
  check_transcript && check_status 1 && check_stderr "$TEST_BUILD$(verified 5)" || return 1
  check_bootl 5 0 && check_flash 5
}

# No argument: COM1 has no device behind it, COM2 a line where nothing answers, COM3 the
# device; the scan stops there.
scenario_scan() {
  device 2 --silent || return 1
  device 3 || return 1
  run_korvo || return 1
  wait_output "(Y,N) " "$PROMPT_WAIT_S" || return 1
  key -l n || return 1
  exit_with_key -l q || return 1
  expect_banner
  expect "\nCOM1: Could not open port.\nCOM2: No Torva devices detected."
  expect_found 3
  expect "\n"
  expect_newer 1.13 "Slate Pro"
  expect "N\n\nUpdate cancelled.\n\n"
  expect_key_wait
  check_transcript && check_status 0 && check_stderr "$TEST_BUILD"
}

# The cable is pulled after record 100 has been acknowledged: record 101 goes unanswered.
scenario_unplugged() {
  device 3 --pull-after 100 || return 1
  run_korvo 3 || return 1
  wait_output "(Y,N) " "$PROMPT_WAIT_S" || return 1
  key -l y || return 1
  exit_with_key -l q || return 1
  expect_banner
  expect_found 3
  expect "\n"
  expect_newer 1.13 "Slate Pro"
  expect "Y\n"
  expect_progress 574 101
  expect "\nError: Lost2(01) communications with the bootloader, check cables and power.\n"
  expect_key_wait
  check_transcript && check_status 1 &&
    check_stderr "${TEST_BUILD}korvo: COM3: the update stopped after 100 of 574 records; the device was left in its bootloader; a new run on COM3 installs the image\n"
}

# Unattended runs end on their own: no key is typed.
wait_end() {
  tries=$((UPDATE_WAIT_S * 10))
  until [ -f "$dir/rc.txt" ]; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || { bad "korvo.exe did not end on its own within $UPDATE_WAIT_S s"; return 1; }
    sleep 0.1
  done
}

# --check: the verdict after the scan's line, status 100, nothing sent to the bootloader.
scenario_check() {
  device 6 || return 1
  run_korvo --check 6 || return 1
  wait_end || return 1
  expect_banner
  expect_found 6
  expect "\n\nCOM6: Slate Pro, installed 1.13, offered 1.14: update available\n"
  check_transcript && check_status 100 && check_stderr "" || return 1
  stop_devsims
  check_bootl 6 0
}

# --yes --json: one JSON object a line, the result verified, status 0; the update record's
# last line, under %LOCALAPPDATA%, says the same.
scenario_yes_json() {
  device 7 || return 1
  run_korvo --yes --json 7 || return 1
  wait_end || return 1
  check_status 0 || return 1
  perl -MJSON::PP -ne 's/\r?\n$//; my $e = decode_json($_); die "no port\n" unless $e->{port} eq "COM7";
                      $r = $e if $e->{event} eq "result";
                      END { die "no verified result\n" unless $r && $r->{verified} && $r->{outcome} eq "updated" }' \
    "$dir/out.raw" 2>"$dir/json.err" || { bad "JSON output: $(cat "$dir/json.err")"; return 1; }
  record=$(ls "$prefix"/drive_c/users/*/AppData/Local/korvo/updates.jsonl 2>/dev/null | head -n 1)
  [ -n "$record" ] || { bad "no update record under %LOCALAPPDATA%"; return 1; }
  tail -n 1 "$record" | perl -MJSON::PP -ne 'my $e = decode_json($_);
      exit !($e->{port} eq "COM7" && $e->{verified} && $e->{version_after} eq "1.14")' ||
    { bad "the record's last line is not this update: $(tail -n 1 "$record")"; return 1; }
  # The record as CSV on standard output: each line ends in one CR LF (a text-mode stream
  # would make it CR CR LF), a row per update after the header.
  sh "$wine_run" "$prefix" "$korvo" --history --format csv >"$dir/report.csv" 2>"$dir/report.err" ||
    { bad "--history --format csv: $(cat "$dir/report.err")"; return 1; }
  perl -e 'local $/; my $t = <STDIN>; my $n = () = $t =~ /\r\n/g;
           exit !($t !~ /\r\r/ && $t =~ /\r\n\z/ && $t !~ /[^\r]\n/ && $n == $ARGV[0] + 1)' \
    "$(grep -c . "$record")" <"$dir/report.csv" ||
    { bad "the CSV's line ends or rows: $(head -c 300 "$dir/report.csv" | od -c | head -n 5)"; return 1; }
  check_flash 7
}

# --yes on two ports at once: both update side by side and verify, each with its own lines
# and its row in the summary; status 0.
scenario_rack() {
  device 4 || return 1
  device 8 || return 1
  # --all finds both among the prefix's ports. The prefix's registry names every COM number
  # up to 255 (to keep the machine's own devices out of reach), so Wine shows them all as
  # ports: 250-odd threads, each failing its open at once, beside the two devices.
  run_korvo --check --all || return 1
  wait_end || return 1
  check_status 100 || return 1
  perl -pe 's/\r\n/\n/g' "$dir/out.raw" >"$dir/check-lf.txt"
  [ "$(grep -c "^COM[48]: update available: 1.14\$" "$dir/check-lf.txt")" = 2 ] ||
    { bad "--all did not check COM4 and COM8"; return 1; }
  rm -f "$dir/rc.txt"
  tmux_cmd kill-session -t "$name" 2>/dev/null
  run_korvo --yes --no-record 4 8 || return 1
  wait_end || return 1
  check_status 0 || return 1
  perl -pe 's/\r\n/\n/g' "$dir/out.raw" >"$dir/out-lf.txt"
  for com in 4 8; do
    grep -qx "COM$com: verified" "$dir/out-lf.txt" || { bad "no verified line for COM$com"; return 1; }
    grep -q "^COM$com  Slate Pro  1.13 -> 1.14 .* verified\$" "$dir/out-lf.txt" ||
      { bad "no summary row for COM$com"; return 1; }
    [ "$(grep -c "^COM$com: updating" "$dir/out-lf.txt")" = 11 ] || { bad "COM$com's progress is not told in tenths"; return 1; }
  done
  stop_devsims
  check_flash 4 && check_flash 8
}

# Ctrl-C in the console while two paced updates run: korvo.exe stops both, says where each
# was left and ends with status 1 on its own; a new run then installs the image on both.
scenario_rack_stop() {
  device 4 --pacing || return 1
  device 8 --pacing || return 1
  run_korvo --yes --no-record 4 8 || return 1
  wait_output "COM8: updating 20%" "$PROMPT_WAIT_S" || return 1
  wait_output "COM4: updating 20%" "$PROMPT_WAIT_S" || return 1
  key C-c || return 1
  wait_end || return 1
  check_status 1 || return 1
  perl -pe 's/\r\n/\n/g' "$dir/out.raw" >"$dir/out-lf.txt"
  for com in 4 8; do
    grep -q "^COM$com  Slate Pro  1.13 .* stopped in its bootloader\$" "$dir/out-lf.txt" ||
      { bad "no stopped row for COM$com"; return 1; }
  done
  rm -f "$dir/rc.txt"
  tmux_cmd kill-session -t "$name" 2>/dev/null
  run_korvo --yes --no-record 4 8 || return 1
  wait_end || return 1
  check_status 0 || return 1
  check_flash 4 && check_flash 8
}

# The same two updates with standard output on the console itself: the rows are redrawn in
# place (virtual-terminal sequences), so the pane ends with one row a device and the summary,
# and none of the plain lines.
scenario_rack_view() {
  device 4 || return 1
  device 8 || return 1
  tmux_cmd new-session -d -s "$name" -x 100 -y 30 -c "$dir" \
    sh -c '"$@" 2>err.txt; echo $? >rc.new; mv rc.new rc.txt; sleep 60' \
    sh "$wine_run" "$prefix" "$korvo" --yes --no-record 4 8 || { bad "tmux did not start"; return 1; }
  wait_end || return 1
  check_status 0 || return 1
  tmux_cmd capture-pane -p -t "$name" >"$dir/screen.txt"  # the window stays open for this
  for com in 4 8; do
    [ "$(grep -c "^COM$com  Slate Pro  verified *\$" "$dir/screen.txt")" = 1 ] ||
      { bad "COM$com's row is not drawn once: $(cat "$dir/screen.txt")"; return 1; }
    grep -q "^COM$com  Slate Pro  1.13 -> 1.14 .* verified *\$" "$dir/screen.txt" ||
      { bad "no summary row for COM$com"; return 1; }
  done
  grep -q "^COM[48]: " "$dir/screen.txt" && { bad "plain lines on a console that takes the sequences"; return 1; }
  check_flash 4 && check_flash 8
}

# The default mode through ser2net: found, asked, updated, verified; status 1 even so.
scenario_net_update() {
  served 3 || return 1
  run_korvo "$url" || return 1
  wait_output "(Y,N) " "$PROMPT_WAIT_S" || return 1
  key -l y || return 1
  exit_with_key Enter || return 1
  expect_banner
  expect "\n$url: A matching Torva device found.\n"
  expect_newer 1.13 "Slate Pro"
  expect "Y\n"
  expect_progress 574
  expect_key_wait
  check_transcript && check_status 1 || return 1
  check_stderr "${TEST_BUILD}korvo: $url: verified: the device restarted and runs version 1.14, model Slate Pro, the version of this update\n" || return 1
  check_flash 3
}

# Ctrl-C during an update through ser2net: korvo.exe says where the device was left, and the
# next run finishes the update. (A single port's Ctrl-C ends the process the system's way, as
# on a serial port: its exit status is the system's, not korvo's, and not checked here.)
scenario_net_stop() {
  served 3 rfc2217 --pacing || return 1
  run_korvo --yes --no-record "$url" || return 1
  wait_output "Updating firmware:  20% complete." "$PROMPT_WAIT_S" || return 1
  key C-c || return 1
  wait_end || return 1
  # Ended by the Ctrl-C, never with the status of success (Wine had made it 0).
  [ "$(cat "$dir/rc.txt")" != 0 ] || { bad "the stopped update ended with status 0"; return 1; }
  grep -q "verified" "$dir/err.txt" && { bad "a verdict after the stop: $(cat "$dir/err.txt")"; return 1; }
  grep -q "interrupted during the update; the device was left in its bootloader" "$dir/err.txt" ||
    { bad "no interruption note: $(cat "$dir/err.txt")"; return 1; }
  rm -f "$dir/rc.txt"
  tmux_cmd kill-session -t "$name" 2>/dev/null
  run_korvo --yes --no-record "$url" || return 1
  wait_end || return 1
  check_status 0 || return 1
  check_flash 3
}

# The server goes away mid-update: a failure, never a success, within the waits' bounds.
scenario_net_vanish() {
  served 3 rfc2217 --pacing || return 1
  run_korvo --yes --no-record --retries 0 "$url" || return 1
  wait_output "Updating firmware:  20% complete." "$PROMPT_WAIT_S" || return 1
  stop_ser2nets
  wait_end || return 1
  check_status 1 || return 1
  grep -q "the device was left in its bootloader" "$dir/err.txt" ||
    { bad "no failure note: $(cat "$dir/err.txt")"; return 1; }
  grep -q "verified" "$dir/err.txt" && { bad "a verdict of verified: $(cat "$dir/err.txt")"; return 1; }
  return 0
}

# The server goes away mid-update and is started again on the same port at once (a restarted
# ser2net, a rebooted gateway): the retry connects to it again and the update verifies.
scenario_net_return() {
  served 3 rfc2217 --pacing || return 1
  run_korvo --yes --no-record --retries 1 "$url" || return 1
  wait_output "Updating firmware:  20% complete." "$PROMPT_WAIT_S" || return 1
  stop_ser2nets
  start_ser2net 3 || return 1
  wait_end || return 1
  check_status 0 || return 1
  grep -q "korvo: $url: attempt 1 of 2: " "$dir/err.txt" || { bad "no retry: $(cat "$dir/err.txt")"; return 1; }
  grep -q "korvo: $url: verified: " "$dir/err.txt" || { bad "not verified: $(cat "$dir/err.txt")"; return 1; }
  check_flash 3
}

# --yes through ser2net in RFC 2217 mode: the speed changes reach the device's pty, the
# update verifies, and the port is named as given.
scenario_net_yes() {
  served 3 || return 1
  run_korvo --yes --no-record "$url" || return 1
  wait_end || return 1
  check_status 0 || return 1
  check_stderr "${TEST_BUILD}korvo: $url: verified: the device restarted and runs version 1.14, model Slate Pro, the version of this update\n" || return 1
  check_flash 3
}

# A raw port: --check works at the server's fixed 19200 (100: an update is available);
# --yes is refused before the bootloader is asked for, and nothing of the entry is sent.
scenario_net_raw() {
  served 5 raw || return 1
  run_korvo --check "$url" || return 1
  wait_end || return 1
  check_status 100 || return 1
  rm -f "$dir/rc.txt"
  tmux_cmd kill-session -t "$name" 2>/dev/null
  run_korvo --yes --no-record "$url" || return 1
  wait_end || return 1
  check_status 1 || return 1
  grep -q "this port's speed is fixed by its server (a raw TCP port); nothing was sent" "$dir/err.txt" ||
    { bad "no refusal on standard error: $(cat "$dir/err.txt")"; return 1; }
  stop_devsims
  check_bootl 5 0
}

# Two devices behind two servers in one run.
scenario_net_rack() {
  served 4 || return 1
  first=$url
  served 8 || return 1
  run_korvo --yes --no-record "$first" "$url" || return 1
  wait_end || return 1
  check_status 0 || return 1
  check_flash 4 && check_flash 8
}

# ---- running them

passed=0
failed=0
for name in $scenarios; do
  case $name in
    update | decline | bootloader | scan | unplugged | check | yes_json | rack | rack_stop | rack_view) ;;
    net_update | net_yes | net_raw | net_rack | net_stop | net_vanish | net_return)
      if [ ! -x "$ser2net" ] || ! command -v ss >/dev/null 2>&1; then
        echo "SKIP $name: no ser2net (or no ss to see it listen)"
        continue
      fi
      ;;
    *) echo "FAIL $name: no such scenario"; failed=$((failed + 1)); continue ;;
  esac
  dir=$work/$name
  mkdir -p "$dir"
  : >"$dir/expected"
  reason=""
  remove_port_links
  started=$(now_ms)
  if "scenario_$name"; then
    result=PASS
  else
    result=FAIL
  fi
  took=$(seconds_since "$started")
  tmux_cmd capture-pane -p -t "$name" >"$dir/pane.txt" 2>/dev/null
  tmux_cmd kill-session -t "$name" 2>/dev/null
  stop_ser2nets
  stop_devsims
  remove_port_links
  if [ $result = PASS ]; then
    echo "PASS $name ($took)"
    passed=$((passed + 1))
  else
    echo "FAIL $name ($took): $reason"
    [ -f "$dir/diff.txt" ] && cat "$dir/diff.txt"
    echo "  (korvo.exe's output, devsim logs and traces: $dir)"
    failed=$((failed + 1))
  fi
done
echo "wine-e2e: $passed passed, $failed failed, $(seconds_since "$suite_started") in all"
[ $failed -eq 0 ]
