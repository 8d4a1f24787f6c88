# SPDX-License-Identifier: MIT
"""python-can interface for the 5C3A two-port CAN bus PCI card.

With this package installed, python-can finds the card under the interface
name ``pci5c3a``::

    import can

    bus = can.Bus(interface="pci5c3a", channel=0, bitrate=500000)

and its tools work with it::

    python3 -m can.logger -i pci5c3a -c 0 -b 500000 -f traffic.asc
    python3 -m can.player -i pci5c3a -c 1 -b 500000 traffic.asc

See :class:`Pci5c3aBus` for the channel forms, bit rates, identifier kinds,
filters and how receiving works. The package talks to the card through its
C library ``libpci_5C3A.so.0`` (package libpci-5c3a0); on a machine without
the card, run Python on the virtual card (``with-virtual-card python3 ...``).
"""

from .bus import ErrorCounters, Pci5c3aBus, parse_channel

__version__ = "0.4.0"

__all__ = ["Pci5c3aBus", "ErrorCounters", "parse_channel", "__version__"]
