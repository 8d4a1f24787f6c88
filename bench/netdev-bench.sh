#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The driver as a network device, against Linux's own SJA1000 driver and
# against the gateway, all in one QEMU guest (scripts/guest-run: Debian's
# 6.1 kernel, the QEMU of scripts/fetch-qemu, the guest's root this
# machine's file system), so that the machine's load and the emulator weigh
# on all three alike. A benchmark, not a test: it fails only when a part
# does not run, loses most of its frames, or the kernel log shows a bug.
#
#   bench/netdev-bench.sh [ROUNDS]       # default 3; about 2 min a round
#
# Two of QEMU's kvaser_pci boards (an SJA1000 behind an AMCC S5920 each) on
# one CAN bus; card 0 port 0 sends, card 1 port 0 receives. Each round runs
# the three set-ups in turn, in one guest:
#   linux    kvaser_pci.ko + sja1000.ko: can0 -> can1
#   netdev   pci5c3a.ko ids=10e8:8406:s5920 netdev=0:0,1:0: the two
#            ports' own canN interfaces
#   gateway  pci5c3a.ko ids=10e8:8406:s5920, pci5c3a-gateway mirroring
#            0:0 onto vcan0 and 1:0 onto vcan1: vcan0 -> vcan1
# and in each, bench/can_latency (raw CAN sockets, see its header):
#   flood    FRAMES frames as fast as flow control allows (at most 64 in
#            flight: vcan has no flow control of its own)
#   paced    PACED_RATE frames/s for PACED_FRAMES frames
#   latency  LAT_RATE frames/s for LAT_FRAMES frames, queues empty:
#            one-way latency from just before the write (CLOCK_REALTIME)
#            to the receiving socket's kernel stamp (SO_TIMESTAMPNS, taken
#            at netif_rx; for the gateway at vcan1's, the end of the path)
#            and to the receiving thread's own CLOCK_REALTIME after recvmsg
# CPU time per frame: the guest's busy time (wall time x CPUs - the idle
# time of /proc/stat) over frames received, and for the gateway its
# process's utime + stime too. The interrupts of the boards' lines are
# counted per frame (/proc/interrupts). Each set-up starts with an
# uncounted flood of 500 frames (TCG translates a freshly loaded module's
# code on first use); Linux's driver and ours take turns at going first.
#
# Prints each run's line, then a table of the medians over the rounds, the
# ratios (ours over Linux's, gateway over Linux's, gateway over netdev) and
# the flood ratio round by round, the spread that the machine's load makes.
#
# PROBE=1 adds a pass with kprobes on Linux's driver and ours (after the
# rounds; not timed): register accesses, interrupts and netif_rx calls per
# frame, and the mean time of the interrupt handler and of the transmit
# routine (the PROBE lines and "probes," in the table).
#
# Environment: SETUPS (default "linux netdev gateway": a subset skips the
# others), PROBE, FRAMES (flood, default 10000), PACED_RATE (200, below
# what the gateway can forward), PACED_FRAMES (1000), LAT_RATE (50),
# LAT_FRAMES (300);
# PCI5C3A_BUILD_AMD64 (the gateway's build tree, default build/default);
# PCI5C3A_GUEST_CPUS (default 1: the interrupts, the stack and both
# threads of the tool share one vCPU, as in bench/driver-bench.sh),
# PCI5C3A_QEMU, PCI5C3A_GUEST_ACCEL, PCI5C3A_GUEST_TIMEOUT as for
# scripts/guest-run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "netdev-bench: $*" >&2; exit 1; }
positive() { [[ $2 =~ ^[1-9][0-9]*$ ]] || die "$1 must be a positive number (got '$2')"; }

# ---------------------------------------------------------------------------
# The guest's half: --in-guest ROUNDS KDIR MODULE TOOL GATEWAY
if [ "${1:-}" = --in-guest ]; then
    # Every step's failure is reported and the next one goes on.
    set +e
    rounds=$2 kdir=$3 module=$4 tool=$5 gateway=$6
    export PATH=/usr/sbin:/usr/bin:/sbin:/bin
    unset LD_PRELOAD
    for v in $(env | sed -n 's/^\(PCI5C3A_VCARD_[A-Z_]*\)=.*/\1/p'); do unset "$v"; done
    work=$(mktemp -d "${TMPDIR:-/tmp}/netdev-bench.XXXXXX")
    board_ids=10e8:8406:s5920
    status=0

    # insmod_once M [ARGS]: loads a module unless it is loaded.
    insmod_once() {
        local name
        name=$(basename "$1" .ko | tr - _)
        grep -q "^$name " /proc/modules || insmod "$@"
    }
    # log_check PART: the kernel's messages since the last call.
    log_check() {
        if dmesg -c 2>/dev/null | grep -w -E 'BUG|WARNING|Oops|KASAN' >"$work/bad"; then
            echo "kernel: $1: $(head -n 5 "$work/bad" | tr '\n' ' ')"
            status=1
        fi
    }
    # ifaces_of DRIVER: its CAN interfaces, by PCI address (card order).
    ifaces_of() {
        local i
        for i in /sys/class/net/*; do
            [ -e "$i/device/driver" ] || continue
            [ "$(basename "$(readlink "$i/device/driver")")" = "$1" ] || continue
            echo "$(basename "$(readlink "$i/device")") $(basename "$i")"
        done | sort | awk '{ print $2 }'
    }
    # wait_ifaces DRIVER N: until DRIVER has N interfaces (10 s).
    wait_ifaces() {
        local t
        for t in $(seq 100); do
            [ "$(ifaces_of "$1" | wc -l)" -ge "$2" ] && return 0
            sleep 0.1
        done
        return 1
    }
    # The boards' interrupts, all CPUs, all their lines.
    irqs() {
        local d total=0 n
        for d in /sys/bus/pci/devices/*; do
            [ "$(cat "$d/vendor"):$(cat "$d/device")" = 0x10e8:0x8406 ] || continue
            n=$(awk -v irq="$(cat "$d/irq"):" '$1 == irq { s = 0; for (i = 2; i <= NF && $i ~ /^[0-9]+$/; i++) s += $i; print s }' /proc/interrupts)
            total=$((total + ${n:-0}))
        done
        echo "$total"
    }
    stat_of() { cat "/sys/class/net/$1/statistics/$2" 2>/dev/null || echo 0; }
    # run_tests ROUND SETUP TX RX [PID]: the three runs, after a short
    # flood that is not counted (the emulator translates the code paths
    # of a module freshly loaded on their first use).
    run_tests() {
        local round=$1 setup=$2 tx=$3 rx=$4 pid=${5:-} test args out i0 o0 d0
        if [ "$round" = probe ]; then
            probe_runs "$setup" "$tx" "$rx"
            return
        fi
        timeout 120 "$tool" --frames 500 --window 64 --timeout 60 "$tx" "$rx" >/dev/null 2>&1
        for test in flood paced latency; do
            case $test in
            flood) args=(--frames "$FRAMES" --window 64 --timeout 120) ;;
            paced) args=(--frames "$PACED_FRAMES" --rate "$PACED_RATE" --timeout 120) ;;
            latency) args=(--frames "$LAT_FRAMES" --rate "$LAT_RATE" --timeout 120) ;;
            esac
            [ -z "$pid" ] || args+=(--pid "$pid")
            i0=$(irqs) o0=$(stat_of "$rx" rx_over_errors) d0=$(stat_of "$rx" rx_dropped)
            out=$(timeout 180 "$tool" "${args[@]}" "$tx" "$rx" 2>&1) || echo "FAILED round=$round setup=$setup test=$test: $out"
            echo "RESULT round=$round setup=$setup test=$test $out irqs=$(($(irqs) - i0)) rx_over_errors=$(($(stat_of "$rx" rx_over_errors) - o0)) rx_dropped=$(($(stat_of "$rx" rx_dropped) - d0))"
        done
    }
    # probe_runs SETUP TX RX (PROBE=1): where a frame's time goes, from
    # kprobes (perf is not in the guest). First the calls per frame: the
    # register accessors (QEMU's kvaser_pci board decodes the controller
    # as I/O ports; under TCG each access is an exit to the device model),
    # the interrupt handler, the transmit routine, netif_rx. ioread8 itself
    # cannot be probed (a notrace function), so each driver's own
    # accessors are: Linux's kvaser_pci_read_reg/write_reg, which sja1000.ko
    # calls for every access; ours pci5c3a_read/write, which chip.c inlines
    # into its frame and interrupt helpers, probed too, with their fixed
    # access counts (an 8-byte standard frame: read_rx reads 11 registers,
    # load_tx writes 11; service reads IER and IR). Then, with only entry
    # and return probes, the mean time of the interrupt handler and the
    # transmit routine (one vCPU: they do not nest).
    probe_runs() {
        local setup=$1 tx=$2 rx=$3 t=/sys/kernel/tracing irq xmit n=2000 p probes
        [ -d $t/events ] || mount -t tracefs nodev $t || { echo "PROBE $setup: no tracefs"; return; }
        case $setup in
        linux)
            irq=sja1000_interrupt xmit=sja1000_start_xmit
            probes="rd:kvaser_pci_read_reg wr:kvaser_pci_write_reg"
            ;;
        *)
            irq=pci5c3a_irq xmit=pci5c3a_net_xmit
            probes="rd:pci5c3a_read wr:pci5c3a_write read_rx:pci5c3a_read_rx load_tx:pci5c3a_load_tx service:pci5c3a_service"
            ;;
        esac
        echo >$t/kprobe_events
        for p in $probes irq:$irq xmit:$xmit netif_rx:netif_rx; do
            echo "p:nb/${p%%:*} ${p#*:}" >>$t/kprobe_events || echo "PROBE $setup: no probe on ${p#*:}"
        done
        echo 1 >$t/events/nb/enable
        out=$(timeout 120 "$tool" --frames $n --window 64 --timeout 60 "$tx" "$rx" 2>&1)
        echo 0 >$t/events/nb/enable
        echo "PROBE $setup counts: $(sed -n 's/.*\(received=[0-9]*\).*/\1/p' <<<"$out") $(awk '{ sub(/^nb\//, "", $1); printf "%s=%s ", $1, $2 }' $t/kprobe_profile)"
        echo >$t/kprobe_events
        for p in irq:$irq xmit:$xmit; do
            echo "p:nb/${p%%:*}_in ${p#*:}" >>$t/kprobe_events
            echo "r:nb/${p%%:*}_out ${p#*:}" >>$t/kprobe_events
        done
        echo >$t/trace
        echo 1 >$t/events/nb/enable
        out=$(timeout 120 "$tool" --frames $n --window 64 --timeout 60 "$tx" "$rx" 2>&1)
        echo 0 >$t/events/nb/enable
        echo "PROBE $setup times: $(sed -n 's/.*\(received=[0-9]*\).*/\1/p' <<<"$out") $(awk '
            match($0, / [0-9]+\.[0-9]+: [a-z_]+_(in|out):/) {
                split(substr($0, RSTART + 1, RLENGTH - 2), f, ": "); ts = f[1] * 1e6; ev = f[2]
                k = ev; sub(/_(in|out)$/, "", k)
                if (ev ~ /_in$/) { start[k] = ts; next }
                if (k in start) { sum[k] += ts - start[k]; cnt[k]++; delete start[k] }
            }
            END { for (k in sum) printf "%s_calls=%d %s_mean_us=%.1f ", k, cnt[k], k, sum[k] / cnt[k] }' $t/trace)"
        echo >$t/kprobe_events
    }
    can_up() {
        ip link set "$1" type can bitrate 1000000 && ip link set "$1" up
    }

    part_linux() {
        local round=$1
        insmod_once "$kdir/sja1000.ko"
        insmod_once "$kdir/kvaser_pci.ko"
        if wait_ifaces kvaser_pci 2; then
            read -r -a ifs <<<"$(ifaces_of kvaser_pci | tr "\n" " ")"
            if can_up "${ifs[0]}" && can_up "${ifs[1]}"; then
                run_tests "$round" linux "${ifs[0]}" "${ifs[1]}"
            else
                echo "FAILED round=$round setup=linux: interfaces not up"
            fi
            ip link set "${ifs[0]}" down; ip link set "${ifs[1]}" down
        else
            echo "FAILED round=$round setup=linux: kvaser_pci made no two interfaces"
        fi
        rmmod kvaser_pci sja1000
        log_check "round $round linux"
    }

    part_netdev() {
        local round=$1
        if insmod "$module" ids=$board_ids netdev=0:0,1:0 && wait_ifaces pci5c3a 2; then
            read -r -a ifs <<<"$(ifaces_of pci5c3a | tr "\n" " ")"
            if can_up "${ifs[0]}" && can_up "${ifs[1]}"; then
                run_tests "$round" netdev "${ifs[0]}" "${ifs[1]}"
            else
                echo "FAILED round=$round setup=netdev: interfaces not up"
            fi
            ip link set "${ifs[0]}" down; ip link set "${ifs[1]}" down
        else
            echo "FAILED round=$round setup=netdev: pci5c3a.ko netdev=0:0,1:0 made no two interfaces"
        fi
        rmmod pci5c3a
        log_check "round $round netdev"
    }

    part_gateway() {
        local round=$1 ok= gw t
        if insmod "$module" ids=$board_ids; then
            for t in $(seq 100); do [ -c /dev/PCI5C3AW1 ] && break; sleep 0.1; done
            ip link add dev vcan0 type vcan && ip link set vcan0 up
            ip link add dev vcan1 type vcan && ip link set vcan1 up
            "$gateway" --bitrate 1M --queue 1024 0:0=vcan0 1:0=vcan1 >"$work/gw.log" 2>&1 &
            gw=$!
            for t in $(seq 300); do
                grep -q forwarding "$work/gw.log" && { ok=1; break; }
                kill -0 $gw 2>/dev/null || break
                sleep 0.1
            done
            if [ -n "$ok" ]; then
                run_tests "$round" gateway vcan0 vcan1 $gw
            else
                echo "FAILED round=$round setup=gateway: $(tr '\n' ' ' <"$work/gw.log")"
            fi
            kill -TERM $gw 2>/dev/null
            for t in $(seq 100); do kill -0 $gw 2>/dev/null || break; sleep 0.1; done
            kill -KILL $gw 2>/dev/null && echo "FAILED round=$round setup=gateway: did not stop on SIGTERM"
            wait $gw 2>/dev/null
            grep -v 'forwarding' "$work/gw.log" | sed "s/^/gateway round=$round: /"
            ip link del dev vcan0; ip link del dev vcan1
            rmmod pci5c3a
        else
            echo "FAILED round=$round setup=gateway: pci5c3a.ko did not load"
        fi
        log_check "round $round gateway"
    }

    for m in can can-raw can-dev vcan; do insmod_once "$kdir/$m.ko"; done
    dmesg -c >/dev/null
    for round in $(seq "$rounds"); do
        # Linux's driver and ours take turns at going first, so that what
        # a round's start or the one before leaves behind weighs on both.
        order="linux netdev gateway"
        [ $((round % 2)) -eq 1 ] || order="netdev linux gateway"
        for part in $order; do
            [[ " $SETUPS " == *" $part "* ]] && "part_$part" "$round"
        done
    done
    if [ "${PROBE:-0}" = 1 ]; then
        for part in linux netdev; do
            [[ " $SETUPS " == *" $part "* ]] && "part_$part" probe
        done
    fi
    rm -rf "$work"
    exit $status
fi

# ---------------------------------------------------------------------------
# This machine's half.
rounds=${1:-3}
positive ROUNDS "$rounds"
export FRAMES=${FRAMES:-10000} PACED_RATE=${PACED_RATE:-200} PACED_FRAMES=${PACED_FRAMES:-1000}
export LAT_RATE=${LAT_RATE:-50} LAT_FRAMES=${LAT_FRAMES:-300}
export SETUPS=${SETUPS:-linux netdev gateway} PROBE=${PROBE:-0}
for w in $SETUPS; do
    case $w in linux | netdev | gateway) ;; *) die "SETUPS: $w is none of linux, netdev, gateway" ;; esac
done
for v in FRAMES PACED_RATE PACED_FRAMES LAT_RATE LAT_FRAMES; do positive "$v" "${!v}"; done
build=${PCI5C3A_BUILD_AMD64:-$root/build/default}
gateway=$build/gateway/pci5c3a-gateway
[ -x "$gateway" ] || die "$gateway missing: build the default preset first (cmake --preset default && cmake --build build/default)"
[ "$(id -u)" -eq 0 ] || die "needs root (scripts/guest-run does)"

kdir=$("$root/scripts/fetch-kernel")
release=${kdir##*/linux-image-}
module=$root/build/kernel/$release/pci5c3a.ko
if [ "$SETUPS" = linux ]; then
    :
elif [ ! -f "$module" ] ||
    [ -n "$(find "$root/kernel" "$root/lib" -maxdepth 1 \( -name '*.[ch]' -o -name Kbuild \) -newer "$module" | head -n 1)" ]; then
    "$root/scripts/build-kernel-module" 6.1 >&2 || die "module build failed"
fi
# On the shared file system: the guest runs it from there.
mkdir -p "$root/build"
work=$(mktemp -d "$root/build/netdev-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
tool=$work/can_latency
gcc -O2 -Wall -Wextra -Werror -pthread -o "$tool" "$root/bench/can_latency.c" || die "building can_latency failed"

export PCI5C3A_QEMU=${PCI5C3A_QEMU:-$("$root/scripts/fetch-qemu")}
export PCI5C3A_QEMU_ARGS="-object can-bus,id=canbus-a -device kvaser_pci,canbus=canbus-a -device kvaser_pci,canbus=canbus-a"
export PCI5C3A_GUEST_CPUS=${PCI5C3A_GUEST_CPUS:-1}
export PCI5C3A_GUEST_MEMORY=${PCI5C3A_GUEST_MEMORY:-1024}
export PCI5C3A_GUEST_TIMEOUT=${PCI5C3A_GUEST_TIMEOUT:-$((300 + 240 * rounds))}
start=$(date +%s)
set +e
"$root/scripts/guest-run" "$root/bench/netdev-bench.sh" --in-guest "$rounds" "$kdir" "$module" "$tool" "$gateway" |
    tee "$work/out"
guest_status=${PIPESTATUS[0]}
set -e
echo "netdev-bench: guest run $(($(date +%s) - start)) s, $PCI5C3A_GUEST_CPUS vCPU, accel ${PCI5C3A_GUEST_ACCEL:-probed}; figures depend on the machine's load: compare ratios only"

# The medians over the rounds, then the table and the ratios.
awk -v rounds="$rounds" '
    function val(line, key,   m) {
        if (match(" " line, " " key "=[-0-9.]+")) return substr(" " line, RSTART + length(key) + 2, RLENGTH - length(key) - 2) + 0
        return ""
    }
    function add(key, v) { if (v != "" && v >= 0) { n[key]++; vals[key, n[key]] = v } }
    function median(key,   i, j, t, a, k) {
        k = n[key]
        if (!k) return -1
        for (i = 1; i <= k; i++) a[i] = vals[key, i]
        for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    function m(s, what) { return median(s SUBSEP what) }
    function fmt(v, f) { return v < 0 ? "-" : sprintf(f, v) }
    function ratio(a, b) { return (a < 0 || b <= 0) ? "-" : sprintf("%.2f", a / b) }
    /^RESULT / {
        match($0, / setup=[a-z]+/); setup = substr($0, RSTART + 7, RLENGTH - 7)
        match($0, / test=[a-z]+/); test = substr($0, RSTART + 6, RLENGTH - 6)
        got = val($0, "received"); sent = val($0, "sent")
        if (sent > 0 && got < 0.9 * sent) bad = bad " " setup "/" test "(" got "/" sent ")"
        add(setup SUBSEP test "_fps", val($0, "frames_per_s"))
        match($0, / round=[0-9]+/); r = substr($0, RSTART + 7, RLENGTH - 7)
        if (test == "flood") fps[setup, r] = val($0, "frames_per_s")
        add(setup SUBSEP test "_lost", val($0, "lost"))
        add(setup SUBSEP test "_cpu", val($0, "busy_us_per_frame"))
        add(setup SUBSEP test "_pid", val($0, "pid_us_per_frame"))
        add(setup SUBSEP test "_pidrun", val($0, "pid_run_us_per_frame"))
        if (got > 0) add(setup SUBSEP test "_irq", val($0, "irqs") / got)
        add(setup SUBSEP test "_smed", val($0, "stamp_median_us"))
        add(setup SUBSEP test "_sp99", val($0, "stamp_p99_us"))
        add(setup SUBSEP test "_umed", val($0, "user_median_us"))
        add(setup SUBSEP test "_up99", val($0, "user_p99_us"))
        add(setup SUBSEP test "_over", val($0, "rx_over_errors"))
        add(setup SUBSEP test "_enobufs", val($0, "enobufs"))
    }
    /^PROBE [a-z]+ counts: / {
        got = val($0, "received")
        if (got > 0) {
            rd = val($0, "rd") + 11 * val($0, "read_rx") + 2 * val($0, "service")
            wr = val($0, "wr") + 11 * val($0, "load_tx")
            probe[$2] = sprintf("register reads %.1f, writes %.1f, interrupts %.2f, netif_rx %.2f per frame", rd / got, wr / got,
                val($0, "irq") / got, val($0, "netif_rx") / got)
        }
    }
    /^PROBE [a-z]+ times: / { ptime[$2] = sprintf("; interrupt handler %.1f us, transmit %.1f us a call (kprobed)", val($0, "irq_mean_us"), val($0, "xmit_mean_us")) }
    END {
        split("linux netdev gateway", setups, " ")
        print ""
        printf "Medians over %d rounds (flood: frames/s as fast as flow control allows; paced/latency: the rate asked)\n", rounds
        printf "%-8s %10s %6s %9s %11s %11s %11s %11s %9s %9s %9s %9s %8s\n", "setup", "flood f/s", "lost", "paced f/s",
            "stamp med", "stamp p99", "user med", "user p99", "cpu/f fl", "cpu/f pc", "gw/f fl", "gw/f pc", "irq/f fl"
        for (i = 1; i <= 3; i++) {
            s = setups[i]
            printf "%-8s %10s %6s %9s %11s %11s %11s %11s %9s %9s %9s %9s %8s\n", s, fmt(m(s, "flood_fps"), "%.0f"),
                fmt(m(s, "flood_lost"), "%.0f"), fmt(m(s, "paced_fps"), "%.0f"),
                fmt(m(s, "latency_smed"), "%.0f us"), fmt(m(s, "latency_sp99"), "%.0f us"),
                fmt(m(s, "latency_umed"), "%.0f us"), fmt(m(s, "latency_up99"), "%.0f us"),
                fmt(m(s, "flood_cpu"), "%.0f us"), fmt(m(s, "paced_cpu"), "%.0f us"), fmt(m(s, "flood_pid"), "%.0f us"),
                fmt(m(s, "paced_pid"), "%.0f us"), fmt(m(s, "flood_irq"), "%.2f")
        }
        print ""
        printf "%-18s %9s %9s %9s %9s %9s %9s %9s %9s\n", "ratio", "flood f/s", "paced f/s", "stamp med", "stamp p99",
            "user med", "user p99", "cpu/f fl", "cpu/f pc"
        split("netdev/linux gateway/linux gateway/netdev", pairs, " ")
        for (i = 1; i <= 3; i++) {
            split(pairs[i], ab, "/"); a = ab[1]; b = ab[2]
            printf "%-18s %9s %9s %9s %9s %9s %9s %9s %9s\n", pairs[i], ratio(m(a, "flood_fps"), m(b, "flood_fps")),
                ratio(m(a, "paced_fps"), m(b, "paced_fps")), ratio(m(a, "latency_smed"), m(b, "latency_smed")),
                ratio(m(a, "latency_sp99"), m(b, "latency_sp99")), ratio(m(a, "latency_umed"), m(b, "latency_umed")),
                ratio(m(a, "latency_up99"), m(b, "latency_up99")), ratio(m(a, "flood_cpu"), m(b, "flood_cpu")),
                ratio(m(a, "paced_cpu"), m(b, "paced_cpu"))
        }
        print "(stamp: write to the receiving socket'\''s SO_TIMESTAMPNS; user: write to the receiver'\''s CLOCK_REALTIME;"
        print " cpu/f: guest busy time per frame, all CPUs; gw/f: the gateway'\''s utime+stime per frame; irq/f: the boards'\'' interrupts per frame."
        print " frames/s: want >= 1.00 for ours over Linux'\''s; latency and CPU per frame: lower is better)"
        # The machine under the guest is shared: the spread of the ratio
        # round by round (the two ran minutes apart at most) shows how far
        # its load moves the medians.
        line = ""
        for (r = 1; r <= rounds; r++)
            if (fps["netdev", r] > 0 && fps["linux", r] > 0) line = line sprintf(" %.2f", fps["netdev", r] / fps["linux", r])
        if (line != "") print "flood f/s netdev/linux round by round:" line
        for (k in probe) print "probes, " k ": " probe[k] ptime[k]
        if (bad != "") print "netdev-bench: runs that lost more than 10 % of their frames:" bad
    }' "$work/out" | tee "$work/table"
status=0
[ "$guest_status" -eq 0 ] || { echo "netdev-bench: the guest part failed (status $guest_status)"; status=1; }
! grep -q '^FAILED \|^kernel: ' "$work/out" || { echo "netdev-bench: failed runs or kernel messages above"; status=1; }
! grep -q 'lost more than 10 %' "$work/table" || status=1
exit $status
