#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-only OR MIT
# The python-can interface's suite over the kernel driver, in the guest of
# scripts/guest-run (this machine's root over 9p, so Debian's python3, python-can and
# pytest are the host's) with QEMU's SJA1000 boards as the cards:
#
#   scripts/guest-run kernel/tests/python-suite.sh MODULE BUILD
#
# MODULE is pci5c3a.ko for the guest's kernel, BUILD the x86_64 build tree
# whose libpci_5C3A the interface loads. scripts/python-driver-test runs it. The
# suite runs as on a machine with the card (the tests that configure the
# virtual card skip); the kernel log must stay clean. Prints PASS/FAIL lines.
set -u
module=$1 build=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
failed=0
pass() { echo "PASS $1"; }
fail() {
    echo "FAIL $1"
    failed=1
    [ $# -lt 2 ] || sed 's/^/    /' "$2" | tail -n 40
}
log=$TMPDIR/python-suite.log

dmesg -C 2>/dev/null
# pci5c3a.ko needs Linux's CAN device framework ($PCI5C3A_GUEST_KDIR: the
# guest kernel's modules, as scripts/fetch-kernel leaves them).
[ -d /sys/module/can_dev ] || insmod "${PCI5C3A_GUEST_KDIR:-.}/can-dev.ko"
if ! insmod "$module"; then
    fail "python-can over the driver: pci5c3a.ko loads"
    exit 1
fi
n=200
while [ $n -gt 0 ] && [ ! -c /dev/PCI5C3AW0 ]; do sleep 0.1; n=$((n - 1)); done
if [ ! -c /dev/PCI5C3AW0 ]; then
    dmesg >"$TMPDIR/dmesg.log" 2>&1
    fail "python-can over the driver: /dev/PCI5C3AW0 appears" "$TMPDIR/dmesg.log"
    exit 1
fi

# pytest answers 5 when it collected nothing: a failure too.
(cd "$root/python" && env -u LD_PRELOAD -u PCI5C3A_VCARD_LIB LD_LIBRARY_PATH="$build/lib" \
    PCI5C3A_TEST_TARGET=qemu PYTHONDONTWRITEBYTECODE=1 timeout -k 5 900 \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests) >"$log" 2>&1
status=$?
if [ $status = 0 ]; then
    pass "python-can over the driver: $(grep -E '[0-9]+ passed' "$log" | tail -n 1)"
else
    fail "python-can over the driver: pytest status $status" "$log"
fi

rmmod pci5c3a || fail "python-can over the driver: pci5c3a.ko unloads"
dmesg >"$TMPDIR/dmesg.log" 2>&1
if grep -wE 'BUG|WARNING|Oops|KASAN' "$TMPDIR/dmesg.log" >"$TMPDIR/bad.log"; then
    fail "python-can over the driver: kernel log clean" "$TMPDIR/bad.log"
else
    pass "python-can over the driver: kernel log clean"
fi
exit $failed
