# SPDX-License-Identifier: MIT
"""The binding's names against the C header they copy, so that they cannot drift."""

import os
import re

import pytest

from can_pci5c3a import _library

_HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "lib", "pci_5C3A.h")
# "#define PCI5C3A_NAME 4" or "#define PCI5C3A_NAME (-4)", a comment may follow.
_DEFINE = re.compile(r"^#define\s+(PCI5C3A_\w+)\s+\(?\s*(-?\s*(?:0x[0-9A-Fa-f]+|\d+))\s*\)?\s*(?:/\*.*)?$")


def _header_values():
    if not os.path.exists(_HEADER):
        pytest.skip("the C header is not beside this source tree")
    values = {}
    with open(_HEADER, encoding="ascii") as header:
        for line in header:
            match = _DEFINE.match(line.strip())
            if match:
                values[match.group(1)] = int(match.group(2).replace(" ", ""), 0)
    return values


def test_every_numeric_name_of_the_header_has_its_value_here():
    values = _header_values()
    # The parse must have found the names this module relies on.
    for name in ("PCI5C3A_ID_EXTENDED", "PCI5C3A_BAUD_USER", "PCI5C3A_ERROR", "PCI5C3A_EVENT_SIGACTION"):
        assert name in values, f"{name} not found in {_HEADER}: the pattern no longer matches"
    missing = sorted(name for name in values if not hasattr(_library, name))
    assert not missing, f"names of pci_5C3A.h without a copy in _library.py: {missing}"
    differ = {
        name: (getattr(_library, name), value)
        for name, value in values.items()
        if getattr(_library, name) != value
    }
    assert not differ, f"_library.py value, header value: {differ}"


def test_no_name_here_that_the_header_lacks():
    values = _header_values()
    extra = sorted(
        name for name in vars(_library) if name.startswith("PCI5C3A_") and name not in values
    )
    assert not extra, f"names in _library.py that pci_5C3A.h does not define: {extra}"


def test_every_receive_event_result_has_a_meaning():
    events = {value for name, value in _header_values().items() if name.startswith("PCI5C3A_EVENT_")}
    assert events and events == set(_library.RECEIVE_EVENT_RESULTS)
