#!/bin/sh
# Runs one Windows program of a cross build under Wine, in the prefix that every build
# folder shares:
#   wine-run.sh <prefix folder> <program.exe> [arguments...]
# The first use creates the prefix (under a lock: build steps and tests may start in
# parallel) and leaves no COM port that reaches the machine's own serial devices.
# Programs share the prefix (a shared lock on <prefix>.use); a suite that rearranges its COM
# links or restarts its server holds that lock alone and sets KORVO_WINE_HELD for its own
# programs, which then take no lock.
set -e
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No installer prompts for components the programs never use.
export WINEDLLOVERRIDES="mscoree,mshtml="

find_tool() {
  for candidate in "$@"; do
    if [ -x "/usr/lib/wine/$candidate" ]; then echo "/usr/lib/wine/$candidate"; return; fi
    if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; return; fi
  done
  echo "wine-run.sh: no $1 found" >&2
  exit 127
}
wine=${KORVO_WINE:-$(find_tool wine64 wine)}
wineserver=${KORVO_WINESERVER:-$(find_tool wineserver)}

if [ ! -f "$prefix/.korvo-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.korvo-ready" ]; then
    "$wine" cmd /c exit >/dev/null 2>&1 </dev/null
    # Wine links COM1, COM2, ... to /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* by itself, taking
    # the first numbers that the registry does not name: naming COM1-COM255 pushes any real
    # device out of reach of every port number the programs use (1-99).
    reg="$prefix/drive_c/korvo-ports.reg"
    {
      printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
      i=1
      while [ $i -le 255 ]; do printf '"COM%d"=""\r\n' $i; i=$((i + 1)); done
    } >"$reg"
    "$wine" regedit /S 'C:\korvo-ports.reg' >/dev/null 2>&1 </dev/null
    # The registry is written when the server ends; the links it made at start-up go too.
    "$wineserver" -w
    rm -f "$prefix"/dosdevices/com*
    touch "$prefix/.korvo-ready"
  fi
  exec 9>&-
fi
if [ -z "${KORVO_WINE_HELD:-}" ]; then
  export KORVO_WINE_HELD=shared
  exec flock -s -w 900 -E 2 "$prefix.use" "$wine" "$@"
fi
exec "$wine" "$@"
