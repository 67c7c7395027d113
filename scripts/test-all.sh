#!/usr/bin/env bash
# Builds and runs every test, stage by stage:
#   native     the default preset, every ctest entry
#   vm         scripts/vm-lane.sh on the default preset's programs: korvo in a Linux guest
#              under QEMU, through QEMU's FTDI adapter and the kernel's ftdi_sio (one line
#              saying it skipped where QEMU is missing)
#   asan       the asan preset (AddressSanitizer + UBSan), every ctest entry
#   dpkg       a plain -DCMAKE_BUILD_TYPE=Release tree built as a Debian packager builds it
#              (dpkg-buildflags: CPPFLAGS folded into CXXFLAGS, as debhelper does for CMake;
#              LDFLAGS), every ctest entry
#   clang      a clang-14 Release tree, its unit tests
#   packages   the native install tree and .deb, lintian's verdict, and cpack's refusal of a
#              test build without KORVO_PACKAGE_TEST_IMAGES (scripts/check-packages.sh default)
#   windows    .ci/windows.sh: the Windows build, its ctest entries and end-to-end scenarios
#              under Wine, the korvo.exe zip
# The dpkg and clang trees are built with warnings as errors, to show that the code is clean
# there too; only the clang tree's unit tests run, the e2e suites have run in the presets.
# Every ctest entry, Wine scenario and VM check counts once; a build that fails counts as one
# failure. Ends with a summary per stage and one line "Total: N passed, N failed".
set -u
cd "$(dirname "$0")/.."
. scripts/tally.sh
jobs=2
status=0
passed=0
failed=0
skipped=0
summary=""
log=$(mktemp)
tally=$(mktemp)
trap 'rm -f "$log" "$log.rc" "$tally"' EXIT

# count <stage> <what> <passed> <failed> [skipped]
count() {
  passed=$((passed + $3))
  failed=$((failed + $4))
  skipped=$((skipped + ${5:-0}))
  [ "$4" -eq 0 ] || status=1
  summary+=$(printf '\n  %-9s %-44s %4d passed %4d failed' "$1" "$2" "$3" "$4")
  [ "${5:-0}" -eq 0 ] || summary+=$(printf ' %4d skipped' "$5")
}

# run <command...>: shown as it runs, kept in $log, its exit status in $rc.
run() {
  { "$@" 2>&1; echo $? >"$log.rc"; } | tee "$log"
  rc=$(cat "$log.rc")
}

# build_tree <stage> <build dir> <cmake configure arguments...>; a failure counts once.
build_tree() {
  local stage=$1 dir=$2
  shift 2
  if cmake -S . -B "$dir" "$@" && cmake --build "$dir" -j "$jobs"; then
    return 0
  fi
  count "$stage" "build of $dir failed" 0 1
  return 1
}

preset_stage() {
  local stage=$1 preset=$2 n
  echo "== $stage: preset $preset, build and every test"
  if cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs"; then
    run ctest --preset "$preset" -j "$jobs"
    count "$stage" "ctest entries (preset $preset)" $(ctest_tally "$log" "$rc")
  else
    count "$stage" "build of preset $preset failed" 0 1
  fi
}

unit_stage() {
  local stage=$1 dir=$2
  shift 2
  echo "== $stage: $dir ($*), build and unit tests"
  if build_tree "$stage" "$dir" "$@"; then
    run ctest --test-dir "$dir" -L '^unit$' -j "$jobs" --output-on-failure --no-tests=error
    count "$stage" "unit tests ($dir)" $(ctest_tally "$log" "$rc")
  fi
}

# Every ctest entry of a tree configured with the packager's flags in the environment.
dpkg_stage() {
  local stage=$1 dir=$2
  shift 2
  echo "== $stage: $dir, dpkg-buildflags, build and every test"
  if (eval "$(dpkg-buildflags --export=sh)" && export CXXFLAGS="$CXXFLAGS $CPPFLAGS" &&
      build_tree "$stage" "$dir" "$@"); then
    run ctest --test-dir "$dir" -j "$jobs" --output-on-failure --no-tests=error
    count "$stage" "ctest entries ($dir)" $(ctest_tally "$log" "$rc")
  else
    count "$stage" "build of $dir failed" 0 1
  fi
}

preset_stage native default

echo "== vm: korvo through a real kernel's USB-serial drivers (QEMU)"
run bash scripts/vm-lane.sh build
figures=$(lines_tally "$log" "$rc")
[ "$figures" = "0 0 0" ] || count vm "checks (korvo in a QEMU guest, ftdi_sio)" $figures
preset_stage asan asan
dpkg_stage dpkg build-dpkg -DCMAKE_BUILD_TYPE=Release -DKORVO_WERROR=ON
unit_stage clang build-clang -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Release -DKORVO_WERROR=ON

echo "== packages: install tree and .deb of the default preset"
run bash scripts/check-packages.sh default
count packages "install and .deb checks" $(lines_tally "$log" "$rc")

echo "== windows: Windows build, tests under Wine, korvo.exe zip"
: >"$tally"
KORVO_TALLY=$tally bash .ci/windows.sh
windows_rc=$?
declare -A what_of=([build]="build failed" [ctest]="ctest entries (preset windows)"
                    [scenario]="end-to-end scenarios (korvo.exe under Wine)" [check]="checks (imports, zip)")
for what in build ctest scenario check; do
  figures=$(awk -v w="$what" '$1 == w { p += $2; f += $3; n++ } END { if (n) print p, f }' "$tally")
  [ -z "$figures" ] || [ "$figures" = "0 0" ] || count windows "${what_of[$what]}" $figures
done
# A Windows run that failed without a failure of its own counted (killed, say) still fails.
if [ "$windows_rc" -ne 0 ] && ! awk '$3 > 0 { bad = 1 } END { exit !bad }' "$tally"; then
  count windows ".ci/windows.sh failed (exit $windows_rc)" 0 1
fi

echo
echo "Summary (each ctest entry, Wine scenario, VM check and check once; a failed build once):$summary"
echo "Total: $passed passed, $failed failed$([ "$skipped" -eq 0 ] || echo ", $skipped skipped")"
exit $status
