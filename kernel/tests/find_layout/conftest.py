# SPDX-License-Identifier: MIT
"""pci5c3a-find-layout's tests: the program, loaded as a module, and an
emulated board behind a fake sysfs tree (see board.py)."""

import importlib.machinery
import importlib.util
import os
import sys

KERNEL = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, KERNEL)
sys.path.insert(0, os.path.dirname(__file__))

_loader = importlib.machinery.SourceFileLoader("find_layout", os.path.join(KERNEL, "pci5c3a-find-layout"))
_spec = importlib.util.spec_from_loader("find_layout", _loader)
assert _spec is not None
find_layout = importlib.util.module_from_spec(_spec)
_loader.exec_module(find_layout)
sys.modules["find_layout"] = find_layout
