#!/bin/sh
# SPDX-License-Identifier: MIT
# What a received frame costs the kernel driver with one open file of the
# card and with many (a benchmark, not a test): kernel/tests/open_files_bench.c
# in one guest of scripts/kernel-test (Debian's 6.1 kernel, the QEMU of
# scripts/fetch-qemu, one vCPU as in bench/driver-bench.sh) on a
# pcm3680_pci board with both channels on one bus. Each frame goes from
# port 0 to port 1 and is taken on its signal, one at a time, first with
# one open file of the card (the one listening), then with FILES open
# (the others only open the device). Prints the medians and their ratio;
# where the interrupt handler and the signal work visit only the files
# that listen, the ratio stays near 1.
#
#   bench/open-files-bench.sh [FILES [FRAMES]]     # default 10001 2000
#
# Environment: PCI5C3A_BUILD_AMD64, PCI5C3A_BUILD_I386, PCI5C3A_QEMU,
# PCI5C3A_GUEST_ACCEL, PCI5C3A_KERNEL_TIMEOUT as for scripts/kernel-test.
# (The same file is the guest's half, run by kernel-test with busybox sh.)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "open-files-bench: $*" >&2; exit 1; }

if [ "${1:-}" = --in-guest ]; then
    # In the guest: MODULE PROGRAM FILES FRAMES.
    insmod "$2"
    timeout 600 "$3" 0 "$4" "$5" || echo "open_files_bench failed (status $?)"
    dmesg | grep -w -E 'BUG|WARNING|Oops|KASAN' | sed 's/^/kernel: /'
    exit 0
fi

files=${1:-10001} frames=${2:-2000}
for n in "$files" "$frames"; do
    case $n in '' | 0* | *[!0-9]*) die "FILES and FRAMES must be positive numbers" ;; esac
done
kdir=$("$root/scripts/fetch-kernel")
release=${kdir##*/linux-image-}
module=$root/build/kernel/$release/pci5c3a.ko
if [ ! -f "$module" ] ||
    [ -n "$(find "$root/kernel" -maxdepth 1 \( -name '*.[ch]' -o -name Kbuild \) -newer "$module" | head -n 1)" ]; then
    "$root/scripts/build-kernel-module" 6.1 >&2 || die "module build failed"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/pci5c3a-open-files.XXXXXX")
trap 'rm -rf "$work"' EXIT
prog=$work/open_files_bench
gcc -static -O2 -Wall -Wextra -Werror -I"$root/lib" -o "$prog" "$root/kernel/tests/open_files_bench.c" ||
    die "building open_files_bench failed"
export PCI5C3A_QEMU=${PCI5C3A_QEMU:-$("$root/scripts/fetch-qemu")}
# One vCPU: the interrupt and the signal work run on the CPU of the
# program they interrupt, so their cost is in every round it times.
export PCI5C3A_QEMU_ARGS="-smp 1 -object can-bus,id=canbus-a -device pcm3680_pci,canbus0=canbus-a,canbus1=canbus-a"
export PCI5C3A_KERNEL_TIMEOUT=${PCI5C3A_KERNEL_TIMEOUT:-600}
export PCI5C3A_SUITE_TIMEOUT=$((PCI5C3A_KERNEL_TIMEOUT - 60))
export PCI5C3A_KERNEL_FILES="$module $prog"
export PCI5C3A_GUEST_ARGS="--in-guest $module $prog $files $frames"
"$root/scripts/kernel-test" "$root/bench/open-files-bench.sh" | tee "$work/out"
grep -q '^ratio median' "$work/out" || die "no figures"
! grep -q '^kernel: \|failed (status' "$work/out" || die "a failed run or kernel messages above"
