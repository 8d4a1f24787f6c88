# SPDX-License-Identifier: MIT
"""python-can's own tools on the card: can.logger records, can.player replays."""

import os
import signal
import subprocess
import sys
import time

import can
import pytest

from support import ON_VIRTUAL_CARD, run_python

pytestmark = pytest.mark.skipif(not ON_VIRTUAL_CARD, reason="uses the virtual card's remote node")

#: The remote node sends every millisecond. (PERIOD 0, back to back, for a saturated bus.)
REMOTE = "500k:1"


def _remote_sequence(msg):
    return int.from_bytes(bytes(msg.data), "little")


@pytest.mark.parametrize("suffix", [".asc", ".log", ".blf", ".csv"])
def test_logger_records_the_remote_node_exactly(tmp_path, suffix):
    path = tmp_path / f"traffic{suffix}"
    env = dict(os.environ, PCI5C3A_VCARD_REMOTE=REMOTE, PYTHONUNBUFFERED="1")
    started = time.time()
    logger = subprocess.Popen(
        [sys.executable, "-m", "can.logger", "-i", "pci5c3a", "-c", "0", "-b", "500000", "-f", str(path)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        # Recording from its first line on; a loaded machine starts slowly.
        first = logger.stdout.readline()
        time.sleep(1.0)
    finally:
        logger.send_signal(signal.SIGINT)
        out, err = logger.communicate(timeout=30)
    assert logger.returncode == 0, err
    assert "Connected to Pci5c3aBus: pci5c3a card 0 port 0" in first
    messages = list(can.LogReader(str(path)))
    assert len(messages) > 50
    # every frame of the node, in order, none lost, none changed
    first = _remote_sequence(messages[0])
    assert [_remote_sequence(m) for m in messages] == list(range(first, first + len(messages)))
    assert {(m.arbitration_id, m.is_extended_id, m.dlc, m.is_remote_frame) for m in messages} == {
        (0x3A5, False, 8, False)
    }
    stamps = [m.timestamp for m in messages]
    assert stamps == sorted(stamps)
    if suffix in (".log", ".blf", ".csv"):  # the formats that keep absolute times
        assert started < stamps[0] and stamps[-1] < time.time()


_LISTEN_WHILE_PLAYING = r"""
import json, runpy, sys, can
with can.Bus(interface="pci5c3a", channel=1, bitrate=500000, extended=EXTENDED) as listener:
    sys.argv = ["can.player", "-i", "pci5c3a", "-c", "0", "-b", "500000", EXTRA PATH]
    runpy.run_module("can.player", run_name="__main__")
    got = []
    while True:
        msg = listener.recv(timeout=0.5)
        if msg is None:
            break
        got.append([msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.dlc, bytes(msg.data).hex()])
print(json.dumps(got))
"""


@pytest.mark.parametrize("extended", [False, True], ids=["11-bit", "29-bit"])
def test_player_replays_a_file_into_the_card(tmp_path, extended):
    path = tmp_path / "replay.log"
    frames = [
        can.Message(timestamp=100.0 + i * 0.002, arbitration_id=0x100 + i if not extended else 0x1ABCDE00 + i,
                    is_extended_id=extended, data=bytes(range(i % 9)), channel="can0")
        for i in range(40)
    ]  # 2 ms apart: the player keeps the file's pace
    frames.append(can.Message(timestamp=100.1, arbitration_id=0x7F, is_extended_id=extended,
                              is_remote_frame=True, dlc=3, channel="can0"))
    with can.CanutilsLogWriter(str(path)) as writer:
        for msg in frames:
            writer.on_message_received(msg)
    code = (
        _LISTEN_WHILE_PLAYING.replace("EXTENDED", repr(extended))
        .replace("EXTRA", "'--extended=True', '--ignore-timestamps'," if extended else "")
        .replace("PATH", repr(str(path)))
    )
    got = run_python(code)
    frames = list(can.LogReader(str(path)))  # as the file holds them
    assert len(frames) == 41
    assert got == [
        [m.arbitration_id, extended, m.is_remote_frame, m.dlc, b"".hex() if m.is_remote_frame else bytes(m.data).hex()]
        for m in frames
    ]


def test_pip_builds_the_package_offline_and_python_can_finds_it(tmp_path):
    tree = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = tmp_path / "site"
    done = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index",
         "--target", str(target), tree],
        capture_output=True, text=True, timeout=300, check=False,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    # Only the installed copy on the path, not the source tree.
    result = run_python(
        "import json, can, can_pci5c3a\n"
        "with can.Bus(interface='pci5c3a', channel=0) as bus:\n"
        "    print(json.dumps([can_pci5c3a.__file__, bus.channel_info]))\n",
        env={"PYTHONPATH": str(target)},
    )
    assert result[0].startswith(str(target))
    assert result[1].startswith("pci5c3a card 0 port 0")
