# SPDX-License-Identifier: MIT
"""Acceptance filtering: in the controller when one filter says it, else in software."""

import can
import pytest

from can_pci5c3a import _library
from support import library, receive_all, remote_length


def _acceptance(handle):
    """The acceptance code and mask the port was last configured with (the
    controller's registers 16..23 are readable in reset mode only)."""
    config = (_library.PORT_STRUCT * _library.MAX_HANDLES).in_dll(library(), "portStruct")[handle]
    return config.accCode, config.accMask


def _send_ids(bus, ids, extended=False):
    for can_id in ids:
        bus.send(can.Message(arbitration_id=can_id, data=[can_id & 0xFF], is_extended_id=extended))


def test_one_standard_filter_goes_into_the_controller():
    with can.Bus(interface="pci5c3a", channel=0) as a, can.Bus(
        interface="pci5c3a", channel=1, can_filters=[{"can_id": 0x123, "can_mask": 0x7F0}]
    ) as b:
        # mask bit 1 = don't care: the library spreads them over the
        # controller's single-filter layout (RTR and data bytes don't care)
        assert _acceptance(1) == (0x120, 0x00F)
        _send_ids(a, [0x120, 0x12F, 0x130, 0x023, 0x7FF])
        a.send(can.Message(arbitration_id=0x125, is_remote_frame=True, dlc=remote_length(2), is_extended_id=False))
        got = receive_all(b, 3, timeout=0.5)
        assert [(m.arbitration_id, m.is_remote_frame) for m in got] == [(0x120, False), (0x12F, False), (0x125, True)]
        # the controller itself passed nothing else into the driver's queue
        assert b.recv(timeout=0.05) is None
        # back to everything
        b.set_filters(None)
        assert _acceptance(1) == (0, 0x7FF)
        _send_ids(a, [0x130])
        assert [m.arbitration_id for m in receive_all(b, 1)] == [0x130]


def test_one_extended_filter_goes_into_the_controller():
    with can.Bus(interface="pci5c3a", channel=0, extended=True) as a, can.Bus(
        interface="pci5c3a", channel=1, extended=True,
        can_filters=[{"can_id": 0x18FEF100, "can_mask": 0x1FFFFF00, "extended": True}],
    ) as b:
        assert _acceptance(1) == (0x18FEF100, 0xFF)
        _send_ids(a, [0x18FEF100, 0x18FEF1FF, 0x18FEF200, 0x08FEF100], extended=True)
        got = receive_all(b, 2, timeout=0.5)
        assert [m.arbitration_id for m in got] == [0x18FEF100, 0x18FEF1FF]
        assert all(m.is_extended_id for m in got)
        assert b.recv(timeout=0.05) is None


@pytest.mark.parametrize(
    "filters, expected",
    [
        ([{"can_id": 0x100, "can_mask": 0x7FF}, {"can_id": 0x200, "can_mask": 0x7FF}], [0x100, 0x200]),
        # a filter of the other identifier kind matches nothing on this port
        ([{"can_id": 0x100, "can_mask": 0x7FF, "extended": True}], []),
        ([{"can_id": 0x100, "can_mask": 0x700}, {"can_id": 0x7FF, "can_mask": 0x7FF, "extended": False}], [0x100, 0x1FF, 0x7FF]),
    ],
)
def test_other_filter_sets_work_in_software(filters, expected):
    with can.Bus(interface="pci5c3a", channel=0) as a, can.Bus(
        interface="pci5c3a", channel=1, can_filters=filters
    ) as b:
        assert _acceptance(1) == (0, 0x7FF)  # the controller passes everything
        _send_ids(a, [0x100, 0x1FF, 0x200, 0x300, 0x7FF])
        got = receive_all(b, len(expected), timeout=0.5)
        assert [m.arbitration_id for m in got] == expected
        assert b.recv(timeout=0.05) is None


def test_buses_on_one_port_each_get_what_their_filters_say():
    with can.Bus(interface="pci5c3a", channel=0) as a, can.Bus(
        interface="pci5c3a", channel=1, can_filters=[{"can_id": 0x120, "can_mask": 0x7FF}]
    ) as narrow, can.Bus(
        interface="pci5c3a", channel=1, can_filters=[{"can_id": 0x121, "can_mask": 0x7FF}]
    ) as other:
        # the controller takes the filter that covers both (ID.0 don't care)
        assert _acceptance(1) == (0x120, 0x001)
        with can.Bus(interface="pci5c3a", channel=1) as everything:
            assert _acceptance(1) == (0, 0x7FF)
            _send_ids(a, [0x120, 0x121, 0x122])
            assert [m.arbitration_id for m in receive_all(everything, 3)] == [0x120, 0x121, 0x122]
            assert [m.arbitration_id for m in receive_all(narrow, 1)] == [0x120]
            assert [m.arbitration_id for m in receive_all(other, 1)] == [0x121]
        assert _acceptance(1) == (0x120, 0x001)
        # a message sent on the port itself passes each bus's own filter
        other.send(can.Message(arbitration_id=0x120, is_extended_id=False))
        assert [m.arbitration_id for m in receive_all(narrow, 1)] == [0x120]
        assert narrow.recv(timeout=0.05) is None and other.recv(timeout=0) is None
        assert [m.arbitration_id for m in receive_all(a, 1)] == [0x120]
