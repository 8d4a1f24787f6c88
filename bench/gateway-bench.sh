#!/bin/sh
# SPDX-License-Identifier: MIT
# The gateway's figures, measured in the guest kernel of scripts/kernel-test
# (TCG is slow, so every figure is a ratio against a baseline of the same
# run):
#
#   scripts/kernel-test bench/gateway-bench.sh
#
# 1. Card to interface: a remote node on the virtual card's wire sends back
#    to back, saturating the bus (PCI5C3A_VCARD_REMOTE=1M:0) for 10 s; a
#    receiver of ours (bench_receive_count) counts the numbered frames on
#    vcan0. Every frame sent is accounted for: received, or counted where it
#    was dropped or held (the virtual card's counters, PCI5C3A_VCARD_STATS;
#    the gateway's; the kernel's backlog; the receiver's socket).
# 2. Interface to card: the rate at which the gateway sends frames from
#    vcan0 (its queue filled by cangen beforehand) through the card, against
#    plain CanSendMsg in a loop (bench_send_rate), both on the same virtual
#    card with a remote node acknowledging.
# 3. Idle: the gateway's CPU time over 10 s with nothing to forward, as a
#    share of one (emulated) CPU: the status register polls, 10 per second
#    and port, are all it does.
#
# kernel-test-files: bench/bench_send_rate bench/bench_receive_count
. "$PCI5C3A_ROOT/tests/kernel/lib/common.sh"

# Seconds since boot, in hundredths.
now() { cut -d' ' -f1 /proc/uptime | tr -d .; }
# CPU ticks (utime + stime) of a process.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=100

# Frames the kernel dropped at its input backlog (netif_rx), all CPUs:
# the second column of /proc/net/softnet_stat, in hex.
backlog_drops() {
    total=0
    while read -r _ dropped _; do total=$((total + 0x$dropped)); done </proc/net/softnet_stat
    echo "$total"
}

# account STATS GATEWAY_LOG RECEIVER_LOG BACKLOG: where each frame the
# remote node sent went, port 0 of card 0 being the only receiver on the
# wire and the node the only sender. Every frame on the wire the port did
# not receive (not yet or no longer in operating mode), lost at the FIFO,
# still there or flushed by a reset, or taken by the driver; every one taken
# dropped by the full queue, still queued at exit or handed to the gateway;
# every one handed over lost writing or written; every one written dropped
# by the kernel's backlog or the receiver's socket, or received. The
# unaccounted remainder must be 0.
account() {
    awk -v backlog="$4" '
        function field(line, name,   m) {
            if (match(" " line, " " name "=[0-9]+")) return substr(" " line, RSTART + length(name) + 2, RLENGTH - length(name) - 2) + 0
            return -1
        }
        FILENAME == ARGV[1] && / remote sent=/ { sent = field($0, "sent"); restarts = field($0, "restarts"); skipped = field($0, "skipped-us") }
        FILENAME == ARGV[1] && / card=0 port=0 / { p = $0 }
        FILENAME == ARGV[2] && / card->iface / { gw = $0 }
        FILENAME == ARGV[3] && /^frames=/ { rx = $0 }
        END {
            if (p == "" || gw == "" || rx == "") { print "counters missing: stats " (p != "") " gateway " (gw != "") " receiver " (rx != "") " unaccounted=?"; exit }
            off = field(p, "not-received"); filt = field(p, "filtered"); ovr = field(p, "overrun")
            fl = field(p, "flushed"); fifo = field(p, "fifo"); tdrop = field(p, "tamper-dropped"); tcopy = field(p, "tamper-copies")
            qd = field(p, "queue-dropped"); qn = field(p, "queued"); out = field(p, "handed-out")
            fwd = field(gw, "forwarded"); lost = field(gw, "lost")
            got = field(rx, "frames"); drops = field(rx, "drops")
            left = sent - off - filt - ovr - fl - fifo - tdrop + tcopy - qd - qn - lost - backlog - drops - got
            printf "sent=%d received=%d (%.2f %%, first=%d last=%d missing=%d out-of-order=%d), not listening=%d; ", sent, got, sent ? 100 * got / sent : 0, field(rx, "first"), field(rx, "last"), field(rx, "missing"), field(rx, "out-of-order"), off
            printf "ours: overrun=%d driver-queue=%d gateway=%d (handed out %d, forwarded %d); ", ovr, qd, lost, out, fwd
            printf "kernel backlog=%d, receiver socket=%d; held at exit: fifo=%d flushed=%d queued=%d; ", backlog, drops, fifo, fl, qn
            printf "remote node catch-up restarts=%d (%d us skipped, no numbers skipped); unaccounted=%d\n", restarts, skipped, left
        }' "$1" "$2" "$3" /dev/null
}

for build in $PCI5C3A_BUILDS; do
    abi=$(abi_of "$build")
    gw=$build/gateway/pci5c3a-gateway
    launch=$build/vcard/with-virtual-card
    vcan vcan0 && vcan vcan1

    # --- 1. card to interface, every frame accounted -------------------
    # The receiver listens before the gateway starts and until it has
    # ended, so every frame the gateway writes reaches it or its socket's
    # drop count; the virtual card writes its counters at exit.
    remote=1M:0
    rm -f "$tmp/vcard-stats.txt"
    start_logged "$tmp/recv.log" "$build/bench/bench_receive_count" vcan0
    recv_pid=$!
    wait_for "$tmp/recv.log" ready 100
    backlog0=$(backlog_drops)
    start_logged "$tmp/gw.log" env "PCI5C3A_VCARD_REMOTE=$remote" "PCI5C3A_VCARD_STATS=$tmp/vcard-stats.txt" \
        "$launch" "$gw" --bitrate 1M 0:0=vcan0
    gw_pid=$!
    wait_for "$tmp/gw.log" forwarding 100
    sleep 10
    kill -TERM "$gw_pid"
    wait_exit "$gw_pid" 100
    sleep 0.5
    kill -TERM "$recv_pid"
    wait_exit "$recv_pid" 100
    backlog=$(($(backlog_drops) - backlog0))
    account "$tmp/vcard-stats.txt" "$tmp/gw.log" "$tmp/recv.log" "$backlog" >"$tmp/account.txt"
    echo "FIGURE $abi card->interface (remote $remote, 10 s): $(cat "$tmp/account.txt")"
    if grep -q ' unaccounted=0$' "$tmp/account.txt" && grep -q 'out-of-order=0)' "$tmp/account.txt"; then
        pass "$abi: card->interface from the remote node ($remote) for 10 s, every frame accounted"
    else
        fail "$abi: card->interface from the remote node ($remote) for 10 s, every frame accounted" \
            "$tmp/account.txt" "$tmp/vcard-stats.txt" "$tmp/gw.log" "$tmp/recv.log"
    fi
    if grep -q 'ours: overrun=0 driver-queue=0 gateway=0 ' "$tmp/account.txt"; then
        pass "$abi: card->interface ($remote): no frame lost by the card, its driver or the gateway"
    else
        fail "$abi: card->interface ($remote): no frame lost by the card, its driver or the gateway" \
            "$tmp/account.txt"
    fi

    # --- 2. interface to card against plain CanSendMsg ------------------
    # Port 0 alone, a remote node that acknowledges (and sends once a
    # minute) on its wire, in both programs. They run in turn, three rounds;
    # the best run of each counts, as the machine under the guest is shared
    # and its load comes and goes.
    ack=PCI5C3A_VCARD_REMOTE=1M:60000
    base=0 rate=0
    for round in 1 2 3; do
        env $ack "$launch" "$build/bench/bench_send_rate" 3 >"$tmp/base.log" 2>&1
        b=$(sed -n 's/.*rate=\([0-9.]*\).*/\1/p' "$tmp/base.log")
        start_logged "$tmp/gw.log" env $ack "$launch" "$gw" --bitrate 1M --queue 8192 0:0=vcan0
        gw_pid=$!
        wait_for "$tmp/gw.log" forwarding 100
        # The queue filled at once (4000 frames, more than 5 s of sending);
        # then the sender alone is measured over 3 s.
        cangen vcan0 -I 100 -L 8 -D i -g 0 -n 4000
        sleep 0.5
        kill -USR1 "$gw_pid"
        t0=$(now)
        sleep 3
        kill -USR1 "$gw_pid"
        t1=$(now)
        kill -TERM "$gw_pid"
        wait_exit "$gw_pid" 100
        s0=$(grep '0:0=vcan0 card->iface' "$tmp/gw.log" | sed -n 's/.* sent=\([0-9]*\).*/\1/p' | sed -n 1p)
        s1=$(grep '0:0=vcan0 card->iface' "$tmp/gw.log" | sed -n 's/.* sent=\([0-9]*\).*/\1/p' | sed -n 2p)
        r=$(awk -v s0="$s0" -v s1="$s1" -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.1f", (s1 - s0) / ((t1 - t0) / 100) }')
        echo "# round $round: plain CanSendMsg $b frames/s, gateway $r frames/s"
        base=$(awk -v a="$base" -v b="$b" 'BEGIN { print (b > a ? b : a) }')
        rate=$(awk -v a="$rate" -v b="$r" 'BEGIN { print (b > a ? b : a) }')
    done
    ratio=$(awk -v r="$rate" -v b="$base" 'BEGIN { printf "%.3f", (b > 0 ? r / b : 0) }')
    echo "FIGURE $abi interface->card: gateway $rate frames/s, plain CanSendMsg $base frames/s, ratio $ratio"
    if awk -v r="$ratio" 'BEGIN { exit !(r >= 0.95) }'; then
        pass "$abi: interface->card at least 0.95 of plain CanSendMsg ($ratio)"
    else
        fail "$abi: interface->card at least 0.95 of plain CanSendMsg ($ratio)" "$tmp/base.log" "$tmp/gw.log"
    fi

    # --- 3. idle CPU ----------------------------------------------------
    start_logged "$tmp/gw.log" "$launch" "$gw" 0:0=vcan0 0:1=vcan1
    gw_pid=$!
    wait_for "$tmp/gw.log" forwarding 100
    sleep 1
    c0=$(ticks "$gw_pid")
    t0=$(now)
    sleep 10
    c1=$(ticks "$gw_pid")
    t1=$(now)
    kill -TERM "$gw_pid"
    wait_exit "$gw_pid" 100
    share=$(awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" -v hz=$hz 'BEGIN { printf "%.4f", (c / hz) / (t / 100) }')
    echo "FIGURE $abi idle: $((c1 - c0)) CPU ticks (1/$hz s) in $(((t1 - t0) / 100)) s, a share of $share of one CPU"
    # Under TCG every system call is emulated: the bound is for the guest.
    if awk -v s="$share" 'BEGIN { exit !(s < 0.02) }'; then
        pass "$abi: idle gateway below 2 % of one emulated CPU ($share)"
    else
        fail "$abi: idle gateway below 2 % of one emulated CPU ($share)"
    fi
done
ip link del dev vcan0
ip link del dev vcan1
exit 0
