# SPDX-License-Identifier: MIT
"""Runs the suite against the package in this source tree.

python-can finds interfaces through the entry points of the installed
distributions, read once when ``can`` is first imported. For the source tree
to count as installed, this writes the distribution's metadata (its name,
version and the entry points from ``pyproject.toml``) into a ``.dist-info``
directory of a temporary directory and puts that, and the tree, first on
``sys.path`` and on the ``PYTHONPATH`` of the programs the tests start, before
anything imports ``can``. An installed copy of the package is thereby
shadowed by the tree's.

The tests run on the virtual card preloaded into the test process (see
``python/CMakeLists.txt``) or, without it, on a real card whose ports 0 and 1
are wired together; the tests that configure the virtual card then skip.
"""

import atexit
import os
import shutil
import sys
import tempfile
import tomllib

_TREE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _install_metadata() -> str:
    with open(os.path.join(_TREE, "pyproject.toml"), "rb") as file:
        project = tomllib.load(file)["project"]
    site = tempfile.mkdtemp(prefix="pci5c3a-site.")
    atexit.register(shutil.rmtree, site, True)
    name = project["name"].replace("-", "_")
    info = os.path.join(site, f"{name}-{project['version']}.dist-info")
    os.mkdir(info)
    with open(os.path.join(info, "METADATA"), "w", encoding="utf-8") as file:
        file.write(f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n")
    with open(os.path.join(info, "entry_points.txt"), "w", encoding="utf-8") as file:
        for group, entries in project["entry-points"].items():
            file.write(f"[{group}]\n")
            for key, value in entries.items():
                file.write(f"{key} = {value}\n")
    return site


if "can" in sys.modules:
    raise RuntimeError("python-can was imported before the test configuration could register pci5c3a")

_SITE = _install_metadata()
sys.path[:0] = [_TREE, _SITE]
os.environ["PYTHONPATH"] = os.pathsep.join(
    [_TREE, _SITE] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
)
