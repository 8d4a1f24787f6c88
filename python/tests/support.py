# SPDX-License-Identifier: MIT
"""Helpers shared by the tests: library access, other processes, waiting."""

import ctypes
import json
import os
import subprocess
import sys
import time
from typing import Dict, List, Optional

import can
import pytest

#: Whether the virtual card is preloaded into this process.
ON_VIRTUAL_CARD = "libpci_5C3A_vcard" in os.environ.get("LD_PRELOAD", "")

#: Whether the suite runs on the kernel driver over QEMU's SJA1000 boards
#: (kernel/tests/python-suite.sh). Their controller model transmits at once
#: without acknowledgement, raises no error interrupts and keeps no error
#: counters. (QEMU 7.2 also stored a remote frame's length code worth of data
#: bytes in its receive FIFO, so that every later frame was read from the
#: wrong place; the QEMU of scripts/fetch-qemu has that mended.)
ON_QEMU = os.environ.get("PCI5C3A_TEST_TARGET") == "qemu"


def remote_length(length: int) -> int:
    """A remote frame's length code for a test: the same on every target
    since the QEMU the guests run stores no data for a remote frame."""
    return length


def not_on_qemu(missing: str):
    """Marks a test that needs what QEMU's SJA1000 boards do not model."""
    return pytest.mark.skipif(ON_QEMU, reason=f"QEMU's SJA1000 boards do not model {missing}")


def library() -> ctypes.CDLL:
    """The card's library, as loaded by the interface."""
    from can_pci5c3a import _library  # pylint: disable=import-outside-toplevel

    return _library.load()


def register(handle: int, reg: int) -> int:
    """A controller register of a port, read through the library."""
    return library()._5C3A_Read(handle, reg)


def receive_all(bus: can.BusABC, count: int, timeout: float = 2.0) -> List[can.Message]:
    """Up to ``count`` messages, waiting at most ``timeout`` in all."""
    deadline = time.monotonic() + timeout
    messages = []
    while len(messages) < count:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        msg = bus.recv(timeout=left)
        if msg is not None:
            messages.append(msg)
    return messages


def run_python(code: str, env: Optional[Dict[str, str]] = None, timeout: float = 60) -> dict:
    """Run ``code`` in a fresh interpreter on a virtual card of its own,
    configured by ``env``; the program prints one JSON document, returned."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    done = subprocess.run(
        [sys.executable, "-c", code],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])
