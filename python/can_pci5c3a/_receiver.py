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

A thread blocked in ``recv()`` with nothing queued for it waits for the
signals too (:meth:`Dispatcher.serve_while`), and serves every port as the
dispatcher does. The kernel gives a signal raised for the process to its main
thread when that thread waits for it, so a ``recv()`` loop in the main thread
(the usual script) gets each frame with one thread woken, as a C program's
handler does, not two: on a loaded machine every wake-up is a chance to wait
for a time slice. A message handed to a bus whose reader is waiting for the
signals wakes the reader (:class:`Waiters`).

A signal only reaches the wait when no thread of the process has it
unblocked (the kernel would deliver it there, to be ignored) and the main
thread has it blocked (for an ignored signal the kernel looks at the main
thread when it is raised). The dispatcher checks that from the threads'
masks in ``/proc/self/task``; while it does not hold, it polls the ports
every :data:`POLL_INTERVAL` seconds instead, and logs why once.
"""

import logging
import os
import signal
import threading
import time
from typing import Callable, List, Optional, Set

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


_thread_state = threading.local()


def _blocks_here() -> bool:
    """Whether the calling thread has the card's signals blocked (looked at
    once per :data:`IDLE_CHECK`: a thread rarely changes its mask)."""
    now = time.monotonic()
    if now >= getattr(_thread_state, "next_look", 0.0):
        _thread_state.blocks = _SIGNAL_SET <= signal.pthread_sigmask(signal.SIG_BLOCK, ())
        _thread_state.next_look = now + IDLE_CHECK
    return bool(_thread_state.blocks)


class Port:
    """What a port's messages are handed to; implemented by the port hub."""

    port_number: int
    polled: bool

    def drain(self) -> None:  # pragma: no cover - interface
        raise NotImplementedError


class Waiters:
    """The threads waiting for the card's signals on behalf of one bus's
    reader, to be woken when a message is handed to the bus otherwise."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._threads: Set[int] = set()
        self._woken: Set[int] = set()

    def enter(self) -> None:
        """Count the calling thread in until it is woken or leaves."""
        with self._lock:
            self._threads.add(threading.get_ident())

    def leave(self) -> bool:
        """Count the calling thread out: no wake-up is sent to it after this.

        :returns: whether one was sent to it since it first entered
        """
        me = threading.get_ident()
        with self._lock:
            self._threads.discard(me)
            if me not in self._woken:
                return False
            self._woken.discard(me)
            return True

    def wake(self) -> None:
        """End the waits of the threads counted in (but the calling one);
        each gets one wake-up and is counted out."""
        with self._lock:
            if not self._threads:
                return
            me = threading.get_ident()
            for thread in self._threads - {me}:
                _wake(thread)
                self._woken.add(thread)
            self._threads &= {me}


def _wait(timeout: float) -> Optional[int]:
    """The card's signal the calling thread took within ``timeout`` seconds
    (it must have them blocked), or None."""
    info = signal.sigtimedwait(_SIGNAL_SET, timeout)
    # An interrupted wait that runs out of time comes back with a siginfo
    # Python never filled in: only a number of ours is a signal.
    if info is None or info.si_signo not in SIGNALS:
        return None
    return info.si_signo


def _wake(thread: Optional[int]) -> None:
    """End a thread's wait for the card's signals with one sent to it alone."""
    if thread is None:
        return
    try:
        signal.pthread_kill(thread, _library.SIGNAL_PORT0)
    except (ProcessLookupError, OSError):
        pass  # the thread ended, or the signal queue is full: it wakes anyway


class Dispatcher:
    """The one thread that waits for the card's signals and wakes the ports."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._ports: Set[Port] = set()
        self._thread: Optional[threading.Thread] = None
        self._stop = False
        self._polling = False
        self._told: Optional[str] = None
        # Readers waiting for the signals now, and those that waited during
        # the current mode check (native thread ids).
        self._in_wait: Set[int] = set()
        self._waited: Set[int] = set()

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
            _wake(thread.ident)  # its wait ends at once
            thread.join()

    @property
    def polling(self) -> bool:
        """True while the ports are polled instead of woken by signals."""
        return self._polling

    def _check_mode(self, ports: List[Port]) -> None:
        reason = None
        with self._lock:
            self._waited = set(self._in_wait)
        unblocking = _threads_unblocking()
        with self._lock:
            # A thread in its wait shows the signals unblocked (the kernel
            # lifts them for the wait): not one to count.
            unblocking = [task for task in unblocking if task not in self._waited]
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

    def _serve(self, signo: Optional[int]) -> None:
        """Drain the ports a signal is for; every port for None (a wait that
        timed out, or the ports are polled)."""
        with self._lock:
            ports = list(self._ports)
        if signo is not None and not self._polling:
            number = SIGNALS[signo]
            ports = [port for port in ports if port.port_number == number]
        for port in ports:
            try:
                port.drain()
            except Exception:  # pylint: disable=broad-except
                LOG.exception("receiving from %s failed", port)

    def _run(self) -> None:
        block_signals()
        next_check = 0.0
        while True:
            now = time.monotonic()
            if now >= next_check:
                with self._lock:
                    ports = list(self._ports)
                self._check_mode(ports)
                next_check = now + IDLE_CHECK
            signo = _wait(POLL_INTERVAL if self._polling else IDLE_CHECK)
            with self._lock:
                if self._stop:
                    return
            self._serve(signo)

    def serve_while(
        self, waiting: Callable[[], bool], deadline: Optional[float], waiters: Waiters
    ) -> bool:
        """Wait for the card's signals in the calling thread and serve the
        ports, while ``waiting()`` holds and the ``deadline`` (monotonic
        seconds, None for none) has not come. A message for the caller that
        another thread takes from the driver ends the wait through
        ``waiters``.

        :returns:
            False at once when the ports are polled (a thread has the signals
            unblocked) or nothing is open; the caller then waits for its
            messages to be handed to it.
        """
        if self._polling or self._thread is None or not _blocks_here():
            return False
        me = threading.get_native_id()
        try:
            while True:
                # Counted in before the look at the queue: a message handed
                # over after it wakes this wait.
                waiters.enter()
                if not waiting() or self._polling or self._thread is None:
                    break
                left = IDLE_CHECK if deadline is None else deadline - time.monotonic()
                if left <= 0:
                    break
                # While it waits, the kernel shows this thread with the
                # signals unblocked: the mode check must not count it.
                with self._lock:
                    self._in_wait.add(me)
                    self._waited.add(me)
                try:
                    signo = _wait(min(left, IDLE_CHECK))
                finally:
                    with self._lock:
                        self._in_wait.discard(me)
                self._serve(signo)
        finally:
            # A wake-up sent to this thread that its waits did not take must
            # not stay pending on it (unblocked one day, the signal's default
            # action would end the process); with it, whatever the card
            # raised since.
            if waiters.leave():
                while True:
                    signo = _wait(0)
                    if signo is None:
                        break
                    self._serve(signo)
        return True


_dispatcher: Optional[Dispatcher] = None
_dispatcher_lock = threading.Lock()


def dispatcher() -> Dispatcher:
    """The process's dispatcher."""
    global _dispatcher
    with _dispatcher_lock:
        if _dispatcher is None:
            _dispatcher = Dispatcher()
        return _dispatcher


