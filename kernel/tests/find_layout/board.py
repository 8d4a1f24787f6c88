# SPDX-License-Identifier: MIT
"""Emulated boards for pci5c3a-find-layout's tests.

A tiny SJA1000 model (the reset values of the data sheet in both modes, the
mode bit and the configuration bits of the clock divider writable in reset
mode only, a reset request that a chip in operating mode takes), a bridge
whose registers record every access, and BARs that map them, behind a fake
sysfs tree in a temporary directory.
"""

import os
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

import pci5c3a_layouts as L


class Sja1000:
    """One controller, as far as detection sees it."""

    def __init__(self) -> None:
        self.log: List[Tuple[str, int, int]] = []
        self.irq_raised = False
        self.hardware_reset()

    def hardware_reset(self) -> None:
        """Power-up: BasicCAN, reset mode."""
        self.cdr = 0x00
        self.cr = L.BCAN_CR_RR          # BasicCAN control: RR and enables
        self.mod = L.MOD_RM             # PeliCAN mode register
        self.ier = 0x00
        self.acr = 0xA5                 # BasicCAN register 4
        self.rx_pending = False

    def operating(self, mod: int = 0x08, ier: int = 0x0F, cdr: int = 0xC8, rx: bool = True) -> None:
        """As a driver leaves it: PeliCAN, operating mode, interrupts on, a frame waiting."""
        self.cdr, self.mod, self.ier, self.rx_pending = cdr, mod, ier, rx

    def state(self) -> Tuple[int, int, int, int, int]:
        """What the finder must put back."""
        return (self.cdr, self.cr, self.mod, self.ier, self.acr)

    @property
    def pelican(self) -> bool:
        return bool(self.cdr & L.CDR_PELICAN)

    @property
    def in_reset(self) -> bool:
        return bool((self.mod if self.pelican else self.cr) & L.MOD_RM)

    def _enter_reset(self) -> None:
        # Reset mode empties the receive buffer and drops its interrupt.
        self.rx_pending = False

    def _line(self) -> None:
        if self.pelican and self.rx_pending and self.ier & 0x01:
            self.irq_raised = True

    def read(self, reg: int) -> int:
        self.log.append(("r", reg, 0))
        if reg == L.REG_CDR:
            return self.cdr
        if self.pelican:
            if reg == L.REG_MOD:
                return self.mod
            if reg == L.REG_SR:
                return 0x3C if self.in_reset else 0x0C | int(self.rx_pending)
            if reg == L.REG_IR:
                return 0x00 if self.in_reset else int(self.rx_pending)
            if reg == L.REG_IER:
                return self.ier
            return 0x00
        if reg == L.BCAN_REG_CR:
            return self.cr | 0x20
        if reg == L.REG_SR:
            return 0x0C
        if reg == L.REG_IR:
            return 0xE0
        if reg == 4:
            return self.acr
        return 0xFF

    def write(self, reg: int, val: int) -> None:
        self.log.append(("w", reg, val))
        if reg == L.REG_CDR:
            if self.in_reset:
                self.cdr = val
            else:
                self.cdr = (self.cdr & ~0x07) | (val & 0x07)
        elif self.pelican and reg == L.REG_MOD:
            if self.in_reset:
                self.mod = val & 0x1F
            elif val & L.MOD_RM:
                # From operating mode only the reset request is taken.
                self.mod |= L.MOD_RM
            if self.in_reset:
                self._enter_reset()
        elif self.pelican and reg == L.REG_IER:
            self.ier = val
        elif not self.pelican and reg == L.BCAN_REG_CR:
            self.cr = val & 0x1F
            if self.in_reset:
                self._enter_reset()
        elif not self.pelican and reg == 4 and self.in_reset:
            self.acr = val
        self._line()

    def writes(self) -> List[Tuple[int, int]]:
        return [(reg, val) for op, reg, val in self.log if op == "w"]


class BridgeRegs:
    """A bridge's register BAR: records every access."""

    def __init__(self) -> None:
        self.accesses: List[Tuple[str, int]] = []

    def read(self, off: int) -> int:
        self.accesses.append(("r", off))
        return 0

    def write(self, off: int, _val: int) -> None:
        self.accesses.append(("w", off))


class Ram:
    """Plain memory where a controller would be: keeps what is written."""

    def __init__(self, size: int, fill: int = 0) -> None:
        self.data = bytearray([fill]) * size

    def read(self, off: int) -> int:
        return self.data[off]

    def write(self, off: int, val: int) -> None:
        self.data[off] = val


@dataclass
class EmuBar:
    """A BAR: its size, kind and what decodes each address."""

    size: int
    io: bool = False
    #: (offset, stride, chip)
    chips: List[Tuple[int, int, Sja1000]] = field(default_factory=list)
    bridge: Optional[BridgeRegs] = None
    ram: Optional[Ram] = None
    #: Address bits the board decodes (a mirror beyond them), 0: all.
    decode_mask: int = 0

    def target(self, off: int) -> Tuple[Optional[Sja1000], int]:
        if self.decode_mask:
            off &= self.decode_mask
        for base, stride, chip in self.chips:
            if base <= off < base + L.REG_COUNT * stride and (off - base) % stride == 0:
                return chip, (off - base) // stride
        return None, off


class EmulatedBars:
    """The finder's BAR access, on emulated BARs."""

    def __init__(self, board: "Board") -> None:
        self.board = board
        board.opened += 1

    def _bar(self, bar: int, off: int) -> EmuBar:
        b = self.board.bars[bar]
        assert 0 <= off < b.size, f"access outside BAR{bar}: {off:#x}"
        assert self.board.enabled(), "BAR accessed while the device is disabled"
        return b

    def read8(self, bar: int, off: int) -> int:
        b = self._bar(bar, off)
        if b.bridge is not None:
            return b.bridge.read(off)
        chip, reg = b.target(off)
        if chip is not None:
            return chip.read(reg)
        return b.ram.read(off) if b.ram is not None else 0xFF

    def write8(self, bar: int, off: int, val: int) -> None:
        b = self._bar(bar, off)
        assert 0 <= val <= 0xFF
        if b.bridge is not None:
            b.bridge.write(off, val)
            return
        chip, reg = b.target(off)
        if chip is not None:
            chip.write(reg, val)
        elif b.ram is not None:
            b.ram.write(off, val)

    def close(self) -> None:
        self.board.closed += 1


@dataclass
class Board:
    """A PCI device in the fake sysfs tree."""

    bdf: str
    vendor: int
    device: int
    subvendor: int = 0x1AF4
    subdevice: int = 0x1100
    pci_class: int = 0x00FF00
    bars: Dict[int, EmuBar] = field(default_factory=dict)
    driver: Optional[str] = None
    enable: str = "1"
    path: str = ""
    opened: int = 0
    closed: int = 0

    def enabled(self) -> bool:
        with open(os.path.join(self.path, "enable"), encoding="ascii") as f:
            return f.read().strip() == "1"

    def enable_file(self) -> str:
        with open(os.path.join(self.path, "enable"), encoding="ascii") as f:
            return f.read().strip()


def make_sysfs(root: str, boards: List[Board]) -> str:
    """Write the boards' sysfs entries under root; the sysfs path."""
    sysfs = os.path.join(root, "sys")
    devices = os.path.join(sysfs, "bus/pci/devices")
    os.makedirs(devices, exist_ok=True)
    for b in boards:
        b.path = os.path.join(devices, b.bdf)
        os.makedirs(b.path)
        for name, val in (("vendor", b.vendor), ("device", b.device), ("subsystem_vendor", b.subvendor),
                          ("subsystem_device", b.subdevice)):
            with open(os.path.join(b.path, name), "w", encoding="ascii") as f:
                f.write(f"0x{val:04x}\n")
        with open(os.path.join(b.path, "class"), "w", encoding="ascii") as f:
            f.write(f"0x{b.pci_class:06x}\n")
        with open(os.path.join(b.path, "enable"), "w", encoding="ascii") as f:
            f.write(b.enable + "\n")
        lines = []
        base = 0xFE000000
        for i in range(13):
            bar = b.bars.get(i)
            if bar is None:
                lines.append("0x0000000000000000 0x0000000000000000 0x0000000000000000")
                continue
            start = 0xC000 + i * 0x400 if bar.io else base + i * 0x10000
            flags = 0x40101 if bar.io else 0x40200
            lines.append(f"0x{start:016x} 0x{start + bar.size - 1:016x} 0x{flags:016x}")
            open(os.path.join(b.path, f"resource{i}"), "wb").close()
        with open(os.path.join(b.path, "resource"), "w", encoding="ascii") as f:
            f.write("\n".join(lines) + "\n")
        if b.driver:
            drv = os.path.join(sysfs, "bus/pci/drivers", b.driver)
            os.makedirs(drv, exist_ok=True)
            os.symlink(drv, os.path.join(b.path, "driver"))
    return sysfs
