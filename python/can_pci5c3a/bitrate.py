"""Bit timing of the card's SJA1000 controllers.

The card clocks its controllers from a 16 MHz crystal; python-can counts
that as the controller's 8 MHz CAN clock (``f_clock``), the crystal halved.
A time quantum lasts 2 x (BRP + 1) crystal periods and a bit
1 + (TSEG1 + 1) + (TSEG2 + 1) quanta, with the register fields BRP 0..63,
TSEG1 0..15 and TSEG2 0..7. The card's library has four fixed bit rates
(indices 0..3: 125k, 250k, 500k, 1M); any other rate is programmed as the
user timing (index 4) computed here.
"""

from dataclasses import dataclass
from typing import List, Optional

import can

CRYSTAL_HZ = 16_000_000
#: The controller's CAN clock as python-can's :class:`can.BitTiming` counts it.
CAN_CLOCK_HZ = CRYSTAL_HZ // 2
#: The fastest rate the SJA1000 supports on a bus.
MAX_BITRATE = 1_000_000

#: The library's fixed bit-rate indices.
FIXED_INDICES = {125_000: 0, 250_000: 1, 500_000: 2, 1_000_000: 3}

_MAX_BRP = 63
_MAX_TSEG1 = 15
_MAX_TSEG2 = 7
_MIN_QUANTA = 3  # sync segment plus one quantum in each time segment
_MAX_QUANTA = 1 + (_MAX_TSEG1 + 1) + (_MAX_TSEG2 + 1)
# A rate counts as reached when the bit time it needs lies this close to a
# whole number of crystal periods: the rates named in error messages are
# rounded to whole bit/s and must be accepted as they are printed.
_TOLERANCE = 1e-4
#: Sample point aimed at, as CiA 301 recommends for most rates.
_SAMPLE_POINT = 0.875


@dataclass(frozen=True)
class Timing:
    """What ``CanConfigPort`` is given for a bit rate.

    ``brp``, ``tseg1``, ``tseg2`` and ``sjw`` are the ``PORT_STRUCT`` fields,
    used only with ``index`` 4; the library writes them to the bus timing
    registers as ``btr0 = sjw << 6 | brp`` and ``btr1 = tseg2 << 4 | tseg1``.
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
        return (self.sjw << 6 | self.brp) & 0xFF if self.index == 4 else None

    @property
    def btr1(self) -> Optional[int]:
        """Bus timing 1 of the user timing, None for a fixed index."""
        return (self.tseg2 << 4 | self.tseg1) & 0xFF if self.index == 4 else None


def _reachable_periods() -> List[int]:
    periods = {
        2 * (brp + 1) * quanta
        for brp in range(_MAX_BRP + 1)
        for quanta in range(_MIN_QUANTA, _MAX_QUANTA + 1)
    }
    return sorted(p for p in periods if CRYSTAL_HZ / p <= MAX_BITRATE)


_PERIODS = _reachable_periods()


def nearest_bitrates(bitrate: float) -> List[int]:
    """The reachable bit rates next to ``bitrate``, below and above it."""
    slower = [p for p in _PERIODS if CRYSTAL_HZ / p < bitrate]
    faster = [p for p in _PERIODS if CRYSTAL_HZ / p > bitrate]
    nearest = []
    if slower:
        nearest.append(round(CRYSTAL_HZ / slower[0]))
    if faster:
        nearest.append(round(CRYSTAL_HZ / faster[-1]))
    return sorted(nearest)


def _split(period: int) -> Timing:
    # Of the prescalers that divide the bit time into a programmable number
    # of quanta, the one whose sample point comes closest to the aim; among
    # equals the finest quantum, for the widest resynchronisation.
    best = None
    for brp in range(_MAX_BRP + 1):
        quanta, rest = divmod(period, 2 * (brp + 1))
        if rest or not _MIN_QUANTA <= quanta <= _MAX_QUANTA:
            continue
        phase2 = min(max(quanta - round(_SAMPLE_POINT * quanta), 1), _MAX_TSEG2 + 1)
        phase1 = quanta - 1 - phase2
        if phase1 > _MAX_TSEG1 + 1:
            phase1, phase2 = _MAX_TSEG1 + 1, quanta - 1 - (_MAX_TSEG1 + 1)
        if phase2 > _MAX_TSEG2 + 1:
            continue
        error = abs((1 + phase1) / quanta - _SAMPLE_POINT)
        if best is None or error < best[0] - 1e-9:
            best = (error, brp, phase1, phase2)
    assert best is not None, period  # every period in _PERIODS splits
    _, brp, phase1, phase2 = best
    sjw = min(phase2, 4)
    return Timing(4, CRYSTAL_HZ / period, brp, phase1 - 1, phase2 - 1, sjw - 1)


def timing_for_bitrate(bitrate: float) -> Timing:
    """The library's configuration for ``bitrate`` bit/s.

    :raises ValueError:
        if the controller cannot be programmed to the rate; the message names
        the nearest rates it can run at
    """
    if bitrate in FIXED_INDICES:
        return Timing(FIXED_INDICES[bitrate], bitrate)
    if bitrate > 0:
        period = round(CRYSTAL_HZ / bitrate)
        if period in _PERIODS and abs(CRYSTAL_HZ / period - bitrate) <= _TOLERANCE * bitrate:
            return _split(period)
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
    return Timing(4, CRYSTAL_HZ / period, brp, tseg1, tseg2, sjw)


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
