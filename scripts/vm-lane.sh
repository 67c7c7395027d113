#!/usr/bin/env bash
# korvo through a real kernel's serial drivers: a small Linux guest under QEMU with two ports,
# each wired to a korvo-devsim pseudo-terminal on this machine: QEMU's FTDI adapter (ftdi_sio
# and usbserial, /dev/ttyUSB0) and a second 16550A UART (the 8250 driver, /dev/ttyS1). In the
# guest korvo lists both, checks and updates each device, then updates both in one run; here
# each simulator says whether its flash now holds the image.
#   scripts/vm-lane.sh [BUILD_DIR]          default: build (the default preset)
# Prints one PASS or FAIL line per check (scripts/tally.sh counts them), or one SKIP line when
# QEMU or a static busybox is missing. The kernel and the few modules the guest needs come from
# Debian's linux-image package through apt, extracted once into the cache folder
# ($KORVO_VM_CACHE, default ~/.cache/korvo-vm). The guest runs under QEMU's emulator (TCG);
# KORVO_VM_ACCEL=kvm asks for KVM instead. The whole run takes 1 to 1.5 minutes on 2 cores.
set -u
cd "$(dirname "$0")/.."
tree=${1:-build}
bin=$tree/bin
image=$tree/images/standin.img
cache=${KORVO_VM_CACHE:-${HOME:-/root}/.cache/korvo-vm}
# Whole-lane bounds: the guest's own korvo runs have theirs inside, QEMU has this one. Alone
# on two cores the guest is done in under a minute; emulated without KVM on a machine busy
# with other builds it took three times as long and more, so the bound leaves room for that.
vm_seconds=${KORVO_VM_SECONDS:-420}
modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio"

qemu=$(command -v qemu-system-x86_64)
busybox=""
for b in /bin/busybox /usr/bin/busybox; do
  [ -x "$b" ] && ! ldd "$b" >/dev/null 2>&1 && { busybox=$b; break; }
done
if [ -z "$qemu" ]; then
  echo "SKIP vm lane: qemu-system-x86_64 is not installed (apt-get install qemu-system-x86)"
  exit 0
fi
if [ -z "$busybox" ]; then
  echo "SKIP vm lane: no static busybox (apt-get install busybox-static)"
  exit 0
fi
for f in "$bin/korvo" "$bin/korvo-devsim" "$image"; do
  [ -e "$f" ] || { echo "FAIL vm lane: $f missing: build the default preset first"; exit 1; }
done

work=$(mktemp -d)
devsim_pid=""
uart_pid=""
cleanup() {
  [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null
  [ -n "$uart_pid" ] && kill "$uart_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The kernel and its modules, once: the newest linux-image apt offers, its vmlinuz and the six
# modules the guest loads. A cache that holds a whole set is used as it is, without asking apt;
# a half-made one (a run stopped while filling it) stays hidden under a dot name.
kernel_dir=$(find "$cache" -mindepth 2 -maxdepth 2 -name vmlinuz -not -path "$cache/.*" -printf '%h\n' 2>/dev/null |
  sort -V | tail -n 1)
for m in $modules; do
  [ -z "$kernel_dir" ] || compgen -G "$kernel_dir/$m.ko*" >/dev/null || kernel_dir=""
done
if [ -z "$kernel_dir" ]; then
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  if [ -z "$package" ]; then
    echo "FAIL vm lane: apt names no linux-image package (run apt-get update)"
    exit 1
  fi
  version=${package#linux-image-}
  mkdir -p "$work/deb" "$cache"
  if ! (cd "$work/deb" && apt-get download -q "$package" >/dev/null 2>&1); then
    echo "FAIL vm lane: apt-get download $package failed"
    exit 1
  fi
  dpkg-deb -x "$work/deb"/"$package"_*.deb "$work/deb/x" || { echo "FAIL vm lane: $package does not extract"; exit 1; }
  staged="$cache/.$version.$$"
  mkdir -p "$staged"
  cp "$work/deb/x/boot/vmlinuz-$version" "$staged/vmlinuz"
  for m in $modules; do
    ko=$(find "$work/deb/x/lib/modules/$version" -name "$m.ko*" | head -n 1)
    [ -n "$ko" ] || { echo "FAIL vm lane: $package has no module $m"; rm -rf "$staged"; exit 1; }
    cp "$ko" "$staged/"
  done
  rm -rf "${cache:?}/$version" && mv "$staged" "$cache/$version"
  rm -rf "$work/deb"
  kernel_dir=$cache/$version
fi

# The guest's root: busybox, korvo with the shared libraries it links, the modules, /init.
root=$work/root
mkdir -p "$root"/{bin,lib/modules,proc,sys,dev,tmp,root,run/lock,var}
cp "$busybox" "$root/bin/busybox"
for tool in sh mount insmod cat cut sleep grep sed tr kill ls poweroff timeout; do ln -s busybox "$root/bin/$tool"; done
cp "$bin/korvo" "$root/bin/korvo"
for lib in $(ldd "$bin/korvo" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }'); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
cp "$kernel_dir"/*.ko* "$root/lib/modules/"
cat >"$root/init" <<EOF
#!/bin/sh
# Every line the host reads starts with "VM:"; korvo's own output is shown after "VM: |".
export PATH=/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
ln -s /run/lock /var/lock
# The progress line's steps, written over each other on a terminal, are left out; korvo's
# notes start with a line break rather than end with one.
show() { tr '\r' '\n' <"\$1" | grep -v '^Updating firmware: .*complete\.\$' | sed 's/^/VM: | /'; echo; }
now() { cut -d' ' -f1 /proc/uptime; }
for m in $modules; do insmod /lib/modules/\$m.ko* || echo "VM: insmod \$m failed"; done
n=0
while [ ! -e /dev/ttyUSB0 ] && [ \$n -lt 200 ]; do sleep 0.1; n=\$((n + 1)); done
echo "VM: kernel \$(cat /proc/sys/kernel/osrelease)"
echo "VM: ttyUSB0 \$([ -e /dev/ttyUSB0 ] && echo present || echo missing)"
sysfs=/sys/bus/usb-serial/devices/ttyUSB0
echo "VM: latency_timer at plug-in \$(cat \$sysfs/latency_timer 2>/dev/null)"
# The 8250 driver's view of the second UART: its type (4 is a 16550A) and I/O port.
echo "VM: ttyS1 type \$(cat /sys/class/tty/ttyS1/type 2>/dev/null) port \$(cat /sys/class/tty/ttyS1/port 2>/dev/null)"
echo "VM: --list"
korvo --list >/tmp/out 2>&1
show /tmp/out
# The second device behind QEMU's 16550A and the 8250 driver: asked, updated by --yes, updated
# again through the old question answered y ("Update anyway?"), then left alone by --yes as up
# to date.
echo "VM: --check ttyS1"
timeout 60 korvo --check /dev/ttyS1 >/tmp/out 2>&1
echo "VM: uart check status \$?"
show /tmp/out
echo "VM: --yes ttyS1, first"
timeout 60 korvo --yes /dev/ttyS1 >/tmp/out 2>/tmp/err
echo "VM: uart first yes status \$?"
echo "VM: uart first yes verified \$(grep -c '^korvo: /dev/ttyS1: verified: ' /tmp/err)"
show /tmp/out
show /tmp/err
echo "VM: default mode ttyS1, answered y"
start=\$(now)
echo y | timeout 60 korvo /dev/ttyS1 >/tmp/out 2>/tmp/err
echo "VM: uart y status \$?"
echo "VM: uart y seconds \$(now) \$start"
echo "VM: uart y verified \$(grep -c '^korvo: /dev/ttyS1: verified: ' /tmp/err)"
grep -q 'Update anyway? (Y,N) Y' /tmp/out && echo "VM: uart y asked and answered"
show /tmp/out
show /tmp/err
echo "VM: --yes ttyS1"
timeout 60 korvo --yes /dev/ttyS1 >/tmp/out 2>/tmp/err
echo "VM: uart yes status \$?"
show /tmp/out
show /tmp/err
echo "VM: --check"
timeout 60 korvo --check /dev/ttyUSB0 >/tmp/out 2>&1
echo "VM: check status \$?"
show /tmp/out
# An update killed half-way: korvo's fatal-signal path gives the port back through the real
# driver (exclusive flag, low-latency mode, output), and the device waits in its bootloader.
korvo --yes /dev/ttyUSB0 >/tmp/out 2>/tmp/err &
pid=\$!
sleep 2
kill -TERM \$pid
wait \$pid
echo "VM: killed status \$?"
show /tmp/err
echo "VM: latency_timer after the kill \$(cat \$sysfs/latency_timer)"
# The adapter pulled out during an update: the host removes it once the progress line (on the
# console, where the host sees it) passes 20 %, and plugs it in again once korvo has ended.
start=\$(now)
timeout 60 korvo --yes /dev/ttyUSB0 >/dev/console 2>/tmp/err
status=\$?
echo
echo "VM: unplugged status \$status"
echo "VM: unplugged seconds \$(now) \$start"
echo "VM: unplugged notes \$(grep -c '^korvo: /dev/ttyUSB0: ' /tmp/err)"
show /tmp/err
n=0
while [ ! -e /dev/ttyUSB0 ] && [ \$n -lt 300 ]; do sleep 0.1; n=\$((n + 1)); done
echo "VM: plugged in again as" \$(ls /dev | grep ttyUSB)
# While korvo has the port open: the timer its low-latency request set.
( sleep 4; echo "VM: latency_timer while open \$(cat \$sysfs/latency_timer)" ) &
start=\$(now)
timeout 120 korvo --yes --record /tmp/record.jsonl /dev/ttyUSB0 >/tmp/out 2>/tmp/err
echo "VM: yes status \$?"
echo "VM: yes seconds \$(now) \$start"
show /tmp/out
show /tmp/err
echo "VM: record"
show /tmp/record.jsonl
wait
echo "VM: latency_timer after close \$(cat \$sysfs/latency_timer)"
# The old question through the adapter too: the device runs the image's version by now, so it
# is asked whether to update anyway, and y installs it again.
echo y | timeout 60 korvo /dev/ttyUSB0 >/tmp/out 2>/tmp/err
echo "VM: ftdi y status \$?"
echo "VM: ftdi y verified \$(grep -c '^korvo: /dev/ttyUSB0: verified: ' /tmp/err)"
grep -q 'Update anyway? (Y,N) Y' /tmp/out && echo "VM: ftdi y asked and answered"
show /tmp/out
show /tmp/err
# Both ports in one run, side by side. Both devices are up to date by now: --force has them
# take the image again, so the run transfers over the FTDI and the UART at once.
start=\$(now)
timeout 120 korvo --yes --force /dev/ttyUSB0 /dev/ttyS1 >/tmp/out 2>/tmp/err
echo "VM: both status \$?"
echo "VM: both seconds \$(now) \$start"
echo "VM: both verified \$(grep -c -E '^korvo: /dev/tty(USB0|S1): verified: ' /tmp/err)"
show /tmp/out
show /tmp/err
echo "VM: done"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initrd.gz"

# start_device <name> <what>: a simulated device on a pty linked at $work/<name>, its verdict
# on the flash as its exit status; its pid in $started_pid.
start_device() {
  "$bin/korvo-devsim" --exit-status --image "$image" --link "$work/$1" >"$work/$1.out" 2>"$work/$1.err" &
  started_pid=$!
  for _ in $(seq 50); do [ -e "$work/$1" ] && break; sleep 0.1; done
  if [ ! -e "$work/$1" ]; then
    echo "FAIL vm lane: $2 did not serve a pty"
    kill "$started_pid" 2>/dev/null
    exit 1
  fi
}
# The device behind the guest's FTDI adapter, and a second behind its second 16550A UART.
start_device tty "korvo-devsim"
devsim_pid=$started_pid
pty=$(readlink -f "$work/tty")
start_device uart "the second korvo-devsim"
uart_pid=$started_pid
uart_pty=$(readlink -f "$work/uart")

# QEMU's emulator by default: a /dev/kvm that opens is no promise that KVM runs the guest (on
# a nested virtual machine it hung at boot until the lane's time was up).
accel=${KORVO_VM_ACCEL:-tcg}
started=$(date +%s.%N)
# The monitor, for pulling the adapter out and plugging it in again: QEMU opens both ends itself.
mkfifo "$work/monitor.in" "$work/monitor.out"
timeout -k 5 "$vm_seconds" "$qemu" -machine q35 -accel "$accel" -m 256 -smp 1 \
  -nodefaults -no-reboot -display none -nic none -serial "file:$work/console" \
  -kernel "$kernel_dir/vmlinuz" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
  -chardev "serial,path=$pty,id=ftdi" -device qemu-xhci -device usb-serial,id=adapter,chardev=ftdi,serial=FT123456 \
  -chardev "serial,path=$uart_pty,id=uart" -device isa-serial,chardev=uart,index=1 \
  -monitor "pipe:$work/monitor" >"$work/qemu.out" 2>&1 &
qemu_pid=$!
exec 3<>"$work/monitor.in" 4<>"$work/monitor.out"
# until_console PATTERN: waits for the guest to say it, as long as QEMU runs (QEMU's own
# bound ends the wait).
until_console() {
  until grep -q -a -E "$1" "$work/console" 2>/dev/null; do
    kill -0 "$qemu_pid" 2>/dev/null || return 1
    sleep 0.2
  done
}
if until_console 'Updating firmware: +2[0-9]% complete' && ! grep -q -a 'VM: unplugged status' "$work/console"; then
  echo "device_del adapter" >&3
  until_console 'VM: unplugged status' && echo "device_add usb-serial,id=adapter,chardev=ftdi,serial=FT123456" >&3
fi
wait "$qemu_pid"
qemu_rc=$?
exec 3>&- 4<&-
elapsed=$(awk -v end="$(date +%s.%N)" -v start="$started" 'BEGIN { printf "%.1f", end - start }')
kill -TERM "$devsim_pid" "$uart_pid" 2>/dev/null
wait "$devsim_pid"
flash=$?
wait "$uart_pid"
uart_flash=$?
devsim_pid=""
uart_pid=""
tr -d '\r' <"$work/console" >"$work/vm"

vm() { sed -n "s/^VM: $1 //p" "$work/vm" | head -n 1; }
check() {
  if eval "$2"; then echo "PASS vm: $1"; else echo "FAIL vm: $1"; failed=1; fi
}
failed=0
grep '^VM: ' "$work/vm"
printf 'vm lane: QEMU (%s) ran %.1f s, exit %s\n' "$accel" "$elapsed" "$qemu_rc"
check "the guest booted, ran every step and powered off in time" '[ "$qemu_rc" -eq 0 ] && grep -q "^VM: done" "$work/vm"'
check "ftdi_sio made the adapter /dev/ttyUSB0 and --list names its driver" \
  '[ "$(vm ttyUSB0)" = present ] && grep -q "^VM: | /dev/ttyUSB0 .*driver ftdi_sio" "$work/vm"'
check "--check through the adapter: an update is available (exit 100)" '[ "$(vm "check status")" = 100 ]'
check "--yes through the adapter: updated and verified (exit 0)" \
  '[ "$(vm "yes status")" = 0 ] && grep -q "^VM: | korvo: .*verified" "$work/vm" && ! grep -q "^VM: | korvo: .*not verified" "$work/vm"'
check "the 8250 driver made QEMU's second 16550A /dev/ttyS1 and --list names it beside the FTDI's 0403:6001, FT123456" \
  '[ "$(vm "ttyS1 type")" = "4 port 0x2F8" ] && grep -q "^VM: | /dev/ttyS1 " "$work/vm" &&
   grep -q "^VM: | /dev/ttyUSB0 .*usb 0403:6001, serial FT123456, driver ftdi_sio" "$work/vm"'
check "--check through the UART: an update is available (exit 100)" '[ "$(vm "uart check status")" = 100 ]'
check "--yes through the UART: updated and verified (exit 0)" \
  '[ "$(vm "uart first yes status")" = 0 ] && [ "$(vm "uart first yes verified")" = 1 ]'
check "the old question through the UART answered y: updated anyway and verified (exit 1, the old table)" \
  '[ "$(vm "uart y status")" = 1 ] && [ "$(vm "uart y verified")" = 1 ] && grep -q "^VM: uart y asked and answered" "$work/vm"'
check "--yes through the UART once updated: left as it is (exit 0)" \
  '[ "$(vm "uart yes status")" = 0 ] && grep -q "^VM: | /dev/ttyS1: .*left as it is" "$work/vm"'
check "the old question through the adapter answered y: updated anyway and verified (exit 1, the old table)" \
  '[ "$(vm "ftdi y status")" = 1 ] && [ "$(vm "ftdi y verified")" = 1 ] && grep -q "^VM: ftdi y asked and answered" "$work/vm"'
check "--yes --force over /dev/ttyUSB0 and /dev/ttyS1 at once: both verified (exit 0)" \
  '[ "$(vm "both status")" = 0 ] && [ "$(vm "both verified")" = 2 ]'
check "the FTDI's simulator reports its flash verified" \
  '[ "$flash" -eq 0 ] && grep -q "flash verified: " "$work/tty.err"'
check "the UART's simulator reports its flash verified" \
  '[ "$uart_flash" -eq 0 ] && grep -q "flash verified: " "$work/uart.err"'
check "killed during the update: ended by the signal, said where the device was left, a new run finished it" \
  '[ "$(vm "killed status")" = 143 ] && grep -q "^VM: | korvo: /dev/ttyUSB0: .*a new run on /dev/ttyUSB0" "$work/vm"'
check "pulled out during the update: korvo ended within 30 s and said where the device was left; plugged in again as ttyUSB0" \
  '[ "$(vm "unplugged status")" != 0 ] && [ -n "$(vm "unplugged status")" ] && [ "$(vm "unplugged notes")" -ge 1 ] && awk "BEGIN { exit !($(vm "unplugged seconds" | tr " " -) < 30) }" &&
   [ "$(vm "plugged in again as")" = ttyUSB0 ]'
check "low latency while open (timer 1 ms), the driver's timer put back at close and after the kill" \
  '[ "$(vm "latency_timer while open")" = 1 ] && [ "$(vm "latency_timer after close")" = "$(vm "latency_timer at plug-in")" ] &&
   [ "$(vm "latency_timer after the kill")" = "$(vm "latency_timer at plug-in")" ]'
if [ "$failed" -ne 0 ]; then
  echo "--- guest console"; cat "$work/vm"
  echo "--- qemu"; cat "$work/qemu.out"
  echo "--- korvo-devsim (FTDI)"; cat "$work/tty.out" "$work/tty.err"
  echo "--- korvo-devsim (UART)"; cat "$work/uart.out" "$work/uart.err"
fi
exit "$failed"
