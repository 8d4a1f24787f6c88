# SPDX-License-Identifier: MIT
"""What the constructor and send() accept, and how they refuse the rest."""

import os

import can
import pytest

from can_pci5c3a import _library, parse_channel
from support import ON_VIRTUAL_CARD, library, register, run_python

REG_BTR0, REG_BTR1 = 6, 7


@pytest.mark.parametrize(
    "channel, handle", [(0, 0), (7, 7), ("3", 3), (" 5 ", 5), ("0:1", 1), ("3:0", 6), ("2:1", 5)]
)
def test_channel_forms(channel, handle):
    assert parse_channel(channel) == handle


@pytest.mark.parametrize("channel", [-1, 8, "8", "-1", "4:0", "0:2", "a", "0:", ":1", "0:1:0", "", True, 1.0])
def test_bad_channels_name_the_accepted_forms(channel):
    with pytest.raises(ValueError, match=r"handle 0\.\.7.*'CARD:PORT'"):
        can.Bus(interface="pci5c3a", channel=channel)


@pytest.mark.parametrize(
    "bitrate, btr0, btr1",
    [(125000, 0x03, 0x1C), (250000, 0x01, 0x1C), (500000, 0x00, 0x1C), (1000000, 0x00, 0x14),
     # user timings (tests/bit_timing_vectors.tsv): 16 quanta at 87.5 %, 10 at 80 % for 800k
     (100000, 0x04, 0x1C), (50000, 0x09, 0x1C), (800000, 0x00, 0x16), ("20000", 0x18, 0x1C)],
)
def test_bitrates_program_the_bus_timing(bitrate, btr0, btr1):
    with can.Bus(interface="pci5c3a", channel=0, bitrate=bitrate) as bus:
        assert (register(0, REG_BTR0), register(0, REG_BTR1)) == (btr0, btr1)
        assert bus.bitrate == int(bitrate)


def test_user_timing_carries_traffic():
    with can.Bus(interface="pci5c3a", channel=0, bitrate=83333) as a, can.Bus(
        interface="pci5c3a", channel=1, bitrate=83333
    ) as b:
        a.send(can.Message(arbitration_id=0x42, data=b"hi", is_extended_id=False))
        msg = b.recv(timeout=2)
        assert msg is not None and bytes(msg.data) == b"hi"


@pytest.mark.parametrize(
    "bitrate, nearest",
    [(300000, "296296 bit/s or 307692 bit/s"), (2000000, "1000000 bit/s"), (4000, "5000 bit/s"),
     (0, "5000 bit/s"), (-5, "5000 bit/s")],
)
def test_unreachable_bitrates_name_the_nearest(bitrate, nearest):
    with pytest.raises(ValueError, match=nearest):
        can.Bus(interface="pci5c3a", channel=0, bitrate=bitrate)
    assert not _library.port_is_open(0)


def test_nearest_rates_named_are_accepted():
    with can.Bus(interface="pci5c3a", channel=0, bitrate=307692) as bus:
        assert round(bus.bitrate) == 307692


def test_bit_timing_and_registers_are_taken_as_given():
    timing = can.BitTiming(bitrate=500000, f_clock=8000000, tseg1=11, tseg2=4, sjw=2)
    with can.Bus(interface="pci5c3a", channel=0, timing=timing) as bus:
        assert (register(0, REG_BTR0), register(0, REG_BTR1)) == (timing.btr0, timing.btr1)
        assert bus.bitrate == 500000
    # btr0/btr1 as python-can's configuration passes them (through a BitTiming)
    with can.Bus(interface="pci5c3a", channel=0, bitrate=250000, btr0=0x41, btr1=0xBA):
        assert (register(0, REG_BTR0), register(0, REG_BTR1)) == (0x41, 0xBA)
    # and as keyword arguments of the class itself
    from can_pci5c3a import Pci5c3aBus  # pylint: disable=import-outside-toplevel

    with Pci5c3aBus(channel=0, btr0="0x01", btr1="0x1C") as bus:
        assert (register(0, REG_BTR0), register(0, REG_BTR1)) == (0x01, 0x1C)
        assert bus.bitrate == 250000


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"timing": can.BitTiming(bitrate=500000, f_clock=16000000, tseg1=11, tseg2=4)}, "8000000 Hz"),
        ({"timing": "fast"}, "can.BitTiming"),
        ({"btr0": 1}, "btr0 and btr1"),
        ({"btr0": 256, "btr1": 0}, "btr0 must be a register value"),
        ({"bitrate": "fast"}, "number of bit/s"),
        ({"fd": True}, "classic CAN only"),
        ({"fd": "True"}, "classic CAN only"),
        ({"extended": "maybe"}, "extended must be True or False"),
        ({"receive_own_messages": 2}, "receive_own_messages must be True or False"),
        ({"receive_queue_size": 0}, "receive_queue_size"),
    ],
)
def test_bad_options(kwargs, message):
    # The class itself: python-can's configuration step turns some of these
    # into errors of its own first (btr0 without bitrate: KeyError).
    from can_pci5c3a import Pci5c3aBus  # pylint: disable=import-outside-toplevel

    with pytest.raises(ValueError, match=message):
        Pci5c3aBus(channel=0, **kwargs)
    assert not _library.port_is_open(0)


def test_unknown_keywords_are_ignored():
    with can.Bus(interface="pci5c3a", channel=0, single_handle=True, app_name="x", fd=False) as bus:
        assert bus.state == can.BusState.ACTIVE


def test_a_second_bus_keeps_the_port_configuration():
    with can.Bus(interface="pci5c3a", channel=0, bitrate=250000):
        with pytest.raises(ValueError, match="already open .* 250000 bit/s"):
            can.Bus(interface="pci5c3a", channel=0, bitrate=500000)
        with pytest.raises(ValueError, match="11-bit identifiers"):
            can.Bus(interface="pci5c3a", channel=0, extended=True)
        with can.Bus(interface="pci5c3a", channel=0, bitrate=250000, extended=False) as same:
            assert same.bitrate == 250000


@pytest.mark.parametrize(
    "extended, msg, message",
    [
        (False, can.Message(arbitration_id=0x100, is_extended_id=True), "29-bit identifier and the port carries 11-bit"),
        (True, can.Message(arbitration_id=0x100, is_extended_id=False), "11-bit identifier and the port carries 29-bit"),
        (False, can.Message(arbitration_id=0x800, is_extended_id=False), "0x800 does not fit in 11 bits"),
        (True, can.Message(arbitration_id=0x20000000, is_extended_id=True), "does not fit in 29 bits"),
        (False, can.Message(arbitration_id=1, is_fd=True, data=b"x" * 12, is_extended_id=False), "CAN FD"),
        (False, can.Message(arbitration_id=1, is_error_frame=True, is_extended_id=False), "error frames"),
        (False, can.Message(arbitration_id=1, data=b"x" * 9, is_extended_id=False, check=False), "0 to 8"),
    ],
)
def test_messages_the_port_cannot_carry_are_refused_unsent(extended, msg, message):
    with can.Bus(interface="pci5c3a", channel=0, extended=extended) as a, can.Bus(
        interface="pci5c3a", channel=1, extended=extended
    ) as b:
        with pytest.raises(ValueError, match=message):
            a.send(msg)
        assert b.recv(timeout=0.05) is None


@pytest.mark.skipif(not ON_VIRTUAL_CARD, reason="needs the virtual card")
def test_absent_card_gives_the_library_reason_and_leaves_nothing_open(capfd):
    with pytest.raises(can.CanInitializationError, match=r"card 1 port 0 cannot be opened: the device /dev/PCI5C3AW1 cannot be opened: No such file"):
        can.Bus(interface="pci5c3a", channel="1:0")
    assert "Couldn't find PCI-5C3A card 1" in capfd.readouterr().out  # the library's own line
    assert _library.card_info(1).magic == 0 and not _library.port_is_open(2)


def test_missing_library_is_reported(tmp_path):
    if os.path.exists("/usr/lib/x86_64-linux-gnu/libpci_5C3A.so.0"):
        pytest.skip("the library is installed on the system")
    result = run_python(
        "import json, can\n"
        "try:\n"
        "    can.Bus(interface='pci5c3a', channel=0)\n"
        "except can.CanInterfaceNotImplementedError as error:\n"
        "    print(json.dumps({'error': str(error)}))\n",
        env={"LD_LIBRARY_PATH": str(tmp_path), "LD_PRELOAD": ""},
    )
    assert "libpci_5C3A.so.0 cannot be loaded" in result["error"]
    assert "libpci-5c3a0" in result["error"]


def test_library_version():
    assert library().GetDriverVersion() == 4
