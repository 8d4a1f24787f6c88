# SPDX-License-Identifier: MIT
"""Register numbers, bits and board layouts for pci5c3a-find-layout.

The SJA1000 names are those of ``lib/sja1000.h`` with the same values (a test
parses the header and compares); the few the header has no use for (the
BasicCAN view of register 0 and the reset values the detection looks for)
carry names of their own that the header does not define. The layout table is
the driver's, in the driver's order: a layout's index is the driver_data that
``new_id`` takes.
"""

from dataclasses import dataclass
from typing import Optional, Tuple

# ---- SJA1000, PeliCAN mode (lib/sja1000.h) --------------------------------
REG_MOD = 0
REG_SR = 2
REG_IR = 3
REG_IER = 4
REG_CDR = 31
#: The registers of one controller; with a stride the window spans 32 x stride.
REG_COUNT = 32

MOD_RM = 0x01
CDR_RESERVED = 0x10
CDR_CBP = 0x40
CDR_PELICAN = 0x80

# ---- SJA1000, BasicCAN mode (the chip's state after power-up) -------------
#: Register 0 in BasicCAN mode is the control register: bit 0 the reset
#: request, bits 1-4 the interrupt enables, bit 5 reads 1.
BCAN_REG_CR = 0
BCAN_CR_RR = 0x01
#: Bits 7-5 of the control register are reserved.
BCAN_CR_WRITABLE = 0x1F

# Reset values (SJA1000 data sheet) that tell a controller from anything
# else, as Linux's plx_pci_check_sja1000() tests them.
BCAN_CR_RESET_MASK = 0xE1
BCAN_CR_RESET = 0x21
BCAN_SR_RESET = 0x0C
BCAN_IR_RESET = 0xE0
PELICAN_MOD_RESET = 0x01
PELICAN_SR_RESET = 0x3C
PELICAN_IR_RESET = 0x00
#: What a read returns where no device decodes the address.
NOTHING = 0xFF
#: How many times a reset request is written before its read-back is believed
#: (the chip takes the request at the end of a bus activity it is in).
RESET_TRIES = 10

# ---- Bridges (the local configuration registers in BAR0) ------------------
PLX9030_INTCSR = 0x4C
PLX9030_CNTRL = 0x50
PLX9056_INTCSR = 0x68
PLX9056_CNTRL = 0x6C
S5920_INTCSR = 0x38
S5920_PTCR = 0x60
#: Interrupt registers are 32 bits wide.
BRIDGE_REG_BYTES = 4

# ---- PCI ids ---------------------------------------------------------------
PCI_VENDOR_PLX = 0x10B5
PLX9030_IDS = {0x9030: "PLX 9030", 0x9050: "PLX 9050", 0x9052: "PLX 9052"}
PLX9056_IDS = {0x9056: "PLX 9056", 0x8311: "PEX 8311"}
#: The class of a CAN bus controller (base class 0x0c serial bus, sub 0x09).
PCI_CLASS_CANBUS = 0x0C09
#: Subsystem ids that say nothing (unset).
PCI_SUBSYSTEM_NONE = (0x0000, 0xFFFF)
#: QEMU's SJA1000 boards (vendor, device) and their board names.
QEMU_BOARDS = {
    (0x13FE, 0xC002): "pcm3680_pci",
    (0x13FE, 0xC302): "mioe3680_pci",
    (0x10E8, 0x8406): "kvaser_pci",
    (0x10B5, 0x9030): "plx9030_can_pci",
}


@dataclass(frozen=True)
class Bridge:
    """A bridge family: its name, where its registers are and how big."""

    name: str
    bar: int
    #: BAR0 sizes a bridge of this family has (for boards with a maker's ids).
    sizes: Tuple[int, ...]
    memory: Optional[bool]
    #: Offsets of its interrupt registers, which the finder never touches.
    irq_regs: Tuple[int, ...]


PLX9030 = Bridge("PLX 9030", 0, (0x80,), True, (PLX9030_INTCSR,))
PLX9056 = Bridge("PLX 9056", 0, (0x100, 0x200), True, (PLX9056_INTCSR,))
S5920 = Bridge("AMCC S5920", 0, (0x40, 0x80), None, (S5920_INTCSR,))


@dataclass(frozen=True)
class Layout:
    """One of the driver's layouts: where its controllers are."""

    name: str
    index: int
    bridge: Optional[Bridge]
    #: (BAR, offset) of port 0 and port 1.
    channels: Tuple[Tuple[int, int], Tuple[int, int]]
    stride: int
    #: Ids the driver binds without a parameter.
    builtin: Tuple[Tuple[int, int], ...] = ()


LAYOUTS = (
    Layout("pcm3680_pci", 0, None, ((0, 0), (1, 0)), 1, ((0x13FE, 0xC002),)),
    Layout("mioe3680_pci", 1, None, ((0, 0), (1, 0)), 4, ((0x13FE, 0xC302),)),
    Layout("plx9030_80", 2, PLX9030, ((2, 0x000), (2, 0x080)), 1),
    Layout("plx9030_100", 3, PLX9030, ((2, 0x000), (2, 0x100)), 1),
    Layout("plx9030_200", 4, PLX9030, ((2, 0x000), (2, 0x200)), 1),
    Layout("plx9056_80", 5, PLX9056, ((2, 0x000), (2, 0x080)), 1),
    Layout("plx9056_100", 6, PLX9056, ((2, 0x000), (2, 0x100)), 1),
    Layout("plx9056_200", 7, PLX9056, ((2, 0x000), (2, 0x200)), 1),
    Layout("s5920", 8, S5920, ((1, 0x00), (1, 0x20)), 1),
)
