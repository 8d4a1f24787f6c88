# SPDX-License-Identifier: GPL-2.0-only OR MIT
# The driver suite's parts "stall" and "absent", sourced by
# kernel/tests/driver-suite.sh (its helpers, $build, $abi, $board and $tmp as
# for the other parts).
#
# A request whose reply lands in a page that faults slowly must hold up
# nothing else of the card: driver-test/uffd_stall (kernel/tests/uffd_stall.c)
# write-protects the record of a REQ_RECEIVE (a frame queued), of a
# REQ_REG_READ and of a REQ_RCV_COUNT with a userfaultfd, and while each
# waits in the kernel on its reply, another process's requests and receive
# signal and an unbind of the card must go through. The program unbinds
# the receiving end's card; it is bound again here and must answer. About a second a
# kind when the driver copies replies outside its lock; up to 40 s a kind
# when it does not (every wait is bounded, 10 s).

part_stall() {
    local from=${PCI5C3A_TEST_LOOP%:*} to=${PCI5C3A_TEST_LOOP#*:} bdf card kind line st
    # The card under test is the one of the cable's receiving end.
    card=$((to / 2))
    bdf=$(bdf_of $card)
    for kind in receive reg_read rcv_count; do
        timeout 90 "$build/driver-test/uffd_stall" "$from" "$to" "$bdf" $kind >"$tmp/stall.log" 2>&1
        st=$?
        # Its own PASS/FAIL lines, prefixed with the ABI.
        sed -n -e "s/^PASS /PASS $abi: stalled reply: /p" -e "s/^FAIL /FAIL $abi: stalled reply: /p" "$tmp/stall.log"
        if [ $st = 2 ] || [ $st -gt 100 ] || ! grep -q -E '^(PASS|FAIL) ' "$tmp/stall.log"; then
            fail "$abi: stalled reply: $kind: the program ran (status $st)" "$tmp/stall.log"
        fi
        # A card the program unbound is bound again (it takes its number
        # back, the lowest free); either way it answers.
        [ -c /dev/PCI5C3AW$card ] || echo "$bdf" >/sys/bus/pci/drivers/pci5c3a/bind
        line=$(timeout 20 "$build/driver-test/hold" $card 0 | tail -n 1)
        if [ "$line" = "after: count=OK event=OK close=OK" ]; then
            pass "$abi: stalled reply: $kind: card $card bound again answers"
        else
            fail "$abi: stalled reply: $kind: card $card bound again answers" "${line:-no answer}" \
                "$(ls /dev/PCI5C3AW* 2>&1)"
        fi
    done
}

# A board that is gone (surprise removal) reads 0xff at every register. On
# QEMU's I/O boards card 0 reads so once its I/O decode is off (bit 0 of the
# command register, config byte 4). Where card 1 shares its interrupt line,
# card 1's traffic runs card 0's handler too: it must see that nothing
# answers (IR and MOD read 0xff) and claim nothing, so card 0's interrupt
# counters stay still. Where the cards have lines of their own, the case
# cannot be made and says so.
part_absent() {
    local name cfg cmd irq0 irq1 before after rx st line
    name="$abi: card 0 reading 0xff (I/O decode off): its handler claims none of card 1's interrupts"
    case $board in pcm3680_pci | mioe3680_pci) ;; *)
        echo "    ($abi: absent: not on $board, whose registers are not in I/O space)"
        return ;;
    esac
    cfg=/sys/bus/pci/devices/$(bdf_of 0)/config
    irq0=$(cat "/sys/bus/pci/devices/$(bdf_of 0)/irq") irq1=$(cat "/sys/bus/pci/devices/$(bdf_of 1)/irq")
    if [ "$irq0" != "$irq1" ]; then
        echo "    ($abi: absent: the cards have lines $irq0 and $irq1 of their own: not run)"
        return
    fi
    cmd=$(od -An -tu1 -j4 -N1 "$cfg" | tr -d ' ')
    before="$(counter 0 0 interrupts) $(counter 0 1 interrupts)"
    rx=$(counter 1 1 rx_frames)
    printf "\\$(printf %03o $((cmd & ~1)))" | dd of="$cfg" bs=1 seek=4 count=1 conv=notrunc 2>/dev/null
    PCI5C3A_TEST_LOOP=2:3 timeout 60 "$build/tests/driver_fuzz" --seconds 2 --seed 5 --card 1 >"$tmp/absent.log" 2>&1
    st=$?
    after="$(counter 0 0 interrupts) $(counter 0 1 interrupts)"
    printf "\\$(printf %03o "$cmd")" | dd of="$cfg" bs=1 seek=4 count=1 conv=notrunc 2>/dev/null
    rx=$(($(counter 1 1 rx_frames) - rx))
    if [ $st = 0 ] && [ $rx -gt 0 ] && [ "$before" = "$after" ]; then
        pass "$name"
    else
        fail "$name" "card 0's interrupts before $before, after $after (want unchanged); card 1 received $rx" \
            "driver_fuzz on card 1: status $st" "$tmp/absent.log"
    fi
    line=$(timeout 20 "$build/driver-test/hold" 0 0 | tail -n 1)
    if [ "$line" = "after: count=OK event=OK close=OK" ]; then
        pass "$abi: card 0 answers again with its I/O decode back on"
    else
        fail "$abi: card 0 answers again with its I/O decode back on" "${line:-no answer}"
    fi
}
