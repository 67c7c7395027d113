#!/usr/bin/env bash
# Installs the Debian 12 packages this machine lacks:
#   bash scripts/setup.sh          what the demo needs: the `demo` preset's configure and build
#   bash scripts/setup.sh tests    what every test needs (scripts/test-all.sh, .ci/run)
# Says nothing and changes nothing when every package is installed; otherwise names the
# missing ones, runs apt-get update and installs them, through sudo unless run as root.
set -u

# The demo preset builds without the tests, so it needs no GoogleTest; help2man is optional.
demo=(cmake g++ make libcli11-dev nlohmann-json3-dev)
# The rest of the tests: GoogleTest, the Windows build under Wine, tmux, the clang-14 tree and
# fuzzers, the tools' man pages, the .deb and its checks, the VM lane (QEMU, a static busybox),
# the HTML parser that reads the site report back, the network ports' real server (ser2net) and
# ss to see it listen (iproute2).
tests=("${demo[@]}" googletest libgtest-dev libgmock-dev
       g++-mingw-w64-x86-64-posix wine64 tmux
       clang-14 libfuzzer-14-dev libclang-rt-14-dev help2man dpkg-dev lintian
       qemu-system-x86 busybox-static libxml2-dev ser2net iproute2)

case "$*" in
  "") wanted=("${demo[@]}") ;;
  tests) wanted=("${tests[@]}") ;;
  *) echo "usage: bash scripts/setup.sh [tests]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  # A package removed but not purged reads "deinstall ok config-files": missing too.
  if [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" != "install ok installed" ]; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" != 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "setup.sh: not root and no sudo; as root run: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "setup.sh: installing ${missing[*]}"
# env, as sudo may drop the caller's environment.
apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)
# Standard input stays with the caller: `printf y | { bash scripts/setup.sh && ...; }` keeps its y.
"${apt[@]}" update -qq </dev/null || { echo "setup.sh: apt-get update failed" >&2; exit 1; }
"${apt[@]}" install -y -qq "${missing[@]}" </dev/null >/dev/null ||
  { echo "setup.sh: apt-get install failed" >&2; exit 1; }
