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

#: Whether the virtual card is preloaded into this process.
ON_VIRTUAL_CARD = "libpci_5C3A_vcard" in os.environ.get("LD_PRELOAD", "")


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
