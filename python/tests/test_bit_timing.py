# SPDX-License-Identifier: MIT
"""Bit timing against the vectors the gateway's tests read as well
(``tests/bit_timing_vectors.tsv``): registers and sample points computed,
then programmed into the controller; refusals naming the nearest rates."""

import os
from typing import List, NamedTuple, Optional

import can
import pytest

from can_pci5c3a.bitrate import CAN_CLOCK_HZ, FIXED_INDICES, nearest_bitrates, timing_for_bitrate
from support import register

REG_BTR0, REG_BTR1 = 6, 7
VECTORS = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
    "tests",
    "bit_timing_vectors.tsv",
)


class Vector(NamedTuple):
    rate: int
    btr0: Optional[int]  # None: refused
    btr1: Optional[int]
    sample_point: Optional[int]
    nearest: List[int]


def _read_vectors() -> List[Vector]:
    vectors = []
    with open(VECTORS, encoding="utf-8") as file:
        for number, line in enumerate(file, 1):
            if not line.strip() or line.startswith("#"):
                continue
            columns = line.rstrip("\n").split("\t")
            assert len(columns) == 6, f"{VECTORS}:{number}: six tab-separated columns"
            rate, btr0, btr1, sample, below, above = columns
            refused = btr0 == "refused"
            vectors.append(
                Vector(
                    int(rate),
                    None if refused else int(btr0, 16),
                    None if refused else int(btr1, 16),
                    None if refused else int(sample),
                    [int(n) for n in (below, above) if n != "-"],
                )
            )
    return vectors


ALL = _read_vectors()
REACHED = [v for v in ALL if v.btr0 is not None]
REFUSED = [v for v in ALL if v.btr0 is None]


def _sample_point(btr1: int) -> int:
    # Sync segment and time segment 1 before the sample point, in truncated
    # tenths of a percent.
    tseg1, tseg2 = (btr1 & 0x0F) + 1, ((btr1 >> 4) & 0x07) + 1
    return 1000 * (1 + tseg1) // (1 + tseg1 + tseg2)


def test_the_table_covers_the_common_rates():
    rates = {v.rate for v in REACHED}
    assert {10000, 20000, 33333, 47619, 50000, 83333, 95238, 100000, 125000, 250000, 500000, 800000,
            1000000} <= rates
    assert len(REFUSED) >= 5


@pytest.mark.parametrize("vector", REACHED, ids=lambda v: str(v.rate))
def test_registers_for_the_rate(vector):
    timing = timing_for_bitrate(vector.rate)
    if vector.rate in FIXED_INDICES:
        # The library writes its own table's bytes; the vectors hold them.
        assert timing.index == FIXED_INDICES[vector.rate] and timing.btr0 is None
        return
    assert (timing.index, timing.btr0, timing.btr1) == (4, vector.btr0, vector.btr1)
    assert _sample_point(timing.btr1) == vector.sample_point
    assert abs(timing.bitrate - vector.rate) <= 0.5


@pytest.mark.parametrize("vector", REACHED, ids=lambda v: str(v.rate))
def test_controller_programmed_with_them(vector):
    with can.Bus(interface="pci5c3a", channel=0, bitrate=vector.rate):
        assert (register(0, REG_BTR0), register(0, REG_BTR1)) == (vector.btr0, vector.btr1)


@pytest.mark.parametrize("vector", REFUSED, ids=lambda v: str(v.rate))
def test_refused_with_the_nearest(vector):
    assert nearest_bitrates(vector.rate) == vector.nearest
    with pytest.raises(ValueError, match=" or ".join(f"{n} bit/s" for n in vector.nearest) + "$"):
        timing_for_bitrate(vector.rate)
    for rate in vector.nearest:
        timing_for_bitrate(rate)  # named as it is accepted


def test_exact_to_half_a_bit_per_second():
    # 96 cycles: 83333.33 bit/s, written 83333; a float as well.
    for rate in (83333, 83333.33, 83333.8):
        assert timing_for_bitrate(rate).btr0 == 0x05
    for rate in (83332.8, 83334, float("nan"), float("inf"), 0.4):
        with pytest.raises(ValueError):
            timing_for_bitrate(rate)
    # 1024 cycles end in exactly half a bit/s: both neighbours are taken.
    assert CAN_CLOCK_HZ / 1024 == 7812.5
    assert timing_for_bitrate(7812).btr0 == timing_for_bitrate(7813).btr0
