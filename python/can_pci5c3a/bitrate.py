# SPDX-License-Identifier: MIT
"""Bit timing of the card's SJA1000 controllers.

The card clocks its controllers from a 16 MHz crystal, which the chip halves
into its 8 MHz CAN clock; python-can counts that as the controller's clock
(``f_clock``). A time quantum lasts BRP + 1 CAN clock cycles and a bit
1 + (TSEG1 + 1) + (TSEG2 + 1) quanta, with the register fields BRP 0..63,
TSEG1 0..15 and TSEG2 0..7. The card's library has four fixed bit rates
(indices 0..3: 125k, 250k, 500k, 1M); any other rate is programmed as the
user timing (index 4) computed here.

The rule, the same as the gateway's (``gateway/bit_timing.cpp``), is stated
in the source tree's README, "Bit rates and bus timing": the registers
Linux's ``can_calc_bittiming`` (6.1) computes for an SJA1000 with an 8 MHz
CAN clock, for rates whose bit is a whole number of CAN clock cycles to half
a bit/s; ``tests/bit_timing_vectors.tsv`` holds both implementations to it.
"""

import math
from dataclasses import dataclass
from typing import List, Optional, Tuple

import can

from ._library import (
    PCI5C3A_BAUD_125K,
    PCI5C3A_BAUD_1M,
    PCI5C3A_BAUD_250K,
    PCI5C3A_BAUD_500K,
    PCI5C3A_BAUD_USER,
)

CRYSTAL_HZ = 16_000_000
#: The controller's CAN clock as python-can's :class:`can.BitTiming` counts it.
CAN_CLOCK_HZ = CRYSTAL_HZ // 2
#: The fastest rate the SJA1000 supports on a bus.
MAX_BITRATE = 1_000_000

#: The library's fixed bit-rate indices.
FIXED_INDICES = {
    125_000: PCI5C3A_BAUD_125K,
    250_000: PCI5C3A_BAUD_250K,
    500_000: PCI5C3A_BAUD_500K,
    1_000_000: PCI5C3A_BAUD_1M,
}

# The controller's limits in the terms of Linux's SJA1000 driver: a prescaler
# of 1..64 cycles per quantum, time segment 1 (propagation and phase segment
# 1) of 1..16 quanta, phase segment 2 of 1..8, and the sync segment's one
# quantum. The register fields hold each value minus 1.
_BRP_MIN, _BRP_MAX = 1, 64
_TSEG1_MIN, _TSEG1_MAX = 1, 16
_TSEG2_MIN, _TSEG2_MAX = 1, 8
_SYNC_SEG = 1
# Bits of 8 (1 Mbit/s) to 1600 (5 kbit/s) CAN clock cycles.
_MIN_CYCLES = CAN_CLOCK_HZ // MAX_BITRATE
_MAX_CYCLES = _BRP_MAX * (_SYNC_SEG + _TSEG1_MAX + _TSEG2_MAX)


@dataclass(frozen=True)
class Timing:
    """What ``CanConfigPort`` is given for a bit rate.

    ``brp``, ``tseg1``, ``tseg2`` and ``sjw`` are the ``PORT_STRUCT`` fields,
    used only with ``index`` ``PCI5C3A_BAUD_USER`` (4); the library writes
    them to the bus timing registers as ``btr0 = sjw << 6 | brp`` and ``btr1 = tseg2 << 4 | tseg1``.
    """

    index: int
    bitrate: float
    brp: int = 0
    tseg1: int = 0
    tseg2: int = 0
    sjw: int = 0

    @property
    def btr0(self) -> Optional[int]:
        """Bus timing 0 of the user timing, None for a fixed index."""
        return (self.sjw << 6 | self.brp) & 0xFF if self.index == PCI5C3A_BAUD_USER else None

    @property
    def btr1(self) -> Optional[int]:
        """Bus timing 1 of the user timing, None for a fixed index."""
        return (self.tseg2 << 4 | self.tseg1) & 0xFF if self.index == PCI5C3A_BAUD_USER else None


def _reference_sample_point(bitrate: int) -> int:
    # The sample points CiA recommends, in tenths of a percent, as Linux
    # takes them when the user names none.
    if bitrate > 800_000:
        return 750
    if bitrate > 500_000:
        return 800
    return 875


def _split_segments(reference: int, tseg: int) -> Tuple[int, int, Optional[int]]:
    # The ``tseg`` quanta after the sync segment as time segments 1 and 2,
    # with the sample point as close to the reference as it comes without
    # passing it: phase segment 2 rounded up from the reference, or a quantum
    # shorter, within the registers' ranges. Sample points count in
    # truncated tenths of a percent, as in Linux's can_update_sample_point,
    # which decides its ties. The error is None when no split fits.
    best: Tuple[int, int, Optional[int]] = (0, 0, None)
    quanta = tseg + _SYNC_SEG
    for shorter in (0, 1):
        tseg2 = min(max(quanta - reference * quanta // 1000 - shorter, _TSEG2_MIN), _TSEG2_MAX)
        tseg1 = tseg - tseg2
        if tseg1 > _TSEG1_MAX:
            tseg1, tseg2 = _TSEG1_MAX, tseg - _TSEG1_MAX
        sample_point = 1000 * (quanta - tseg2) // quanta
        error = reference - sample_point
        if sample_point <= reference and (best[2] is None or error < best[2]):
            best = (tseg1, tseg2, error)
    return best


def _search(bitrate: int) -> Optional[Tuple[int, int, int]]:
    # Linux's can_calc_bittiming: every number of quanta from the most to the
    # fewest, each with the prescaler rounded down and up; the smallest rate
    # error wins, then the smallest sample-point error, and on a tie the
    # earlier candidate, with more quanta and so the finer resynchronisation.
    # Returns (brp, tseg1, tseg2) in quanta, None when no prescaler fits.
    reference = _reference_sample_point(bitrate)
    best = None
    best_rate_error = math.inf
    best_sample_point_error = math.inf
    for tseg in range((_TSEG1_MAX + _TSEG2_MAX) * 2 + 1, (_TSEG1_MIN + _TSEG2_MIN) * 2 - 1, -1):
        quanta = _SYNC_SEG + tseg // 2
        brp = CAN_CLOCK_HZ // (quanta * bitrate) + tseg % 2
        if not _BRP_MIN <= brp <= _BRP_MAX:
            continue
        rate_error = abs(bitrate - CAN_CLOCK_HZ // (brp * quanta))
        if rate_error > best_rate_error:
            continue
        if rate_error < best_rate_error:
            best_sample_point_error = math.inf
        tseg1, tseg2, error = _split_segments(reference, tseg // 2)
        if error is None or error >= best_sample_point_error:
            continue
        best = (brp, tseg1, tseg2)
        best_rate_error, best_sample_point_error = rate_error, error
        if rate_error == 0 and error == 0:
            break
    return best


def _splits(cycles: int) -> bool:
    # Whether some prescaler divides a bit of ``cycles`` into a number of
    # quanta the registers express.
    lowest = _SYNC_SEG + _TSEG1_MIN + _TSEG2_MIN
    highest = _SYNC_SEG + _TSEG1_MAX + _TSEG2_MAX
    return any(
        cycles % brp == 0 and lowest <= cycles // brp <= highest for brp in range(_BRP_MIN, _BRP_MAX + 1)
    )


_LENGTHS = [cycles for cycles in range(_MIN_CYCLES, _MAX_CYCLES + 1) if _splits(cycles)]


def _rounded_rate(cycles: int) -> int:
    # The rate of a bit of ``cycles`` cycles in whole bit/s, halves up.
    return (2 * CAN_CLOCK_HZ + cycles) // (2 * cycles)


def nearest_bitrates(bitrate: float) -> List[int]:
    """The reachable bit rates next to ``bitrate``, below and above it, in
    whole bit/s as :func:`timing_for_bitrate` takes them."""
    slower = [c for c in _LENGTHS if CAN_CLOCK_HZ < bitrate * c]
    faster = [c for c in _LENGTHS if CAN_CLOCK_HZ > bitrate * c]
    nearest = []
    if slower:
        nearest.append(_rounded_rate(slower[0]))
    if faster:
        nearest.append(_rounded_rate(faster[-1]))
    return sorted(nearest)


def timing_for_bitrate(bitrate: float) -> Timing:
    """The library's configuration for ``bitrate`` bit/s.

    A rate is reachable when its bit is a whole number of CAN clock cycles,
    to half a bit/s: 83333 (or 83333.33) for 96 cycles.

    :raises ValueError:
        if the controller cannot be programmed to the rate; the message names
        the nearest rates it can run at
    """
    if bitrate in FIXED_INDICES:
        return Timing(FIXED_INDICES[bitrate], bitrate)
    if isinstance(bitrate, (int, float)) and math.isfinite(bitrate) and bitrate >= 0.5:
        # The kernel's search takes whole bit/s.
        found = _search(math.floor(bitrate + 0.5))
        if found is not None:
            brp, tseg1, tseg2 = found
            cycles = brp * (_SYNC_SEG + tseg1 + tseg2)
            if cycles >= _MIN_CYCLES and abs(CAN_CLOCK_HZ / cycles - bitrate) <= 0.5:
                # SJW 1 quantum, as Linux 6.1 sets it by default.
                return Timing(PCI5C3A_BAUD_USER, CAN_CLOCK_HZ / cycles, brp - 1, tseg1 - 1, tseg2 - 1, 0)
    nearest = " or ".join(f"{rate} bit/s" for rate in nearest_bitrates(bitrate))
    raise ValueError(
        f"bitrate {bitrate!r}: the card's controllers (16 MHz crystal) cannot run at "
        f"that rate; the nearest they can: {nearest}"
    )


def timing_from_registers(btr0: int, btr1: int) -> Timing:
    """The user timing that programs exactly these bus timing register values."""
    for name, value in (("btr0", btr0), ("btr1", btr1)):
        if not isinstance(value, int) or not 0 <= value <= 0xFF:
            raise ValueError(f"{name} must be a register value 0..255, got {value!r}")
    brp, sjw = btr0 & 0x3F, btr0 >> 6
    # TSEG2 takes the upper nibble whole, so that the sampling bit (bit 7)
    # comes out of the library's (tseg2 << 4) | tseg1 as given.
    tseg1, tseg2 = btr1 & 0x0F, btr1 >> 4
    period = 2 * (brp + 1) * (3 + tseg1 + (tseg2 & 0x07))
    return Timing(PCI5C3A_BAUD_USER, CRYSTAL_HZ / period, brp, tseg1, tseg2, sjw)


def timing_from_bit_timing(timing: "can.BitTiming") -> Timing:
    """The user timing for a python-can :class:`can.BitTiming`, taken as given.

    :raises ValueError:
        if the timing was computed for another clock than the card's 8 MHz
        CAN clock, or its fields do not fit the SJA1000's registers
    """
    try:
        f_clock = timing.f_clock
    except ValueError:
        f_clock = None  # made from btr0/btr1: no clock involved
    if f_clock is not None and f_clock != CAN_CLOCK_HZ:
        raise ValueError(
            f"timing is for a {f_clock} Hz clock; the card's controllers count an "
            f"f_clock of {CAN_CLOCK_HZ} Hz (16 MHz crystal)"
        )
    return timing_from_registers(timing.btr0, timing.btr1)
