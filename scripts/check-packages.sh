#!/usr/bin/env bash
# Checks what a built preset installs and packages:
#   check-packages.sh default    the install tree and the .deb of the native build (build/),
#                                lintian's verdict on the .deb included
#   check-packages.sh windows    the .zip of the Windows build (build-windows/): a stripped
#                                korvo.exe with its version resource, README.txt with CRLF
# The preset must be built. A build of the stand-in images is a test build: cpack must refuse
# it as configured, so this checks that first, then reconfigures the build with
# -DKORVO_PACKAGE_TEST_IMAGES=ON and checks the korvo-test package that makes.
# Prints one "PASS <check>" or "FAIL <check>: <reason>" line per check; the exit status is 1
# when any check failed.
set -u
cd "$(dirname "$0")/.."
preset=${1:-}
case $preset in
  default) build=build ;;
  windows) build=build-windows ;;
  *) echo "use: check-packages.sh default|windows" >&2; exit 2 ;;
esac
[ -f "$build/CMakeCache.txt" ] || { echo "check-packages: $build is not configured" >&2; exit 2; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
test_images=$(sed -n 's/^KORVO_TEST_IMAGES:INTERNAL=//p' "$build/CMakeCache.txt")
package=korvo
[ "$test_images" = ON ] && package=korvo-test
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
reason=""
bad() {
  reason=$*
  return 1
}
check() {
  local name=$1
  shift
  reason=""
  if "$@"; then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name: $reason"
    failed=$((failed + 1))
  fi
}

programs="korvo korvo-image korvo-devsim"

# ---- native: install tree and .deb

install_tree() {
  cmake --install "$build" --prefix "$work/inst" >"$work/install.log" 2>&1 ||
    { bad "cmake --install failed: $(tail -n 3 "$work/install.log")"; return 1; }
  for p in $programs; do
    [ -x "$work/inst/bin/$p" ] || { bad "no bin/$p"; return 1; }
  done
  for f in README.md copyright changelog.Debian.gz; do
    [ -f "$work/inst/share/doc/$package/$f" ] || { bad "no share/doc/$package/$f"; return 1; }
  done
}

# Every program has a man page, or the build said why not (it lacks --help and --version);
# a page that was made is installed and is a man page of that program.
man_pages() {
  local p status page made=""
  for p in $programs; do
    status=$(cat "$build/man/$p.status" 2>/dev/null) ||
      { bad "no $build/man/$p.status: the man pages were not made (help2man missing?)"; return 1; }
    page=$work/inst/share/man/man1/$p.1.gz
    case $status in
      made)
        [ -f "$page" ] || { bad "no share/man/man1/$p.1.gz"; return 1; }
        gzip -dc "$page" | grep -q "^\.TH \"\?${p^^}\"\? \"\?1\"\? " ||
          { bad "$p.1.gz is not the man page of $p"; return 1; }
        gzip -dc "$page" | grep -q "$version" || { bad "$p.1.gz does not name version $version"; return 1; }
        made="$made $p"
        ;;
      skipped:*)
        [ ! -e "$page" ] || { bad "$p.1.gz installed although the build skipped it"; return 1; }
        echo "  note: no man page for $p, ${status#skipped: }"
        ;;
      *) bad "$p.status says \"$status\""; return 1 ;;
    esac
  done
  echo "  man pages:${made:- none}"
}

deb_file() { ls "$build"/packages/"$package"_"$version"-*_*.deb 2>/dev/null | head -n 1; }

# As a fresh configure leaves it, a build of the stand-in image is not packaged. Only
# configured (cpack refuses before it installs anything), in a folder of its own.
test_build_refused() {
  cmake -S . -B "$work/refused" -DKORVO_TESTS=OFF -DKORVO_MAN_PAGES=OFF >"$work/refused.log" 2>&1 ||
    { bad "configure failed: $(tail -n 3 "$work/refused.log")"; return 1; }
  if cpack --config "$work/refused/CPackConfig.cmake" -B "$work/refused/packages" >"$work/refused.log" 2>&1; then
    bad "cpack packaged a build of test images without KORVO_PACKAGE_TEST_IMAGES"
    return 1
  fi
  grep -q "KORVO_PACKAGE_TEST_IMAGES=ON" "$work/refused.log" ||
    { bad "cpack failed for another reason: $(tail -n 3 "$work/refused.log")"; return 1; }
  [ -z "$(find "$work/refused/packages" -name '*.deb' 2>/dev/null)" ] || bad "a .deb was left behind"
}

# A test build is packaged when asked for by the option, as korvo-test.
allow_test_package() {
  [ "$test_images" = ON ] || return 0
  cmake "$build" -DKORVO_PACKAGE_TEST_IMAGES=ON >"$work/configure.log" 2>&1 ||
    { bad "reconfigure failed: $(tail -n 3 "$work/configure.log")"; return 1; }
}

deb_package() {
  rm -f "$build"/packages/*.deb
  allow_test_package || return 1
  cpack --preset default >"$work/cpack.log" 2>&1 || { bad "cpack failed: $(tail -n 3 "$work/cpack.log")"; return 1; }
  [ -n "$(deb_file)" ] || bad "no ${package}_${version}-*.deb in $build/packages"
}

# The .deb holds what the install tree holds, under /usr, and nothing else.
deb_files() {
  local deb want got
  deb=$(deb_file)
  [ -n "$deb" ] || { bad "no .deb"; return 1; }
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/deb.txt"
  (cd "$work/inst" && find . -type f | sed 's|^\./|./usr/|') | sort >"$work/want.txt"
  if ! cmp -s "$work/want.txt" "$work/deb.txt"; then
    bad "the .deb's files differ from the install tree: $(diff "$work/want.txt" "$work/deb.txt" | grep '^[<>]' | tr '\n' ' ')"
    return 1
  fi
  echo "  $(basename "$deb"):" $(cat "$work/deb.txt")
}

deb_control() {
  local deb
  deb=$(deb_file)
  [ -n "$deb" ] || { bad "no .deb"; return 1; }
  [ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || { bad "Package is not $package"; return 1; }
  case $(dpkg-deb -f "$deb" Version) in
    "$version"-*) ;;
    *) bad "Version is not $version-<revision>: $(dpkg-deb -f "$deb" Version)"; return 1 ;;
  esac
  dpkg-deb -f "$deb" Depends | grep -q 'libc6' || { bad "Depends names no libc6: $(dpkg-deb -f "$deb" Depends)"; return 1; }
  if [ "$test_images" = ON ]; then
    dpkg-deb -f "$deb" Description | grep -q "This is a test build" ||
      { bad "the description of a test build does not say so"; return 1; }
  fi
  echo "  $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version): $(dpkg-deb -f "$deb" Description | head -n 1)"
}

# Debian's own judgement: no error and no warning (informational notes are shown).
deb_lintian() {
  local deb out
  deb=$(deb_file)
  [ -n "$deb" ] || { bad "no .deb"; return 1; }
  command -v lintian >/dev/null || { bad "no lintian (package lintian)"; return 1; }
  lintian --display-info --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1
  local rc=$?
  out=$(grep -v 'running with root privileges' "$work/lintian.log")
  [ -z "$out" ] || echo "$out" | sed 's/^/  /'
  [ "$rc" -eq 0 ] || bad "lintian exit $rc: $(grep -c '^[EW]:' <<<"$out") errors and warnings"
}

# Debian ships programs without their symbol tables.
deb_stripped() {
  local deb p
  deb=$(deb_file)
  [ -n "$deb" ] || { bad "no .deb"; return 1; }
  dpkg-deb -x "$deb" "$work/deb"
  for p in $programs; do
    readelf -S "$work/deb/usr/bin/$p" | grep -q '\.symtab' && { bad "usr/bin/$p keeps its symbol table"; return 1; }
  done
  return 0
}

# ---- windows: the zip for the field

zip_package() {
  rm -f "$build"/packages/*.zip
  allow_test_package || return 1
  if [ "$test_images" = ON ] &&
     cpack --preset windows -D CPACK_KORVO_PACKAGE_TEST_IMAGES=OFF >"$work/cpack.log" 2>&1; then
    bad "cpack packaged a build of test images without KORVO_PACKAGE_TEST_IMAGES"
    return 1
  fi
  cpack --preset windows >"$work/cpack.log" 2>&1 || { bad "cpack failed: $(tail -n 3 "$work/cpack.log")"; return 1; }
  zip=$build/packages/$package-$version-win64.zip
  [ -f "$zip" ] || { bad "no $zip"; return 1; }
  mkdir -p "$work/zip"
  (cd "$work/zip" && cmake -E tar xf "$OLDPWD/$zip") || { bad "cannot unpack $zip"; return 1; }
  local files
  files=$(cd "$work/zip" && find . -type f | sort | tr '\n' ' ')
  [ "$files" = "./$package-$version-win64/README.txt ./$package-$version-win64/korvo.exe " ] ||
    { bad "the zip holds: $files"; return 1; }
  echo "  $(basename "$zip"): $files"
}

exe() { echo "$work/zip/$package-$version-win64/korvo.exe"; }

exe_stripped() {
  [ -f "$(exe)" ] || { bad "no korvo.exe"; return 1; }
  x86_64-w64-mingw32-objdump -t "$(exe)" | grep -q '^no symbols$' ||
    { bad "korvo.exe keeps its symbol table"; return 1; }
  echo "  korvo.exe: $(stat -c %s "$(exe)") bytes (the build's own: $(stat -c %s "$build/bin/korvo.exe"))"
}

# The version resource as the mingw toolchain reads it back from the packaged exe.
exe_version() {
  [ -f "$(exe)" ] || { bad "no korvo.exe"; return 1; }
  local major minor rc line
  major=${version%%.*}
  minor=$((10#${version#*.}))
  rc=$(x86_64-w64-mingw32-windres -i "$(exe)" -O rc 2>&1) || { bad "windres cannot read korvo.exe: $rc"; return 1; }
  for line in "FILEVERSION $major, $minor, 0, 0" "PRODUCTVERSION $major, $minor, 0, 0" \
              "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
              "VALUE \"OriginalFilename\", \"korvo.exe\""; do
    grep -qF "$line" <<<"$rc" || { bad "the version resource lacks: $line"; return 1; }
  done
  echo "  korvo.exe version resource:" $(grep -E 'VERSION [0-9]|"(File|Product)Version"' <<<"$rc")
}

readme_crlf() {
  local readme=$work/zip/$package-$version-win64/README.txt lines crlf
  [ -s "$readme" ] || { bad "no README.txt"; return 1; }
  lines=$(tr -cd '\n' <"$readme" | wc -c)
  crlf=$(grep -c $'\r$' "$readme")
  [ "$lines" -gt 0 ] && [ "$lines" -eq "$crlf" ] || { bad "$crlf of $lines lines end in CR LF"; return 1; }
  [ "$(tail -c 1 "$readme" | od -An -c | tr -d ' ')" = '\n' ] || { bad "the last line has no line end"; return 1; }
  grep -q "korvo $version" "$readme" || bad "README.txt does not name korvo $version"
}

if [ "$preset" = default ]; then
  check "install tree: korvo, korvo-image, korvo-devsim in bin/" install_tree
  check "man pages in share/man/man1" man_pages
  [ "$test_images" = ON ] &&
    check "a build of test images is refused by cpack without KORVO_PACKAGE_TEST_IMAGES" test_build_refused
  check ".deb made by cpack --preset default ($package)" deb_package
  check ".deb file list (dpkg-deb -c) matches the install tree" deb_files
  check ".deb control fields" deb_control
  check ".deb programs stripped" deb_stripped
  check ".deb lintian: no error, no warning" deb_lintian
else
  check "zip made by cpack --preset windows ($package), refused without KORVO_PACKAGE_TEST_IMAGES" zip_package
  check "zip's korvo.exe stripped" exe_stripped
  check "zip's korvo.exe version resource $version" exe_version
  check "zip's README.txt with CR LF line ends" readme_crlf
fi
echo "check-packages $preset: $passed passed, $failed failed"
[ $failed -eq 0 ]
