# SPDX-License-Identifier: MIT
"""The finder's register names against lib/sja1000.h, where they are defined."""

import os
import re
from typing import Dict

import pci5c3a_layouts as L

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "..", "lib", "sja1000.h")
# Names the header owns: a constant of the module with one of these prefixes
# must be the header's, with the header's value.
HEADER_PREFIXES = ("REG_", "MOD_", "CDR_", "SR_", "IRQ_", "OCR_")


def header_constants() -> Dict[str, int]:
    """Every enumerator of the header, evaluated (hex, decimal, | and names)."""
    with open(HEADER, encoding="utf-8") as f:
        text = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
    # Register numbers are declared through a macro that spells them REG_*
    # in user space (SJA1000_* in the kernel).
    text = re.sub(r"SJA1000_REG\((\w+)\)", r"REG_\1", text)
    values: Dict[str, int] = {}
    for body in re.findall(r"enum\s*\{(.*?)\}", text, flags=re.S):
        for item in body.split(","):
            m = re.fullmatch(r"\s*(\w+)\s*=\s*(.+?)\s*", item, flags=re.S)
            if not m:
                continue
            expr = re.sub(r"\b([A-Z_][A-Z0-9_]*)\b", lambda n: str(values[n.group(1)]), m.group(2))
            assert re.fullmatch(r"[0-9a-fA-Fx|\s]+", expr), f"unexpected expression {m.group(2)!r}"
            values[m.group(1)] = eval(expr)  # digits and | only, checked above
    return values


def test_header_parsed():
    h = header_constants()
    # A parser that loses enumerators would pass the test below vacuously.
    assert h["REG_CDR"] == 31 and h["OCR_CARD"] == 0xFA and h["CDR_CARD"] == 0xC8
    assert len(h) > 80


def test_module_names_are_the_headers():
    h = header_constants()
    ours = {n: v for n, v in vars(L).items() if n.startswith(HEADER_PREFIXES)}
    assert {"REG_MOD", "REG_SR", "REG_IR", "REG_IER", "REG_CDR", "MOD_RM", "CDR_PELICAN"} <= set(ours)
    assert {n: h.get(n) for n in ours} == ours


def test_layout_table():
    # new_id takes the index: the table is in the driver's order, no gaps.
    assert [x.index for x in L.LAYOUTS] == list(range(len(L.LAYOUTS)))
    assert len({x.name for x in L.LAYOUTS}) == len(L.LAYOUTS)
    for x in L.LAYOUTS:
        if x.bridge is None:
            continue
        # Controllers never share the bridge's BAR.
        assert all(bar != x.bridge.bar for bar, _ in x.channels)
