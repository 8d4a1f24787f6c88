#!/bin/sh
# SPDX-License-Identifier: MIT
# pci5c3a-gateway on SocketCAN, run by scripts/kernel-test in its guest for
# the gateway of each build tree (x86_64, i386), on the virtual card: its
# ports 0 and 1 are wired to each other (unless a test says otherwise) and
# each is bridged to its own vcan interface, so a frame sent on vcan0 goes
# through port 0, the wire and port 1 to vcan1, and back the same way.
#
# One function per test case (case_*), run for each build with $build, $abi
# and $gw (its gateway) set and vcan0, vcan1 up.
#
# kernel-test-files: gateway/tests/test_gateway
. "$PCI5C3A_ROOT/tests/kernel/lib/common.sh"

# gw_start LOG [VAR=VALUE...] -- ARGS...: the gateway in the background
# ($gw_pid), on the virtual card configured by the VAR=VALUE words; returns
# once it forwards (or has given up: its status is checked by the caller).
# LOG may hold another gateway's lines: start_logged empties it first.
gw_start() {
    local log=$1 vars=""
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        vars="$vars $1"
        shift
    done
    shift
    # shellcheck disable=SC2086
    start_logged "$log" env $vars "$build/vcard/with-virtual-card" "$gw" "$@"
    gw_pid=$!
    wait_for "$log" 'forwarding|pci5c3a-gateway: [^f]' 300
}
# gw_stop: SIGTERM, and the exit status in $exit_status.
gw_stop() {
    kill -TERM "$gw_pid" 2>/dev/null
    wait_exit "$gw_pid" 100
}
# counters LOG PORT: the gateway's counter line of PORT (e.g. 0:0=vcan0).
counters() { grep "pci5c3a-gateway: $2 card->iface" "$1" | tail -n 1; }
# counter LOG PORT NAME: one counter's value.
counter() { counters "$1" "$2" | sed -n "s/.* $3=\([0-9]*\).*/\1/p"; }

# send_all IFACE FILE: each line of FILE with cansend, 10 ms apart (the card
# sends one frame per millisecond at most).
send_all() {
    local f
    while read -r f; do
        cansend "$1" "$f" || echo "cansend $1 $f failed"
        sleep 0.01
    done <"$2"
}

# --- frames, both directions, both identifier kinds -----------------------
cat >"$tmp/std.txt" <<'FRAMES'
100#
101#01
102#0102
103#010203
104#01020304
105#0102030405
106#010203040506
107#01020304050607
108#0102030405060708
7FF#FFFFFFFFFFFFFFFF
000#00
123#R
124#R3
125#R8
FRAMES
cat >"$tmp/ext.txt" <<'FRAMES'
00000000#
12345678#0102030405060708
1FFFFFFF#AA
00000123#55AA
0ABCDEF0#R
0ABCDEF1#R8
FRAMES

# through NAME FROM TO FILE ARGS...: the frames of FILE sent on FROM arrive
# on TO exactly and in order, with the gateway started with ARGS.
through() {
    local name=$1 from=$2 to=$3 frames=$4
    shift 4
    if ! gw_start "$tmp/gw.log" -- "$@"; then
        gw_stop
        fail "$name" "gateway did not start" "$tmp/gw.log"
        return
    fi
    dump_start "$to" "$tmp/dump.log"
    send_all "$from" "$frames" >"$tmp/send.log" 2>&1
    wait_lines "$tmp/dump.log" "$(wc -l <"$frames")" 150
    dump_stop "$dump_pid" "$tmp/dump.log"
    gw_stop
    if cmp -s "$frames" "$tmp/dump.log" && [ "$exit_status" = 0 ]; then
        pass "$name"
    else
        fail "$name" "status $exit_status; sent (left) and received (right):" \
            "$(diff "$frames" "$tmp/dump.log" | head -n 20)" "$tmp/send.log" "$tmp/gw.log"
    fi
}

case_frames() {
    through "$abi: standard frames, lengths 0..8 and remote, vcan0 to vcan1" vcan0 vcan1 "$tmp/std.txt" \
        0:0=vcan0 0:1=vcan1
    through "$abi: standard frames, vcan1 to vcan0 at 125k" vcan1 vcan0 "$tmp/std.txt" \
        --bitrate 125k 0:0=vcan0 0:1=vcan1
    through "$abi: extended frames (--extended), vcan0 to vcan1" vcan0 vcan1 "$tmp/ext.txt" \
        --extended 0:0=vcan0 0:1=vcan1
    through "$abi: user bit timing (100k) and a per-port rate (@100k)" vcan1 vcan0 "$tmp/ext.txt" \
        --extended --bitrate 100k 0:0=vcan0 0:1=vcan1@100k
}

# --- 1000 frames from cangen, complete and in order -----------------------
# case_cangen FROM TO
case_cangen() {
    local name="$abi: 1000 cangen frames $1 to $2 complete and in order" src_pid got_pid
    gw_start "$tmp/gw.log" -- 0:0=vcan0 0:1=vcan1
    dump_start "$1" "$tmp/sent.log"
    src_pid=$dump_pid
    dump_start "$2" "$tmp/got.log"
    got_pid=$dump_pid
    # 2 ms apart: within the card's 1000 frames/s, so none is dropped.
    cangen "$1" -I i -L 8 -D i -g 2 -n 1000
    wait_lines "$tmp/got.log" 1000 300
    dump_stop "$src_pid" "$tmp/sent.log"
    dump_stop "$got_pid" "$tmp/got.log"
    gw_stop
    if [ "$(wc -l <"$tmp/sent.log")" = 1000 ] && cmp -s "$tmp/sent.log" "$tmp/got.log"; then
        pass "$name"
    else
        fail "$name" "sent $(wc -l <"$tmp/sent.log"), received $(wc -l <"$tmp/got.log")" \
            "$(diff "$tmp/sent.log" "$tmp/got.log" | head -n 10)" "$tmp/gw.log"
    fi
}

# --- frames the card cannot send: dropped and counted ---------------------
case_dropped_on_standard_ports() {
    local name="$abi: other identifier kind, CAN FD and error frames dropped and counted (standard ports)" f line
    gw_start "$tmp/gw.log" -- 0:0=vcan0 0:1=vcan1
    dump_start vcan1 "$tmp/dump.log"
    for f in 12345678#11 1FFFFFFF#R 123##1 124##0112233 20000080# 155#AA; do
        cansend vcan0 "$f"
        sleep 0.01
    done
    wait_lines "$tmp/dump.log" 1 30
    dump_stop "$dump_pid" "$tmp/dump.log"
    kill -USR1 "$gw_pid"
    wait_for "$tmp/gw.log" 'card->iface' 30
    line=$(counters "$tmp/gw.log" 0:0=vcan0)
    gw_stop
    case "$line $(cat "$tmp/dump.log")" in
    *" other-kind=2 can-fd=2 error-frame=1 "*"155#AA") pass "$name" ;;
    *) fail "$name" "counters: $line" "on vcan1: $(cat "$tmp/dump.log")" ;;
    esac
}

case_dropped_on_extended_ports() {
    local name="$abi: standard frames dropped and counted on extended ports" f
    gw_start "$tmp/gw.log" -- --extended 0:0=vcan0 0:1=vcan1
    dump_start vcan1 "$tmp/dump.log"
    for f in 123#11 7FF#R 00000155#AA; do
        cansend vcan0 "$f"
        sleep 0.01
    done
    wait_lines "$tmp/dump.log" 1 30
    dump_stop "$dump_pid" "$tmp/dump.log"
    gw_stop
    if [ "$(counter "$tmp/gw.log" 0:0=vcan0 other-kind)" = 2 ] && [ "$(cat "$tmp/dump.log")" = "00000155#AA" ] &&
        [ "$(counter "$tmp/gw.log" 0:0=vcan0 sent)" = 1 ]; then
        pass "$name"
    else
        fail "$name" "$tmp/gw.log" "on vcan1: $(cat "$tmp/dump.log")"
    fi
}

# --- a full queue drops and counts; the other direction flows -------------
case_full_queue() {
    local name="$abi: full queue drops and counts, frames from the card keep flowing"
    local back_pid flood_pid i full sent unsent busy overrun
    gw_start "$tmp/gw.log" -- --queue 8 0:0=vcan0 0:1=vcan1
    dump_start vcan0,7AB:7FF "$tmp/back.log"
    back_pid=$dump_pid
    # A flood on vcan0 (far above 1000 frames/s) while 20 frames come the
    # other way, from vcan1 through port 1 and port 0.
    cangen vcan0 -I 100 -L 8 -D r -g 0 -p 10 -n 3000 &
    flood_pid=$!
    for i in 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19; do
        cansend vcan1 "7AB#$(printf %02X "$i")"
        sleep 0.01
    done
    wait_exit "$flood_pid" 300
    # One frame more after a pause: the kernel reports the frames it dropped
    # for a full socket buffer along with the next frame read.
    sleep 0.5
    cansend vcan0 7AC#
    wait_lines "$tmp/back.log" 20 30
    dump_stop "$back_pid" "$tmp/back.log"
    gw_stop
    full=$(counter "$tmp/gw.log" 0:0=vcan0 queue-full)
    sent=$(counter "$tmp/gw.log" 0:0=vcan0 sent)
    unsent=$(counter "$tmp/gw.log" 0:0=vcan0 unsent)
    busy=$(counter "$tmp/gw.log" 0:0=vcan0 busy)
    overrun=$(counter "$tmp/gw.log" 0:0=vcan0 socket-overrun)
    # Every frame of the flood is accounted for.
    if [ "$(wc -l <"$tmp/back.log")" = 20 ] && [ "${full:-0}" -gt 0 ] &&
        [ $((full + sent + unsent + busy + overrun)) = 3001 ]; then
        pass "$name"
    else
        fail "$name" "back: $(wc -l <"$tmp/back.log") of 20; queue-full=$full sent=$sent unsent=$unsent busy=$busy overrun=$overrun" \
            "$tmp/gw.log"
    fi
}

# --- controller state as error frames -------------------------------------
# Port 0 alone on its wire: nobody acknowledges, the controller resends,
# its transmit counter climbs past the warning limit (96) to error passive
# (128) and stops there.
case_tx_error_states() {
    local name="$abi: a lone port shows error warning then passive (candump -e)" err_pid human_pid
    gw_start "$tmp/gw.log" PCI5C3A_VCARD_WIRING=separate -- 0:0=vcan0
    dump_start 'vcan0,#FFFFFFFF' "$tmp/err.log"
    err_pid=$dump_pid
    start_logged "$tmp/human.log" candump -e 'vcan0,#FFFFFFFF'
    human_pid=$!
    listening "$human_pid"
    cansend vcan0 123#11
    wait_for "$tmp/err.log" '^.{8}#0020' 100
    dump_stop "$err_pid" "$tmp/err.log"
    kill "$human_pid"
    wait "$human_pid"
    gw_stop
    # CAN_ERR_FLAG|CAN_ERR_CRTL; data[1] TX_WARNING (0x08), then
    # TX_PASSIVE (0x20); data[6] the transmit counter (128), data[7] receive.
    if grep -q '^20000004#0008000000008000$' "$tmp/err.log" && grep -q '^20000004#0020000000008000$' "$tmp/err.log" &&
        [ "$(grep -n '#0008' "$tmp/err.log" | cut -d: -f1)" -lt "$(grep -n '#0020' "$tmp/err.log" | cut -d: -f1)" ] &&
        grep -q 'tx-error-warning' "$tmp/human.log" && grep -q 'tx-error-passive' "$tmp/human.log" &&
        grep -q 'error-counter-tx-rx{{128}{0}}' "$tmp/human.log"; then
        pass "$name"
    else
        fail "$name" "candump (log):" "$tmp/err.log" "candump -e:" "$tmp/human.log" "$tmp/gw.log"
    fi
}

# A remote node at another bit rate: every frame of it is a bus error for
# port 0, whose receive counter climbs one per frame, through the warning
# limit to error passive.
case_rx_error_states() {
    local name="$abi: receive errors show rx warning, then rx passive with the counter"
    local warn passive rx_warn rx_passive
    gw_start "$tmp/gw.log" PCI5C3A_VCARD_REMOTE=250k:5 -- 0:0=vcan0
    dump_start 'vcan0,#FFFFFFFF' "$tmp/err.log"
    wait_for "$tmp/err.log" '^20000004#0010' 150
    dump_stop "$dump_pid" "$tmp/err.log"
    gw_stop
    warn=$(grep -n '^20000004#0004' "$tmp/err.log" | head -n 1)
    passive=$(grep -n '^20000004#0010' "$tmp/err.log" | head -n 1)
    # data[7], the receive counter: at least 96 at warning, above 127 once passive.
    rx_warn=$(printf %d "0x$(echo "${warn#*:}" | cut -c 24-25)" 2>/dev/null)
    rx_passive=$(printf %d "0x$(echo "${passive#*:}" | cut -c 24-25)" 2>/dev/null)
    if [ -n "$warn" ] && [ -n "$passive" ] && [ "${warn%%:*}" -lt "${passive%%:*}" ] &&
        [ "$rx_warn" -ge 96 ] && [ "$rx_passive" -gt 127 ]; then
        pass "$name"
    else
        fail "$name" "warning: $warn ($rx_warn), passive: $passive ($rx_passive)" "$tmp/err.log" "$tmp/gw.log"
    fi
}

# --- the start refused: one line, status 1 --------------------------------
case_start_refused() {
    local launch=$build/vcard/with-virtual-card out=$tmp/refused.log
    expect_exit "$abi: missing interface: status 1, named" 1 '^pci5c3a-gateway: interface vcan9 does not exist$' \
        "$out" timeout 20 "$launch" "$gw" 0:0=vcan0 0:1=vcan9
    vcan vcan2 && ip link set dev vcan2 down
    expect_exit "$abi: interface down: status 1, named" 1 '^pci5c3a-gateway: interface vcan2 is down' \
        "$out" timeout 20 "$launch" "$gw" 0:0=vcan2
    expect_exit "$abi: not a CAN interface: status 1, named" 1 'interface lo is not a CAN interface' \
        "$out" timeout 20 "$launch" "$gw" 0:0=lo
    ip link del dev vcan2
    expect_exit "$abi: no card: status 1, the port named" 1 '^pci5c3a-gateway: card 0 port 0: cannot open' \
        "$out" timeout 20 env PCI5C3A_VCARD_CARDS=0 "$launch" "$gw" 0:0=vcan0
    expect_exit "$abi: card 1 absent: status 1, the port named" 1 '^pci5c3a-gateway: card 1 port 1: cannot open' \
        "$out" timeout 20 env PCI5C3A_VCARD_CARDS=1 "$launch" "$gw" 0:0=vcan0 1:1=vcan1
}

# --- bad arguments: one line, status 2 ------------------------------------
case_bad_arguments() {
    local out=$tmp/bad.log
    expect_exit --one-line "$abi: unreachable bit rate names the nearest ones" 2 'nearest: 296296 or 307692' \
        "$out" timeout 20 "$gw" --bitrate 300k 0:0=vcan0
    expect_exit --one-line "$abi: no port" 2 'no port given' "$out" timeout 20 "$gw" --bitrate 500k
    expect_exit --one-line "$abi: malformed port" 2 'is not CARD:PORT=INTERFACE' "$out" timeout 20 "$gw" 0-0=vcan0
    expect_exit --one-line "$abi: port out of range" 2 'port must be 0 or 1' "$out" timeout 20 "$gw" 0:2=vcan0
    expect_exit --one-line "$abi: unknown option" 2 'unknown option "--bogus"' \
        "$out" timeout 20 "$gw" --bogus 0:0=vcan0
}

# --- signals --------------------------------------------------------------
# case_signal TERM|INT
case_signal() {
    local name="$abi: SIG$1 closes both ports through the library, status 0, counters on stderr" usr1 alive
    rm -f "$tmp/trace.log"
    gw_start "$tmp/gw.log" "PCI5C3A_VCARD_TRACE=$tmp/trace.log" -- 0:0=vcan0 0:1=vcan1
    kill -USR1 "$gw_pid"
    wait_for "$tmp/gw.log" '0:1=vcan1 card->iface' 30
    usr1=$(grep -c 'card->iface' "$tmp/gw.log")
    alive=$(kill -0 "$gw_pid" 2>/dev/null && echo yes)
    kill -"$1" "$gw_pid"
    wait_exit "$gw_pid" 100
    if [ "$exit_status" = 0 ] && [ "$usr1" = 2 ] && [ "$alive" = yes ] &&
        grep -q 'REQ_PORT_CLOSE addr=0 data=0x01 -> 0' "$tmp/trace.log" &&
        grep -q 'REQ_PORT_CLOSE addr=128 data=0x01 -> 0' "$tmp/trace.log" &&
        grep -q 'REQ_LAST_CLOSE' "$tmp/trace.log" && [ "$(grep -c 'card->iface' "$tmp/gw.log")" = 4 ]; then
        pass "$name"
    else
        fail "$name" "status $exit_status, counter lines after SIGUSR1: $usr1, alive: $alive" "$tmp/gw.log" \
            "$(grep -E 'CLOSE' "$tmp/trace.log")"
    fi
}

for build in $PCI5C3A_BUILDS; do
    abi=$(abi_of "$build")
    gw=$build/gateway/pci5c3a-gateway
    vcan vcan0 72 && vcan vcan1 72 || fail "$abi: vcan interfaces" "ip link add failed"

    # The unit tests too, on this kernel: a build machine may not run
    # 32-bit programs at all.
    check "$abi: gateway unit tests" timeout 60 "$build/gateway/tests/test_gateway" --gtest_brief=1
    case_frames
    case_cangen vcan0 vcan1
    case_cangen vcan1 vcan0
    case_dropped_on_standard_ports
    case_dropped_on_extended_ports
    case_full_queue
    case_tx_error_states
    case_rx_error_states
    case_start_refused
    case_bad_arguments
    case_signal TERM
    case_signal INT
done
ip link del dev vcan0
ip link del dev vcan1
exit 0
