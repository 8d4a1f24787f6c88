# SPDX-License-Identifier: MIT
# Helpers for the SocketCAN suites that scripts/kernel-test runs in its
# guest (busybox sh). Source it: . "$PCI5C3A_ROOT/tests/kernel/lib/common.sh"
#
# The guest gives a suite: PCI5C3A_ROOT (the source tree), PCI5C3A_BUILDS
# (the build trees, x86_64 then i386), PCI5C3A_BUILD_AMD64 and
# PCI5C3A_BUILD_I386; modules can, can-raw, can-dev, vcan and can-gw loaded;
# no network; TMPDIR, a tmpfs of the guest (and $tmp in it, below). Each
# test case prints one line: "PASS name" or "FAIL name", with indented
# detail lines after a FAIL. Every wait is bounded. Helpers keep their
# variables local; their results are in the globals they name ($dump_pid,
# $exit_status).

# The virtual card is configured by each test itself.
for v in $(env | sed -n 's/^\(PCI5C3A_VCARD_[A-Z_]*\)=.*/\1/p'); do unset "$v"; done

# $tmp: a directory of the suite's own in TMPDIR for its logs, frame lists
# and traces, removed when the suite ends.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/pci5c3a-suite.XXXXXX") || {
    echo "FAIL scratch directory in ${TMPDIR:-/tmp}"
    exit 1
}
trap 'rm -rf "$tmp"' EXIT

pass() { echo "PASS $*"; }
# fail NAME [DETAIL...]: each detail argument is a line, or a file to show.
fail() {
    echo "FAIL $1"
    shift
    for d in "$@"; do
        if [ -f "$d" ]; then sed 's/^/    /' "$d" | head -n 40; else echo "    $d"; fi
    done
}
# check NAME COMMAND...: passes when the command succeeds (its output is the
# detail otherwise).
check() {
    local name=$1
    shift
    if "$@" >"$tmp/check.out" 2>&1; then pass "$name"; else fail "$name" "$tmp/check.out"; fi
}

# expect_exit [--one-line] NAME STATUS PATTERN FILE COMMAND...: runs COMMAND
# (give it a time limit, e.g. timeout 20 ...) with its output in FILE;
# passes when it exits with STATUS and a line of FILE matches PATTERN (grep
# -E); with --one-line, FILE must also be that one line and no more.
expect_exit() {
    local one="" name status pattern file st
    if [ "$1" = --one-line ]; then
        one=1
        shift
    fi
    name=$1 status=$2 pattern=$3 file=$4
    shift 4
    "$@" >"$file" 2>&1
    st=$?
    if [ "$st" = "$status" ] && grep -qE "$pattern" "$file" && { [ -z "$one" ] || [ "$(wc -l <"$file")" = 1 ]; }; then
        pass "$name"
    else
        fail "$name" "status $st (expected $status)" "$file"
    fi
}

# abi_of BUILD: "amd64" or "i386", for test names.
abi_of() {
    case $1 in "$PCI5C3A_BUILD_I386") echo i386 ;; *) echo amd64 ;; esac
}

# vcan NAME [MTU]: a fresh vcan interface, up. MTU 72 lets CAN FD frames in.
vcan() {
    ip link del dev "$1" 2>/dev/null
    ip link add dev "$1" type vcan || return 1
    [ -z "$2" ] || ip link set dev "$1" mtu "$2" || return 1
    ip link set dev "$1" up
}

# start_logged LOG COMMAND...: COMMAND in the background ($!), its standard
# output and error in LOG, which is emptied here first. The background shell
# truncates LOG only once it runs, and the parent often runs first: a
# wait_for on LOG would then find the previous process's lines there (its
# "ready") and go on before COMMAND even started.
start_logged() {
    local log=$1
    shift
    : >"$log"
    "$@" >"$log" 2>&1 &
}

# wait_for FILE PATTERN [TENTHS]: until a line of FILE matches (grep -E),
# at most TENTHS tenths of a second (default 100).
wait_for() {
    local n=${3:-100}
    while [ "$n" -gt 0 ]; do
        grep -qE "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
        n=$((n - 1))
    done
    return 1
}

# wait_lines FILE COUNT [TENTHS]: until FILE has at least COUNT lines.
wait_lines() {
    local n=${3:-100}
    while [ "$n" -gt 0 ]; do
        [ "$(wc -l <"$1" 2>/dev/null || echo 0)" -ge "$2" ] && return 0
        sleep 0.1
        n=$((n - 1))
    done
    return 1
}

# wait_exit PID [TENTHS]: until the process has ended; its status in
# $exit_status (kills it after the limit, status 255 then).
wait_exit() {
    local n=${2:-100}
    while [ "$n" -gt 0 ]; do
        if ! kill -0 "$1" 2>/dev/null; then
            wait "$1"
            exit_status=$?
            return 0
        fi
        sleep 0.1
        n=$((n - 1))
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1"
    exit_status=255
    return 1
}

# dump_start IFACE FILE [candump options]: candump -L in the background
# ($dump_pid), started once it listens.
dump_start() {
    local iface=$1 file=$2
    shift 2
    start_logged "$file" candump -L "$@" "$iface"
    dump_pid=$!
    listening "$dump_pid"
}
# listening PID: until PID is candump with its socket bound (at most 10 s):
# candump binds its socket right after opening it and then sleeps only in
# its wait for frames. Until the background shell has run candump, the
# process is that shell, which may sleep too.
listening() {
    local n=200
    while [ $n -gt 0 ]; do
        if grep -q '^Name:.candump$' "/proc/$1/status" 2>/dev/null &&
            grep -q 'S (sleeping)' "/proc/$1/status" 2>/dev/null &&
            ls -l "/proc/$1/fd" 2>/dev/null | grep -q 'socket:'; then
            return 0
        fi
        sleep 0.05
        n=$((n - 1))
    done
    return 1
}
# dump_stop PID FILE: ends that candump; its log keeps only "ID#DATA" per
# line.
dump_stop() {
    sleep 0.2
    kill "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    sed -i 's/^([0-9.]*) [^ ]* //' "$2"
}
