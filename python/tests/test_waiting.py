# SPDX-License-Identifier: MIT
"""How a blocked recv() is woken: by the card's signals, through the receive thread.

Each case runs in a process of its own with the receive thread's safety net
(a look at every port twice a second) pushed out to half a minute, so that
only a wake-up can end a wait in time.
"""

import pytest

from support import ON_VIRTUAL_CARD, run_python

_NO_SAFETY_NET = r"""
import json, signal, threading, time, can
from can_pci5c3a import _receiver
_receiver.IDLE_CHECK = 30.0
"""


def test_messages_handed_over_by_other_threads_end_the_wait():
    # Thread T waits on port 0 (bus b) twice while the main thread sends:
    # first over the wire from port 1 (the receive signal brings it), then
    # from bus a on port 0 itself (the sending thread hands b its copy). No
    # signal may stay pending on T.
    result = run_python(
        _NO_SAFETY_NET
        + r"""
a = can.Bus(interface="pci5c3a", channel=0)
b = can.Bus(interface="pci5c3a", channel=0)
c = can.Bus(interface="pci5c3a", channel=1)
got = {}
def reader():
    for name in ("wire", "same port"):
        msg = b.recv(timeout=10)
        got[name] = None if msg is None else msg.arbitration_id
    # Only a signal sent to T itself would stay: T never waits for one. A
    # signal sent to the process (the driver's, for the frame port 1 got
    # from a's send) is the receive thread's, which may take it a moment
    # after the copy handed over here.
    with open(f"/proc/self/task/{threading.get_native_id()}/status", encoding="ascii") as status:
        own = next(int(line.split()[1], 16) for line in status if line.startswith("SigPnd:"))
    got["pending"] = [s for s in (62, 63) if own >> (s - 1) & 1]
t = threading.Thread(target=reader)
t.start()
time.sleep(0.3)
c.send(can.Message(arbitration_id=0x31, is_extended_id=False))
time.sleep(0.3)
a.send(can.Message(arbitration_id=0x32, is_extended_id=False))
t.join(5)  # the wire's frame and the copy are there well before
got["late"] = t.is_alive()
t.join(20)
got["polling"] = _receiver.dispatcher().polling
for bus in (a, b, c):
    bus.shutdown()
print(json.dumps(got))
"""
    )
    assert result["wire"] == 0x31 and result["same port"] == 0x32
    assert not result["late"] and result["pending"] == [] and not result["polling"]


def test_shutdown_from_another_thread_ends_a_recv_without_timeout():
    result = run_python(
        _NO_SAFETY_NET
        + r"""
bus = can.Bus(interface="pci5c3a", channel=0)
outcome = []
def reader():
    try:
        bus.recv()
        outcome.append("returned")
    except can.CanOperationError as error:
        outcome.append(str(error))
t = threading.Thread(target=reader)
t.start()
time.sleep(0.3)
bus.shutdown()
t.join(10)
print(json.dumps([outcome, t.is_alive()]))
"""
    )
    outcome, alive = result
    assert not alive
    assert len(outcome) == 1 and "shut down" in outcome[0]


@pytest.mark.skipif(not ON_VIRTUAL_CARD, reason="configures the virtual card's remote node")
def test_a_main_thread_reader_keeps_the_signals_and_gets_every_frame():
    # A recv() loop in the main thread on the node's frames: every look at
    # the threads' masks (every half second, each thread read anew) finds the
    # signals blocked, so the port is never polled and no frame is lost.
    result = run_python(
        r"""
import io, json, logging, time, can
from can_pci5c3a import _receiver
_receiver._RECHECK_ALL = 0.0  # every look reads every thread's mask
log = io.StringIO(); logging.basicConfig(stream=log, level=logging.INFO)
bus = can.Bus(interface="pci5c3a", channel=0, bitrate=500000)
first = bus.recv(timeout=2)
expected = int.from_bytes(first.data, "little") + 1
count, lost, end = 0, 0, time.monotonic() + 1.6
while time.monotonic() < end:
    msg = bus.recv(timeout=1)
    sequence = int.from_bytes(msg.data, "little")
    lost += sequence - expected
    expected = sequence + 1
    count += 1
polling = _receiver.dispatcher().polling
bus.shutdown()
print(json.dumps([count, lost, polling, log.getvalue()]))
""",
        {"PCI5C3A_VCARD_REMOTE": "500k:5"},
    )
    count, lost, polling, log = result
    assert count > 100 and lost == 0
    assert not polling and "polling" not in log


def test_the_receive_thread_asks_for_a_short_slice_and_keeps_its_nice_value():
    # Started by a thread at nice 3, the receive thread stays at nice 3 (a
    # slice request that reset it to 0 would raise its priority, or fail for
    # a user); where the kernel takes slice requests it has the short one.
    result = run_python(
        r"""
import json, os, threading, time, can
from can_pci5c3a import _receiver
base = os.nice(0)  # the suite may itself run niced
os.nice(3)
probe = []  # whether this kernel takes slice requests, asked by a thread of its own
asker = threading.Thread(target=lambda: probe.append(_receiver.request_short_slice()))
asker.start()
asker.join()
taken = probe[0]
bus = can.Bus(interface="pci5c3a", channel=0)
tid = _receiver.dispatcher()._thread.native_id
# The thread asks as it starts, which may be after the bus is open.
deadline = time.monotonic() + 5
while True:
    with open(f"/proc/self/task/{tid}/sched", encoding="ascii") as sched:
        slices = [line.split()[-1] for line in sched if line.startswith("se.slice")]
    if not taken or slices == ["100000"] or time.monotonic() > deadline:
        break
    time.sleep(0.01)
nice = os.getpriority(os.PRIO_PROCESS, tid)
bus.shutdown()
print(json.dumps([nice - base, slices, taken]))
"""
    )
    raised, slices, taken = result
    assert raised == 3
    if taken:  # the kernel takes slice requests (6.12 on)
        assert slices == ["100000"]

