# SPDX-License-Identifier: MIT
"""One open port of the card, shared by every bus opened on it in the process.

The library and the driver know a port once: one configuration (bit rate,
identifier format, acceptance filter) and one queue of received messages.
Several :class:`~can_pci5c3a.Pci5c3aBus` objects on the same port (a logger
beside a test script) share a :class:`PortHub`: it drains the driver's queue
and gives every bus its own copy of each message, and hands each message a
bus sends to the other buses of the port, as sockets bound to one SocketCAN
interface see each other's frames.

The hub knows the buses only as :class:`Subscription` objects, which this
module defines: a bus makes one and attaches it, and the hub never reaches
into the bus. This module does not import the bus module.
"""

import ctypes
import threading
from typing import Callable, Dict, List, Optional, Tuple

import can

from . import _library, _receiver
from .bitrate import Timing, timing_for_bitrate

#: An acceptance filter as the library takes it: right-aligned code and
#: mask, a mask bit 1 meaning "don't care".
Acceptance = Tuple[int, int]

#: How a hub hands a subscriber a message: the message (None when the port
#: failed, see :attr:`PortHub.error`) and whether the controller's
#: acceptance filter has already passed it.
Deliver = Callable[[Optional[can.Message], bool], None]


class Subscription:
    """One party on a port, as the port's hub knows it.

    Whoever wants a port's messages (a bus) makes one, with the callback the
    hub hands messages to, and attaches it with :meth:`PortHub.attach`. The
    hub reads :attr:`acceptance` and :attr:`receive_own_messages` and sets
    :attr:`hardware_exact`; it knows nothing else of the subscriber.
    """

    def __init__(self, deliver: Deliver, receive_own_messages: bool = False) -> None:
        #: Called with each message for the subscriber, from the receive
        #: thread or a sender; it must not block.
        self.deliver = deliver
        #: Whether the messages this subscriber sends come back to it.
        self.receive_own_messages = receive_own_messages
        #: The acceptance filter the subscriber wants in the controller; None
        #: for every message.
        self.acceptance: Optional[Acceptance] = None
        #: Set by the hub: True while the controller filters with exactly
        #: :attr:`acceptance`, so that messages it passed need no check of
        #: the subscriber's own.
        self.hardware_exact = False

_hubs: Dict[int, "PortHub"] = {}


class PortHub(_receiver.Port):
    """The driver's side of one port: configuration, receiving, fan-out."""

    def __init__(self, handle: int, timing: Timing, extended: bool) -> None:
        self.handle = handle
        self.card, self.port_number = divmod(handle, _library.PORTS_PER_CARD)
        self.timing = timing
        self.extended = extended
        self.id_mask = _library.EXTENDED_ID_MASK if extended else _library.STANDARD_ID_MASK
        self.pass_all: Acceptance = (0, self.id_mask)
        self.acceptance: Acceptance = self.pass_all
        self.polled = False
        self.listen_only = False
        self.subscribers: List[Subscription] = []
        self.error: Optional[str] = None
        self._lock = threading.RLock()
        self._packet = _library.CAN_PACKET()
        self._lib = _library.load()

    def __repr__(self) -> str:
        return f"card {self.card} port {self.port_number}"

    # -- opening and closing ------------------------------------------------

    @classmethod
    def attach(
        cls,
        subscriber: Subscription,
        handle: int,
        timing: Optional[Timing],
        extended: Optional[bool],
    ) -> "PortHub":
        """The port's hub with ``subscriber`` added, opening the port if needed.

        ``timing`` and ``extended`` of None take what the port already has (or
        the defaults); given, they must agree with a port already open.
        """
        # Every thread that opens a bus keeps the receive signals off itself.
        _receiver.block_signals()
        with _library.lock:
            hub = _hubs.get(handle)
            if hub is None:
                hub = cls(handle, timing or _default_timing(), bool(extended))
                hub._open()
                _hubs[handle] = hub
            else:
                hub._check_same(timing, extended)
            with hub._lock:
                hub.subscribers.append(subscriber)
            return hub

    def _check_same(self, timing: Optional[Timing], extended: Optional[bool]) -> None:
        if timing is not None and (timing.index, timing.btr0, timing.btr1) != (
            self.timing.index,
            self.timing.btr0,
            self.timing.btr1,
        ):
            raise ValueError(
                f"{self} is already open in this process at {self.timing.bitrate:.0f} bit/s "
                f"with another bit timing; a port has one bit rate"
            )
        if extended is not None and bool(extended) != self.extended:
            kind = "29-bit" if self.extended else "11-bit"
            raise ValueError(
                f"{self} is already open in this process with {kind} identifiers; "
                "a port serves one identifier kind"
            )

    def _open(self) -> None:
        lib = self._lib
        ctypes.set_errno(0)
        result = lib.CanOpenDriver(self.card, self.port_number)
        error = ctypes.get_errno()
        if result != self.handle:
            reason = _library.open_failure_reason(self.card, error)
            raise can.CanInitializationError(
                f"card {self.card} port {self.port_number} cannot be opened: {reason}",
                error_code=result,
            )
        try:
            self._configure(self.pass_all)
            # Messages the driver queued before this open belong to no bus.
            for _ in range(max(lib.CanGetRcvCnt(self.handle), 0)):
                lib.CanRcvMsg(self.handle, ctypes.byref(self._packet))
            result = lib.CanGetReceiveEvent(self.handle, _library.SIG_IGN)
            if result != _library.PCI5C3A_OK:
                self.polled = True
                _receiver.LOG.warning(
                    "%s: receive notification unavailable (CanGetReceiveEvent: %d, %s)",
                    self,
                    result,
                    _library.RECEIVE_EVENT_RESULTS.get(result, "unknown result"),
                )
        except BaseException:
            lib.CanCloseDriver(self.handle)
            raise
        _receiver.dispatcher().add(self)

    def detach(self, subscriber: Subscription) -> None:
        """Take ``subscriber`` off the port; the last one closes the port."""
        with _library.lock:
            with self._lock:
                if subscriber in self.subscribers:
                    self.subscribers.remove(subscriber)
                last = not self.subscribers
            if not last:
                self.update_acceptance()  # what the others want may be narrower
                return
            if _hubs.get(self.handle) is not self:
                return
            del _hubs[self.handle]
        _receiver.dispatcher().remove(self)
        with _library.lock, self._lock:
            self._lib.CanStopReceiveEvent(self.handle)
            self._lib.CanCloseDriver(self.handle)

    # -- configuration --------------------------------------------------------

    def _configure(self, acceptance: Acceptance) -> None:
        config = _library.PORT_STRUCT()
        config.mode = (
            _library.PCI5C3A_ID_EXTENDED if self.extended else _library.PCI5C3A_ID_STANDARD
        )
        config.accCode, config.accMask = acceptance
        config.baudrate = self.timing.index
        config.brp = self.timing.brp
        config.tseg1 = self.timing.tseg1
        config.tseg2 = self.timing.tseg2
        config.sjw = self.timing.sjw
        result = self._lib.CanConfigPort(self.handle, ctypes.byref(config))
        if result != _library.PCI5C3A_OK:
            raise can.CanInitializationError(
                f"{self}: CanConfigPort refused the configuration ({result}: the port is not open "
                "or a field is out of range)",
                error_code=result,
            )
        self.acceptance = acceptance
        if self.listen_only:
            self._write_mode()  # CanConfigPort leaves the controller in normal mode

    def _write_mode(self) -> None:
        # The controller takes the listen-only bit in reset mode only.
        mode = _library.MOD_SINGLE_FILTER
        if self.listen_only:
            mode |= _library.MOD_LISTEN_ONLY
        self._lib._5C3A_Write(self.handle, _library.REG_MODE, mode | _library.MOD_RESET)
        self._lib._5C3A_Write(self.handle, _library.REG_MODE, mode)

    def set_listen_only(self, listen_only: bool) -> None:
        """Put the controller into listen-only mode (it neither acknowledges
        nor sends) or back into normal operation."""
        with _library.lock, self._lock:
            if listen_only == self.listen_only:
                return
            self.drain()  # reset mode empties the controller's FIFO
            self.listen_only = listen_only
            self._write_mode()

    def update_acceptance(self) -> None:
        """Program the filter that passes what every subscriber of the port wants.

        One acceptance filter serves the port: it is the narrowest single
        filter that covers each subscriber's own (bits on which two filters
        disagree become "don't care"); each subscriber then filters in
        software whatever its own filter does not match exactly.
        """
        with _library.lock, self._lock:
            wanted = None
            for subscriber in self.subscribers:
                own = subscriber.acceptance
                if own is None:
                    wanted = self.pass_all
                    break
                if wanted is None:
                    wanted = own
                else:
                    dont_care = wanted[1] | own[1] | (wanted[0] ^ own[0])
                    wanted = (wanted[0] & ~dont_care & self.id_mask, dont_care & self.id_mask)
            wanted = wanted or self.pass_all
            if wanted != self.acceptance:
                # Reprogramming passes through reset mode, which empties the
                # controller's FIFO: take what it holds into the queue first.
                self.drain()
                self._configure(wanted)
            # A subscriber may skip its software check only for messages the
            # controller filtered with exactly its own filter.
            for subscriber in self.subscribers:
                subscriber.hardware_exact = subscriber.acceptance == self.acceptance

    # -- receiving -----------------------------------------------------------

    def drain(self) -> None:
        """Take every message waiting in the driver's queue to the subscribers."""
        lib, handle, packet = self._lib, self.handle, self._packet
        with self._lock:
            if not self.subscribers:
                return  # closed: the handle may belong to a new hub by now
            count = lib.CanGetRcvCnt(handle)
            if count < 0:
                if self.error is None:
                    self.error = (
                        f"{self}: the port was closed under the bus (CanGetRcvCnt: {count})"
                    )
                    for subscriber in self.subscribers:
                        subscriber.deliver(None, False)
                return
            extended, channel = self.extended, self.handle
            for _ in range(count):
                if lib.CanRcvMsg(handle, ctypes.byref(packet)) != _library.PCI5C3A_OK:
                    break
                when = _receiver.timestamp()
                remote = bool(packet.rtr)
                length = min(packet.len, 8)
                data = None if remote else bytes(packet.data[:length])
                for subscriber in self.subscribers:
                    subscriber.deliver(
                        can.Message(
                            timestamp=when,
                            arbitration_id=packet.id,
                            is_extended_id=extended,
                            is_remote_frame=remote,
                            dlc=length,
                            data=data,
                            channel=channel,
                        ),
                        True,
                    )

    # -- sending -------------------------------------------------------------

    def sent(self, sender: Subscription, msg: can.Message) -> None:
        """Hand a message ``sender`` sent to the port's other subscribers (and
        back to ``sender`` when it asked for its own messages)."""
        with self._lock:
            # Frames received before the send come out first.
            self.drain()
            when = _receiver.timestamp()
            for subscriber in self.subscribers:
                if subscriber is sender and not subscriber.receive_own_messages:
                    continue
                subscriber.deliver(
                    can.Message(
                        timestamp=when,
                        arbitration_id=msg.arbitration_id,
                        is_extended_id=self.extended,
                        is_remote_frame=msg.is_remote_frame,
                        dlc=msg.dlc,
                        data=None if msg.is_remote_frame else bytes(msg.data[: msg.dlc]),
                        channel=self.handle,
                        is_rx=False,  # made on this host, as SocketCAN marks it
                    ),
                    False,
                )

    # -- status ----------------------------------------------------------------

    def status(self) -> Tuple[int, int, int]:
        """The controller's status register, transmit and receive error counters."""
        with _library.lock:
            out = _library.PORT_STATUS()
            self._lib.CanGetPortStatus(self.handle, ctypes.byref(out))
            return (
                out.status,
                self._lib.CanGetTxErrorCount(self.handle),
                self._lib.CanGetRxErrorCount(self.handle),
            )


def _default_timing() -> Timing:
    return timing_for_bitrate(500_000)
