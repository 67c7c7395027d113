#!/bin/sh
# Windows build and tests: cross-builds the "windows" preset with mingw-w64, checks that
# korvo.exe needs nothing but the system's own DLLs, and runs the Windows tests under Wine
# in a prefix of the build folder. Installs nothing: it needs the packages cmake, g++,
# googletest, g++-mingw-w64-x86-64-posix and wine64.
#   .ci/windows.sh            build in build-windows/ (kept between runs)
#   .ci/windows.sh --clean    start from an empty build folder
set -u
cd "$(dirname "$0")/.."
build=build-windows
prefix=$PWD/$build/wineprefix
started=$(date +%s)

[ "${1:-}" = "--clean" ] && rm -rf "$build"

results=""
failed=0
step() {
  name=$1
  shift
  echo "==> $name"
  if "$@"; then
    results="$results
  ok      $name"
  else
    results="$results
  FAILED  $name"
    failed=1
  fi
}

# Every DLL that korvo.exe imports must come with Windows itself: a MinGW runtime DLL
# (libstdc++, libgcc, libwinpthread) would be missing on a user's machine.
check_imports() {
  exe=$build/bin/korvo.exe
  [ -f "$exe" ] || { echo "no $exe"; return 1; }
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  echo "korvo.exe imports:" $dlls
  [ -n "$dlls" ] || { echo "no import table found"; return 1; }
  bad=$(echo "$dlls" | grep -Eiv '^(kernel32|user32|msvcrt|advapi32|setupapi|ntdll|api-ms-win-.*)\.dll$')
  if [ -n "$bad" ]; then
    echo "not a system DLL:" $bad
    return 1
  fi
}

step "configure (windows preset)" cmake --preset windows
[ $failed -eq 0 ] && step "build" cmake --build --preset windows
if [ $failed -eq 0 ]; then
  step "korvo.exe imports system DLLs only" check_imports
  # The unit tests as one Wine program, then the Wine scenarios (serial port on a pty, no
  # console, korvo itself); ctest lists each.
  step "tests under Wine" ctest --preset windows -E '^wine_korvo_e2e$'
  # korvo.exe end to end against the simulated device, with its PASS/FAIL line per scenario.
  step "end-to-end scenarios under Wine" ctest --preset windows -R '^wine_korvo_e2e$' --verbose
fi

# The prefix's server would linger a few seconds after the last program: end it now.
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -d "$prefix" ] && WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null

echo
echo "Windows build and tests, $(($(date +%s) - started)) s:$results"
exit $failed
