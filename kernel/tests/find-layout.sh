#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only OR MIT
# pci5c3a-find-layout on QEMU's SJA1000 boards, in the guest of
# scripts/guest-run (this machine's root over 9p, so Debian's python3 is
# there), then pci5c3a.ko loaded with what it printed:
#
#   scripts/guest-run kernel/tests/find-layout.sh MODULE
#
# The boards (scripts/find-layout-test gives QEMU the arguments): pcm3680_pci,
# mioe3680_pci, kvaser_pci and, where the QEMU has it, plx9030_can_pci. For
# each, unbound: the finder's lines, exactly. Then the module, loaded with
# the ids= entries the finder printed, binds every board whose layout it
# knows; a layout it does not know yet (its ids= is refused) is said and
# skipped. A bound board is refused by the finder. Prints PASS/FAIL/SKIP lines
# and "N passed, N failed".
set -u
module=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
finder=$root/kernel/pci5c3a-find-layout
new_id=/sys/bus/pci/drivers/pci5c3a/new_id
passed=0 failed=0
pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() {
    failed=$((failed + 1))
    echo "FAIL $1"
    [ $# -lt 2 ] || printf '%s\n' "$2" | sed 's/^/    /' | tail -n 40
}
skip() { echo "SKIP $1"; }

# bdf_of VENDOR DEVICE: the first PCI device with these ids.
bdf_of() {
    local d
    for d in /sys/bus/pci/devices/*; do
        if [ "$(cat "$d/vendor")" = "0x$1" ] && [ "$(cat "$d/device")" = "0x$2" ]; then
            basename "$d"
            return 0
        fi
    done
    return 1
}

# What each board must print (QEMU's kvaser_pci carries the subsystem ids
# 1af4:1100; the two direct boards carry none that would add to their ids).
expect() {  # BOARD BDF
    local b=$2
    case $1 in
    pcm3680_pci)
        printf '%s\n' "$b 13fe:c002: no bridge; SJA1000 at BAR0+0x000 and BAR1+0x000" \
            "  layout pcm3680_pci (2 channels)" \
            "  the driver binds these ids built in, no parameter needed: modprobe pci5c3a" ;;
    mioe3680_pci)
        printf '%s\n' "$b 13fe:c302: no bridge; SJA1000 at BAR0+0x000 and BAR1+0x000 (register stride 4)" \
            "  layout mioe3680_pci (2 channels)" \
            "  the driver binds these ids built in, no parameter needed: modprobe pci5c3a" ;;
    kvaser_pci)
        printf '%s\n' "$b 10e8:8406 (subsystem 1af4:1100): AMCC S5920 bridge in BAR0 (told by its BARs: I/O BAR0 of 128 bytes; the ids are the maker's own); SJA1000 at BAR1+0x000 only" \
            "  layout s5920 (1 channel: the driver serves port 0 only)" \
            "  modprobe pci5c3a ids=10e8:8406:1af4:1100:s5920" \
            "  echo \"10e8 8406 1af4 1100 0 0 8\" > $new_id" ;;
    plx9030_can_pci)
        printf '%s\n' "$b 10b5:9030 (subsystem 1b36:5c3a): PLX 9030 bridge in BAR0; SJA1000 at BAR2+0x000 and BAR2+0x100" \
            "  layout plx9030_100 (2 channels)" \
            "  modprobe pci5c3a ids=10b5:9030:1b36:5c3a:plx9030_100" \
            "  echo \"10b5 9030 1b36 5c3a 0 0 3\" > $new_id" ;;
    esac
}

dmesg -C 2>/dev/null
declare -A bdf=()
ids=()
for entry in pcm3680_pci:13fe:c002 mioe3680_pci:13fe:c302 kvaser_pci:10e8:8406 plx9030_can_pci:10b5:9030; do
    IFS=: read -r board v d <<<"$entry"
    if ! b=$(bdf_of "$v" "$d"); then
        if [ "$board" = plx9030_can_pci ]; then
            skip "$board: this QEMU has no such board yet"
        else
            fail "$board: on the guest's PCI bus"
        fi
        continue
    fi
    bdf[$board]=$b
    out=$(timeout 60 /usr/bin/python3 "$finder" "$b" 2>&1)
    status=$?
    want=$(expect "$board" "$b")
    if [ $status = 0 ] && [ "$out" = "$want" ]; then
        pass "$board: the finder's lines"
    else
        # No /dev/fd in the guest: the diff goes through files.
        echo "$want" >"$TMPDIR/want"
        echo "$out" >"$TMPDIR/out"
        fail "$board: the finder's lines (status $status)" "$(diff "$TMPDIR/want" "$TMPDIR/out")"
    fi
    entry=$(sed -n 's/^  modprobe pci5c3a ids=//p' <<<"$out")
    [ -z "$entry" ] || ids+=("$entry")
done

# The scan names every board (the four above, and the guest's own devices as not probed).
out=$(timeout 120 /usr/bin/python3 "$finder" 2>&1)
status=$?
missing=""
for board in "${!bdf[@]}"; do
    grep -q "^${bdf[$board]} .*: probed (QEMU's $board ids)$" <<<"$out" || missing+=" $board"
done
if [ -z "$missing" ] && [ $status = 0 ]; then
    pass "the scan probes every board"
else
    fail "the scan probes every board (status $status, missing:${missing:- none})" "$out"
fi

# bound BOARD: the board is bound to pci5c3a.
bound() {
    local b=${bdf[$1]} n=50
    while [ $n -gt 0 ]; do
        [ "$(basename "$(readlink "/sys/bus/pci/devices/$b/driver" 2>/dev/null)")" = pci5c3a ] && return 0
        sleep 0.1
        n=$((n - 1))
    done
    return 1
}

# pci5c3a.ko needs Linux's CAN device framework ($PCI5C3A_GUEST_KDIR: the
# guest kernel's modules, as scripts/fetch-kernel leaves them).
[ -d /sys/module/can_dev ] || insmod "${PCI5C3A_GUEST_KDIR:-.}/can-dev.ko"

# The ids= entries the finder printed, one at a time: the driver of the day
# may not know a bridged layout yet, which refuses the whole parameter.
known=()
for entry in "${ids[@]}"; do
    if insmod "$module" "ids=$entry" 2>/dev/null; then
        known+=("$entry")
        rmmod pci5c3a
    else
        skip "ids=$entry: this pci5c3a.ko refuses it ($(dmesg | grep pci5c3a | tail -n 1))"
    fi
done
param=$(IFS=,; echo "${known[*]}")
if insmod "$module" ${param:+"ids=$param"}; then
    pass "pci5c3a.ko loads with ids=${param:-(none)}"
    for board in "${!bdf[@]}"; do
        case $board in
        pcm3680_pci | mioe3680_pci) want=1 ;;
        *) want=0
           for entry in "${known[@]}"; do
               case $entry in "$(expect "$board" x | sed -n 's/^  modprobe pci5c3a ids=//p')") want=1 ;; esac
           done ;;
        esac
        [ $want = 1 ] || continue
        if bound "$board"; then
            pass "$board: bound by pci5c3a"
        else
            fail "$board: bound by pci5c3a" "$(dmesg | tail -n 20)"
        fi
    done
    b=${bdf[pcm3680_pci]:-}
    if [ -n "$b" ]; then
        out=$(/usr/bin/python3 "$finder" "$b" 2>&1)
        status=$?
        want="pci5c3a-find-layout: $b: bound to driver pci5c3a; not probed (unbind it first: echo $b > /sys/bus/pci/drivers/pci5c3a/unbind)"
        if [ $status = 1 ] && [ "$out" = "$want" ]; then
            pass "a bound board is refused"
        else
            fail "a bound board is refused (status $status)" "$out"
        fi
    fi
    rmmod pci5c3a || fail "pci5c3a.ko unloads"
else
    fail "pci5c3a.ko loads with ids=${param:-(none)}" "$(dmesg | tail -n 20)"
fi

if dmesg | grep -wE 'BUG|WARNING|Oops|KASAN|nobody cared' >"$TMPDIR/bad.log"; then
    fail "kernel log clean" "$(cat "$TMPDIR/bad.log")"
else
    pass "kernel log clean"
fi
echo "$passed passed, $failed failed"
[ $failed = 0 ]
