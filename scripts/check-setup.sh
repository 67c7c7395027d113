#!/usr/bin/env bash
# scripts/setup.sh against stand-ins for dpkg-query, apt-get, id and sudo that log their calls:
# what it installs, when it stays quiet, when it needs sudo. Installs nothing. One PASS/FAIL
# line per check; exits 1 on any failure.
set -u
here=$(cd "$(dirname "$0")" && pwd)
setup=$here/setup.sh
bash=$(command -v bash)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

# Two folders of stand-ins: one with sudo, one a machine without it.
mkdir -p "$work/bin" "$work/nosudo"
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for p; do package=$p; done
case " $INSTALLED " in *" $package "*) printf 'install ok installed'; exit 0 ;; esac
case " ${REMOVED-} " in *" $package "*) printf 'deinstall ok config-files'; exit 0 ;; esac
echo "dpkg-query: no packages found matching $package" >&2
exit 1
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
echo "apt-get $* [${DEBIAN_FRONTEND-}]" >>"$LOG"
# As dpkg's maintainer scripts may: take whatever standard input holds.
[ -n "${EAT_INPUT-}" ] && cat >/dev/null
[ "$1" = install ] && [ -n "${FAIL_INSTALL-}" ] && exit 100
exit 0
EOF
cat >"$work/bin/id" <<'EOF'
#!/bin/sh
echo "${FAKE_UID:-0}"
EOF
cat >"$work/bin/sudo" <<'EOF'
#!/bin/sh
echo "sudo" >>"$LOG"
exec "$@"
EOF
chmod +x "$work/bin"/*
for tool in env cat; do ln -s "$(command -v $tool)" "$work/bin/$tool"; done
for tool in dpkg-query apt-get id env; do ln -s "$work/bin/$tool" "$work/nosudo/$tool"; done

demo_list=(cmake g++ make libcli11-dev nlohmann-json3-dev)
tests_extra=(googletest libgtest-dev libgmock-dev g++-mingw-w64-x86-64-posix wine64 tmux
  clang-14 libfuzzer-14-dev libclang-rt-14-dev help2man dpkg-dev lintian qemu-system-x86
  busybox-static libxml2-dev ser2net iproute2)
demo="${demo_list[*]}"
all="$demo ${tests_extra[*]}"

# run <PATH> <args...>: setup.sh's output in $out, its exit status in $rc, the calls in $calls.
run() {
  local path=$1
  shift
  : >"$work/log"
  out=$(PATH=$path LOG=$work/log "$bash" "$setup" "$@" 2>&1)
  rc=$?
  calls=$(cat "$work/log")
}

check() {
  if [ "$2" = "$3" ]; then
    echo "PASS setup: $1"
  else
    printf 'FAIL setup: %s\n  expected: %s\n  got:      %s\n' "$1" "$3" "$2"
    status=1
  fi
}

INSTALLED=$all run "$work/bin"
check "all installed: exit 0" "$rc" 0
check "all installed: says nothing" "$out" ""
check "all installed: no apt-get, no sudo" "$calls" ""
INSTALLED=$all run "$work/bin" tests
check "all installed (tests): says nothing, calls nothing" "$rc|$out|$calls" "0||"

INSTALLED="cmake make nlohmann-json3-dev" run "$work/bin"
check "demo as root: names what is missing" "$out" "setup.sh: installing g++ libcli11-dev"
check "demo as root: update, then the missing packages only, no sudo" "$calls" \
  "apt-get update -qq [noninteractive]
apt-get install -y -qq g++ libcli11-dev [noninteractive]"
check "demo as root: exit 0" "$rc" 0

# The demo builds no tests: a machine without GoogleTest or QEMU has all it needs.
INSTALLED=$demo run "$work/bin"
check "demo needs no GoogleTest, QEMU or Wine" "$rc|$out|$calls" "0||"

INSTALLED=$demo run "$work/bin" tests
check "tests: installs every package the tests need beyond the demo's" "$calls" \
  "apt-get update -qq [noninteractive]
apt-get install -y -qq ${tests_extra[*]} [noninteractive]"

INSTALLED="" REMOVED="make" run "$work/bin"
check "a removed package (config files left) counts as missing" "$calls" \
  "apt-get update -qq [noninteractive]
apt-get install -y -qq $demo [noninteractive]"

FAKE_UID=1000 INSTALLED="cmake g++ make libcli11-dev" run "$work/bin"
check "not root: apt-get through sudo" "$calls" \
  "sudo
apt-get update -qq [noninteractive]
sudo
apt-get install -y -qq nlohmann-json3-dev [noninteractive]"

FAKE_UID=1000 INSTALLED="cmake" run "$work/nosudo"
check "not root, no sudo: exit 1, nothing run" "$rc|$calls" "1|"
case $out in
  *"apt-get install g++ make libcli11-dev nlohmann-json3-dev"*) echo "PASS setup: not root, no sudo: says what to install" ;;
  *) echo "FAIL setup: not root, no sudo: says what to install; got: $out"; status=1 ;;
esac

# The README pipes the demo's answer into setup, build and demo alike: setup must leave it.
: >"$work/log"
left=$(printf y | { EAT_INPUT=1 INSTALLED="" PATH=$work/bin LOG=$work/log "$bash" "$setup" >/dev/null; cat; })
check "installing leaves standard input to the caller" "$left" y

FAIL_INSTALL=1 INSTALLED="" run "$work/bin"
check "apt-get install fails: exit 1" "$rc" 1

bad_arguments() {
  INSTALLED="" run "$work/bin" "$@"
  check "arguments '$*': usage, exit 2, nothing run" "$rc|$out|$calls" \
    "2|usage: bash scripts/setup.sh [tests]|"
}
bad_arguments test
bad_arguments tests extra
bad_arguments --help

# .ci/run installs through setup.sh and nothing else, so the lists cannot drift apart.
ci=$here/../.ci/run
if grep -q '^bash scripts/setup.sh tests' "$ci" && ! grep -q 'apt-get' "$ci"; then
  echo "PASS setup: .ci/run installs through setup.sh tests only"
else
  echo "FAIL setup: .ci/run installs through setup.sh tests only"
  status=1
fi
exit $status
