# SPDX-License-Identifier: MIT
"""pci5c3a-find-layout on emulated boards behind a fake sysfs tree."""

import io
import os
import re
from typing import List, Optional, Tuple

import pytest

import find_layout as F
import pci5c3a_layouts as L
from board import Board, BridgeRegs, EmuBar, EmulatedBars, Ram, Sja1000, make_sysfs

BDF = "0000:00:05.0"
NEW_ID = "/sys/bus/pci/drivers/pci5c3a/new_id"


def run(tmp_path, boards: List[Board], args: List[str], root: bool = True) -> Tuple[int, str, str]:
    """The program's status, standard output and standard error."""
    sysfs = make_sysfs(str(tmp_path), boards)
    by_path = {b.path: b for b in boards}
    out, err = io.StringIO(), io.StringIO()
    finder = F.Finder(sysfs=sysfs, bar_access=lambda dev: EmulatedBars(by_path[dev.path]),
                      is_root=lambda: root, out=out, err=err)
    status = finder.main(args)
    return status, out.getvalue(), err.getvalue()


def plx_board(dev_id: int = 0x9030, second: Optional[int] = 0x100, bar0: int = 0x80,
              vendor: int = 0x10B5, sub: Tuple[int, int] = (0x1B36, 0x5C3A)) -> Tuple[Board, List[Sja1000], BridgeRegs]:
    """A PLX-bridged board: registers in memory BAR0, controllers in BAR2."""
    chips = [Sja1000()]
    bar2 = EmuBar(0x1000, chips=[(0, 1, chips[0])])
    if second is not None:
        chips.append(Sja1000())
        bar2.chips.append((second, 1, chips[1]))
    bridge = BridgeRegs()
    b = Board(BDF, vendor, dev_id, sub[0], sub[1],
              bars={0: EmuBar(bar0, bridge=bridge), 1: EmuBar(0x80, io=True, bridge=bridge), 2: bar2})
    return b, chips, bridge


def direct_board(stride: int) -> Tuple[Board, List[Sja1000]]:
    """QEMU's pcm3680_pci (stride 1) or mioe3680_pci (stride 4)."""
    chips = [Sja1000(), Sja1000()]
    dev = 0xC002 if stride == 1 else 0xC302
    size = 0x100 if stride == 1 else 0x400
    b = Board(BDF, 0x13FE, dev, bars={0: EmuBar(size, io=True, chips=[(0, stride, chips[0])]),
                                      1: EmuBar(size, io=True, chips=[(0, stride, chips[1])])})
    return b, chips


def s5920_board(two: bool = False) -> Tuple[Board, List[Sja1000], BridgeRegs]:
    """QEMU's kvaser_pci: S5920 in I/O BAR0, one controller in BAR1 (0x20 apart with two)."""
    chips = [Sja1000()] + ([Sja1000()] if two else [])
    bar1 = EmuBar(0x80, io=True, chips=[(0x20 * i, 1, c) for i, c in enumerate(chips)], ram=Ram(0x80))
    bridge = BridgeRegs()
    b = Board(BDF, 0x10E8, 0x8406, bars={0: EmuBar(0x80, io=True, bridge=bridge), 1: bar1,
                                         2: EmuBar(8, io=True, ram=Ram(8))})
    return b, chips, bridge


# ---------------------------------------------------------------------------
# Every layout is found, with its exact lines, and the board is left as it was


def test_plx9030_100_lines_exact(tmp_path):
    b, chips, bridge = plx_board()
    before = [c.state() for c in chips]
    status, out, err = run(tmp_path, [b], ["00:05.0"])
    assert (status, err) == (0, "")
    assert out == (
        "0000:00:05.0 10b5:9030 (subsystem 1b36:5c3a): PLX 9030 bridge in BAR0; "
        "SJA1000 at BAR2+0x000 and BAR2+0x100\n"
        "  layout plx9030_100 (2 channels)\n"
        "  modprobe pci5c3a ids=10b5:9030:1b36:5c3a:plx9030_100\n"
        f'  echo "10b5 9030 1b36 5c3a 0 0 3" > {NEW_ID}\n')
    assert [c.state() for c in chips] == before
    assert bridge.accesses == []
    assert b.opened == b.closed == 1


@pytest.mark.parametrize("dev_id,second,name,index", [
    (0x9030, 0x080, "plx9030_80", 2), (0x9050, 0x100, "plx9030_100", 3), (0x9052, 0x200, "plx9030_200", 4),
    (0x9056, 0x080, "plx9056_80", 5), (0x9056, 0x100, "plx9056_100", 6), (0x8311, 0x200, "plx9056_200", 7),
])
def test_each_plx_layout(tmp_path, dev_id, second, name, index):
    b, chips, bridge = plx_board(dev_id, second, bar0=0x80 if dev_id in L.PLX9030_IDS else 0x200)
    before = [c.state() for c in chips]
    status, out, _ = run(tmp_path, [b], [BDF])
    assert status == 0
    lines = out.splitlines()
    assert lines[0].endswith(f"SJA1000 at BAR2+0x000 and BAR2+{second:#05x}")
    assert lines[1:] == [f"  layout {name} (2 channels)",
                         f"  modprobe pci5c3a ids=10b5:{dev_id:04x}:1b36:5c3a:{name}",
                         f'  echo "10b5 {dev_id:04x} 1b36 5c3a 0 0 {index}" > {NEW_ID}']
    assert [c.state() for c in chips] == before
    assert bridge.accesses == []


@pytest.mark.parametrize("stride,name", [(1, "pcm3680_pci"), (4, "mioe3680_pci")])
def test_builtin_layouts_need_no_parameter(tmp_path, stride, name):
    b, chips = direct_board(stride)
    status, out, _ = run(tmp_path, [b], [BDF])
    assert status == 0
    dev = "c002" if stride == 1 else "c302"
    tail = "" if stride == 1 else " (register stride 4)"
    assert out == (
        f"0000:00:05.0 13fe:{dev} (subsystem 1af4:1100): no bridge; SJA1000 at BAR0+0x000 and BAR1+0x000{tail}\n"
        f"  layout {name} (2 channels)\n"
        "  the driver binds these ids built in, no parameter needed: modprobe pci5c3a\n")
    assert all(c.state() == Sja1000().state() for c in chips)


def test_s5920_told_by_its_bars_one_channel(tmp_path):
    b, chips, bridge = s5920_board()
    status, out, _ = run(tmp_path, [b], [BDF])
    assert status == 0
    assert out == (
        "0000:00:05.0 10e8:8406 (subsystem 1af4:1100): AMCC S5920 bridge in BAR0 (told by its BARs: "
        "I/O BAR0 of 128 bytes; the ids are the maker's own); SJA1000 at BAR1+0x000 only\n"
        "  layout s5920 (1 channel: the driver serves port 0 only)\n"
        "  modprobe pci5c3a ids=10e8:8406:1af4:1100:s5920\n"
        f'  echo "10e8 8406 1af4 1100 0 0 8" > {NEW_ID}\n')
    # The bridge's BAR is never probed as if it held controllers.
    assert bridge.accesses == []
    assert chips[0].state() == Sja1000().state()




def test_plx_with_makers_ids_told_by_bars(tmp_path):
    b, _, bridge = plx_board(vendor=0x1234, dev_id=0x5678, sub=(0x0000, 0x0000))
    status, out, _ = run(tmp_path, [b], [BDF])
    assert status == 0
    first, *rest = out.splitlines()
    assert first == ("0000:00:05.0 1234:5678: PLX 9030 bridge in BAR0 (told by its BARs: memory BAR0 of "
                     "128 bytes; the ids are the maker's own); SJA1000 at BAR2+0x000 and BAR2+0x100")
    assert rest[1:] == ["  modprobe pci5c3a ids=1234:5678:plx9030_100",
                        f'  echo "1234 5678 ffffffff ffffffff 0 0 3" > {NEW_ID}']
    assert bridge.accesses == []


# ---------------------------------------------------------------------------
# One channel, mirrors, nothing there


def test_one_channel_board(tmp_path):
    b, _, _ = plx_board(second=None)
    status, out, _ = run(tmp_path, [b], [BDF])
    assert status == 0
    assert out.splitlines()[0].endswith("SJA1000 at BAR2+0x000 only")
    assert "  layout plx9030_80 (1 channel: the driver serves port 0 only)\n" in out


def test_mirrored_controller_is_one_channel(tmp_path):
    # A board that decodes only A6-A0 shows its one chip at every 0x80.
    b, chips, _ = plx_board(second=None)
    b.bars[2].decode_mask = 0x7F
    status, out, _ = run(tmp_path, [b], [BDF])
    assert status == 0
    assert "SJA1000 at BAR2+0x000 only" in out
    assert chips[0].state() == Sja1000().state()


@pytest.mark.parametrize("fill,why", [
    (None, "BAR2+0x000 (reads 0xFF)"),
    (0x00, "BAR2+0x000 (no BasicCAN reset values (CR 0x01, SR 0x00, IR 0x00))"),
])
def test_nothing_at_the_offsets(tmp_path, fill, why):
    b, _, _ = plx_board(second=None)
    b.bars[2].chips = []
    if fill is not None:
        b.bars[2].ram = Ram(0x1000, fill)
    status, out, err = run(tmp_path, [b], [BDF])
    assert (status, err) == (1, "")
    assert out == ("0000:00:05.0 10b5:9030 (subsystem 1b36:5c3a): PLX 9030 bridge in BAR0; "
                   f"no layout fits: no SJA1000 answers at {why}\n")
    if fill is not None:
        # What the detection wrote into memory that is no controller is put back.
        assert bytes(b.bars[2].ram.data) == bytes(0x1000)


def test_no_layout_for_the_bars(tmp_path):
    b = Board(BDF, 0x1234, 0x5678, pci_class=0x0C0900, bars={0: EmuBar(0x1000)})
    status, out, _ = run(tmp_path, [b], [BDF])
    assert status == 1
    assert out.endswith("no layout fits: no layout's BARs fit this board's (BAR0 memory 4096 bytes)\n")


# ---------------------------------------------------------------------------
# What the detection writes, and putting it back


def test_controller_left_in_operating_mode(tmp_path):
    b, chips, _ = plx_board()
    for c in chips:
        c.operating(mod=0x08, ier=0x0F, cdr=0xC8)
    before = [c.state() for c in chips]
    status, out, _ = run(tmp_path, [b], [BDF])
    assert status == 0
    assert "layout plx9030_100 (2 channels)" in out
    assert [c.state() for c in chips] == before
    for c in chips:
        w = c.writes()
        # Interrupts off before anything else, then the reset request.
        assert w[0] == (L.REG_IER, 0)
        assert w[1] == (L.REG_MOD, L.MOD_RM)
        # Only the interrupt enable, mode and clock divider are written.
        assert {reg for reg, _ in w} == {L.REG_IER, L.REG_MOD, L.REG_CDR}
        # Put back: divider and enables while still in reset, leaving reset last.
        assert w[-4:] == [(L.REG_CDR, 0xC8), (L.REG_IER, 0x0F), (L.REG_MOD, 0x09), (L.REG_MOD, 0x08)]


def test_power_up_controller_writes(tmp_path):
    b, chips, _ = plx_board(second=None)
    run(tmp_path, [b], [BDF])
    w = chips[0].writes()
    # BasicCAN: the control register's reset request (enables clear), never
    # register 4, which is the acceptance code in this mode.
    assert w[0] == (L.BCAN_REG_CR, L.BCAN_CR_RR)
    assert {reg for reg, _ in w} == {L.BCAN_REG_CR, L.REG_CDR}
    assert w[-3:] == [(L.REG_CDR, 0x00), (L.BCAN_REG_CR, 0x01), (L.BCAN_REG_CR, 0x01)]


def test_disabled_device_enabled_for_the_probe(tmp_path):
    b, _, _ = plx_board()
    b.enable = "0"
    status, _, _ = run(tmp_path, [b], [BDF])
    # The emulated BARs refuse access while the enable file reads 0.
    assert status == 0
    assert b.enable_file() == "0"


def test_unreadable_bar(tmp_path):
    class Broken(EmulatedBars):
        def read8(self, bar, off):
            raise F.FindError(f"{BDF}: cannot read BAR{bar}+{off:#x}: Input/output error")

    b, _, _ = plx_board()
    sysfs = make_sysfs(str(tmp_path), [b])
    out, err = io.StringIO(), io.StringIO()
    status = F.Finder(sysfs=sysfs, bar_access=lambda dev: Broken(b), is_root=lambda: True,
                      out=out, err=err).main([BDF])
    assert status == 1
    assert err.getvalue() == f"pci5c3a-find-layout: {BDF}: cannot read BAR2+0x1f: Input/output error\n"
    assert b.closed == 1


# ---------------------------------------------------------------------------
# Refusals and bad input


def test_bound_device_refused(tmp_path):
    b, chips, _ = plx_board()
    b.driver = "plx_pci"
    status, out, err = run(tmp_path, [b], [BDF])
    assert (status, out) == (1, "")
    assert err == ("pci5c3a-find-layout: 0000:00:05.0: bound to driver plx_pci; not probed (unbind it first: "
                   "echo 0000:00:05.0 > /sys/bus/pci/drivers/plx_pci/unbind)\n")
    assert b.opened == 0 and chips[0].log == []


@pytest.mark.parametrize("arg", ["00:05", "0000:00:05.8", "zz:05.0", "0000:000:05.0", "", "00:05.0x"])
def test_malformed_bdf(tmp_path, arg):
    status, out, err = run(tmp_path, [], [arg])
    assert (status, out) == (2, "")
    assert err.startswith("pci5c3a-find-layout: malformed PCI address ") and err.count("\n") == 1


def test_short_bdf_and_upper_case_accepted(tmp_path):
    b, _, _ = plx_board()
    status, out, _ = run(tmp_path, [b], ["00:05.0"])
    assert status == 0 and out.startswith(BDF)
    assert F.normalise_bdf("0000:0A:1F.7") == "0000:0a:1f.7"


def test_no_such_device(tmp_path):
    status, out, err = run(tmp_path, [], ["0000:00:1f.0"])
    assert (status, out) == (1, "")
    assert re.fullmatch(r"pci5c3a-find-layout: 0000:00:1f\.0: no such PCI device \(.* does not exist\)\n", err)


def test_not_root(tmp_path):
    b, chips, _ = plx_board()
    status, out, err = run(tmp_path, [b], [BDF], root=False)
    assert (status, out) == (1, "")
    assert err == "pci5c3a-find-layout: needs root (the BARs' resource files need CAP_SYS_ADMIN)\n"
    assert chips[0].log == []




# ---------------------------------------------------------------------------
# Without BDF: every device without a driver


def test_scan(tmp_path):
    plx, _, _ = plx_board()
    unknown = Board("0000:00:01.0", 0x8086, 0x7000, bars={0: EmuBar(0x1000, ram=Ram(0x1000))})
    bound, bound_chips = direct_board(1)
    bound.bdf, bound.driver = "0000:00:03.0", "pci5c3a"
    can_class = Board("0000:00:07.0", 0x1234, 0x0001, pci_class=0x0C0900, bars={0: EmuBar(0x1000)})
    status, out, err = run(tmp_path, [plx, unknown, bound, can_class], [])
    assert (status, err) == (1, "")
    lines = out.splitlines()
    assert lines[0] == ("0000:00:01.0 8086:7000: not probed: unknown device (writing to an unknown device's "
                        "registers is not safe; name its BDF to probe it anyway)")
    assert lines[1] == "0000:00:05.0 10b5:9030: probed (QEMU's plx9030_can_pci ids)"
    assert lines[2].startswith("0000:00:05.0 10b5:9030 (subsystem 1b36:5c3a): PLX 9030 bridge")
    assert lines[5].startswith('  echo "10b5 9030 1b36 5c3a 0 0 3"')
    assert lines[6] == "0000:00:07.0 1234:0001: probed (class 0x0c09 CANbus)"
    assert "no layout fits" in lines[7]
    assert len(lines) == 8
    assert unknown.opened == 0 and bound.opened == 0 and bound_chips[0].log == []


def test_scan_nothing_to_probe(tmp_path):
    unknown = Board("0000:00:01.0", 0x8086, 0x7000)
    status, out, _ = run(tmp_path, [unknown], [])
    assert status == 1
    assert out.splitlines()[-1].startswith("no board to probe")




# ---------------------------------------------------------------------------
# The real BAR access on files: I/O by pread/pwrite of one byte, memory by mmap


def test_sysfs_bar_access(tmp_path):
    b = Board(BDF, 0x10B5, 0x9030, bars={0: EmuBar(0x80), 1: EmuBar(0x20, io=True)})
    make_sysfs(str(tmp_path), [b])
    for i, size in ((0, 0x80), (1, 0x20)):
        with open(os.path.join(b.path, f"resource{i}"), "wb") as f:
            f.write(bytes(range(size)))
    dev = F.read_device(os.path.join(str(tmp_path), "sys"), BDF)
    assert {i: (x.size, x.io) for i, x in dev.bars.items()} == {0: (0x80, False), 1: (0x20, True)}
    bars = F.BarAccess(dev)
    try:
        assert (bars.read8(0, 0x4C), bars.read8(1, 0x1F)) == (0x4C, 0x1F)
        bars.write8(0, 0x10, 0xAA)
        bars.write8(1, 0x03, 0x55)
        assert (bars.read8(0, 0x10), bars.read8(1, 0x03)) == (0xAA, 0x55)
        with pytest.raises(F.FindError, match="short read"):
            bars.read8(1, 0x20)
        with pytest.raises(F.FindError, match="BAR2 is not there"):
            bars.read8(2, 0)
    finally:
        bars.close()
    with open(os.path.join(b.path, "resource1"), "rb") as f:
        assert f.read()[3] == 0x55
    # A memory BAR that starts inside a page is refused, never mapped at the
    # wrong offset.
    dev.bars[0].start += 0x80
    with pytest.raises(F.FindError, match="BAR0 starts inside a page"):
        F.BarAccess(dev).read8(0, 0)


def test_positions_that_would_touch_a_bridge_interrupt_register():
    plx = [x for x in L.LAYOUTS if x.bridge is L.PLX9030]
    # Register 3 (interrupt) of a window at 0x49 would be INTCSR's first byte,
    # register 31 of a window at 0x30 its last.
    assert F.touches_bridge_irq(plx, 0, L.PLX9030_INTCSR - L.REG_IR, 1)
    assert F.touches_bridge_irq(plx, 0, L.PLX9030_INTCSR + 3 - L.REG_CDR, 1)
    assert not F.touches_bridge_irq(plx, 0, 0, 1)
    assert not F.touches_bridge_irq(plx, 2, L.PLX9030_INTCSR - L.REG_IR, 1)
