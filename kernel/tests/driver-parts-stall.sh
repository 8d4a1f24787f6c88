# SPDX-License-Identifier: GPL-2.0-only OR MIT
# The driver suite's part "stall", sourced by kernel/tests/driver-suite.sh
# (its helpers, $build, $abi and $tmp as for the other parts).
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
