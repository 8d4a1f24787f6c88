#!/bin/sh
# SPDX-License-Identifier: MIT
# Frames per second from cangen on vcan0 into a program on the virtual card
# (its wire joined to vcan0, a CanGetRcvCnt/CanRcvMsg loop), against candump
# reading the same stream in the same guest run. Not a test: run it in the
# kernel suites' guest with
#
#   scripts/kernel-test bench/vcard-socketcan-bench.sh
#   PCI5C3A_GUEST_ARGS=4000 scripts/kernel-test bench/vcard-socketcan-bench.sh   # frames per run
#
# For each gap between cangen's frames (ms) both readers get the same N
# frames (-I i -D i -L 8: identifier and data count up). The program counts
# the frames it got and the gaps in their sequence numbers, so a frame lost
# anywhere (socket, controller FIFO, driver queue) shows; candump's log is
# counted. A rate "without loss" is one where the reader got all N frames.
# Printed: one line per gap and build, then the fastest stream each reader
# took without loss, and their ratio.
#
# kernel-test-files: tests/socketcan_peer
. "$PCI5C3A_ROOT/tests/kernel/lib/common.sh"

frames=${1:-2000}
now() { cut -d" " -f1 /proc/uptime; }
vcan vcan0

for build in $PCI5C3A_BUILDS; do
    abi=$(abi_of "$build")
    peer=$build/tests/socketcan_peer
    best_prog=0 best_dump=0
    for gap in 1 0.2 0.05 0; do
        dump_start vcan0 "$tmp/bench-dump.log"
        start_logged "$tmp/bench-peer.log" env PCI5C3A_VCARD_SOCKETCAN=vcan0 "$build/vcard/with-virtual-card" \
            "$peer" drain "$frames" 20
        peer_pid=$!
        wait_for "$tmp/bench-peer.log" '^ready$' 100
        start=$(now)
        cangen vcan0 -I i -L 8 -D i -g "$gap" -p 100 -n "$frames"
        end=$(now)
        wait_exit "$peer_pid" 250
        sleep 0.3
        kill "$dump_pid" 2>/dev/null
        wait "$dump_pid" 2>/dev/null
        dumped=$(wc -l <"$tmp/bench-dump.log")
        stream=$(awk -v a="$start" -v b="$end" -v n="$frames" 'BEGIN { printf "%.0f", (b > a) ? n / (b - a) : 0 }')
        line=$(grep '^received' "$tmp/bench-peer.log")
        got=$(echo "$line" | awk '{ print $2 }')
        gaps=$(echo "$line" | awk '{ print $4 }')
        echo "    $abi gap ${gap} ms: stream $stream frames/s; program received ${got:-?}/$frames gaps ${gaps:-?}; candump received $dumped/$frames"
        if [ "$got" = "$frames" ] && [ "$gaps" = 0 ] && [ "$stream" -gt "$best_prog" ]; then best_prog=$stream; fi
        if [ "$dumped" = "$frames" ] && [ "$stream" -gt "$best_dump" ]; then best_dump=$stream; fi
    done
    ratio=$(awk -v a="$best_prog" -v b="$best_dump" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    echo "    $abi fastest stream without loss: program $best_prog frames/s, candump $best_dump frames/s, ratio $ratio"
    pass "$abi: benchmark ran (program $best_prog frames/s without loss, candump $best_dump, ratio $ratio)"
done
ip link del dev vcan0
exit 0
