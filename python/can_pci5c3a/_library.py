# SPDX-License-Identifier: MIT
"""ctypes binding of ``libpci_5C3A``, the card's C library.

Only what the python-can interface needs is declared here, each function
with its argument and result types, so that every call into the library goes
through this one module. The library is loaded by its SONAME through the
dynamic loader, so the system's search path and ``LD_LIBRARY_PATH`` both
work, and the virtual card (preloaded) serves it like the real driver.

The library keeps no thread safety of its own; :data:`lock` serialises the
calls that read or write its tables (open, close, configuration).
"""

import ctypes
import errno
import os
import threading
from typing import Optional

import can

#: The library's SONAME.
LIBRARY_NAME = "libpci_5C3A.so.0"

MAX_CARDS = 4
PORTS_PER_CARD = 2
MAX_HANDLES = MAX_CARDS * PORTS_PER_CARD
DEVICE_FORMAT = "/dev/PCI5C3AW{}"
#: ``PCI_INFO.magic`` of an installed card.
CARD_INSTALLED = 0x5C3A

#: Receive notification signals, one per port number, shared by all cards.
SIGNAL_PORT0 = 63
SIGNAL_PORT1 = 62

# Names of lib/pci_5C3A.h, spelt as there (python/tests/test_header.py checks
# the values against the header).

# PORT_STRUCT.mode: the identifier format of every packet of the port.
PCI5C3A_ID_STANDARD = 0
PCI5C3A_ID_EXTENDED = 1
STANDARD_ID_MASK = 0x7FF
EXTENDED_ID_MASK = 0x1FFFFFFF

# PORT_STRUCT.baudrate: the card's fixed bit rates, and the user timing.
PCI5C3A_BAUD_125K = 0
PCI5C3A_BAUD_250K = 1
PCI5C3A_BAUD_500K = 2
PCI5C3A_BAUD_1M = 3
PCI5C3A_BAUD_USER = 4

# Results: 0 is success; the failures are small negative numbers.
PCI5C3A_OK = 0
PCI5C3A_ERROR = -1
PCI5C3A_INSTALL_NO_CARD = -1
PCI5C3A_INSTALL_NO_DEVICE = -2
PCI5C3A_INSTALL_SIGACTION = -3
PCI5C3A_BAUD_NONE = -1
PCI5C3A_EVENT_NOT_OPEN = -4
PCI5C3A_EVENT_DRIVER_REFUSED = -5
PCI5C3A_EVENT_NO_OWNER = -6
PCI5C3A_EVENT_NO_HANDLER = -7
PCI5C3A_EVENT_SIGACTION = -8

# SJA1000 (PeliCAN mode) registers and the bits read here.
REG_MODE = 0
MOD_RESET = 0x01
MOD_LISTEN_ONLY = 0x02
MOD_SINGLE_FILTER = 0x08
REG_STATUS = 2
SR_ERROR_STATUS = 0x40  # an error counter reached the warning limit
SR_BUS_STATUS = 0x80  # bus-off
#: An error counter above this value makes the controller error passive.
ERROR_PASSIVE_LIMIT = 127

# What the results of CanGetReceiveEvent / CanStopReceiveEvent mean.
RECEIVE_EVENT_RESULTS = {
    PCI5C3A_EVENT_NOT_OPEN: "the card is not installed or the port is not open",
    PCI5C3A_EVENT_DRIVER_REFUSED: "the driver refused to switch the receive notification",
    PCI5C3A_EVENT_NO_OWNER: (
        "the process could not be made owner of the card's signals (F_SETOWN failed)"
    ),
    PCI5C3A_EVENT_NO_HANDLER: "no handler given",
    PCI5C3A_EVENT_SIGACTION: "the signal action could not be installed (sigaction failed)",
}

#: What the library's handler argument holds to have a signal ignored.
SIG_IGN = ctypes.cast(1, ctypes.CFUNCTYPE(None, ctypes.c_int))


class PORT_STRUCT(ctypes.Structure):
    """A port's configuration, 24 bytes."""

    _fields_ = [
        ("mode", ctypes.c_uint),
        ("accCode", ctypes.c_uint),
        ("accMask", ctypes.c_uint),
        ("baudrate", ctypes.c_uint),
        ("brp", ctypes.c_ubyte),
        ("tseg1", ctypes.c_ubyte),
        ("tseg2", ctypes.c_ubyte),
        ("sjw", ctypes.c_ubyte),
        ("reserved", ctypes.c_ubyte * 4),
    ]


class PORT_STATUS(ctypes.Structure):
    """A port's configuration followed by the controller's status register."""

    _fields_ = PORT_STRUCT._fields_ + [("status", ctypes.c_ubyte)]


class CAN_PACKET(ctypes.Structure):
    """One message as the library and the driver exchange it, 24 bytes."""

    _fields_ = [
        ("id", ctypes.c_uint),
        ("rtr", ctypes.c_ubyte),
        ("len", ctypes.c_ubyte),
        ("data", ctypes.c_ubyte * 8),
        ("reserved", ctypes.c_ubyte * 10),
    ]


class _SIGACTION(ctypes.Structure):
    # struct sigaction of glibc on x86_64: only its size matters here.
    _fields_ = [
        ("handler", ctypes.c_void_p),
        ("mask", ctypes.c_ubyte * 128),
        ("flags", ctypes.c_int),
        ("restorer", ctypes.c_void_p),
    ]


class PCI_INFO(ctypes.Structure):
    """The library's per-card record."""

    _fields_ = [
        ("magic", ctypes.c_ushort),
        ("sigReady", ctypes.c_ubyte),
        ("fd", ctypes.c_int),
        ("act0", _SIGACTION),
        ("act1", _SIGACTION),
    ]


for _record, _size in ((PORT_STRUCT, 24), (PORT_STATUS, 28), (CAN_PACKET, 24)):
    assert ctypes.sizeof(_record) == _size, _record

_INT = ctypes.c_int
_PACKET_P = ctypes.POINTER(CAN_PACKET)

# name: (result type, argument types)
_PROTOTYPES = {
    "CanOpenDriver": (_INT, [_INT, _INT]),
    "CanCloseDriver": (_INT, [_INT]),
    "GetDriverVersion": (_INT, []),
    "_5C3A_Read": (ctypes.c_ubyte, [_INT, _INT]),
    "_5C3A_Write": (_INT, [_INT, _INT, _INT]),
    "CanConfigPort": (_INT, [_INT, ctypes.POINTER(PORT_STRUCT)]),
    "CanGetPortStatus": (_INT, [_INT, ctypes.POINTER(PORT_STATUS)]),
    "CanSendMsg": (_INT, [_INT, _PACKET_P]),
    "CanRcvMsg": (_INT, [_INT, _PACKET_P]),
    "CanGetRcvCnt": (_INT, [_INT]),
    "CanGetRxErrorCount": (_INT, [_INT]),
    "CanGetTxErrorCount": (_INT, [_INT]),
    "CanGetErrorCode": (_INT, [_INT]),
    "CanGetReceiveEvent": (_INT, [_INT, ctypes.CFUNCTYPE(None, ctypes.c_int)]),
    "CanStopReceiveEvent": (_INT, [_INT]),
}

#: Serialises the library calls that touch its tables.
lock = threading.RLock()
_lib: Optional[ctypes.CDLL] = None


def load() -> ctypes.CDLL:
    """Load the library once and declare its functions.

    :raises can.CanInterfaceNotImplementedError:
        if the dynamic loader cannot find or load it
    """
    global _lib
    with lock:
        if _lib is None:
            try:
                lib = ctypes.CDLL(LIBRARY_NAME, use_errno=True)
            except OSError as error:
                raise can.CanInterfaceNotImplementedError(
                    f"the card's library {LIBRARY_NAME} cannot be loaded ({error}); "
                    "install the package libpci-5c3a0, or point LD_LIBRARY_PATH at "
                    "the directory that holds it"
                ) from error
            for name, (restype, argtypes) in _PROTOTYPES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
            _lib = lib
        return _lib


def card_info(card: int) -> PCI_INFO:
    """The library's live record of ``card`` (0..3)."""
    table = (PCI_INFO * MAX_CARDS).in_dll(load(), "pci_Info_5C3A")
    return table[card]


def port_is_open(handle: int) -> bool:
    """Whether the library holds ``handle`` open (``InstallRef``)."""
    return (ctypes.c_int * MAX_HANDLES).in_dll(load(), "InstallRef")[handle] == 1


def open_failure_reason(card: int, error: int) -> str:
    """Why ``CanOpenDriver`` returned ``PCI5C3A_ERROR`` for ``card``, from what
    it left.

    The library answers ``PCI5C3A_ERROR`` for every failure to install the card; the card's
    record and the C library's errno of the failed call tell which step
    failed.
    """
    device = DEVICE_FORMAT.format(card)
    if card_info(card).magic == CARD_INSTALLED:
        return (
            "the signal actions for the receive notifications could not be "
            "installed (sigaction failed)"
        )
    if error:
        return f"the device {device} cannot be opened: {os.strerror(error)}"
    return f"the device {device} cannot be opened"


def send_error(error: int) -> str:
    """The reason for a failed send request with this errno."""
    reasons = {
        errno.EBUSY: "the controller's previous frame is still pending "
        "(no other node has acknowledged it yet)",
        errno.EIO: "the controller cannot transmit (reset mode, listen-only mode or bus-off)",
        errno.EINVAL: "the driver refused the frame",
    }
    return reasons.get(error, os.strerror(error))
