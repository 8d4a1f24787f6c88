#!/bin/sh
# SPDX-License-Identifier: MIT
# The virtual card's wires on SocketCAN (PCI5C3A_VCARD_SOCKETCAN), run by
# scripts/kernel-test in its guest for each build tree (x86_64, i386):
# test5C3A with every frame crossing the kernel, programs sharing vcan0,
# candump and cansend against a program's ports, the acceptance filter, the
# receive signal while the program sleeps, bit rates, the trace of frames
# ignored, configuration errors, and an interface that reports
# transmissions (vcan with echo=1).
#
# kernel-test-files: tests/test_vcard_socketcan tests/socketcan_peer tests/pty_run
. "$PCI5C3A_ROOT/tests/kernel/lib/common.sh"

# on ENV... -- PROGRAM ARGS: PROGRAM on this build's virtual card, with the
# virtual card's variables ENV (words VAR=VALUE).
on() {
    local vars=""
    while [ "$1" != -- ]; do vars="$vars $1"; shift; done
    shift
    # shellcheck disable=SC2086
    env $vars "$build/vcard/with-virtual-card" "$@"
}
# peer_start LOG ENV... -- ARGS: socketcan_peer in the background ($peer_pid),
# returned once it said "ready" (its sockets are open and its port configured
# then, and for `signal` its handler installed); a peer not ready in time is
# reported in its log. LOG is another peer's before: start_logged empties it.
peer_start() {
    local log=$1
    shift
    start_logged "$log" on "$@"
    peer_pid=$!
    wait_for "$log" '^ready$|socketcan_peer:|virtual card:' 300 || echo "(not ready after 30 s)" >>"$log"
}

# refused NAME PATTERN VALUE [WIRING]: the virtual card refuses
# PCI5C3A_VCARD_SOCKETCAN=VALUE with one line matching PATTERN, status 2.
refused() {
    expect_exit --one-line "$1" 2 "$2" "$tmp/refused.log" timeout 20 \
        env PCI5C3A_VCARD_SOCKETCAN="$3" PCI5C3A_VCARD_WIRING="${4:-}" \
        "$build/vcard/with-virtual-card" "$peer" receive 1 1
}

# test5C3A waits for a key on its terminal: pty_run gives it one.
[ -e /dev/pts/ptmx ] || { mkdir -p /dev/pts && mount -t devpts devpts /dev/pts; }

for build in $PCI5C3A_BUILDS; do
    abi=$(abi_of "$build")
    peer=$build/tests/socketcan_peer
    echo "    ($abi from $(cut -d' ' -f1 /proc/uptime) s)"
    vcan vcan0 72 || fail "$abi: vcan0" "ip link add failed"

    check "$abi: SocketCAN unit tests (frames through the kernel, reset, fork, no allocation)" \
        timeout 90 "$build/tests/test_vcard_socketcan" --gtest_brief=1

    # --- test5C3A, its two ports on separate wires both joined to vcan0 ----
    name="$abi: test5C3A passes with separate wiring, both wires on vcan0 (64 frames on vcan0)"
    dump_start vcan0 "$tmp/dump.log"
    timeout 60 "$build/tests/pty_run" 50 env PCI5C3A_VCARD_WIRING=separate PCI5C3A_VCARD_SOCKETCAN=vcan0,vcan0 \
        "$build/vcard/with-virtual-card" "$build/looptest/test5C3A" >"$tmp/loop.log" 2>&1
    st=$?
    dump_stop "$dump_pid" "$tmp/dump.log"
    if [ $st = 0 ] && grep -q 'Get Receive Message PORT1 32  PORT2 32' "$tmp/loop.log" &&
        grep -q 'test ok!!' "$tmp/loop.log" && [ "$(wc -l <"$tmp/dump.log")" = 64 ] &&
        [ "$(grep -c '^01F#0001020304050607$' "$tmp/dump.log")" = 2 ]; then
        pass "$name"
    else
        fail "$name" "status $st, $(wc -l <"$tmp/dump.log") frames on vcan0" "$tmp/loop.log"
    fi

    # --- two programs on one bus; candump sees exactly their frames --------
    cat >"$tmp/std.txt" <<'EOF'
100#
101#01
108#0102030405060708
7FF#FFFFFFFFFFFFFFFF
123#R
124#R3
EOF
    cat >"$tmp/ext.txt" <<'EOF'
00000000#
1FFFFFFF#AA
0ABCDEF1#R8
EOF
    for kind in std ext; do
        x=""
        [ $kind = ext ] && x=-x
        name="$abi: two programs exchange $kind frames over vcan0, candump sees exactly them, in order"
        dump_start vcan0 "$tmp/dump.log"
        n=$(wc -l <"$tmp/$kind.txt")
        peer_start "$tmp/rx.log" PCI5C3A_VCARD_SOCKETCAN=vcan0 -- "$peer" $x receive "$n" 20
        # shellcheck disable=SC2046
        on PCI5C3A_VCARD_SOCKETCAN=vcan0 -- "$peer" $x send $(cat "$tmp/$kind.txt") >"$tmp/tx.log" 2>&1
        tx=$?
        wait_exit "$peer_pid" 200
        dump_stop "$dump_pid" "$tmp/dump.log"
        grep -v '^ready$' "$tmp/rx.log" >"$tmp/rx.txt"
        if [ $tx = 0 ] && [ "$exit_status" = 0 ] && cmp -s "$tmp/$kind.txt" "$tmp/rx.txt" &&
            cmp -s "$tmp/$kind.txt" "$tmp/dump.log"; then
            pass "$name"
        else
            fail "$name" "sender $tx, receiver $exit_status; sent, received, candump:" "$tmp/$kind.txt" "$tmp/rx.txt" \
                "$tmp/dump.log" "$tmp/tx.log"
        fi
    done

    # --- cansend into a program, through its acceptance filter -------------
    name="$abi: cansend frames pass or are blocked by the acceptance filter (120:00F)"
    peer_start "$tmp/rx.log" PCI5C3A_VCARD_SOCKETCAN=vcan0 -- "$peer" -f 120:00F receive 2 20
    for f in 135#01 125#02 200#03 12F#04 7FF#05; do cansend vcan0 "$f"; done
    wait_exit "$peer_pid" 200
    if [ "$exit_status" = 0 ] && [ "$(grep -v ready "$tmp/rx.log" | tr '\n' ' ')" = "125#02 12F#04 " ]; then
        pass "$name"
    else
        fail "$name" "status $exit_status" "$tmp/rx.log"
    fi

    name="$abi: a receive handler runs for a frame from outside while the program only sleeps"
    peer_start "$tmp/rx.log" PCI5C3A_VCARD_SOCKETCAN=vcan0 -- "$peer" signal 20
    cansend vcan0 3A1#DEADBEEF
    wait_exit "$peer_pid" 200
    if [ "$exit_status" = 0 ] && grep -q '^handler ran: 3A1#DEADBEEF$' "$tmp/rx.log"; then
        pass "$name"
    else
        fail "$name" "status $exit_status" "$tmp/rx.log"
    fi

    # --- bit rates -------------------------------------------------------
    name="$abi: @500k against a controller at 1M: 5 frames, receive error counter 5, none received"
    peer_start "$tmp/rx.log" PCI5C3A_VCARD_SOCKETCAN=vcan0@500k -- "$peer" -b 1M rxerr 5 20
    for i in 1 2 3 4 5; do cansend vcan0 "10$i#01"; done
    wait_exit "$peer_pid" 250
    if [ "$exit_status" = 0 ] && grep -q '^rxerr 5 received 0$' "$tmp/rx.log"; then pass "$name"; else fail "$name" "$tmp/rx.log"; fi

    name="$abi: @500k with a controller at 500k: received, no error"
    peer_start "$tmp/rx.log" PCI5C3A_VCARD_SOCKETCAN=vcan0@500k -- "$peer" -b 500k receive 1 20
    cansend vcan0 222#22
    wait_exit "$peer_pid" 200
    if [ "$exit_status" = 0 ] && grep -q '^222#22$' "$tmp/rx.log"; then pass "$name"; else fail "$name" "$tmp/rx.log"; fi

    name="$abi: a controller at 1M on a wire @500k: its frame is not written, nobody acknowledges"
    dump_start vcan0 "$tmp/dump.log"
    on PCI5C3A_VCARD_WIRING=separate PCI5C3A_VCARD_SOCKETCAN=vcan0@500k -- "$peer" -b 1M txerr 333#33 >"$tmp/tx.log" 2>&1
    dump_stop "$dump_pid" "$tmp/dump.log"
    if grep -q '^sent 0 txerr 128 pending 1$' "$tmp/tx.log" && [ ! -s "$tmp/dump.log" ]; then
        pass "$name"
    else
        fail "$name" "$tmp/tx.log" "candump:" "$tmp/dump.log"
    fi

    # --- an interface down: the write fails, the frame is unacknowledged ----
    name="$abi: interface down: writes fail, transmit error counter to error passive, frame pending"
    ip link set dev vcan0 down
    on PCI5C3A_VCARD_WIRING=separate PCI5C3A_VCARD_SOCKETCAN=vcan0 PCI5C3A_VCARD_TRACE="$tmp/trace.log" -- \
        "$peer" txerr 444#44 >"$tmp/tx.log" 2>&1
    ip link set dev vcan0 up
    if grep -q '^sent 0 txerr 128 pending 1$' "$tmp/tx.log" && grep -q 'vcan0 write failed (ENETDOWN)' "$tmp/trace.log"; then
        pass "$name"
    else
        fail "$name" "$tmp/tx.log" "$(grep -v REQ_ "$tmp/trace.log" | head -5)"
    fi
    rm -f "$tmp/trace.log"

    # --- error frames and CAN FD frames: ignored, in the trace -------------
    name="$abi: error frames and CAN FD frames from the interface are ignored and traced"
    rm -f "$tmp/trace.log"
    peer_start "$tmp/rx.log" PCI5C3A_VCARD_SOCKETCAN=vcan0 PCI5C3A_VCARD_TRACE="$tmp/trace.log" -- "$peer" receive 2 20
    for f in 123##1 20000080#0000000000000000 124##011223344 155#AA 156#R; do cansend vcan0 "$f"; done
    wait_exit "$peer_pid" 200
    if [ "$exit_status" = 0 ] && [ "$(grep -v ready "$tmp/rx.log" | tr '\n' ' ')" = "155#AA 156#R " ] &&
        [ "$(grep -c 'wire=0 vcan0 CAN FD frame ignored' "$tmp/trace.log")" = 2 ] &&
        grep -q 'wire=0 vcan0 error frame ignored: id=0x20000080 len=8' "$tmp/trace.log"; then
        pass "$name"
    else
        fail "$name" "status $exit_status" "$tmp/rx.log" "$(grep -v REQ_ "$tmp/trace.log" | head -5)"
    fi
    rm -f "$tmp/trace.log"

    # --- configuration errors: one line, status 2 --------------------------
    refused "$abi: unknown interface: status 2, one line" \
        '^virtual card: PCI5C3A_VCARD_SOCKETCAN="vcan0,vcan9" cannot be used: there is no interface vcan9' \
        vcan0,vcan9 separate
    refused "$abi: not a CAN interface: status 2, one line" 'cannot be used: lo is not a CAN interface' lo
    refused "$abi: malformed value: status 2, one line" \
        '^virtual card: PCI5C3A_VCARD_SOCKETCAN="vcan0@300k" is not valid; expected IFACE' vcan0@300k
    refused "$abi: more entries than wires: status 2, one line" 'SOCKETCAN="vcan0,vcan0" is not valid' vcan0,vcan0
done

# --- an interface that reports transmissions (IFF_ECHO) -------------------
# vcan loaded with echo=1 echoes each frame as a real adapter's driver does
# once the frame is sent: the frame is acknowledged on that echo.
ip link del dev vcan0
if rmmod vcan 2>/dev/null && insmod /modules/vcan.ko echo=1; then
    vcan vcan0
    for build in $PCI5C3A_BUILDS; do
        abi=$(abi_of "$build")
        peer=$build/tests/socketcan_peer
        name="$abi: echo interface: a frame is acknowledged on its echo; a program and candump receive it"
        dump_start vcan0 "$tmp/dump.log"
        peer_start "$tmp/rx.log" PCI5C3A_VCARD_SOCKETCAN=vcan0 -- "$peer" receive 3 20
        on PCI5C3A_VCARD_WIRING=separate PCI5C3A_VCARD_SOCKETCAN=vcan0 -- "$peer" send 100#01 101#02 102#03 \
            >"$tmp/tx.log" 2>&1
        tx=$?
        wait_exit "$peer_pid" 200
        on PCI5C3A_VCARD_WIRING=separate PCI5C3A_VCARD_SOCKETCAN=vcan0 -- "$peer" txerr 103#04 >"$tmp/tx2.log" 2>&1
        dump_stop "$dump_pid" "$tmp/dump.log"
        if [ $tx = 0 ] && [ "$exit_status" = 0 ] && [ "$(grep -v ready "$tmp/rx.log" | tr '\n' ' ')" = "100#01 101#02 102#03 " ] &&
            [ "$(wc -l <"$tmp/dump.log")" = 4 ] && grep -q '^sent 0 txerr 0 pending 0$' "$tmp/tx2.log"; then
            pass "$name"
        else
            fail "$name" "sender $tx, receiver $exit_status" "$tmp/rx.log" "$tmp/dump.log" "$tmp/tx.log" "$tmp/tx2.log"
        fi
    done
    ip link del dev vcan0
    rmmod vcan && insmod /modules/vcan.ko
else
    fail "vcan reloaded with echo=1"
fi
exit 0
