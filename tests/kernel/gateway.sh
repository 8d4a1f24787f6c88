#!/bin/sh
# pci5c3a-gateway on SocketCAN, run by scripts/kernel-test in its guest for
# the gateway of each build tree (x86_64, i386), on the virtual card: its
# ports 0 and 1 are wired to each other (unless a test says otherwise) and
# each is bridged to its own vcan interface, so a frame sent on vcan0 goes
# through port 0, the wire and port 1 to vcan1, and back the same way.
#
# kernel-test-files: gateway/tests/test_gateway
. "$PCI5C3A_ROOT/tests/kernel/lib/common.sh"

# gw_start LOG ARGS...: the gateway in the background ($gw_pid), on the
# virtual card configured by $gw_env (words VAR=VALUE); returns once it
# forwards (or has given up: its status is checked by the caller). LOG is
# another gateway's before: start_logged empties it.
gw_start() {
    log=$1
    shift
    # shellcheck disable=SC2086
    start_logged "$log" env $gw_env "$build/vcard/with-virtual-card" "$gw" "$@"
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
    while read -r f; do
        cansend "$1" "$f" || echo "cansend $1 $f failed"
        sleep 0.01
    done <"$2"
}

# through NAME FROM TO FILE ARGS...: the frames of FILE sent on FROM arrive
# on TO exactly and in order, with the gateway started with ARGS.
through() {
    name=$1 from=$2 to=$3 frames=$4
    shift 4
    gw_start /tmp/gw.log "$@" || { fail "$name" "gateway did not start" /tmp/gw.log; return; }
    dump_start "$to" /tmp/dump.log
    send_all "$from" "$frames" >/tmp/send.log 2>&1
    wait_lines /tmp/dump.log "$(wc -l <"$frames")" 150
    dump_stop "$dump_pid" /tmp/dump.log
    gw_stop
    if cmp -s "$frames" /tmp/dump.log && [ "$exit_status" = 0 ]; then
        pass "$name"
    else
        fail "$name" "status $exit_status; sent (left) and received (right):" \
            "$(diff "$frames" /tmp/dump.log | head -n 20)" /tmp/send.log /tmp/gw.log
    fi
}

for build in $PCI5C3A_BUILDS; do
    abi=$(abi_of "$build")
    gw=$build/gateway/pci5c3a-gateway
    gw_env=""
    vcan vcan0 72 && vcan vcan1 72 || fail "$abi: vcan interfaces" "ip link add failed"

    # The unit tests too, on this kernel: a build machine may not run
    # 32-bit programs at all.
    check "$abi: gateway unit tests" timeout 60 "$build/gateway/tests/test_gateway" --gtest_brief=1

    # --- frames, both directions, both identifier kinds ---------------------
    cat >/tmp/std.txt <<'EOF'
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
EOF
    through "$abi: standard frames, lengths 0..8 and remote, vcan0 to vcan1" vcan0 vcan1 /tmp/std.txt \
        0:0=vcan0 0:1=vcan1
    through "$abi: standard frames, vcan1 to vcan0 at 125k" vcan1 vcan0 /tmp/std.txt \
        --bitrate 125k 0:0=vcan0 0:1=vcan1
    cat >/tmp/ext.txt <<'EOF'
00000000#
12345678#0102030405060708
1FFFFFFF#AA
00000123#55AA
0ABCDEF0#R
0ABCDEF1#R8
EOF
    through "$abi: extended frames (--extended), vcan0 to vcan1" vcan0 vcan1 /tmp/ext.txt \
        --extended 0:0=vcan0 0:1=vcan1
    through "$abi: user bit timing (100k) and a per-port rate (@100k)" vcan1 vcan0 /tmp/ext.txt \
        --extended --bitrate 100k 0:0=vcan0 0:1=vcan1@100k

    # --- 1000 frames from cangen, complete and in order ---------------------
    for dir in "vcan0 vcan1" "vcan1 vcan0"; do
        set -- $dir
        name="$abi: 1000 cangen frames $1 to $2 complete and in order"
        gw_start /tmp/gw.log 0:0=vcan0 0:1=vcan1
        dump_start "$1" /tmp/sent.log
        src_pid=$dump_pid
        dump_start "$2" /tmp/got.log
        got_pid=$dump_pid
        # 2 ms apart: within the card's 1000 frames/s, so none is dropped.
        cangen "$1" -I i -L 8 -D i -g 2 -n 1000
        wait_lines /tmp/got.log 1000 300
        dump_stop "$src_pid" /tmp/sent.log
        dump_stop "$got_pid" /tmp/got.log
        gw_stop
        if [ "$(wc -l </tmp/sent.log)" = 1000 ] && cmp -s /tmp/sent.log /tmp/got.log; then
            pass "$name"
        else
            fail "$name" "sent $(wc -l </tmp/sent.log), received $(wc -l </tmp/got.log)" \
                "$(diff /tmp/sent.log /tmp/got.log | head -n 10)" /tmp/gw.log
        fi
    done

    # --- frames the card cannot send: dropped and counted -------------------
    name="$abi: other identifier kind, CAN FD and error frames dropped and counted (standard ports)"
    gw_start /tmp/gw.log 0:0=vcan0 0:1=vcan1
    dump_start vcan1 /tmp/dump.log
    for f in 12345678#11 1FFFFFFF#R 123##1 124##0112233 20000080# 155#AA; do cansend vcan0 "$f"; sleep 0.01; done
    wait_lines /tmp/dump.log 1 30
    dump_stop "$dump_pid" /tmp/dump.log
    kill -USR1 "$gw_pid"
    wait_for /tmp/gw.log 'card->iface' 30
    line=$(counters /tmp/gw.log 0:0=vcan0)
    gw_stop
    case "$line $(cat /tmp/dump.log)" in
    *" other-kind=2 can-fd=2 error-frame=1 "*"155#AA") pass "$name" ;;
    *) fail "$name" "counters: $line" "on vcan1: $(cat /tmp/dump.log)" ;;
    esac

    name="$abi: standard frames dropped and counted on extended ports"
    gw_start /tmp/gw.log --extended 0:0=vcan0 0:1=vcan1
    dump_start vcan1 /tmp/dump.log
    for f in 123#11 7FF#R 00000155#AA; do cansend vcan0 "$f"; sleep 0.01; done
    wait_lines /tmp/dump.log 1 30
    dump_stop "$dump_pid" /tmp/dump.log
    gw_stop
    if [ "$(counter /tmp/gw.log 0:0=vcan0 other-kind)" = 2 ] && [ "$(cat /tmp/dump.log)" = "00000155#AA" ] &&
        [ "$(counter /tmp/gw.log 0:0=vcan0 sent)" = 1 ]; then
        pass "$name"
    else
        fail "$name" /tmp/gw.log "on vcan1: $(cat /tmp/dump.log)"
    fi

    # --- a full queue drops and counts; the other direction flows ---------
    name="$abi: full queue drops and counts, frames from the card keep flowing"
    gw_start /tmp/gw.log --queue 8 0:0=vcan0 0:1=vcan1
    dump_start vcan0,7AB:7FF /tmp/back.log
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
    wait_lines /tmp/back.log 20 30
    dump_stop "$back_pid" /tmp/back.log
    gw_stop
    full=$(counter /tmp/gw.log 0:0=vcan0 queue-full)
    sent=$(counter /tmp/gw.log 0:0=vcan0 sent)
    unsent=$(counter /tmp/gw.log 0:0=vcan0 unsent)
    busy=$(counter /tmp/gw.log 0:0=vcan0 busy)
    overrun=$(counter /tmp/gw.log 0:0=vcan0 socket-overrun)
    # Every frame of the flood is accounted for.
    if [ "$(wc -l </tmp/back.log)" = 20 ] && [ "${full:-0}" -gt 0 ] &&
        [ $((full + sent + unsent + busy + overrun)) = 3001 ]; then
        pass "$name"
    else
        fail "$name" "back: $(wc -l </tmp/back.log) of 20; queue-full=$full sent=$sent unsent=$unsent busy=$busy overrun=$overrun" /tmp/gw.log
    fi

    # --- controller state as error frames ---------------------------------
    # Port 0 alone on its wire: nobody acknowledges, the controller resends,
    # its transmit counter climbs past the warning limit (96) to error
    # passive (128) and stops there.
    name="$abi: a lone port shows error warning then passive (candump -e)"
    gw_env="PCI5C3A_VCARD_WIRING=separate"
    gw_start /tmp/gw.log 0:0=vcan0
    dump_start 'vcan0,#FFFFFFFF' /tmp/err.log
    err_pid=$dump_pid
    start_logged /tmp/human.log candump -e 'vcan0,#FFFFFFFF'
    human_pid=$!
    listening "$human_pid"
    cansend vcan0 123#11
    wait_for /tmp/err.log '^.{8}#0020' 100
    dump_stop "$err_pid" /tmp/err.log
    kill "$human_pid"
    wait "$human_pid"
    gw_stop
    gw_env=""
    # CAN_ERR_FLAG|CAN_ERR_CRTL; data[1] TX_WARNING (0x08), then
    # TX_PASSIVE (0x20); data[6] the transmit counter (128), data[7] receive.
    if grep -q '^20000004#0008000000008000$' /tmp/err.log && grep -q '^20000004#0020000000008000$' /tmp/err.log &&
        [ "$(grep -n '#0008' /tmp/err.log | cut -d: -f1)" -lt "$(grep -n '#0020' /tmp/err.log | cut -d: -f1)" ] &&
        grep -q 'tx-error-warning' /tmp/human.log && grep -q 'tx-error-passive' /tmp/human.log &&
        grep -q 'error-counter-tx-rx{{128}{0}}' /tmp/human.log; then
        pass "$name"
    else
        fail "$name" "candump (log):" /tmp/err.log "candump -e:" /tmp/human.log /tmp/gw.log
    fi

    # A remote node at another bit rate: every frame of it is a bus error
    # for port 0, whose receive counter climbs one per frame, through the
    # warning limit to error passive.
    name="$abi: receive errors show rx warning, then rx passive with the counter"
    gw_env="PCI5C3A_VCARD_REMOTE=250k:5"
    gw_start /tmp/gw.log 0:0=vcan0
    gw_env=""
    dump_start 'vcan0,#FFFFFFFF' /tmp/err.log
    wait_for /tmp/err.log '^20000004#0010' 150
    dump_stop "$dump_pid" /tmp/err.log
    gw_stop
    warn=$(grep -n '^20000004#0004' /tmp/err.log | head -n 1)
    passive=$(grep -n '^20000004#0010' /tmp/err.log | head -n 1)
    # data[7], the receive counter: at least 96 at warning, above 127 once passive.
    rx_warn=$(printf %d "0x$(echo "${warn#*:}" | cut -c 24-25)" 2>/dev/null)
    rx_passive=$(printf %d "0x$(echo "${passive#*:}" | cut -c 24-25)" 2>/dev/null)
    if [ -n "$warn" ] && [ -n "$passive" ] && [ "${warn%%:*}" -lt "${passive%%:*}" ] &&
        [ "$rx_warn" -ge 96 ] && [ "$rx_passive" -gt 127 ]; then
        pass "$name"
    else
        fail "$name" "warning: $warn ($rx_warn), passive: $passive ($rx_passive)" /tmp/err.log /tmp/gw.log
    fi

    # --- the start refused: one line, status 1 ----------------------------
    refused() {  # NAME PATTERN ARGS...
        name=$1 pattern=$2
        shift 2
        # shellcheck disable=SC2086
        timeout 20 env $gw_env "$build/vcard/with-virtual-card" "$gw" "$@" >/tmp/refused.log 2>&1
        st=$?
        if [ $st = 1 ] && grep -qE "$pattern" /tmp/refused.log; then pass "$name"; else fail "$name" "status $st" /tmp/refused.log; fi
    }
    refused "$abi: missing interface: status 1, named" '^pci5c3a-gateway: interface vcan9 does not exist$' \
        0:0=vcan0 0:1=vcan9
    vcan vcan2 && ip link set dev vcan2 down
    refused "$abi: interface down: status 1, named" '^pci5c3a-gateway: interface vcan2 is down' 0:0=vcan2
    refused "$abi: not a CAN interface: status 1, named" 'interface lo is not a CAN interface' 0:0=lo
    ip link del dev vcan2
    gw_env="PCI5C3A_VCARD_CARDS=0"
    refused "$abi: no card: status 1, the port named" '^pci5c3a-gateway: card 0 port 0: cannot open' 0:0=vcan0
    gw_env="PCI5C3A_VCARD_CARDS=1"
    refused "$abi: card 1 absent: status 1, the port named" '^pci5c3a-gateway: card 1 port 1: cannot open' \
        0:0=vcan0 1:1=vcan1
    gw_env=""

    # --- bad arguments: one line, status 2 --------------------------------
    bad() {  # NAME PATTERN ARGS...
        name=$1 pattern=$2
        shift 2
        timeout 20 "$gw" "$@" >/tmp/bad.log 2>&1
        st=$?
        if [ $st = 2 ] && [ "$(wc -l </tmp/bad.log)" = 1 ] && grep -qE "$pattern" /tmp/bad.log; then
            pass "$name"
        else
            fail "$name" "status $st" /tmp/bad.log
        fi
    }
    bad "$abi: unreachable bit rate names the nearest ones" 'nearest: 250k or 320k' --bitrate 300k 0:0=vcan0
    bad "$abi: no port" 'no port given' --bitrate 500k
    bad "$abi: malformed port" 'is not CARD:PORT=INTERFACE' 0-0=vcan0
    bad "$abi: port out of range" 'port must be 0 or 1' 0:2=vcan0
    bad "$abi: unknown option" 'unknown option "--bogus"' --bogus 0:0=vcan0

    # --- signals ----------------------------------------------------------
    for sig in TERM INT; do
        name="$abi: SIG$sig closes both ports through the library, status 0, counters on stderr"
        rm -f /tmp/trace.log
        gw_env="PCI5C3A_VCARD_TRACE=/tmp/trace.log"
        gw_start /tmp/gw.log 0:0=vcan0 0:1=vcan1
        gw_env=""
        kill -USR1 "$gw_pid"
        wait_for /tmp/gw.log '0:1=vcan1 card->iface' 30
        usr1=$(grep -c 'card->iface' /tmp/gw.log)
        alive=$(kill -0 "$gw_pid" 2>/dev/null && echo yes)
        kill -"$sig" "$gw_pid"
        wait_exit "$gw_pid" 100
        if [ "$exit_status" = 0 ] && [ "$usr1" = 2 ] && [ "$alive" = yes ] &&
            grep -q 'REQ_PORT_CLOSE addr=0 data=0x01 -> 0' /tmp/trace.log &&
            grep -q 'REQ_PORT_CLOSE addr=128 data=0x01 -> 0' /tmp/trace.log &&
            grep -q 'REQ_LAST_CLOSE' /tmp/trace.log && [ "$(grep -c 'card->iface' /tmp/gw.log)" = 4 ]; then
            pass "$name"
        else
            fail "$name" "status $exit_status, counter lines after SIGUSR1: $usr1, alive: $alive" /tmp/gw.log \
                "$(grep -E 'CLOSE' /tmp/trace.log)"
        fi
    done
done
ip link del dev vcan0
ip link del dev vcan1
exit 0
