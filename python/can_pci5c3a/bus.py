# SPDX-License-Identifier: MIT
"""The python-can bus of the 5C3A card: ``can.Bus(interface="pci5c3a")``."""

import ctypes
import errno
import os
import queue
import time
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

import can
from can import BusState, Message
from can.typechecking import AutoDetectedConfig, CanFilters

from . import _library
from ._port import Acceptance, PortHub, Subscription
from .bitrate import Timing, timing_for_bitrate, timing_from_bit_timing, timing_from_registers

#: Messages a bus keeps for its reader; beyond that the oldest are lost
#: (counted in :attr:`Pci5c3aBus.messages_lost`), as a socket's receive
#: buffer would. At 1 Mbit/s this is more than 10 s of a saturated bus.
DEFAULT_RECEIVE_QUEUE = 100_000

_CHANNEL_FORMS = (
    "a handle 0..7 (card * 2 + port, as int or str such as 3 or '3') "
    "or 'CARD:PORT' with card 0..3 and port 0..1 (such as '0:1')"
)

_CLOSED = object()
#: Longest single wait of a recv() without timeout, in seconds.
_WAIT_SLICE = 0.25


class ErrorCounters(NamedTuple):
    """The controller's error counters."""

    #: transmit error counter, 0..255
    tx: int
    #: receive error counter, 0..255
    rx: int


def parse_channel(channel: Any) -> int:
    """The handle (``card * 2 + port``) a channel names.

    :raises ValueError: naming the accepted forms, for anything else
    """
    handle: Optional[int] = None
    if isinstance(channel, int) and not isinstance(channel, bool):
        handle = channel
    elif isinstance(channel, str):
        text = channel.strip()
        card, colon, port = text.partition(":")
        if colon:
            if card.isdigit() and port.isdigit() and int(card) < _library.MAX_CARDS and int(port) < 2:
                handle = int(card) * _library.PORTS_PER_CARD + int(port)
            else:
                handle = -1
        elif text.isdigit():
            handle = int(text)
    if handle is None or not 0 <= handle < _library.MAX_HANDLES:
        raise ValueError(f"channel {channel!r} is not valid; expected {_CHANNEL_FORMS}")
    return handle


def _flag(name: str, value: Any) -> bool:
    if isinstance(value, bool):
        return value
    if isinstance(value, int) and value in (0, 1):
        return bool(value)
    if isinstance(value, str) and value.strip().lower() in ("0", "1", "true", "false", "yes", "no"):
        return value.strip().lower() in ("1", "true", "yes")
    raise ValueError(f"{name} must be True or False, got {value!r}")


def _timing(bitrate: Any, timing: Any, btr0: Any, btr1: Any) -> Optional[Timing]:
    if timing is not None:
        if not isinstance(timing, can.BitTiming):
            raise ValueError(f"timing must be a can.BitTiming, got {timing!r}")
        return timing_from_bit_timing(timing)
    if btr0 is not None or btr1 is not None:
        if btr0 is None or btr1 is None:
            raise ValueError("btr0 and btr1 go together: give both bus timing registers")
        return timing_from_registers(int(str(btr0), 0), int(str(btr1), 0))
    if bitrate is None:
        return None
    try:
        rate = float(bitrate)
    except (TypeError, ValueError):
        raise ValueError(f"bitrate must be a number of bit/s, got {bitrate!r}") from None
    return timing_for_bitrate(int(rate) if rate.is_integer() else rate)


class Pci5c3aBus(can.BusABC):
    """A port of a 5C3A two-port CAN card (SJA1000 controllers), through its
    library ``libpci_5C3A``.

    Example::

        import can

        with can.Bus(interface="pci5c3a", channel="0:0", bitrate=500000) as bus:
            bus.send(can.Message(arbitration_id=0x123, data=[1, 2, 3], is_extended_id=False))
            print(bus.recv(timeout=1.0))

    The card's driver frames every packet of a port with the port's one
    identifier kind, so a bus is either 11-bit (the default) or 29-bit
    (``extended=True``); received messages carry ``is_extended_id``
    accordingly, and sending a message of the other kind is refused.

    Several buses may be open on one port in a process: each receives every
    message, and sees the messages the others send (``is_rx=False``). The
    port keeps the bit rate and identifier kind of its first bus.

    Receiving: a thread of the module waits for the card's receive signals
    (62 and 63) with ``sigtimedwait`` and takes the driver's queue into each
    bus's queue, time-stamped. For that the signals must be blocked in every
    thread: the constructor blocks them in the thread that calls it (threads
    it starts later inherit that). When some thread has them unblocked, the
    buses fall back to polling the driver every millisecond, with a warning
    logged. The application may not use signals 62 and 63 for itself.
    """

    def __init__(
        self,
        channel: can.typechecking.Channel = 0,
        can_filters: Optional[CanFilters] = None,
        bitrate: Optional[int] = None,
        extended: Union[bool, str, None] = None,
        receive_own_messages: bool = False,
        timing: Optional[can.BitTiming] = None,
        btr0: Optional[int] = None,
        btr1: Optional[int] = None,
        fd: bool = False,
        receive_queue_size: int = DEFAULT_RECEIVE_QUEUE,
        **kwargs: Any,
    ) -> None:
        """
        :param channel:
            The port: a handle 0..7 (``card * 2 + port``; int, or str such as
            ``"3"``) or ``"CARD:PORT"`` such as ``"0:1"``.
        :param can_filters:
            See :meth:`~can.BusABC.set_filters`. One filter of the port's
            identifier kind is programmed into the controller's acceptance
            filter; other filter sets are applied in software.
        :param bitrate:
            Bit rate in bit/s. 125000, 250000, 500000 and 1000000 are the
            card's fixed rates; any other rate the controllers can be
            programmed to with their 16 MHz crystal (5000 to 1000000 bit/s,
            such as 10k, 20k, 50k, 100k, 800k, 83333) is set as a user
            timing. Default: what the port already has when another bus of
            the process holds it open, else 500000.
        :param extended:
            True for 29-bit identifiers on this port, False (default) for
            11-bit.
        :param receive_own_messages:
            If True, messages this bus sends successfully are received by it
            too (``is_rx=False``).
        :param timing:
            A :class:`can.BitTiming` for the controller's 8 MHz CAN clock
            (``f_clock=8000000``), or made from ``btr0``/``btr1``; programmed
            as given, in place of ``bitrate``.
        :param btr0:
            Bus timing register 0, with ``btr1``: programmed as given.
        :param btr1:
            Bus timing register 1, with ``btr0``.
        :param fd:
            Must be False: the card's controllers speak classic CAN only.
        :param receive_queue_size:
            Messages kept for this bus's reader before the oldest are lost.
        :param kwargs:
            Other keyword arguments are accepted and ignored.

        :raises ValueError:
            for a channel, bit rate or option the card cannot take (the
            message names what it accepts)
        :raises can.CanInterfaceNotImplementedError:
            if ``libpci_5C3A.so.0`` cannot be loaded
        :raises can.CanInitializationError:
            if the card cannot be opened, with the library's reason
        """
        self._hub: Optional[PortHub] = None
        handle = parse_channel(channel)
        if _flag("fd", fd):
            raise ValueError(
                "fd=True: the card's SJA1000 controllers speak classic CAN only, not CAN FD"
            )
        port_timing = _timing(bitrate, timing, btr0, btr1)
        kind = None if extended is None else _flag("extended", extended)
        own = _flag("receive_own_messages", receive_own_messages)
        if not isinstance(receive_queue_size, int) or receive_queue_size < 1:
            raise ValueError(
                f"receive_queue_size must be a positive number, got {receive_queue_size!r}"
            )
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._queue_limit = receive_queue_size
        self._lost = 0
        self._subscription = Subscription(self._deliver, own)
        self.channel = handle
        self._hub = PortHub.attach(self._subscription, handle, port_timing, kind)
        hub = self._hub
        self._id_mask = hub.id_mask
        self.channel_info = (
            f"pci5c3a card {hub.card} port {hub.port_number} (handle {handle}), "
            f"{hub.timing.bitrate:.0f} bit/s, {'29' if hub.extended else '11'}-bit identifiers"
        )
        try:
            super().__init__(channel=handle, can_filters=can_filters, **kwargs)
        except BaseException:
            self.shutdown()
            raise

    # -- properties ------------------------------------------------------------

    @property
    def receive_own_messages(self) -> bool:
        """Whether messages this bus sends are received by it too."""
        return self._subscription.receive_own_messages

    @receive_own_messages.setter
    def receive_own_messages(self, value: bool) -> None:
        self._subscription.receive_own_messages = bool(value)

    @property
    def extended(self) -> bool:
        """True when the port carries 29-bit identifiers, False for 11-bit."""
        return self._port().extended

    @property
    def bitrate(self) -> float:
        """The port's bit rate in bit/s."""
        return self._port().timing.bitrate

    @property
    def messages_lost(self) -> int:
        """Messages dropped because this bus's receive queue was full."""
        return self._lost

    @property
    def error_counters(self) -> ErrorCounters:
        """The controller's transmit and receive error counters."""
        _, tx, rx = self._port().status()
        return ErrorCounters(tx, rx)

    @property
    def state(self) -> BusState:
        """``BusState.ERROR`` when the controller is bus-off, ``PASSIVE`` when
        it is error passive (an error counter above 127) or listens only,
        else ``ACTIVE``.

        Setting ``PASSIVE`` puts the port's controller into listen-only mode
        (it receives without acknowledging and cannot send), ``ACTIVE`` back
        into normal operation; this holds for every bus of the port.
        """
        hub = self._port()
        status, tx, rx = hub.status()
        if status & _library.SR_BUS_STATUS:
            return BusState.ERROR
        if max(tx, rx) > _library.ERROR_PASSIVE_LIMIT or hub.listen_only:
            return BusState.PASSIVE
        return BusState.ACTIVE

    @state.setter
    def state(self, new_state: BusState) -> None:
        if new_state not in (BusState.ACTIVE, BusState.PASSIVE):
            raise ValueError(f"{new_state}: a port can be set ACTIVE or PASSIVE (listen-only)")
        self._port().set_listen_only(new_state == BusState.PASSIVE)

    def _port(self) -> PortHub:
        if self._hub is None:
            raise can.CanOperationError(f"{self.channel_info}: the bus is shut down")
        return self._hub

    # -- receiving -------------------------------------------------------------

    def _deliver(self, msg: Optional[Message], hardware_filtered: bool) -> None:
        # The subscription's callback: the port hub calls it from the
        # receive thread or a sender.
        if msg is not None and self._queue.qsize() >= self._queue_limit:
            self._lost += 1
            return
        self._queue.put((msg, hardware_filtered))

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        # Waits go in slices: Python runs its signal handlers (Ctrl-C) only
        # between them when the signal went to another thread.
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                if deadline is None:
                    item = self._queue.get(timeout=_WAIT_SLICE)
                else:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        item = self._queue.get_nowait()
                    else:
                        item = self._queue.get(timeout=min(left, _WAIT_SLICE))
                break
            except queue.Empty:
                if deadline is not None and time.monotonic() >= deadline:
                    return None, False
        if item is _CLOSED:
            self._queue.put(_CLOSED)  # for any other reader of this bus
            raise can.CanOperationError(f"{self.channel_info}: the bus was shut down")
        msg, hardware_filtered = item
        if msg is None:
            raise can.CanOperationError(self._port().error or "the port failed")
        return msg, hardware_filtered and self._subscription.hardware_exact

    # -- filters ---------------------------------------------------------------

    def _apply_filters(self, filters: Optional[CanFilters]) -> None:
        hub = self._port()
        acceptance: Optional[Acceptance] = None
        if filters and len(filters) == 1:
            only = filters[0]
            kind = only.get("extended", hub.extended)  # type: ignore[union-attr]
            if kind == hub.extended:
                mask = only["can_mask"] & hub.id_mask
                acceptance = (only["can_id"] & mask, ~mask & hub.id_mask)
        self._subscription.acceptance = acceptance
        hub.update_acceptance()

    # -- sending ---------------------------------------------------------------

    def _packet(self, msg: Message) -> _library.CAN_PACKET:
        hub = self._port()
        problem = None
        if msg.is_fd:
            problem = "it is a CAN FD message; the card speaks classic CAN only"
        elif msg.is_error_frame:
            problem = "error frames cannot be sent"
        elif msg.is_extended_id != hub.extended:
            have, want = ("29", "11") if msg.is_extended_id else ("11", "29")
            problem = (
                f"it has a {have}-bit identifier and the port carries {want}-bit ones "
                f"(open the bus with extended={not hub.extended} for those)"
            )
        elif not 0 <= msg.arbitration_id <= hub.id_mask:
            problem = (
                f"identifier 0x{msg.arbitration_id:X} does not fit in "
                f"{'29' if hub.extended else '11'} bits"
            )
        elif not 0 <= msg.dlc <= 8 or (not msg.is_remote_frame and len(msg.data) > 8):
            problem = f"{max(msg.dlc, len(msg.data))} data bytes; a classic CAN frame has 0 to 8"
        if problem:
            raise ValueError(f"message not sent: {problem}")
        packet = _library.CAN_PACKET()
        packet.id = msg.arbitration_id
        packet.rtr = 1 if msg.is_remote_frame else 0
        if msg.is_remote_frame:
            packet.len = msg.dlc
        else:
            packet.len = min(msg.dlc, len(msg.data)) if msg.data is not None else 0
            for i in range(packet.len):
                packet.data[i] = msg.data[i]
        return packet

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Transmit a message through ``CanSendMsg`` (which waits 1 ms first).

        :param msg: the message; its identifier kind must be the port's.
        :param timeout:
            While the controller still holds its previous frame (nobody has
            acknowledged it yet), the send is tried again for up to this many
            seconds; None tries for as long as it takes, 0 only once.
        :raises ValueError: for a message the port cannot carry; nothing is sent
        :raises can.CanOperationError: when the driver refuses the frame, with its reason
        """
        packet = self._packet(msg)
        hub = self._port()
        lib = _library.load()
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        while True:
            # CanSendMsg reports success whatever the driver answers; the
            # driver's errno of the request tells.
            ctypes.set_errno(0)
            lib.CanSendMsg(hub.handle, ctypes.byref(packet))
            error = ctypes.get_errno()
            if error == 0:
                break
            if error != errno.EBUSY or (deadline is not None and time.monotonic() >= deadline):
                raise can.CanOperationError(
                    f"{self.channel_info}: message 0x{msg.arbitration_id:X} not sent: "
                    f"{_library.send_error(error)}",
                    error_code=error,
                )
        hub.sent(self._subscription, msg)

    # -- closing -----------------------------------------------------------------

    def shutdown(self) -> None:
        """Stop this bus's periodic tasks and receiving; the last bus of the
        port switches its receive notification off and closes it. A second
        call does nothing."""
        hub, self._hub = self._hub, None
        if hub is None:
            return
        super().shutdown()
        hub.detach(self._subscription)
        self._queue.put(_CLOSED)

    # -- detection ---------------------------------------------------------------

    @staticmethod
    def _detect_available_configs() -> List[AutoDetectedConfig]:
        """The ports of the cards present: those whose device the driver
        (or the virtual card) opens, and those of cards already in use."""
        configs: List[AutoDetectedConfig] = []
        try:
            _library.load()
        except can.CanInterfaceNotImplementedError:
            return configs
        for card in range(_library.MAX_CARDS):
            if _library.card_info(card).magic != _library.CARD_INSTALLED:
                try:
                    os.close(os.open(_library.DEVICE_FORMAT.format(card), os.O_RDWR))
                except OSError:
                    continue
            for port in range(_library.PORTS_PER_CARD):
                config: Dict[str, Any] = {
                    "interface": "pci5c3a",
                    "channel": card * _library.PORTS_PER_CARD + port,
                }
                configs.append(config)  # type: ignore[arg-type]
        return configs


