#!/bin/sh
# SPDX-License-Identifier: MIT
# The kernel driver's figures against Linux's own SJA1000 driver, both in
# one QEMU guest (scripts/kernel-test's, Debian's 6.1 kernel, the QEMU of
# scripts/fetch-qemu), so that the machine's load and the emulator weigh on
# both alike. A benchmark, not a test: it fails only when a run loses
# frames or does not finish.
#
#   bench/driver-bench.sh [FRAMES]     # default 5000
#
# - pci5c3a.ko on a pcm3680_pci board (both channels on one bus):
#   bench_driver of both build trees (x86_64, i386) with FRAMES frames:
#   raw REQ_SEND, CanSendMsg, and the receive signal's latency.
# - The baseline: kvaser_pci.ko + sja1000.ko of the same kernel on two of
#   QEMU's kvaser_pci boards on a bus of their own; cangen sends 10 x FRAMES
#   frames (it is fast: fewer would be too short to time) on can0 as fast as the socket takes them (-g 0, retrying on a
#   full queue), can1's rx_packets counts them.
#
# Prints each run's lines and the ratios: raw REQ_SEND frames/s over the
# baseline's, CanSendMsg frames/s over the baseline's, and the latency
# median and 99th percentile.
#
# Environment: PCI5C3A_BUILD_AMD64, PCI5C3A_BUILD_I386, PCI5C3A_QEMU,
# PCI5C3A_GUEST_ACCEL, PCI5C3A_KERNEL_TIMEOUT as for scripts/kernel-test.
# (The same file is the guest's half, run by kernel-test with busybox sh.)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "driver-bench: $*" >&2; exit 1; }

if [ "${1:-}" = --in-guest ]; then
    # In the guest: MODULE MDIR FRAMES; can, can-raw and can-dev are loaded.
    module=$2 mdir=$3 frames=$4
    unset LD_PRELOAD
    for v in $(env | sed -n 's/^\(PCI5C3A_VCARD_[A-Z_]*\)=.*/\1/p'); do unset "$v"; done
    for m in sja1000 kvaser_pci; do insmod "$mdir/$m.ko"; done
    insmod "$module"
    for b in $PCI5C3A_BUILDS; do
        abi=amd64
        [ "$b" != "$PCI5C3A_BUILD_I386" ] || abi=i386
        timeout 600 "$b/bench/bench_driver" --frames "$frames" | sed "s/^/$abi /" || echo "$abi bench_driver failed"
    done
    # iproute2's ip (busybox's knows no CAN links).
    for i in can0 can1; do
        /usr/sbin/ip link set "$i" type can bitrate 1000000 && /usr/sbin/ip link set "$i" up || echo "kvaser $i not up"
    done
    rx() { cat /sys/class/net/can1/statistics/rx_packets; }
    frames=$((10 * frames))
    r0=$(rx)
    s0=$(cut -d' ' -f1 /proc/uptime)
    timeout 300 cangen can0 -g 0 -p 10 -x -n "$frames" -I 123 -L 8 -D i || echo "cangen ended with status $?"
    last=-1 still=0
    while [ $(($(rx) - r0)) -lt "$frames" ] && [ $still -lt 20 ]; do
        if [ "$(rx)" = $last ]; then still=$((still + 1)); else still=0 last=$(rx); fi
        sleep 0.1
    done
    s1=$(cut -d' ' -f1 /proc/uptime)
    awk -v n=$(($(rx) - r0)) -v want="$frames" -v t="$(awk -v a="$s0" -v b="$s1" 'BEGIN { print b - a }')" \
        'BEGIN { printf "kvaser frames=%d of %d seconds=%.2f frames_per_s=%.1f\n", n, want, t, n / t }'
    dmesg | grep -w -E 'BUG|WARNING|Oops|KASAN' | sed 's/^/kernel: /'
    exit 0
fi

frames=${1:-5000}
case $frames in '' | 0* | *[!0-9]*) die "FRAMES must be a positive number" ;; esac
for b in "${PCI5C3A_BUILD_AMD64:-$root/build/default}" "${PCI5C3A_BUILD_I386:-$root/build/i386}"; do
    [ -x "$b/bench/bench_driver" ] || die "$b/bench/bench_driver missing: build the preset first"
done
kdir=$("$root/scripts/fetch-kernel")
release=${kdir##*/linux-image-}
module=$root/build/kernel/$release/pci5c3a.ko
newer=$(find "$root/kernel" "$root/lib" -maxdepth 1 \( -name '*.[ch]' -o -name Kbuild \) -newer "$module" 2>/dev/null | head -n 1)
if [ ! -f "$module" ] || [ -n "$newer" ]; then
    "$root/scripts/build-kernel-module" 6.1 >&2 || die "module build failed"
fi
mdir=$("$root/scripts/qemu/fetch-kernel-modules" sja1000 kvaser_pci)
export PCI5C3A_QEMU=${PCI5C3A_QEMU:-$("$root/scripts/fetch-qemu")}
# One vCPU, as the baseline of scripts/qemu/kvaser-baseline: with two, the
# receive interrupt may wait for a vCPU the host has not scheduled while
# REQ_SEND, which QEMU's controllers complete at once, goes on sending and
# overruns the receiving FIFO (a real bus paces the sender).
export PCI5C3A_QEMU_ARGS="-smp 1 -object can-bus,id=canbus-a -device pcm3680_pci,canbus0=canbus-a,canbus1=canbus-a
    -object can-bus,id=canbus-k -device kvaser_pci,canbus=canbus-k -device kvaser_pci,canbus=canbus-k"
export PCI5C3A_KERNEL_TIMEOUT=${PCI5C3A_KERNEL_TIMEOUT:-1800}
export PCI5C3A_SUITE_TIMEOUT=$((PCI5C3A_KERNEL_TIMEOUT - 60))
export PCI5C3A_KERNEL_FILES="$module $mdir/sja1000.ko $mdir/kvaser_pci.ko"
export PCI5C3A_GUEST_ARGS="--in-guest $module $mdir $frames"
out=$(mktemp "${TMPDIR:-/tmp}/pci5c3a-driver-bench.XXXXXX")
trap 'rm -f "$out"' EXIT
start=$(date +%s)
"$root/scripts/kernel-test" "$root/bench/driver-bench.sh" | tee "$out"
echo "driver-bench: guest run $(($(date +%s) - start)) s (figures depend on the machine's load; compare ratios only)"
# field FILE ABI LINE KEY: the value of KEY= on the line "ABI LINE ...".
field() { sed -n "s/^$2 $3 .* $4=\([0-9.]*\).*/\1/p" "$1" | head -n 1; }
base=$(sed -n 's/^kvaser .* frames_per_s=\([0-9.]*\).*/\1/p' "$out")
[ -n "$base" ] || die "no baseline figure"
status=0
for abi in amd64 i386; do
    raw=$(field "$out" $abi raw_send frames_per_s)
    lib=$(field "$out" $abi lib_send frames_per_s)
    med=$(field "$out" $abi latency median_us)
    p99=$(field "$out" $abi latency p99_us)
    [ -n "$raw" ] && [ -n "$lib" ] && [ -n "$med" ] || { echo "$abi: no figures"; status=1; continue; }
    awk -v abi=$abi -v raw="$raw" -v lib="$lib" -v base="$base" -v med="$med" -v p99="$p99" 'BEGIN {
        printf "%s: raw REQ_SEND %.0f frames/s = %.2f x kvaser (%.0f); CanSendMsg %.0f frames/s = %.2f x kvaser; receive latency median %.0f us, p99 %.0f us\n",
            abi, raw, raw / base, base, lib, lib / base, med, p99 }'
done
! grep -q '^kernel: \|bench_driver failed$\|lost=[1-9]' "$out" || { echo "driver-bench: lost frames, a failed run or kernel messages above"; status=1; }
exit $status
