#!/bin/sh
# Windows build and tests: cross-builds the "windows" preset with mingw-w64, checks that
# korvo.exe needs nothing but the system's own DLLs, runs the Windows tests under Wine in the
# prefix every build folder shares (KORVO_WINE_PREFIX, made once), and packages korvo.exe
# for the field and checks that zip (a test build: cpack must refuse it without
# KORVO_PACKAGE_TEST_IMAGES, which scripts/check-packages.sh then gives).
# Installs nothing: it needs the packages cmake, g++, googletest, g++-mingw-w64-x86-64-posix,
# wine64 and tmux.
#   .ci/windows.sh            build in build-windows/ (kept between runs)
#   .ci/windows.sh --clean    start from an empty build folder
# With KORVO_TALLY set to a file, adds "<what> <passed> <failed>" lines to it for
# scripts/test-all.sh: each ctest entry, each end-to-end scenario and each check once.
set -u
cd "$(dirname "$0")/.."
. scripts/tally.sh
build=build-windows
started=$(date +%s)
log=$(mktemp)
trap 'rm -f "$log" "$log.rc"' EXIT

[ "${1:-}" = "--clean" ] && rm -rf "$build"

results=""
failed=0
figures=""
# step <what> <how to count> <name> <command...>; counts: ctest (each ctest entry), lines
# (each PASS/FAIL line), one (the step is one check), build (nothing, or one failure).
step() {
  what=$1
  count=$2
  name=$3
  shift 3
  echo "==> $name"
  # Shown as it comes, and kept for the count.
  { "$@" 2>&1; echo $? >"$log.rc"; } | tee "$log"
  rc=$(cat "$log.rc")
  case $count in
    ctest) set -- $(ctest_tally "$log" $rc) ;;
    lines) set -- $(lines_tally "$log" $rc) ;;
    one) if [ $rc -eq 0 ]; then set -- 1 0; else set -- 0 1; fi ;;
    *) if [ $rc -eq 0 ]; then set -- 0 0; else set -- 0 1; fi ;;
  esac
  shown="$name ($1 passed, $2 failed)"
  [ "$count" = build ] && shown=$name
  if [ $rc -eq 0 ]; then
    results="$results
  ok      $shown"
  else
    results="$results
  FAILED  $shown"
    failed=1
  fi
  figures="$figures$what $1 $2
"
}

# Every DLL that korvo.exe imports must come with Windows itself: a MinGW runtime DLL
# (libstdc++, libgcc, libwinpthread) would be missing on a user's machine.
# Winsock (ws2_32) is part of every Windows since 95.
check_imports() {
  exe=$build/bin/korvo.exe
  [ -f "$exe" ] || { echo "no $exe"; return 1; }
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  echo "korvo.exe imports:" $dlls
  [ -n "$dlls" ] || { echo "no import table found"; return 1; }
  bad=$(echo "$dlls" | grep -Eiv '^(kernel32|user32|msvcrt|advapi32|setupapi|ws2_32|ntdll|api-ms-win-.*)\.dll$')
  if [ -n "$bad" ]; then
    echo "not a system DLL:" $bad
    return 1
  fi
}

build_all() { cmake --preset windows && cmake --build --preset windows; }
step build build "configure and build (windows preset)" build_all
if [ $failed -eq 0 ]; then
  step check one "korvo.exe imports system DLLs only" check_imports
  # The unit tests as one Wine program, then the Wine scenarios (serial port on a pty, no
  # console, korvo itself); ctest lists each.
  step ctest ctest "tests under Wine" ctest --preset windows -E '^wine_korvo_e2e$'
  # korvo.exe end to end against the simulated device, with its PASS/FAIL line per scenario.
  step scenario lines "end-to-end scenarios under Wine" ctest --preset windows -R '^wine_korvo_e2e$' --verbose
  # The field installer's zip: stripped korvo.exe with its version resource, README.txt.
  step check lines "korvo.exe package" bash scripts/check-packages.sh windows
fi

# The prefix's server would linger a few seconds after the last program: end it now, once
# no other build folder's program runs in the shared prefix.
prefix=$(sed -n 's/^KORVO_WINE_PREFIX:PATH=//p' "$build/CMakeCache.txt" 2>/dev/null)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -n "$prefix" ] && [ -d "$prefix" ] &&
  WINEPREFIX=$prefix flock -w 60 "$prefix.use" "$wineserver" -k 2>/dev/null

[ -n "${KORVO_TALLY:-}" ] && printf '%s' "$figures" >>"$KORVO_TALLY"
echo
echo "Windows build and tests, $(($(date +%s) - started)) s:$results"
exit $failed
