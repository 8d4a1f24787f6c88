#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only OR MIT
# Smoke test of pci5c3a.ko in a QEMU guest on Debian's 6.1 kernel (the one
# scripts/fetch-kernel fetches), with two of QEMU's SJA1000 boards, each
# with both channels on one bus of its own:
#   card 0: pcm3680_pci  (I/O, register stride 1)
#   card 1: mioe3680_pci (I/O, register stride 4)
# The guest loads the module (a malformed ids= first, which must be
# refused), runs kernel/tests/smoke.c as a static 64-bit and 32-bit program
# on each card, then unbinds card 0 under an open descriptor and binds it
# again. Prints PASS/FAIL lines and "N passed, N failed".
#
#   kernel/tests/smoke.sh
#
# Environment: PCI5C3A_QEMU (default qemu-system-x86_64), PCI5C3A_QEMU_ARGS
# (more words for QEMU), PCI5C3A_SMOKE_TIMEOUT (s, default 240),
# PCI5C3A_SMOKE_KEEP=1 (keep the work directory). Another kernel:
# PCI5C3A_SMOKE_VMLINUZ=.../vmlinuz-6.12.N+deb12-amd64 with
# PCI5C3A_SMOKE_SERIES=6.12 (the headers scripts/fetch-kernel-headers picks
# must be that release; of the image the module needs only can-dev.ko,
# uncompressed, from PCI5C3A_SMOKE_CANDEV or /lib/modules/RELEASE).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
qemu=${PCI5C3A_QEMU:-qemu-system-x86_64}
die() { echo "smoke: $*" >&2; exit 1; }

command -v "$qemu" >/dev/null || die "$qemu missing (scripts/install-deps)"
[ -x /bin/busybox ] && ! readelf -d /bin/busybox 2>/dev/null | grep -q NEEDED ||
    die "a static /bin/busybox is needed (busybox-static)"

work=$(mktemp -d "${TMPDIR:-/tmp}/pci5c3a-smoke.XXXXXX")
[ "${PCI5C3A_SMOKE_KEEP:-}" = 1 ] && echo "smoke: work directory $work" || trap 'rm -rf "$work"' EXIT

# The guest's kernel, and the module built against its headers.
if [ -n "${PCI5C3A_SMOKE_VMLINUZ:-}" ]; then
    vmlinuz=$PCI5C3A_SMOKE_VMLINUZ
    release=$(basename "$vmlinuz" | sed 's/^vmlinuz-//')
    candev=${PCI5C3A_SMOKE_CANDEV:-/lib/modules/$release/kernel/drivers/net/can/dev/can-dev.ko}
else
    kimage=$("$root/scripts/fetch-kernel")
    vmlinuz=$kimage/vmlinuz
    release=$(basename "$kimage" | sed 's/^linux-image-//')
    candev=$kimage/can-dev.ko
fi
[ -f "$candev" ] || die "no $candev: pci5c3a.ko needs the guest kernel's can-dev.ko (PCI5C3A_SMOKE_CANDEV)"
"$root/scripts/build-kernel-module" "${PCI5C3A_SMOKE_SERIES:-6.1}" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; die "module build failed"; }
module=$root/build/kernel/$release/pci5c3a.ko
[ -f "$module" ] || die "no module for $release (guest kernel and headers differ?)"

stage=$work/root
mkdir -p "$stage"/{bin,proc,sys,dev,tmp}
cp /bin/busybox "$stage/bin/busybox"
cp "$module" "$stage/pci5c3a.ko"
cp "$candev" "$stage/can-dev.ko"
for bits in 64 32; do
    gcc -m$bits -static -O2 -Wall -Wextra -Werror -I"$root/lib" -o "$stage/smoke$bits" "$here/smoke.c"
done

cat >"$stage/init" <<'GUEST'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec 3>/dev/ttyS1
check() { if eval "$2"; then echo "PASS $1" >&3; else echo "FAIL $1" >&3; fi; }
insmod /can-dev.ko
check "malformed_ids_refused" "! insmod /pci5c3a.ko ids=13fe:zz 2>/dev/null && [ ! -e /sys/module/pci5c3a ]"
check "unknown_board_refused" "! insmod /pci5c3a.ko ids=13fe:c002:nosuch 2>/dev/null"
check "insmod" "insmod /pci5c3a.ko"
check "two_cards" "[ -c /dev/PCI5C3AW0 ] && [ -c /dev/PCI5C3AW1 ] && [ ! -e /dev/PCI5C3AW2 ]"
check "card1_is_mioe3680" "[ \"\$(cat /sys/class/pci5c3a/PCI5C3AW1/board)\" = mioe3680_pci ]"
for card in 0 1; do
    for bits in 64 32; do
        echo "=== card $card, $bits-bit" >&3
        timeout 60 /smoke$bits $card >&3 2>&1 || echo "FAIL smoke$bits card $card exits 0" >&3
    done
done
bdf=$(basename "$(readlink /sys/class/pci5c3a/PCI5C3AW0/device)")
echo "=== unbind card 0 ($bdf) under an open descriptor" >&3
timeout 60 /smoke64 0 unbind "$bdf" >&3 2>&1 || echo "FAIL unbind sequence exits 0" >&3
check "node_gone_after_unbind" "[ ! -e /dev/PCI5C3AW0 ] && [ -c /dev/PCI5C3AW1 ]"
echo "$bdf" >/sys/bus/pci/drivers/pci5c3a/bind
check "rebind_takes_lowest_number" "[ -c /dev/PCI5C3AW0 ]"
timeout 60 /smoke64 0 >/dev/null 2>&1 && echo "PASS smoke_after_rebind" >&3 || echo "FAIL smoke_after_rebind" >&3
check "rmmod" "rmmod pci5c3a"
dmesg | grep -E 'pci5c3a|BUG:|Oops|WARNING:|Call Trace' | sed 's/^/    dmesg: /' >&3
echo DONE >&3
poweroff -f
GUEST
chmod 755 "$stage/init"
(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd"

# KVM only when it answers at once (a kernel without init panics and, with
# -no-reboot, QEMU ends), else TCG.
accel=tcg
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    timeout -k 2 8 "$qemu" -accel kvm -m 256 -nodefaults -display none -no-reboot \
        -kernel "$vmlinuz" -append "console=ttyS0 panic=-1 rdinit=/none" \
        -serial "file:$work/kvm-probe.log" </dev/null >/dev/null 2>&1 || true
    grep -q 'Kernel panic' "$work/kvm-probe.log" 2>/dev/null && accel=kvm
fi
# shellcheck disable=SC2086
timeout -k 5 "${PCI5C3A_SMOKE_TIMEOUT:-240}" "$qemu" -accel "$accel" -m 256 -smp 2 -nodefaults -display none \
    -no-reboot -kernel "$vmlinuz" -initrd "$work/initrd" \
    -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init" \
    -object can-bus,id=canbus-a -device pcm3680_pci,canbus0=canbus-a,canbus1=canbus-a \
    -object can-bus,id=canbus-b -device mioe3680_pci,canbus0=canbus-b,canbus1=canbus-b \
    ${PCI5C3A_QEMU_ARGS:-} \
    -serial "file:$work/console.log" -serial "file:$work/results.log" </dev/null >"$work/qemu.log" 2>&1 || true

tr -d '\r' <"$work/results.log" >"$work/results"
grep -v '^DONE' "$work/results" || true
passed=$(grep -c '^PASS ' "$work/results" || true)
failed=$(grep -c '^FAIL ' "$work/results" || true)
if grep -q -E 'dmesg: .*(BUG:|Oops|WARNING:|Call Trace)' "$work/results"; then failed=$((failed + 1)); echo "FAIL kernel reports no BUG, Oops or WARNING"; fi
if ! grep -q '^DONE' "$work/results"; then
    failed=$((failed + 1))
    echo "FAIL guest reports back"
    tail -n 30 "$work/console.log" | sed 's/^/    /'
    tail -n 5 "$work/qemu.log" | sed 's/^/    /'
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
