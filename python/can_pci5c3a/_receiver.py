# SPDX-License-Identifier: MIT
"""Receiving without busy waiting: the card's signals, waited for in a thread.

The card's driver raises signal 63 (port 0) or 62 (port 1) in the process for
every message it queues while a port's receive notification is on; the
library's ``CanGetReceiveEvent`` switches the notification on and installs a
handler. A handler cannot run Python code (a ctypes callback would need the
interpreter's lock, which the interrupted thread may hold), and Python's own
signal handlers run only in the main thread. So the handler given to the
library is ``SIG_IGN``, the two signals are blocked in the threads that open
buses (and, inherited, in the threads those start), and one thread of this
module, the dispatcher, takes them with ``sigtimedwait``: a blocked signal
stays pending even while its disposition is "ignore", and comes out of the
wait at once. Each signal wakes the ports of its port number, which drain the
driver's queue (``CanGetRcvCnt``, then ``CanRcvMsg`` as many times) and hand
every message to the buses open on the port.

A signal only reaches the wait when no thread of the process has it
unblocked (the kernel would deliver it there, to be ignored) and the main
thread has it blocked (for an ignored signal the kernel looks at the main
thread when it is raised). The dispatcher checks that from the threads'
masks in ``/proc/self/task``; while it does not hold, it polls the ports
every :data:`POLL_INTERVAL` seconds instead, and logs why once.
"""

import ctypes
import logging
import os
import signal
import struct
import threading
import time
from typing import Dict, List, Optional, Set, Tuple

from . import _library

LOG = logging.getLogger("can.pci5c3a")

SIGNALS = {_library.SIGNAL_PORT0: 0, _library.SIGNAL_PORT1: 1}
_SIGNAL_SET = set(SIGNALS)

#: Seconds between two looks at the ports while the signals cannot be used.
POLL_INTERVAL = 0.001
#: Seconds the dispatcher waits for a signal before it looks at everything
#: again: the threads' masks, the ports (a safety net), its stop flag.
IDLE_CHECK = 0.5

# Epoch seconds = monotonic seconds + this offset, fixed once per process:
# absolute time stamps that never go backwards when the clock is adjusted.
_EPOCH_OFFSET = time.time() - time.monotonic()


def timestamp() -> float:
    """Now, in seconds since the epoch, never decreasing within the process."""
    return _EPOCH_OFFSET + time.monotonic()


#: The time slice the receive thread asks the scheduler for, in nanoseconds.
SHORT_SLICE_NS = 100_000

# The system call numbers of sched_setattr and sched_getattr, by machine and
# pointer size (the 64-bit ARM and RISC-V kernels use the generic table).
_SCHED_ATTR_CALLS: Dict[Tuple[str, int], Tuple[int, int]] = {
    ("x86_64", 8): (314, 315),
    ("x86_64", 4): (351, 352),  # a 32-bit process on a 64-bit kernel
    ("i686", 4): (351, 352),
    ("i586", 4): (351, 352),
    ("i386", 4): (351, 352),
    ("aarch64", 8): (274, 275),
    ("riscv64", 8): (274, 275),
}
# The kernel's struct sched_attr as first published: size, policy, flags,
# nice, priority, runtime, deadline, period.
_SCHED_ATTR = struct.Struct("=IIQiIQQQ")
_SCHED_NORMAL_POLICIES = (0, 3)  # SCHED_OTHER, SCHED_BATCH


def request_short_slice() -> bool:
    """Ask the scheduler for a short time slice for the calling thread.

    The receive thread runs some tens of microseconds per message, and each
    time as soon as the card's signal comes. Kernels from 6.12 on take a slice
    request for normal threads (``sched_attr.sched_runtime``) and let a thread
    with a short slice preempt a busy one when it wakes, instead of making it
    wait for that thread's slice to end; older kernels ignore the request. The
    thread's policy and nice value stay as they are; a real-time thread is
    left alone.

    :returns: True when the kernel has taken the request
    """
    calls = _SCHED_ATTR_CALLS.get((os.uname().machine, struct.calcsize("P")))
    if calls is None:
        return False
    setattr_call, getattr_call = (ctypes.c_long(number) for number in calls)
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    this_thread, no_flags = ctypes.c_long(0), ctypes.c_long(0)
    size = ctypes.c_long(_SCHED_ATTR.size)
    attr = ctypes.create_string_buffer(_SCHED_ATTR.size)
    if libc.syscall(getattr_call, this_thread, attr, size, no_flags) != 0:
        return False
    _, policy, _, nice, priority, _, _, _ = _SCHED_ATTR.unpack(attr.raw)
    if policy not in _SCHED_NORMAL_POLICIES:
        return False
    wanted = _SCHED_ATTR.pack(_SCHED_ATTR.size, policy, 0, nice, priority, SHORT_SLICE_NS, 0, 0)
    if libc.syscall(setattr_call, this_thread, ctypes.create_string_buffer(wanted, len(wanted)), no_flags) != 0:
        return False
    if libc.syscall(getattr_call, this_thread, attr, size, no_flags) != 0:
        return False
    return _SCHED_ATTR.unpack(attr.raw)[5] == SHORT_SLICE_NS


def block_signals() -> None:
    """Block the card's signals in the calling thread.

    Threads started from here on inherit the block.
    """
    signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNAL_SET)


# Threads seen with both signals blocked, and when that list was last
# forgotten: a thread rarely unblocks them again, so only new threads need a
# look at every check (the scan is the idle bus's main cost).
_blocking: Set[int] = set()
_blocking_since = 0.0
_RECHECK_ALL = 30.0


def _blocks_signals(task: str, wanted: int) -> Optional[bool]:
    try:
        with open(f"/proc/self/task/{task}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("SigBlk:"):
                    return int(line.split()[1], 16) & wanted == wanted
    except (OSError, ValueError):
        pass
    return None  # the thread ended meanwhile


def _threads_unblocking() -> List[int]:
    """Thread ids of the process that have one of the card's signals unblocked."""
    global _blocking_since
    wanted = sum(1 << (sig - 1) for sig in _SIGNAL_SET)
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return [-1]
    now = time.monotonic()
    if now - _blocking_since > _RECHECK_ALL:
        _blocking.clear()
        _blocking_since = now
    _blocking.intersection_update(int(task) for task in tasks)
    unblocking = []
    for task in tasks:
        if int(task) in _blocking:
            continue
        blocks = _blocks_signals(task, wanted)
        if blocks:
            _blocking.add(int(task))
        elif blocks is not None:
            unblocking.append(int(task))
    return unblocking


class Port:
    """What a port's messages are handed to; implemented by the port hub."""

    port_number: int
    polled: bool

    def drain(self) -> None:  # pragma: no cover - interface
        raise NotImplementedError


class Dispatcher:
    """The one thread that waits for the card's signals and wakes the ports."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._ports: Set[Port] = set()
        self._thread: Optional[threading.Thread] = None
        self._stop = False
        self._polling = False
        self._told: Optional[str] = None

    def add(self, port: Port) -> None:
        """Start handing signals to ``port`` (starting the thread if needed)."""
        with self._lock:
            self._ports.add(port)
            if self._thread is None:
                block_signals()
                self._stop = False
                self._thread = threading.Thread(
                    target=self._run, name="pci5c3a-receive", daemon=True
                )
                self._thread.start()

    def remove(self, port: Port) -> None:
        """Stop serving ``port``; the thread ends with the last port."""
        with self._lock:
            self._ports.discard(port)
            thread = self._thread if not self._ports else None
            if thread is not None:
                self._stop = True
                self._thread = None
        if thread is not None and thread is not threading.current_thread():
            # A signal sent to the thread itself ends its wait at once.
            try:
                signal.pthread_kill(thread.ident, _library.SIGNAL_PORT0)
            except (ProcessLookupError, OSError):
                pass
            thread.join()

    @property
    def polling(self) -> bool:
        """True while the ports are polled instead of woken by signals."""
        return self._polling

    def _check_mode(self, ports: List[Port]) -> None:
        reason = None
        unblocking = _threads_unblocking()
        if unblocking:
            reason = (
                f"threads {unblocking} have the card's signals 62/63 unblocked "
                "(block them, or open the first bus before starting threads)"
            )
        elif any(port.polled for port in ports):
            reason = "a port's receive notification could not be switched on"
        self._polling = reason is not None
        if reason != self._told:
            if reason is not None:
                LOG.warning(
                    "receiving by polling every %.0f ms: %s", POLL_INTERVAL * 1000, reason
                )
            elif self._told is not None:
                LOG.info("receiving on the card's signals again")
            self._told = reason

    def _run(self) -> None:
        block_signals()
        request_short_slice()
        next_check = 0.0
        while True:
            now = time.monotonic()
            if now >= next_check:
                with self._lock:
                    ports = list(self._ports)
                self._check_mode(ports)
                next_check = now + IDLE_CHECK
            info = signal.sigtimedwait(
                _SIGNAL_SET, POLL_INTERVAL if self._polling else IDLE_CHECK
            )
            # A wait interrupted when its time is up comes back with a siginfo
            # Python never filled in: only a number of ours is a signal.
            if info is not None and info.si_signo not in SIGNALS:
                info = None
            # The ports as they are now: one may have been added during the wait.
            with self._lock:
                if self._stop:
                    return
                ports = list(self._ports)
            if info is not None and not self._polling:
                number = SIGNALS[info.si_signo]
                ports = [port for port in ports if port.port_number == number]
            for port in ports:
                try:
                    port.drain()
                except Exception:  # pylint: disable=broad-except
                    LOG.exception("receiving from %s failed", port)


_dispatcher: Optional[Dispatcher] = None
_dispatcher_lock = threading.Lock()


def dispatcher() -> Dispatcher:
    """The process's dispatcher."""
    global _dispatcher
    with _dispatcher_lock:
        if _dispatcher is None:
            _dispatcher = Dispatcher()
        return _dispatcher


