# SPDX-License-Identifier: MIT
"""Bus state and error counters, on virtual cards of their own (other processes)."""

import pytest

from support import ON_VIRTUAL_CARD, not_on_qemu, run_python

# The cases that set up a virtual card of their own (its wiring, remote node
# or faults) run only on it; the others run on any card.
_CONFIGURES_VIRTUAL_CARD = pytest.mark.skipif(not ON_VIRTUAL_CARD, reason="configures the virtual card")

_ALONE = r"""
import json, can
bus = can.Bus(interface="pci5c3a", channel=0, bitrate=500000)
result = {"before": [bus.state.name, list(bus.error_counters)]}
bus.send(can.Message(arbitration_id=0x100, data=[1], is_extended_id=False))
result["after"] = [bus.state.name, list(bus.error_counters)]
try:
    bus.send(can.Message(arbitration_id=0x101, is_extended_id=False), timeout=0.01)
except can.CanOperationError as error:
    result["second"] = str(error)
bus.shutdown()
print(json.dumps(result))
"""


@_CONFIGURES_VIRTUAL_CARD
def test_a_port_alone_on_its_wire_goes_error_passive():
    # Nobody acknowledges: the controller retransmits, transmit error
    # counter +8 each time, until it is error passive.
    result = run_python(_ALONE, {"PCI5C3A_VCARD_WIRING": "separate"})
    assert result["before"] == ["ACTIVE", [0, 0]]
    state, (tx, rx) = result["after"]
    assert state == "PASSIVE" and tx > 127 and rx == 0
    # its frame still pending, the next one cannot go out
    assert "0x101 not sent" in result["second"]
    assert "previous frame is still pending" in result["second"]


_BUS_OFF = r"""
import json, can
from can_pci5c3a import _library
bus = can.Bus(interface="pci5c3a", channel=1, bitrate=250000)
lib = _library.load()
# The transmit error counter takes writes in reset mode only; leaving reset
# mode with 255 in it puts the controller bus-off.
lib._5C3A_Write(1, _library.REG_MODE, _library.MOD_RESET | _library.MOD_SINGLE_FILTER)
lib._5C3A_Write(1, 15, 255)
lib._5C3A_Write(1, _library.REG_MODE, _library.MOD_SINGLE_FILTER)
result = {"state": bus.state.name, "counters": list(bus.error_counters)}
try:
    bus.send(can.Message(arbitration_id=0x100, is_extended_id=False))
except can.CanOperationError as error:
    result["send"] = str(error)
bus.shutdown()
print(json.dumps(result))
"""


@not_on_qemu("error counters that act on the bus state (bus-off)")
def test_bus_off_is_the_error_state_and_sending_fails_with_the_reason():
    result = run_python(_BUS_OFF)
    assert result["state"] == "ERROR"
    assert "cannot transmit" in result["send"] and "bus-off" in result["send"]


def test_counters_on_the_wired_ports_stay_zero_and_active():
    result = run_python(
        "import json, can\n"
        "a = can.Bus(interface='pci5c3a', channel=0); b = can.Bus(interface='pci5c3a', channel=1)\n"
        "for i in range(5): a.send(can.Message(arbitration_id=i, is_extended_id=False))\n"
        "print(json.dumps([a.state.name, list(a.error_counters), b.state.name, list(b.error_counters)]))\n"
    )
    assert result == ["ACTIVE", [0, 0], "ACTIVE", [0, 0]]


def test_other_threads_with_the_signals_unblocked_fall_back_to_polling():
    # A thread started before the first bus keeps the signals unblocked: the
    # receive thread notices and polls; messages still arrive promptly.
    result = run_python(
        "import json, threading, time, logging, signal, can\n"
        "logging.basicConfig(level=logging.WARNING)\n"
        # a child inherits its parent's signal mask: this one starts unblocked
        "signal.pthread_sigmask(signal.SIG_UNBLOCK, {62, 63})\n"
        "stop = threading.Event(); t = threading.Thread(target=stop.wait); t.start()\n"
        "a = can.Bus(interface='pci5c3a', channel=0); b = can.Bus(interface='pci5c3a', channel=1)\n"
        "from can_pci5c3a import _receiver\n"
        "time.sleep(0.1)\n"
        "lat = []\n"
        "for i in range(20):\n"
        "    a.send(can.Message(arbitration_id=i, is_extended_id=False)); t0 = time.monotonic()\n"
        "    assert b.recv(1).arbitration_id == i; lat.append(time.monotonic() - t0)\n"
        "polling = _receiver.dispatcher().polling\n"
        "stop.set(); t.join(); time.sleep(1.2)\n"
        "print(json.dumps([polling, _receiver.dispatcher().polling, max(lat)]))\n"
    )
    polling_then, polling_after, worst = result
    assert polling_then and not polling_after
    assert worst < 0.5


@_CONFIGURES_VIRTUAL_CARD
def test_without_receive_signals_the_port_is_polled():
    # F_SETOWN refused: the card works, but the library cannot have the
    # driver's signals sent here (CanGetReceiveEvent answers -6).
    result = run_python(
        "import ctypes, json, logging, io, can\n"
        "log = io.StringIO(); logging.basicConfig(stream=log, level=logging.WARNING)\n"
        "fail = ctypes.CDLL(None)._ZN5vcard11fail_setownEb\n"
        "fail.argtypes = [ctypes.c_bool]; fail(True)\n"
        "a = can.Bus(interface='pci5c3a', channel=0); b = can.Bus(interface='pci5c3a', channel=1)\n"
        "a.send(can.Message(arbitration_id=0x99, is_extended_id=False))\n"
        "msg = b.recv(timeout=1)\n"
        "from can_pci5c3a import _receiver\n"
        "print(json.dumps([msg.arbitration_id, _receiver.dispatcher().polling, log.getvalue()]))\n"
    )
    can_id, polling, log = result
    assert can_id == 0x99 and polling
    assert "CanGetReceiveEvent: -6" in log and "F_SETOWN failed" in log


def test_ctrl_c_ends_a_recv_without_timeout():
    # SIGINT may land on the receive thread; the main thread's wait must
    # still give Python the chance to raise KeyboardInterrupt.
    result = run_python(
        "import json, os, signal, threading, time, can\n"
        "bus = can.Bus(interface='pci5c3a', channel=0)\n"
        "start = time.monotonic()\n"
        "try:\n"
        "    threading.Timer(0.3, os.kill, [os.getpid(), signal.SIGINT]).start()\n"
        "    bus.recv()\n"
        "    outcome = 'returned'\n"
        "except KeyboardInterrupt:\n"
        "    outcome = 'interrupted'\n"
        "print(json.dumps([outcome, time.monotonic() - start]))\n",
        timeout=20,
    )
    assert result[0] == "interrupted" and result[1] < 2


@_CONFIGURES_VIRTUAL_CARD
def test_passive_state_listens_only():
    # The remote node sends and port 0 acknowledges; listen-only port 1
    # hears it but cannot send, until it is active again.
    result = run_python(
        "import json, can\n"
        "other = can.Bus(interface='pci5c3a', channel=0, bitrate=500000)\n"
        "bus = can.Bus(interface='pci5c3a', channel=1, bitrate=500000)\n"
        "bus.state = can.BusState.PASSIVE\n"
        "out = {'state': bus.state.name, 'heard': bus.recv(timeout=2).arbitration_id}\n"
        "try:\n"
        "    bus.send(can.Message(arbitration_id=1, is_extended_id=False))\n"
        "except can.CanOperationError as error:\n"
        "    out['send'] = str(error)\n"
        "bus.set_filters([{'can_id': 0x3A5, 'can_mask': 0x7FF}])  # reconfigures the port\n"
        "out['still'] = bus.state.name\n"
        "bus.state = can.BusState.ACTIVE\n"
        "bus.send(can.Message(arbitration_id=2, is_extended_id=False))\n"
        "out['after'] = [bus.state.name, list(bus.error_counters)]\n"
        "try:\n"
        "    bus.state = can.BusState.ERROR\n"
        "except ValueError as error:\n"
        "    out['error'] = str(error)\n"
        "print(json.dumps(out))\n",
        {"PCI5C3A_VCARD_REMOTE": "500k:5"},
    )
    assert result["state"] == "PASSIVE" and result["heard"] == 0x3A5
    assert "listen-only" in result["send"]
    assert result["still"] == "PASSIVE"
    assert result["after"] == ["ACTIVE", [0, 0]]
    assert "ACTIVE or PASSIVE" in result["error"]
