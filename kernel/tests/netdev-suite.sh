#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only OR MIT
# The driver's network-device personality, in the guest of scripts/guest-run
# (this machine's root over 9p: can-utils, iproute2, python3-can and pytest
# are the host's) with QEMU's SJA1000 boards as the cards:
#
#   netdev-suite.sh --board KIND [--short] MODULE BUILD [PART...]
#       # parts: params load traffic sequence bittiming modes mixed python switching removal
#
# scripts/netdev-test runs it, one guest per kind of board. MODULE is
# pci5c3a.ko for the guest's kernel; BUILD the x86_64 build tree, whose
# netdev-test/regs and netdev-test/lib_peer (kernel/tests/regs.c and
# lib_peer.c, built by scripts/netdev-test) talk to the character device.
# PCI5C3A_KERNEL_MODULES is the directory of the guest kernel's CAN modules
# (can.ko, can-raw.ko, can-dev.ko: scripts/fetch-kernel's).
#
# The two ends of the loop, A and B, are ports on one bus: card 0's ports 0
# and 1 on the two-channel boards (pcm3680_pci, mioe3680_pci,
# plx9030_can_pci), port 0 of cards 0 and 1 on kvaser_pci (one channel per
# board). They start as network devices (netdev=). --short is the round of
# the boards after the first: fewer frames, four bit rates, no cansequence,
# control modes, python-can or bad module parameters. The kernel log is
# read after every part: BUG, WARNING, Oops, KASAN or can-dev's "oops,
# state did not change" fail it. Prints "PASS name"/"FAIL name" lines (details indented) and each
# part's time; exits non-zero on any failure.
#
# Starting a program costs this guest about half a second (its files come
# over 9p, the CPU is emulated), so the suite does in bash what needs no
# program: waits, line counts, comparisons, sysfs links; ip runs its
# commands in batches.
set -u
board=pcm3680_pci short=""
while [ $# -gt 0 ]; do
    case $1 in
    --board) board=${2:-}; [ $# -ge 2 ] && shift; shift ;;
    --short) short=1; shift ;;
    *) break ;;
    esac
done
[ $# -ge 2 ] || { echo "usage: netdev-suite.sh --board KIND [--short] MODULE BUILD [PART...]"; exit 2; }
module=$1 build=$2
shift 2
root=$(cd "$(dirname "$0")/../.." && pwd)
kmod=${PCI5C3A_KERNEL_MODULES:-}
if [ -n "$short" ]; then
    parts=${*:-load traffic bittiming mixed switching removal}
else
    parts=${*:-params load traffic sequence bittiming modes mixed python switching removal}
fi
regs=$build/netdev-test/regs
peer=$build/netdev-test/lib_peer
unset LD_PRELOAD PCI5C3A_VCARD_LIB

# Per kind: the module's ids=, whether a card has two ports, and the loop's
# ends A and B (card, port).
ids="" two_ports=1 a_card=0 a_port=0 b_card=0 b_port=1
case $board in
pcm3680_pci | mioe3680_pci) ;;
plx9030_can_pci) ids=10b5:9030:1b36:5c3a:plx9030_100 ;;
kvaser_pci) ids=10e8:8406:s5920 two_ports="" b_card=1 b_port=0 ;;
*)
    echo "FAIL netdev-suite.sh: --board $board: pcm3680_pci, mioe3680_pci, plx9030_can_pci or kvaser_pci"
    exit 1
    ;;
esac
netdev_ports=$a_card:$a_port,$b_card:$b_port

tmp=$(mktemp -d "${TMPDIR:-/tmp}/netdev-suite.XXXXXX") || { echo "FAIL scratch directory"; exit 1; }
trap 'rm -rf "$tmp"' EXIT
failed=0

# ---------------------------------------------------------------------------
# Helpers, bash only where they can be.

pass() { echo "PASS $*"; }
# fail NAME [DETAIL...]: each detail a file to show or lines of text.
fail() {
    local d l
    failed=1
    echo "FAIL $1"
    shift
    for d in "$@"; do
        if [ -f "$d" ]; then
            mapfile -t -n 40 l <"$d"
        else
            mapfile -t l <<<"$d"
        fi
        printf '    %s\n' "${l[@]}"
    done
}
# nap SECONDS: a pause, no process started (a read on a pipe nobody
# writes; the guest's /dev has no /dev/fd for bash's <(...)).
mkfifo "$tmp/nap" && exec {nap_fd}<>"$tmp/nap" || { echo "FAIL a pipe for pauses"; exit 1; }
nap() { read -r -t "$1" -u "$nap_fd"; }
# lines FILE: its number of lines in $n_lines.
lines() {
    local a=()
    [ -f "$1" ] && mapfile -t a <"$1"
    n_lines=${#a[@]}
}
# wait_lines FILE COUNT TENTHS: until FILE has COUNT lines, bounded.
wait_lines() {
    local n=$3
    while [ "$n" -gt 0 ]; do
        lines "$1"
        [ "$n_lines" -ge "$2" ] && return 0
        nap 0.1
        n=$((n - 1))
    done
    return 1
}
# wait_for FILE REGEX TENTHS: until a line of FILE matches, bounded.
wait_for() {
    local n=$3 a l
    while [ "$n" -gt 0 ]; do
        a=()
        [ -f "$1" ] && mapfile -t a <"$1"
        for l in "${a[@]}"; do [[ $l =~ $2 ]] && return 0; done
        nap 0.1
        n=$((n - 1))
    done
    return 1
}
# wait_exit PID TENTHS: until it ended, its status in $exit_status (killed
# after the limit: 255).
wait_exit() {
    local n=$2
    while [ "$n" -gt 0 ]; do
        if ! kill -0 "$1" 2>/dev/null; then
            wait "$1"
            exit_status=$?
            return 0
        fi
        nap 0.1
        n=$((n - 1))
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1"
    exit_status=255
    return 1
}
# same FILE FILE: equal contents.
same() {
    local a=() b=()
    [ -f "$1" ] && mapfile -t a <"$1"
    [ -f "$2" ] && mapfile -t b <"$2"
    [ "${#a[@]}" = "${#b[@]}" ] && [ "${a[*]}" = "${b[*]}" ]
}
# resolved PATH: the directory a link leads to (nothing if none).
resolved() { (cd -P "$1" 2>/dev/null && pwd); }
# listening PID NAME: until PID is program NAME waiting with a socket
# open (at most 20 s): it has bound its socket then (candump, cansequence
# -r; their output is buffered, so it cannot say so in time).
listening() {
    local n=200 st f
    while [ $n -gt 0 ]; do
        st=$(<"/proc/$1/status") 2>/dev/null || return 1
        if [[ $st == *$'Name:\t'"$2"* && $st == *'S (sleeping)'* ]]; then
            for f in /proc/$1/fd/*; do [ -S "$f" ] && return 0; done
        fi
        nap 0.1
        n=$((n - 1))
    done
    return 1
}
# dump_start IFACE FILE: candump -L in the background ($dump_pid), once it
# listens.
dump_start() {
    : >"$2"
    candump -L "$1" >"$2" 2>&1 &
    dump_pid=$!
    listening $dump_pid candump
}
# dump_stop PID FILE: ends that candump; FILE keeps ID#DATA per line.
dump_stop() {
    local l out=()
    nap 0.2
    kill "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    mapfile -t l <"$2"
    for l in "${l[@]}"; do
        l=${l#* }
        out+=("${l#* }")
    done
    [ ${#out[@]} = 0 ] && : >"$2" || printf '%s\n' "${out[@]}" >"$2"
}
# sent_log RAW OUT: cangen -v's lines ("  can0  123#11.22") as candump's.
sent_log() {
    local fr
    while read -r _ fr; do echo "${fr//./}"; done <"$1" >"$2"
}
# data_bytes FILE: data bytes of its ID#DATA lines (remote frames: none).
data_bytes() {
    local l d n=0
    while read -r l; do
        d=${l#*#}
        [[ $d == R* ]] || n=$((n + ${#d} / 2))
    done <"$1"
    echo $n
}
# frames_to_log IFACE FILE OUT: FILE's ID#DATA lines as canplayer's input.
frames_to_log() {
    local f
    while read -r f; do echo "(0.000000) $1 $f"; done <"$2" >"$3"
}

log_clean() {
    dmesg -c >"$tmp/kernel.log" 2>&1
    if grep -wE 'BUG|WARNING|Oops|KASAN|oops, state did not change' "$tmp/kernel.log" >"$tmp/kernel.bad"; then
        fail "$1: kernel log clean" "$tmp/kernel.bad"
    else
        pass "$1: kernel log clean"
    fi
}
loaded() { [ -d /sys/module/pci5c3a ]; }
load() { timeout -k 5 60 insmod "$module" ${ids:+"ids=$ids"} "$@"; }
unload() { loaded || return 0; timeout -k 5 60 rmmod pci5c3a; }
pdir() { echo "/sys/class/pci5c3a/PCI5C3AW$1/port$2"; }
# iface_of CARD PORT: the port's interface, by its link.
iface_of() { (cd -P "/sys/class/pci5c3a/PCI5C3AW$1/port$2/interface" 2>/dev/null && echo "${PWD##*/}"); }
# ifaces: until both ends are network devices (at most 10 s): $ifa, $ifb.
ifaces() {
    local n=100
    while [ $n -gt 0 ]; do
        ifa=$(iface_of $a_card $a_port) && ifb=$(iface_of $b_card $b_port) &&
            [ -d "/sys/class/net/$ifa" ] && [ -d "/sys/class/net/$ifb" ] && return 0
        nap 0.1
        n=$((n - 1))
    done
    ifa="" ifb=""
    return 1
}
# ipt ARGS...: ip, killed after 30 s (a driver stuck under RTNL would
# hang it); its status, 255 when killed.
ipt() {
    ip "$@" &
    wait_exit $! 300
    return $exit_status
}
# up_both: both ends down, 500 kbit/s, up; one ip.
up_both() {
    ifaces || return 1
    printf '%s\n' "link set dev $ifa down" "link set dev $ifb down" "link set dev $ifa type can bitrate 500000" \
        "link set dev $ifb type can bitrate 500000" "link set dev $ifa up" "link set dev $ifb up" >"$tmp/up.batch"
    ipt -batch "$tmp/up.batch"
}
# personality CARD PORT WORD: written as it is (no newline); the shell's
# error message, if any, in $perr.
personality() {
    perr=$({ printf '%s' "$3" >"/sys/class/pci5c3a/PCI5C3AW$1/port$2/personality"; } 2>&1)
}
personality_of() { cat "/sys/class/pci5c3a/PCI5C3AW$1/port$2/personality" 2>&1; }
# stats IFACE: "RXP RXB TXP TXB RXERR RXDROP", as `ip -details -statistics
# link show` reports them, in $counters.
stats() {
    local l=() i rx=() tx=()
    ipt -details -statistics link show dev "$1" >"$tmp/stats" 2>&1
    mapfile -t l <"$tmp/stats"
    for ((i = 0; i < ${#l[@]} - 1; i++)); do
        [[ ${l[i]} =~ ^\ *RX:\ +bytes ]] && read -r -a rx <<<"${l[i + 1]}"
        [[ ${l[i]} =~ ^\ *TX:\ +bytes ]] && read -r -a tx <<<"${l[i + 1]}"
    done
    counters="${rx[1]:-?} ${rx[0]:-?} ${tx[1]:-?} ${tx[0]:-?} ${rx[2]:-?} ${rx[3]:-?}"
}

# ---------------------------------------------------------------------------
# Parts

part_params() {
    local v bad="" log
    # The pairs' separator, the card and port ranges, the numbers, the
    # entry's shape: each refuses the load, the module not left loaded,
    # the reason in the kernel log.
    # shellcheck disable=SC2054 # the comma is the list's own
    local values=(0:2 4:0 x -1:0 0:1:1 '0;1' 0: 0:0,1)
    for v in "${values[@]}"; do
        if load "netdev=$v" >/dev/null 2>&1 || loaded; then
            bad="$bad netdev=$v loaded;"
            unload
        fi
    done
    log=$(dmesg)
    for v in "${values[@]}"; do
        [[ $log == *"netdev=$v refused"* ]] || bad="$bad netdev=$v: no message in the kernel log;"
    done
    local name="bad netdev= values refuse the load, each with a message (${values[*]})"
    if [ -z "$bad" ]; then pass "$name"; else fail "$name" "$bad" "$log"; fi
}

part_load() {
    local name="module loads with netdev=$netdev_ports${ids:+ ids=$ids}: interfaces for both ends" i c p f bad=""
    if ! loaded && ! load "netdev=$netdev_ports" >"$tmp/insmod.log" 2>&1; then
        fail "$name" "$tmp/insmod.log" "$(dmesg | tail -n 20)"
        exit 1
    fi
    if ifaces; then
        pass "$name ($ifa, $ifb)"
    else
        fail "$name" "$(ls -l /sys/class/pci5c3a/PCI5C3AW*/port* 2>&1)" "$(dmesg | tail -n 20)"
        exit 1
    fi
    name="personality reads netdev on both ends"
    if [ "$(personality_of $a_card $a_port)" = netdev ] && [ "$(personality_of $b_card $b_port)" = netdev ]; then
        pass "$name"
    else
        fail "$name" "A: $(personality_of $a_card $a_port)" "B: $(personality_of $b_card $b_port)"
    fi
    if [ -z "$two_ports" ]; then
        name="a one-channel card has no port1 directory"
        if [ -d "$(pdir 0 0)" ] && [ ! -e "$(pdir 0 1)" ] && [ ! -e "$(pdir 1 1)" ]; then pass "$name"; else
            fail "$name" "$(ls -la "$(pdir 0 1)" "$(pdir 1 1)" 2>&1)"
        fi
    fi
    # The links: port<P>/interface, canN/card, canN/device, dev_port.
    for i in "$a_card $a_port $ifa" "$b_card $b_port $ifb"; do
        read -r c p f <<<"$i"
        [ "$(resolved "$(pdir "$c" "$p")/interface")" = "$(resolved "/sys/class/net/$f")" ] ||
            bad="$bad $f: port$p/interface leads to $(resolved "$(pdir "$c" "$p")/interface");"
        [ "$(resolved "/sys/class/net/$f/card")" = "$(resolved "/sys/class/pci5c3a/PCI5C3AW$c")" ] ||
            bad="$bad $f: card leads to $(resolved "/sys/class/net/$f/card");"
        [ "$(resolved "/sys/class/net/$f/device")" = "$(resolved "/sys/class/pci5c3a/PCI5C3AW$c/device")" ] ||
            bad="$bad $f: device leads to $(resolved "/sys/class/net/$f/device");"
        [ "$(<"/sys/class/net/$f/dev_port")" = "$p" ] || bad="$bad $f: dev_port $(<"/sys/class/net/$f/dev_port");"
    done
    name="sysfs links: port/interface, canN/card, canN/device (the PCI function), dev_port"
    if [ -z "$bad" ]; then pass "$name"; else fail "$name" "$bad"; fi
    name="ip -details: the SJA1000's bit timing constants at 8 MHz; bitrate 500000, ERROR-ACTIVE once up"
    ipt -details link show dev "$ifa" >"$tmp/ipd0.log" 2>&1
    up_both >"$tmp/up.log" 2>&1
    ipt -details link show dev "$ifa" >"$tmp/ipd.log" 2>&1
    local d0 d
    d0=$(<"$tmp/ipd0.log") d=$(<"$tmp/ipd.log")
    if [[ $d0 == *'tseg1 1..16 tseg2 1..8 sjw 1..4 brp 1..64 brp_inc 1'* && $d0 == *'clock 8000000'* &&
        $d == *'bitrate 500000 sample-point 0.875'* && $d == *'state ERROR-ACTIVE'* && $d == *',UP'* ]]; then
        pass "$name"
    else
        fail "$name" "$tmp/ipd0.log" "$tmp/up.log" "$tmp/ipd.log"
    fi
}

# traffic_both N KIND...: cangen with each kind's options (std, ext, rtr,
# ext+rtr), N frames of each, A to B and B to A at the same time, as fast
# as the interfaces take them (-g 0, polling on a full queue), candump -L
# at the far ends: what arrives is what was sent, in order. The interfaces'
# counters moved by as many frames and the data bytes received, no errors.
# (cangen -x sends without the local echo: the bytes sent are not counted,
# by Linux's rule, so they are not compared.)
traffic_both() {
    local n=$1 name ga gb sa sb a0 b0 a1 b1 total dump_a dump_b kinds
    shift
    kinds="$*"
    total=$((n * $#))
    name="cangen both ways at once, $n frames of each of: $kinds"
    stats "$ifa"
    a0=$counters
    stats "$ifb"
    b0=$counters
    dump_start "$ifb" "$tmp/rx_b.log"
    dump_b=$dump_pid
    dump_start "$ifa" "$tmp/rx_a.log"
    dump_a=$dump_pid
    gen() {
        local k o
        for k in $kinds; do
            o=${k/std/}
            o=${o/ext/-e}
            o=${o/rtr/-R}
            # shellcheck disable=SC2086
            timeout -k 2 120 cangen "$1" -g 0 -p 10 -x -n "$n" -v ${o//+/ } || echo "cangen $1 $k: status $?" >&2
        done
    }
    gen "$ifa" >"$tmp/tx_a.raw" 2>"$tmp/tx_a.err" &
    ga=$!
    gen "$ifb" >"$tmp/tx_b.raw" 2>"$tmp/tx_b.err" &
    gb=$!
    wait_exit $ga 3000
    sa=$exit_status
    wait_exit $gb 3000
    sb=$exit_status
    wait_lines "$tmp/rx_b.log" $total 100
    wait_lines "$tmp/rx_a.log" $total 100
    dump_stop $dump_b "$tmp/rx_b.log"
    dump_stop $dump_a "$tmp/rx_a.log"
    sent_log "$tmp/tx_a.raw" "$tmp/tx_a.log"
    sent_log "$tmp/tx_b.raw" "$tmp/tx_b.log"
    local na nb ra rb
    lines "$tmp/tx_a.log"
    na=$n_lines
    lines "$tmp/tx_b.log"
    nb=$n_lines
    lines "$tmp/rx_b.log"
    rb=$n_lines
    lines "$tmp/rx_a.log"
    ra=$n_lines
    if [ $sa = 0 ] && [ $sb = 0 ] && [ ! -s "$tmp/tx_a.err" ] && [ ! -s "$tmp/tx_b.err" ] &&
        [ $na = $total ] && [ $nb = $total ] && same "$tmp/tx_a.log" "$tmp/rx_b.log" &&
        same "$tmp/tx_b.log" "$tmp/rx_a.log"; then
        pass "$name: $ifa->$ifb and $ifb->$ifa exact ($total each way)"
    else
        fail "$name" "cangen status $sa $sb; sent $na $nb, received $rb $ra ($ifa->$ifb, $ifb->$ifa)" \
            "$tmp/tx_a.err" "$tmp/tx_b.err" "$(diff "$tmp/tx_a.log" "$tmp/rx_b.log" | head -n 10)" \
            "$(diff "$tmp/tx_b.log" "$tmp/rx_a.log" | head -n 10)"
    fi
    name="ip -details -statistics: that traffic's frame counts and received data bytes, no errors or drops"
    stats "$ifa"
    a1=$counters
    stats "$ifb"
    b1=$counters
    set -- $a0 $a1 $b0 $b1
    # a0 is $1..$6, a1 $7..$12, b0 $13..$18, b1 $19..$24.
    local want got
    want="rx $total $(data_bytes "$tmp/tx_b.log") tx $total | rx $total $(data_bytes "$tmp/tx_a.log") tx $total | 0 0 0 0"
    got="rx $(($7 - $1)) $(($8 - $2)) tx $(($9 - $3)) | rx $((${19} - ${13})) $((${20} - ${14})) tx $((${21} - ${15}))"
    got="$got | $((${11} - $5)) $((${12} - $6)) $((${23} - ${17})) $((${24} - ${18}))"
    if [ "$got" = "$want" ]; then
        pass "$name"
    else
        fail "$name" "$ifa | $ifb | errors, drops of $ifa, $ifb: $got" "want $want"
    fi
}

part_traffic() {
    up_both >"$tmp/up.log" 2>&1 || { fail "traffic: interfaces up" "$tmp/up.log"; return; }
    if [ -n "$short" ]; then
        traffic_both 50 std ext rtr ext+rtr
    else
        traffic_both 500 std ext rtr ext+rtr
    fi
    # With the local echo (canplayer's default): the bytes sent count
    # too; remote frames carry none.
    local name="canplayer A->B with the local echo: ip -s counts frames and data bytes on both sides"
    local a0 b0 a1 b1 want got
    printf '%s\n' 100# 101#01 7FF#0102030405060708 123#R 124#R3 00000000# 1FFFFFFF#AABBCCDD 12345678#R8 >"$tmp/frames"
    frames_to_log "$ifa" "$tmp/frames" "$tmp/frames.log"
    stats "$ifa"
    a0=$counters
    stats "$ifb"
    b0=$counters
    dump_start "$ifb" "$tmp/rx.log"
    timeout -k 2 30 canplayer -t -g 1 -I "$tmp/frames.log" >"$tmp/player.log" 2>&1
    wait_lines "$tmp/rx.log" 8 100
    dump_stop $dump_pid "$tmp/rx.log"
    stats "$ifa"
    a1=$counters
    stats "$ifb"
    b1=$counters
    set -- $a0 $a1 $b0 $b1
    want="tx 8 $(data_bytes "$tmp/frames") rx 8 $(data_bytes "$tmp/frames")"
    got="tx $(($9 - $3)) $((${10} - $4)) rx $((${19} - ${13})) $((${20} - ${14}))"
    if same "$tmp/frames" "$tmp/rx.log" && [ "$got" = "$want" ]; then
        pass "$name"
    else
        fail "$name" "$ifa sent, $ifb received (packets bytes): $got; want $want" "$tmp/player.log" \
            "$(diff "$tmp/frames" "$tmp/rx.log")"
    fi
}

# cansequence at the highest rate the driver takes: no gap, polling on a
# full queue; the receiver quits at the first frame lost or out of order,
# and candump's log of it is checked too. Then the other way. The rate is
# printed (frames/s over the sender's run).
part_sequence() {
    local n=2000 from to rp rs sp t0 t1 name dump dir i l bad want
    up_both >"$tmp/up.log" 2>&1 || { fail "sequence: interfaces up" "$tmp/up.log"; return; }
    for dir in "$ifa $ifb" "$ifb $ifa"; do
        read -r from to <<<"$dir"
        name="cansequence $from -> $to: $n frames without a gap, none lost or out of order"
        dump_start "$to" "$tmp/seq.dump"
        dump=$dump_pid
        : >"$tmp/seq.rx"
        cansequence -r --quit=1 --loop=$n "$to" >"$tmp/seq.rx" 2>&1 &
        rp=$!
        listening $rp cansequence
        t0=${EPOCHREALTIME/./}
        timeout -k 2 120 cansequence -p --loop=$n "$from" >"$tmp/seq.tx" 2>&1
        sp=$?
        t1=${EPOCHREALTIME/./}
        wait_exit $rp 300
        rs=$exit_status
        wait_lines "$tmp/seq.dump" $n 50
        dump_stop $dump "$tmp/seq.dump"
        # Identifier 2, payload the sequence number mod 256, in order.
        bad=0 i=0
        while read -r l; do
            printf -v want '002#%02X' $((i % 256))
            [ "$l" = "$want" ] || bad=$((bad + 1))
            i=$((i + 1))
        done <"$tmp/seq.dump"
        if [ $sp = 0 ] && [ $rs = 0 ] && [ $i = $n ] && [ $bad = 0 ] && ! grep -qiE 'wrong|missing' "$tmp/seq.rx"; then
            pass "$name ($((n * 1000000 / (t1 - t0 + 1))) frames/s)"
        else
            stats "$to"
            fail "$name" "sender status $sp, receiver status $rs; candump: $i frames, $bad not as sent" \
                "$tmp/seq.tx" "$tmp/seq.rx" "$to: rx packets bytes, tx packets bytes, rx errors drops: $counters"
        fi
    done
}

# Bit rates of tests/bit_timing_vectors.tsv (all of them, or four in the
# short round) set with ip on the two ends in turn, A one rate and B the
# next, `ip -details` showing each (the rate the timing gives, truncated,
# as Linux prints it); then both ports switched to the character device,
# which reads BTR0/BTR1 (registers 6 and 7 of each port's window) as the
# table has them, and back.
part_bittiming() {
    local vec="$root/tests/bit_timing_vectors.tsv" rates=() bad="" n=0 l r b0 b1 rest
    local ra rb shown got want
    while IFS=$'\t' read -r r b0 b1 rest; do
        [[ $r =~ ^[0-9]+$ ]] && [ "$b0" != refused ] || continue
        if [ -n "$short" ]; then
            case $r in 5000 | 83333 | 666667 | 1000000) ;; *) continue ;; esac
        fi
        rates+=("$r $b0 $b1")
    done <"$vec"
    local i=0
    while [ $i -lt ${#rates[@]} ]; do
        read -r -a ra <<<"${rates[i]}"
        read -r -a rb <<<"${rates[i + 1]:-${rates[i]}}"
        i=$((i + 2))
        ifaces || { bad="$bad interfaces missing before ${ra[0]};"; break; }
        printf '%s\n' "link set dev $ifa down" "link set dev $ifb down" "link set dev $ifa type can bitrate ${ra[0]}" \
            "link set dev $ifb type can bitrate ${rb[0]}" "link show dev $ifa" "link show dev $ifb" >"$tmp/bt.batch"
        ipt -details -batch "$tmp/bt.batch" >"$tmp/ip.log" 2>&1
        # The two "bitrate R sample-point" lines, A's then B's.
        shown=()
        while read -r l; do
            [[ $l =~ ^bitrate\ ([0-9]+)\ sample-point ]] && shown+=("${BASH_REMATCH[1]}")
        done <"$tmp/ip.log"
        for r in "${ra[0]}:${shown[0]:-none}" "${rb[0]}:${shown[1]:-none}"; do
            [[ ${r#*:} =~ ^[0-9]+$ ]] && [ $((${r%:*} - ${r#*:})) -ge 0 ] && [ $((${r%:*} - ${r#*:})) -le 1 ] ||
                bad="$bad ${r%:*} shown as ${r#*:};"
        done
        if ! personality $a_card $a_port chardev || ! personality $b_card $b_port chardev; then
            bad="$bad switch to chardev: $perr;"
            break
        fi
        want="${ra[1]} ${ra[2]} ${rb[1]} ${rb[2]}"
        if [ -n "$two_ports" ]; then
            got=$(timeout -k 2 20 "$regs" 0 read $((a_port * 128 + 6)) $((a_port * 128 + 7)) \
                $((b_port * 128 + 6)) $((b_port * 128 + 7)) 2>&1)
        else
            got="$(timeout -k 2 20 "$regs" $a_card read 6 7 2>&1) $(timeout -k 2 20 "$regs" $b_card read 6 7 2>&1)"
        fi
        [ "$got" = "$want" ] || bad="$bad ${ra[0]} ${rb[0]}: BTR0/1 $got, want $want;"
        n=$((n + 1))
        if ! personality $a_card $a_port netdev || ! personality $b_card $b_port netdev; then
            bad="$bad switch back to netdev: $perr;"
            break
        fi
    done
    local name="bit rates of tests/bit_timing_vectors.tsv: ip shows each, BTR0/BTR1 through the character device match (${#rates[@]} rates)"
    if [ -z "$bad" ] && [ $n -gt 0 ]; then pass "$name"; else fail "$name" "$bad" "$tmp/ip.log"; fi
    up_both >/dev/null 2>&1
}

# The control modes, on A with B at 500 kbit/s plain, each set while A is
# down and checked with one frame each way (cansend, candump -L):
# listen-only (A sends nothing: the frame is dropped and counted; it still
# receives), loopback (self test mode and self reception: A's own socket
# sees the echo and the frame the chip received itself; B gets it too),
# one-shot, berr-reporting with restart-ms; ip -details names each. Then
# triple sampling: BTR1's SAM bit, read through the character device.
# QEMU's chip has no bus errors, so one-shot and berr-reporting only show
# that frames still flow.
mode_set() {
    printf '%s\n' "link set dev $ifa down" "link set dev $ifa type can bitrate 500000 $*" \
        "link set dev $ifa up" "link show dev $ifa" >"$tmp/mode.batch"
    ipt -details -batch "$tmp/mode.batch" >"$tmp/mode.log" 2>&1
}
# one_frame FROM TO FRAME: FRAME sent on FROM; what candump on FROM and on
# TO logged, as ID#DATA lines, in $tmp/from.log and $tmp/to.log.
one_frame() {
    local pf pt
    dump_start "$1" "$tmp/from.log"
    pf=$dump_pid
    dump_start "$2" "$tmp/to.log"
    pt=$dump_pid
    timeout -k 2 10 cansend "$1" "$3" >"$tmp/cansend.log" 2>&1
    wait_lines "$tmp/to.log" 1 20
    dump_stop $pf "$tmp/from.log"
    dump_stop $pt "$tmp/to.log"
}
part_modes() {
    local name got s0 s1
    up_both >"$tmp/up.log" 2>&1 || { fail "modes: interfaces up" "$tmp/up.log"; return; }

    name="listen-only: ip -details says so; $ifa sends nothing (counted as dropped) and still receives"
    mode_set listen-only on
    stats "$ifa"
    s0=$counters
    one_frame "$ifa" "$ifb" 321#11
    got="$(<"$tmp/to.log")"
    one_frame "$ifb" "$ifa" 322#22
    stats "$ifa"
    s1=$counters
    if grep -q '<LISTEN-ONLY>' "$tmp/mode.log" && [ -z "$got" ] && [ "$(<"$tmp/to.log")" = 322#22 ] &&
        [ "$(ip -s link show dev "$ifa" | awk '/TX:/ { getline; print $4 }')" -ge 1 ] &&
        [ "${s1%% *}" = $((${s0%% *} + 1)) ]; then
        pass "$name"
    else
        fail "$name" "$tmp/mode.log" "$ifb got: ${got:-nothing}" "$ifa got: $(<"$tmp/to.log")" "$s0 -> $s1"
    fi

    name="loopback: $ifa's socket sees its frame twice (echo, self reception), $ifb once"
    mode_set listen-only off loopback on
    one_frame "$ifa" "$ifb" 323#33
    if grep -q '<LOOPBACK>' "$tmp/mode.log" && [ "$(<"$tmp/from.log")" = $'323#33\n323#33' ] &&
        [ "$(<"$tmp/to.log")" = 323#33 ]; then
        pass "$name"
    else
        fail "$name" "$tmp/mode.log" "$ifa: $(<"$tmp/from.log")" "$ifb: $(<"$tmp/to.log")"
    fi

    name="one-shot, berr-reporting, restart-ms 100: ip -details says so; frames both ways"
    mode_set loopback off one-shot on berr-reporting on restart-ms 100
    one_frame "$ifa" "$ifb" 12345678#44
    got=$(<"$tmp/to.log")
    one_frame "$ifb" "$ifa" 325#R
    if grep -q 'ONE-SHOT' "$tmp/mode.log" && grep -q 'BERR-REPORTING' "$tmp/mode.log" &&
        grep -q 'restart-ms 100' "$tmp/mode.log" && [ "$got" = 12345678#44 ] && [ "$(<"$tmp/to.log")" = 325#R ]; then
        pass "$name"
    else
        fail "$name" "$tmp/mode.log" "$ifb got: $got" "$ifa got: $(<"$tmp/to.log")"
    fi

    name="triple-sampling: ip -details says so; BTR1 has its SAM bit (0x9C at 500 kbit/s)"
    mode_set one-shot off berr-reporting off restart-ms 0 triple-sampling on
    ipt link set dev "$ifa" down
    got=""
    if personality $a_card $a_port chardev; then
        got=$(timeout -k 2 20 "$regs" $a_card read $((a_port * 128 + 6)) $((a_port * 128 + 7)) 2>&1)
        personality $a_card $a_port netdev || got="$got; back to netdev: $perr"
    else
        got="switch to chardev: $perr"
    fi
    if grep -q 'TRIPLE-SAMPLING' "$tmp/mode.log" && [ "$got" = "0x00 0x9C" ]; then
        pass "$name"
    else
        fail "$name" "$tmp/mode.log" "BTR0 BTR1: $got"
    fi
    ifaces && mode_set triple-sampling off >/dev/null 2>&1
    up_both >/dev/null 2>&1
}

# One end the library's (character device), the other a network device,
# on one card (two-channel boards) or two (kvaser_pci): frames both ways,
# standard and extended, data and remote; the library's open of the
# network-device port fails with its message.
part_mixed() {
    local name rp st c=$a_card p=$a_port mode list
    up_both >"$tmp/up.log" 2>&1 || { fail "mixed: interfaces up" "$tmp/up.log"; return; }
    ipt link set dev "$ifa" down
    if ! personality $c $p chardev; then
        fail "mixed: port $c:$p to chardev while its interface is down" "$perr"
        return
    fi
    for mode in 0 1; do
        if [ $mode = 0 ]; then
            printf '%s\n' 100# 101#01 7FF#0102030405060708 123#R 124#R3 555#AA55 >"$tmp/frames"
        else
            printf '%s\n' 00000000# 1FFFFFFF#0102030405060708 12345678#R 0ABCDEF0#R5 00000123#11 >"$tmp/frames"
        fi
        lines "$tmp/frames"
        name="mixed: the library on $c:$p ($((mode ? 29 : 11))-bit) receives what canplayer sends on $ifb"
        frames_to_log "$ifb" "$tmp/frames" "$tmp/frames.log"
        : >"$tmp/peer.log"
        timeout -k 2 60 "$peer" recv $c $p $mode $n_lines 20000 >"$tmp/peer.log" 2>&1 &
        rp=$!
        wait_for "$tmp/peer.log" '^ready' 200 && timeout -k 2 30 canplayer -t -g 2 -I "$tmp/frames.log"
        wait_exit $rp 300
        grep -v '^ready' "$tmp/peer.log" >"$tmp/peer.rx"
        if [ $exit_status = 0 ] && same "$tmp/frames" "$tmp/peer.rx"; then pass "$name"; else
            fail "$name" "status $exit_status" "$(diff "$tmp/frames" "$tmp/peer.rx")"
        fi
        name="mixed: candump on $ifb receives what the library sends on $c:$p ($((mode ? 29 : 11))-bit)"
        dump_start "$ifb" "$tmp/rx.log"
        mapfile -t list <"$tmp/frames"
        timeout -k 2 60 "$peer" send $c $p $mode "${list[@]}" >"$tmp/peer.log" 2>&1
        st=$?
        wait_lines "$tmp/rx.log" "$n_lines" 50
        dump_stop $dump_pid "$tmp/rx.log"
        if [ $st = 0 ] && same "$tmp/frames" "$tmp/rx.log"; then pass "$name"; else
            fail "$name" "status $st" "$tmp/peer.log" "$(diff "$tmp/frames" "$tmp/rx.log")"
        fi
    done
    # The network device's port through the library: refused, with the
    # library's message where the library has one.
    name="mixed: the library's open of network-device port $b_card:$b_port fails"
    timeout -k 2 30 "$peer" open $b_card $b_port >"$tmp/open.log" 2>&1
    st=$?
    local out
    out=$(<"$tmp/open.log")
    if [ $st = 1 ] && [[ $out == *refused* ]]; then
        if [[ $out == *'is a network interface'* ]]; then
            pass "$name with the library's message (\"${out%%:*}: ...\")"
        else
            pass "$name (this library prints no message for it: ${out%%$'\n'*})"
        fi
    else
        fail "$name" "status $st" "$tmp/open.log"
    fi
    name="mixed: the library done, $c:$p back to netdev"
    if personality $c $p netdev && up_both >/dev/null 2>&1; then pass "$name"; else fail "$name" "$perr"; fi
}

part_python() {
    local name="python-can socketcan between the ends (kernel/tests/test_netdev_socketcan.py)" st
    up_both >"$tmp/up.log" 2>&1 || { fail "python: interfaces up" "$tmp/up.log"; return; }
    (cd "$root/kernel/tests" && env PCI5C3A_NETDEV_A="$ifa" PCI5C3A_NETDEV_B="$ifb" PYTHONDONTWRITEBYTECODE=1 \
        timeout -k 5 300 /usr/bin/python3 -m pytest -q -p no:cacheprovider --rootdir . test_netdev_socketcan.py) \
        >"$tmp/pytest.log" 2>&1
    st=$?
    if [ $st = 0 ]; then
        pass "$name: $(grep -E '[0-9]+ passed' "$tmp/pytest.log" | tail -n 1)"
    else
        fail "$name: pytest status $st" "$(tail -n 40 "$tmp/pytest.log")"
    fi
}

# hold_start: regs holding port A's file (a request made on the port) in
# the background, $hold_pid; it ends by itself after 60 s. No timeout(1)
# around it: the suite signals regs itself.
hold_start() {
    : >"$tmp/hold.log"
    "$regs" $a_card hold $a_port 60 >"$tmp/hold.log" 2>&1 &
    hold_pid=$!
    wait_for "$tmp/hold.log" '^held' 200
}

# Switching: refused while in use either way, done when idle, traffic
# before and after; the character device's requests on a network-device
# port refused; the card's own requests (LED, last close) still answer.
part_switching() {
    local name c=$a_card p=$a_port line w bad=""
    up_both >"$tmp/up.log" 2>&1 || { fail "switching: interfaces up" "$tmp/up.log"; return; }
    name="switching: chardev refused (EBUSY) while $ifa is up; it stays netdev and up"
    if ! personality $c $p chardev && [[ $perr == *busy* ]] && [ "$(personality_of $c $p)" = netdev ] &&
        [ -d "/sys/class/net/$ifa" ]; then
        pass "$name"
    else
        fail "$name" "write: ${perr:-succeeded}" "now $(personality_of $c $p)"
    fi
    name="switching: writing the current value (netdev, with and without a newline) succeeds and changes nothing"
    if personality $c $p netdev && { echo netdev >"$(pdir $c $p)/personality"; } 2>/dev/null &&
        [ "$(iface_of $c $p)" = "$ifa" ] && [[ $(</sys/class/net/$ifa/operstate) != down ]]; then
        pass "$name"
    else
        fail "$name" "${perr:-}" "$(ip link show dev "$ifa" 2>&1)"
    fi
    name="switching: other words refused (EINVAL): chardevx, net, NETDEV, a newline alone"
    local words=(chardevx net NETDEV $'\n')
    for w in "${words[@]}"; do
        personality $c $p "$w" && bad="$bad '$w' accepted;"
        [[ $perr == *'Invalid argument'* ]] || bad="$bad '$w': ${perr:-no error};"
    done
    if [ -z "$bad" ]; then pass "$name"; else fail "$name" "$bad"; fi
    name="switching: character-device requests naming netdev port $c:$p fail EADDRINUSE"
    line=$(timeout -k 2 20 "$regs" $c probe $p 2>&1)
    if [ "$line" = "read=EADDRINUSE write=EADDRINUSE mode=EADDRINUSE send=EADDRINUSE receive=EADDRINUSE count=EADDRINUSE event=EADDRINUSE close=EADDRINUSE" ]; then
        pass "$name"
    else
        fail "$name" "$line"
    fi
    # Every port of card $c is a network device here.
    name="switching: the card's own requests answer with its ports network devices (LED write, read, last close)"
    if timeout -k 2 20 "$regs" $c write 64 0x5A >"$tmp/led.log" 2>&1 &&
        timeout -k 2 20 "$regs" $c read 64 >>"$tmp/led.log" 2>&1 &&
        timeout -k 2 20 "$regs" $c lastclose >>"$tmp/led.log" 2>&1; then
        pass "$name"
    else
        fail "$name" "$tmp/led.log"
    fi
    traffic_both 20 std
    name="switching: down, then chardev: the interface and its link go, the character device answers on the port"
    ipt link set dev "$ifa" down
    if personality $c $p chardev && [ "$(personality_of $c $p)" = chardev ] && [ ! -e "/sys/class/net/$ifa" ] &&
        [ ! -e "$(pdir $c $p)/interface" ] && line=$(timeout -k 2 20 "$regs" $c read $((p * 128 + 6)) 2>&1) &&
        [ -d "/sys/class/net/$ifb" ]; then
        pass "$name"
    else
        fail "$name" "${perr:-}" "now $(personality_of $c $p)" "$(ls /sys/class/net)" "${line:-}"
    fi
    name="switching: netdev refused (EBUSY) while a file holds port $c:$p; after its port close (file open) it works"
    if hold_start && ! personality $c $p netdev && [[ $perr == *busy* ]] && [ "$(personality_of $c $p)" = chardev ]; then
        kill -USR1 $hold_pid
        if wait_for "$tmp/hold.log" '^port closed: OK' 100 && personality $c $p netdev && ifaces; then
            pass "$name"
        else
            fail "$name" "after the port close: ${perr:-}" "$tmp/hold.log"
        fi
    else
        fail "$name" "while held: ${perr:-the switch succeeded}" "$tmp/hold.log"
    fi
    kill -TERM $hold_pid 2>/dev/null
    wait_exit $hold_pid 100
    name="switching: netdev refused while a file holds the port, works once that file is closed"
    if [ "$(personality_of $c $p)" = netdev ]; then
        ifaces && ipt link set dev "$ifa" down
        personality $c $p chardev
    fi
    if hold_start && ! personality $c $p netdev; then
        kill -TERM $hold_pid
        wait_exit $hold_pid 100
        if personality $c $p netdev && ifaces; then pass "$name"; else fail "$name" "after close: $perr"; fi
    else
        fail "$name" "while held: ${perr:-the switch succeeded}" "$tmp/hold.log"
        kill -TERM $hold_pid 2>/dev/null
        wait_exit $hold_pid 100
    fi
    up_both >/dev/null 2>&1
    traffic_both 20 ext+rtr
}

# Removal with the interfaces up and candump reading: unbind (the
# interfaces go, candump ends), bind again (they come back, traffic), rmmod.
part_removal() {
    local bdf name st dump dump_st
    up_both >"$tmp/up.log" 2>&1 || { fail "removal: interfaces up" "$tmp/up.log"; return; }
    bdf=$(resolved "/sys/class/pci5c3a/PCI5C3AW$a_card/device")
    bdf=${bdf##*/}
    name="unbind card $a_card ($bdf) with $ifa up and candump on it: no hang, the interface goes, candump ends"
    dump_start "$ifa" "$tmp/rm.dump"
    dump=$dump_pid
    timeout -k 2 60 bash -c "echo $bdf >/sys/bus/pci/drivers/pci5c3a/unbind" 2>"$tmp/unbind.err"
    st=$?
    wait_exit $dump 100
    dump_st=$exit_status
    if [ $st = 0 ] && [ ! -e "/sys/class/net/$ifa" ] && [ ! -e /dev/PCI5C3AW$a_card ] && [ $dump_st != 255 ]; then
        pass "$name"
    else
        fail "$name" "unbind status $st, candump $dump_st" "$tmp/unbind.err" "$(ls /sys/class/net)"
    fi
    name="bind again: the ports start as network devices again"
    if timeout -k 2 60 bash -c "echo $bdf >/sys/bus/pci/drivers/pci5c3a/bind" 2>"$tmp/bind.err" &&
        up_both >"$tmp/up.log" 2>&1; then
        pass "$name"
        traffic_both 10 std
    else
        fail "$name" "$tmp/bind.err" "$tmp/up.log" "$(ls /sys/class/net)" "$(dmesg | tail -n 10)"
    fi
    log_clean "removal: unbind and bind"
    up_both >/dev/null 2>&1
    name="rmmod with both interfaces up and candump on one: no hang, interfaces gone, candump ends"
    dump_start "$ifb" "$tmp/rm.dump"
    dump=$dump_pid
    timeout -k 2 60 rmmod pci5c3a 2>"$tmp/rmmod.err"
    st=$?
    wait_exit $dump 100
    dump_st=$exit_status
    if [ $st = 0 ] && ! loaded && [ ! -e "/sys/class/net/$ifa" ] && [ ! -e "/sys/class/net/$ifb" ] && [ $dump_st != 255 ]; then
        pass "$name"
    else
        fail "$name" "rmmod status $st, candump $dump_st" "$tmp/rmmod.err" "$(ls /sys/class/net)"
    fi
}

# ---------------------------------------------------------------------------

echo "    ($board: ${ids:+ids=$ids, }netdev=$netdev_ports, parts: $parts)"
dmesg -C
for m in can can-raw can-dev; do
    [ -d "/sys/module/${m//-/_}" ] && continue
    insmod "$kmod/$m.ko" || { echo "FAIL $m.ko loads (from ${kmod:-PCI5C3A_KERNEL_MODULES unset})"; exit 1; }
done
# Room for a burst between the driver and the readers. QEMU's bus takes a
# frame in no time, so a sender without a gap outruns this slow guest's
# readers: the stack's input queue (1000 frames by default) and the
# sockets (candump writes each frame to a file) would drop frames the
# driver delivered, with Linux's own sja1000 driver as with this one. With
# room for every frame of a run, a frame missing is the driver's: its
# transmit buffer overwritten, its receive FIFO overrun.
echo 20000 >/proc/sys/net/core/netdev_max_backlog
echo 8388608 >/proc/sys/net/core/rmem_max
echo 8388608 >/proc/sys/net/core/rmem_default
for p in "$regs" "$peer"; do
    [ -x "$p" ] || { echo "FAIL $p missing (scripts/netdev-test builds it)"; exit 1; }
done
suite_start=$SECONDS
done_parts=""
for part in $parts; do
    part_start=$SECONDS
    # Every part but params needs the module and its interfaces.
    [ "$part" = params ] || [ "$part" = load ] || loaded || part_load
    case $part in
    params | load | traffic | sequence | bittiming | modes | mixed | python | switching | removal) "part_$part" ;;
    *)
        fail "netdev-suite.sh: no part $part"
        continue
        ;;
    esac
    log_clean "$part"
    echo "    (part $part: $((SECONDS - part_start)) s)"
    done_parts="$done_parts $part"
done
# A shell error (an expansion gone wrong) ends the loop, not the script.
[ "$done_parts" = "$(printf " %s" $parts)" ] || fail "netdev-suite.sh: every part ran to its end (these did:$done_parts)"
unload
echo "    (netdev suite on $board: $((SECONDS - suite_start)) s)"
exit $failed
