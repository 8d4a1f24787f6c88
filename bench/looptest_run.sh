#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Wall time of whole passing runs of test5C3A on the virtual card, against
# the floor the test itself sets: the 5 s wait plus 32 message pairs of at
# least 3 ms each (1 ms before each of the two sends, 1 ms after the pair).
#
#   bench/looptest_run.sh [RUNS]        (default 5 runs)
#
# Standard input is /dev/null, so each run goes through the whole test
# (verdict printed, ports closed) and then ends at the key wait with status 1
# instead of waiting for a key: the time measured is everything but the key.
# PCI5C3A_BUILD_DIR picks the build directory (default build/default; build
# it first, e.g. with scripts/demo). Not a test: nothing is asserted.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
build=${PCI5C3A_BUILD_DIR:-build/default}
program=$build/looptest/test5C3A
library=$PWD/$build/vcard/libpci_5C3A_vcard.so
case $build in /*) library=$build/vcard/libpci_5C3A_vcard.so ;; esac
if [ ! -x "$program" ] || [ ! -f "$library" ]; then
    echo "looptest_run: build test5C3A and the virtual card in $build first (scripts/demo does)" >&2
    exit 2
fi

floor_ms=$((5000 + 32 * 3))
times=()
for ((i = 1; i <= runs; i++)); do
    start=$(date +%s%N)
    status=0
    output=$(LD_PRELOAD=$library "$program" </dev/null 2>/dev/null) || status=$?
    end=$(date +%s%N)
    if [ "$status" -ne 1 ] || [[ $output != *$'\ntest ok!!\n'* ]]; then
        echo "looptest_run: run $i did not pass (status $status):" >&2
        printf '%s\n' "$output" >&2
        exit 1
    fi
    ms=$(((end - start) / 1000000))
    times+=("$ms")
    printf 'run %d: %d ms\n' "$i" "$ms"
done

mapfile -t sorted < <(printf '%s\n' "${times[@]}" | sort -n)
min=${sorted[0]}
n=${#sorted[@]}
if ((n % 2)); then
    median=${sorted[n / 2]}
else
    median=$(((sorted[n / 2 - 1] + sorted[n / 2]) / 2))
fi
printf 'runs %d  min %d ms  median %d ms  floor %d ms  (median - floor %d ms)\n' \
    "$n" "$min" "$median" "$floor_ms" $((median - floor_ms))
