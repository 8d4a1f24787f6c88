# SPDX-License-Identifier: GPL-2.0-only OR MIT
"""python-can's own socketcan interface on the driver's network devices.

Two ports of the card on one bus, each a SocketCAN interface (netdev=),
named by PCI5C3A_NETDEV_A and PCI5C3A_NETDEV_B; kernel/tests/netdev-suite.sh
brings them up and runs this file in the guest of scripts/guest-run:

    PCI5C3A_NETDEV_A=can0 PCI5C3A_NETDEV_B=can1 python3 -m pytest -q test_netdev_socketcan.py

Without the variables every test skips (this machine's kernel has no CAN
sockets).
"""

import os
import time

import pytest

can = pytest.importorskip("can")

A = os.environ.get("PCI5C3A_NETDEV_A")
B = os.environ.get("PCI5C3A_NETDEV_B")
pytestmark = pytest.mark.skipif(not (A and B), reason="PCI5C3A_NETDEV_A/B name no interfaces")

# Long enough for a loaded TCG guest; a frame on QEMU's bus arrives at once.
WAIT = 5.0


@pytest.fixture
def pair():
    a = can.Bus(interface="socketcan", channel=A)
    b = can.Bus(interface="socketcan", channel=B)
    for bus in (a, b):
        while bus.recv(timeout=0) is not None:
            pass
    yield a, b
    a.shutdown()
    b.shutdown()


def frames():
    """Standard and extended, data and remote, every length the bus has."""
    out = []
    for n in range(9):
        out.append(can.Message(arbitration_id=0x100 + n, is_extended_id=False, data=bytes(range(0x10, 0x10 + n))))
    out.append(can.Message(arbitration_id=0x7FF, is_extended_id=False, data=b"\xff" * 8))
    out.append(can.Message(arbitration_id=0x000, is_extended_id=False, data=b""))
    for n in (0, 1, 4, 8):
        out.append(can.Message(arbitration_id=0x1ABCDE00 + n, is_extended_id=True, data=bytes(range(0xA0, 0xA0 + n))))
    out.append(can.Message(arbitration_id=0x1FFFFFFF, is_extended_id=True, data=b"\x5a"))
    for ext, ident in ((False, 0x321), (True, 0x12345678)):
        for dlc in (0, 3, 8):
            out.append(can.Message(arbitration_id=ident, is_extended_id=ext, is_remote_frame=True, dlc=dlc))
    return out


def same(sent, got):
    assert got is not None, f"nothing received for {sent}"
    assert (got.arbitration_id, got.is_extended_id, got.is_remote_frame, got.dlc) == (
        sent.arbitration_id,
        sent.is_extended_id,
        sent.is_remote_frame,
        sent.dlc,
    ), f"sent {sent}, received {got}"
    if not sent.is_remote_frame:
        assert bytes(got.data) == bytes(sent.data), f"sent {sent}, received {got}"
    assert not got.is_error_frame


@pytest.mark.parametrize("direction", ["a_to_b", "b_to_a"])
def test_frames_both_ways(pair, direction):
    tx, rx = pair if direction == "a_to_b" else pair[::-1]
    for msg in frames():
        tx.send(msg, timeout=WAIT)
        same(msg, rx.recv(timeout=WAIT))
    assert rx.recv(timeout=0.2) is None


def test_burst_in_order(pair):
    """Frames sent back to back arrive all and in order (the driver holds the
    queue while its one transmit buffer is full)."""
    a, b = pair
    sent = [can.Message(arbitration_id=0x200 + (i % 0x100), is_extended_id=False, data=[i % 256, i // 256]) for i in range(200)]
    for msg in sent:
        for _ in range(100):
            try:
                a.send(msg, timeout=WAIT)
                break
            except can.CanOperationError:
                time.sleep(0.01)  # the interface's queue is full: retry, as cangen -p does
    for msg in sent:
        same(msg, b.recv(timeout=WAIT))


def test_filters(pair):
    a, b = pair
    b.set_filters(
        [
            {"can_id": 0x120, "can_mask": 0x7F0, "extended": False},
            {"can_id": 0x0ABCDE00, "can_mask": 0x1FFFFF00, "extended": True},
        ]
    )
    wanted = [
        can.Message(arbitration_id=0x123, is_extended_id=False, data=b"\x01"),
        can.Message(arbitration_id=0x0ABCDE42, is_extended_id=True, data=b"\x02"),
        can.Message(arbitration_id=0x12F, is_extended_id=False, is_remote_frame=True, dlc=2),
    ]
    unwanted = [
        can.Message(arbitration_id=0x133, is_extended_id=False, data=b"\x03"),
        # The same low bits as a wanted standard identifier, but extended.
        can.Message(arbitration_id=0x00000123, is_extended_id=True, data=b"\x04"),
        can.Message(arbitration_id=0x0ABCDF42, is_extended_id=True, data=b"\x05"),
    ]
    for msg in unwanted[:2] + wanted[:1] + unwanted[2:] + wanted[1:]:
        a.send(msg, timeout=WAIT)
    for msg in wanted:
        same(msg, b.recv(timeout=WAIT))
    assert b.recv(timeout=0.3) is None
    # Filters off again: everything passes.
    b.set_filters(None)
    a.send(unwanted[0], timeout=WAIT)
    same(unwanted[0], b.recv(timeout=WAIT))


def test_receive_timeouts(pair):
    a, b = pair
    for timeout in (0, 0.1, 0.5):
        start = time.monotonic()
        assert b.recv(timeout=timeout) is None
        assert time.monotonic() - start >= timeout
    # A frame waiting is returned by a zero timeout too.
    msg = can.Message(arbitration_id=0x42, is_extended_id=False, data=b"\x42")
    a.send(msg, timeout=WAIT)
    got = None
    deadline = time.monotonic() + WAIT
    while got is None and time.monotonic() < deadline:
        got = b.recv(timeout=0)
        time.sleep(0.01)
    same(msg, got)


def test_timestamps_rise(pair):
    """Reception times from the kernel: after the send began, rising, near
    the wall clock."""
    a, b = pair
    start = time.time()
    stamps = []
    for i in range(20):
        a.send(can.Message(arbitration_id=0x300 + i, is_extended_id=False, data=[i]), timeout=WAIT)
        got = b.recv(timeout=WAIT)
        assert got is not None
        stamps.append(got.timestamp)
        time.sleep(0.002)
    end = time.time()
    assert all(later > earlier for earlier, later in zip(stamps, stamps[1:])), stamps
    assert start - 1 <= stamps[0] and stamps[-1] <= end + 1, (start, stamps, end)


def test_own_messages_and_echo(pair):
    """With receive_own_messages the sender sees its frame once it is on the
    bus; without it, not at all."""
    a, b = pair
    own = can.Bus(interface="socketcan", channel=A, receive_own_messages=True)
    try:
        msg = can.Message(arbitration_id=0x55, is_extended_id=False, data=b"\x55\xaa")
        own.send(msg, timeout=WAIT)
        same(msg, own.recv(timeout=WAIT))
        same(msg, b.recv(timeout=WAIT))
        # The other socket of the sender's interface sees it as well (the
        # local echo), so look for it there and then nothing else.
        same(msg, a.recv(timeout=WAIT))
        assert a.recv(timeout=0.2) is None
    finally:
        own.shutdown()
