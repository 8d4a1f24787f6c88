# SPDX-License-Identifier: MIT
"""Messages through the wired ports of card 0, both ways, both identifier kinds."""

import threading
import time

import can
import pytest
from can_pci5c3a import _library
from can_pci5c3a._port import PortHub, Subscription
from can_pci5c3a.bitrate import timing_for_bitrate

from support import receive_all, remote_length


@pytest.fixture(params=[False, True], ids=["11-bit", "29-bit"])
def pair(request):
    extended = request.param
    with can.Bus(interface="pci5c3a", channel="0:0", bitrate=500000, extended=extended) as a:
        with can.Bus(interface="pci5c3a", channel="0:1", bitrate=500000, extended=extended) as b:
            yield a, b, extended


def _frames(extended):
    top = 0x1FFFFFFF if extended else 0x7FF
    frames = []
    for length in range(9):
        frames.append(
            can.Message(
                arbitration_id=(0x100 + length) if length % 2 else top - length,
                data=bytes(range(0xA0, 0xA0 + length)),
                is_extended_id=extended,
            )
        )
    frames.append(can.Message(arbitration_id=0x55, is_remote_frame=True, dlc=remote_length(4), is_extended_id=extended))
    frames.append(can.Message(arbitration_id=0, is_remote_frame=True, dlc=0, is_extended_id=extended))
    return frames


@pytest.mark.parametrize("direction", ["0 to 1", "1 to 0"])
def test_messages_arrive_unchanged_in_order(pair, direction):
    a, b, extended = pair
    sender, receiver = (a, b) if direction == "0 to 1" else (b, a)
    sent = _frames(extended)
    for msg in sent:
        sender.send(msg)
    got = receive_all(receiver, len(sent))
    assert [m.arbitration_id for m in got] == [m.arbitration_id for m in sent]
    for want, have in zip(sent, got):
        assert have.is_extended_id == extended
        assert have.is_remote_frame == want.is_remote_frame
        assert have.dlc == want.dlc
        assert bytes(have.data) == (b"" if want.is_remote_frame else bytes(want.data))
        assert have.channel == receiver.channel and have.is_rx
    assert receiver.recv(timeout=0) is None
    assert sender.recv(timeout=0) is None  # not its own without receive_own_messages


def test_timestamps_absolute_sub_millisecond_non_decreasing(pair):
    a, b, extended = pair
    before = time.time()
    for i in range(20):
        a.send(can.Message(arbitration_id=i, data=[i], is_extended_id=extended))
    got = receive_all(b, 20)
    after = time.time()
    stamps = [m.timestamp for m in got]
    assert len(stamps) == 20
    assert before <= stamps[0] and stamps[-1] <= after
    assert stamps == sorted(stamps)
    assert any(abs(s * 1000 - round(s * 1000)) > 1e-3 for s in stamps)


def test_recv_timeouts(pair):
    a, b, extended = pair
    assert b.recv(timeout=0) is None
    start = time.monotonic()
    assert b.recv(timeout=0.1) is None
    assert 0.09 <= time.monotonic() - start < 1.0
    # None blocks until a message comes.
    timer = threading.Timer(0.05, a.send, [can.Message(arbitration_id=7, is_extended_id=extended)])
    timer.start()
    try:
        msg = b.recv(timeout=None)
    finally:
        timer.join()
    assert msg.arbitration_id == 7


def test_receive_own_messages_and_several_buses_on_one_port():
    with can.Bus(interface="pci5c3a", channel=0, bitrate=500000) as a, can.Bus(
        interface="pci5c3a", channel=1, bitrate=500000
    ) as b1, can.Bus(interface="pci5c3a", channel=1, receive_own_messages=True) as b2:
        assert b2.bitrate == 500000  # the port's rate, taken over
        a.send(can.Message(arbitration_id=0x10, data=b"\x01", is_extended_id=False))
        for bus in (b1, b2):
            (msg,) = receive_all(bus, 1)
            assert (msg.arbitration_id, msg.is_rx) == (0x10, True)
        # b1's send reaches port 0 on the wire and b2 on the port itself.
        b1.send(can.Message(arbitration_id=0x11, data=b"\x02", is_extended_id=False))
        assert [m.arbitration_id for m in receive_all(a, 1)] == [0x11]
        (echo,) = receive_all(b2, 1)
        assert (echo.arbitration_id, echo.is_rx, bytes(echo.data)) == (0x11, False, b"\x02")
        assert b1.recv(timeout=0.05) is None
        # b2 asked for its own messages; b1 sees them as another socket would
        # (made on this host: is_rx False, as SocketCAN marks them).
        b2.send(can.Message(arbitration_id=0x12, is_extended_id=False))
        assert [(m.arbitration_id, m.is_rx) for m in receive_all(b2, 1)] == [(0x12, False)]
        assert [(m.arbitration_id, m.is_rx) for m in receive_all(b1, 1)] == [(0x12, False)]
        assert [m.arbitration_id for m in receive_all(a, 1)] == [0x12]
        # Closing one bus leaves the port to the others.
        b1.shutdown()
        a.send(can.Message(arbitration_id=0x13, is_extended_id=False))
        assert [m.arbitration_id for m in receive_all(b2, 1)] == [0x13]


def test_periodic_send():
    with can.Bus(interface="pci5c3a", channel=0, bitrate=250000) as a, can.Bus(
        interface="pci5c3a", channel=1, bitrate=250000
    ) as b:
        task = a.send_periodic(can.Message(arbitration_id=0x77, data=[1], is_extended_id=False), 0.01)
        time.sleep(0.25)
        task.stop()
        got = receive_all(b, 100, timeout=0.2)
        assert 10 <= len(got) <= 30
        assert {m.arbitration_id for m in got} == {0x77}


def test_shutdown_twice_and_recv_after_it():
    bus = can.Bus(interface="pci5c3a", channel=0)
    waiting = []
    reader = threading.Thread(target=lambda: waiting.append(_recv_error(bus)))
    reader.start()
    time.sleep(0.05)
    bus.shutdown()
    reader.join(2)
    assert not reader.is_alive() and waiting == ["shut down"]
    bus.shutdown()  # nothing happens
    with pytest.raises(can.CanOperationError):
        bus.recv(timeout=0)
    with pytest.raises(can.CanOperationError):
        bus.send(can.Message(arbitration_id=1, is_extended_id=False))
    # The port opens again afterwards, with another configuration.
    with can.Bus(interface="pci5c3a", channel=0, bitrate=125000, extended=True) as again:
        assert again.extended and again.bitrate == 125000


def _recv_error(bus):
    try:
        bus.recv(timeout=None)
    except can.CanOperationError as error:
        return "shut down" if "shut down" in str(error) else str(error)
    return "no error"


def test_detect_available_configs():
    configs = can.detect_available_configs(interfaces=["pci5c3a"])
    assert {"interface": "pci5c3a", "channel": 0} in configs
    assert {"interface": "pci5c3a", "channel": 1} in configs


def test_the_port_hub_serves_any_subscriber_through_its_own_interface():
    # The hub needs no bus: a subscription with a plain callback gets the
    # port's messages, and detaching the last one closes the port.
    got = []
    subscription = Subscription(lambda msg, filtered: got.append((msg, filtered)))
    hub = PortHub.attach(subscription, 1, timing_for_bitrate(500000), False)
    try:
        assert _library.port_is_open(1)
        with can.Bus(interface="pci5c3a", channel=0, bitrate=500000) as sender:
            sender.send(can.Message(arbitration_id=0x21, data=b"\x05", is_extended_id=False))
            deadline = time.monotonic() + 5
            while not got and time.monotonic() < deadline:
                time.sleep(0.01)
        assert [(m.arbitration_id, bytes(m.data), m.is_rx, filtered) for m, filtered in got] == [
            (0x21, b"\x05", True, True)
        ]
        assert subscription.hardware_exact is False  # it asked for no filter of its own
    finally:
        hub.detach(subscription)
    assert not _library.port_is_open(1)
