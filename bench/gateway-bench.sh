#!/bin/sh
# SPDX-License-Identifier: MIT
# The gateway's figures, measured in the guest kernel of scripts/kernel-test
# (TCG is slow, so every figure is a ratio against a baseline of the same
# run):
#
#   scripts/kernel-test bench/gateway-bench.sh
#
# 1. Card to interface: a remote node on the virtual card's wire sends back
#    to back, saturating the bus (PCI5C3A_VCARD_REMOTE=1M:0) for 10 s; every
#    frame must reach vcan0, in order (the node numbers its frames).
# 2. Interface to card: the rate at which the gateway sends frames from
#    vcan0 (its queue filled by cangen beforehand) through the card, against
#    plain CanSendMsg in a loop (bench_send_rate), both on the same virtual
#    card with a remote node acknowledging.
# 3. Idle: the gateway's CPU time over 10 s with nothing to forward, as a
#    share of one (emulated) CPU: the status register polls, 10 per second
#    and port, are all it does.
#
# kernel-test-files: bench/bench_send_rate
. "$PCI5C3A_ROOT/tests/kernel/lib/common.sh"

# Seconds since boot, in hundredths.
now() { cut -d' ' -f1 /proc/uptime | tr -d .; }
# CPU ticks (utime + stime) of a process.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=100

for build in $PCI5C3A_BUILDS; do
    abi=$(abi_of "$build")
    gw=$build/gateway/pci5c3a-gateway
    launch=$build/vcard/with-virtual-card
    vcan vcan0 && vcan vcan1

    # --- 1. card to interface, zero loss --------------------------------
    remote=1M:0
    start_logged "$tmp/gw.log" env "PCI5C3A_VCARD_REMOTE=$remote" "$launch" "$gw" --bitrate 1M 0:0=vcan0
    gw_pid=$!
    wait_for "$tmp/gw.log" forwarding 100
    dump_start vcan0,3A5:7FF "$tmp/remote.log"
    sleep 10
    dump_stop "$dump_pid" "$tmp/remote.log"
    kill -TERM "$gw_pid"
    wait_exit "$gw_pid" 100
    # Data bytes 0..3: the node's frame number, little-endian.
    awk -F'#' '
        function hex(s,   i, v) { v = 0; for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", substr(s, i, 1)) - 1; return v }
        { n = hex(substr($2, 7, 2) substr($2, 5, 2) substr($2, 3, 2) substr($2, 1, 2));
          if (NR == 1) first = n; else if (n != last + 1) gaps++; last = n }
        END { printf "frames=%d span=%d gaps=%d\n", NR, NR ? last - first + 1 : 0, gaps + 0 }' "$tmp/remote.log" >"$tmp/loss.txt"
    frames=$(sed -n 's/frames=\([0-9]*\).*/\1/p' "$tmp/loss.txt")
    span=$(sed -n 's/.*span=\([0-9]*\).*/\1/p' "$tmp/loss.txt")
    lost=$(sed -n 's/.*lost=\([0-9]*\) .*/\1/p' "$tmp/gw.log" | tail -n 1)
    echo "FIGURE $abi card->interface (remote $remote, 10 s): $frames frames, $((frames / 10))/s, $frames of $span numbered frames arrived in order ($(cat "$tmp/loss.txt")), gateway lost=$lost"
    if [ "${frames:-0}" -gt 0 ] && [ "$frames" = "$span" ] && [ "$lost" = 0 ]; then
        pass "$abi: card->interface from the remote node ($remote) for 10 s with zero loss"
    else
        fail "$abi: card->interface from the remote node ($remote) for 10 s with zero loss" "$tmp/loss.txt" "$tmp/gw.log"
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
