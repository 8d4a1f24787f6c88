#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Benchmark of the python-can interface on the virtual card (a whole-run timer,
not a test).

Measures, each in a fresh process on a virtual card of its own:

- receive: frames per second a plain ``bus.recv()`` loop takes from the
  virtual card's remote node at 1 Mbit/s, with the frames lost on the way
  (sequence gaps, and the driver queue's drop count read from the virtual
  card's test interface), and the CPU of the receiving threads;
- latency: from the moment a frame is in the driver's queue (``CanSendMsg``
  on the other port has returned) to ``recv()`` handing it out, for the
  signal-driven receiver and for its polling fall-back;
- idle CPU: one open bus on a quiet bus for some seconds, against a 1 ms
  polling loop in the same run;
- send: ``bus.send()`` messages per second against a C loop of
  ``CanSendMsg`` (bench/send_loop.c) in the same run;
- receive timing: the remote node at 500 kbit/s every 5 ms, N frames taken by
  a C loop polling ``CanGetRcvCnt`` every 0.1 ms, by ``bus.recv()`` (also by
  the messages' time stamps), and by a C ``CanGetReceiveEvent`` handler
  (bench/receive_gaps.c), one after the other, without and with a busy loop
  per core beside them, R rounds: the frames that came bunched (less than 2 ms
  after the previous one), how many of those the receiver bunched (the rest
  the node's own thread sent that close, it is part of the receiving
  process), the longest gap and how much longer than on the bus a gap
  became, and each frame's delay after the node sent it. The node notes when
  it sent each frame (``vcard::remote_frame_sent_ns``). The run exits with 1
  when ``bus.recv()``, by the time it returned or by the messages' time
  stamps (what a log records), bunched more frames itself than the polling
  loop or stretched a gap more than 1 ms beyond the loop's worst.

    python/bench/bench_pci5c3a.py [--seconds S] [--frames N] [--rounds R] [--only-timing]

Run from the source tree after the default preset is built.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from typing import List

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build", "default")
PYTHON = "/usr/bin/python3"

#: The remote node at 1 Mbit/s, period 0: back to back, saturating the bus
#: (about 8,200 of its 8-byte standard frames per second).
REMOTE = "1M:0"

_PRELUDE = r"""
import ctypes, json, os, sys, threading, time
sys.path[:0] = [os.path.join(ROOT, "python", "tests")]
import conftest  # the source tree's package, registered with python-can
import can
from can_pci5c3a import _library, _receiver

def thread_cpu(ident):
    # utime + stime of one thread, in seconds
    fields = open(f"/proc/self/task/{ident}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

def vcard(name, restype, *argtypes):
    # the preloaded virtual card's C++ test interface (vcard.h)
    function = getattr(ctypes.CDLL(None), name)
    function.restype, function.argtypes = restype, list(argtypes)
    return function
"""

_RECEIVE = r"""
queue_dropped = vcard("_ZN5vcard13queue_droppedEii", ctypes.c_uint64, ctypes.c_int, ctypes.c_int)
frames_sent = vcard("_ZN5vcard18remote_frames_sentEv", ctypes.c_uint64)
bus = can.Bus(interface="pci5c3a", channel=0, bitrate=1000000)
first = bus.recv(timeout=2)
expected = int.from_bytes(first.data, "little") + 1
count, gaps = 0, 0
main_cpu0, dispatcher = time.thread_time(), _receiver.dispatcher()._thread
disp_cpu0 = thread_cpu(dispatcher.native_id)
start = time.monotonic()
while time.monotonic() - start < SECONDS:
    msg = bus.recv(timeout=1)
    sequence = int.from_bytes(msg.data, "little")
    if sequence != expected:
        gaps += sequence - expected
    expected = sequence + 1
    count += 1
elapsed = time.monotonic() - start
cpu = time.thread_time() - main_cpu0 + thread_cpu(dispatcher.native_id) - disp_cpu0
result = {"rate": count / elapsed, "lost": gaps, "dropped": queue_dropped(0, 0),
          "node_rate": None, "cpu": cpu / elapsed, "backlog": bus._queue.qsize()}
bus.shutdown()
print(json.dumps(result))
"""

_LATENCY = r"""
if POLLING:
    # A thread with the signals unblocked, started before the buses: the
    # signals end there (ignored) and the receiver falls back to polling.
    import signal
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {62, 63})
    threading.Thread(target=time.sleep, args=(3600,), daemon=True).start()
lib = _library.load()
a = can.Bus(interface="pci5c3a", channel=0, bitrate=1000000)
b = can.Bus(interface="pci5c3a", channel=1, bitrate=1000000)
time.sleep(0.2)
packet = _library.CAN_PACKET(id=0x55, len=1)
samples = []
for i in range(400):
    lib.CanSendMsg(0, ctypes.byref(packet))  # the frame is queued for port 1 when this returns
    queued = time.monotonic()
    msg = b.recv(timeout=1)
    assert msg is not None, "frame not received"
    samples.append(time.monotonic() - queued)
    time.sleep(0.002 + (i % 7) * 0.0003)  # the next frame finds the receiver idle
samples.sort()
assert _receiver.dispatcher().polling == POLLING
print(json.dumps({"median": samples[len(samples) // 2], "p99": samples[int(len(samples) * 0.99)],
                  "max": samples[-1]}))
"""

_IDLE = r"""
if POLL_BASELINE:
    lib = _library.load()
    lib.CanOpenDriver(0, 0)
    stop = False
    def poll():
        while not stop:
            lib.CanGetRcvCnt(0)
            time.sleep(0.001)
    threading.Thread(target=poll, daemon=True).start()
else:
    bus = can.Bus(interface="pci5c3a", channel=0, bitrate=1000000)
time.sleep(0.5)
cpu0, wall0 = time.process_time(), time.monotonic()
time.sleep(SECONDS)
print(json.dumps({"cpu": (time.process_time() - cpu0) / (time.monotonic() - wall0)}))
"""

_SEND = r"""
a = can.Bus(interface="pci5c3a", channel=0, bitrate=1000000)
b = can.Bus(interface="pci5c3a", channel=1, bitrate=1000000)
msg = can.Message(arbitration_id=0x123, data=bytes(8), is_extended_id=False)
start = time.monotonic()
for i in range(COUNT):
    a.send(msg)
elapsed = time.monotonic() - start
print(json.dumps({"rate": COUNT / elapsed, "received": b._queue.qsize()}))
"""


_TIMING = r"""
frames_sent = vcard("_ZN5vcard18remote_frames_sentEv", ctypes.c_uint64)
sent_ns = vcard("_ZN5vcard20remote_frame_sent_nsEm", ctypes.c_int64, ctypes.c_uint64)
bus = can.Bus(interface="pci5c3a", channel=0, bitrate=500000)
rows, stamps = [], []
limit = time.monotonic() + 60
while len(rows) < FRAMES and time.monotonic() < limit:
    msg = bus.recv(timeout=1)
    if msg is not None:
        sequence = int.from_bytes(msg.data, "little")
        taken = time.monotonic()
        rows.append([sequence, taken, frames_sent(), sent_ns(sequence) / 1e9])
        stamps.append(msg.timestamp - _receiver._EPOCH_OFFSET)  # on the monotonic clock
bus.shutdown()
print(json.dumps({"rows": rows, "stamps": stamps}))
"""

#: The remote node of the receive timing runs: a frame every 5 ms at 500 kbit/s.
TIMING_REMOTE = "500k:5"
#: A frame closer than this to the previous one came bunched.
BUNCHED = 0.002


def _vcard_env(**extra: str) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PCI5C3A_VCARD_")}
    env.update(
        LD_LIBRARY_PATH=os.path.join(BUILD, "lib"),
        PCI5C3A_VCARD_LIB=os.path.join(BUILD, "vcard", "libpci_5C3A_vcard.so"),
    )
    env.update(extra)
    return env


def _run(code: str, env: dict, **values: object) -> dict:
    program = _PRELUDE.replace("ROOT", repr(ROOT)) + code
    for name, value in values.items():
        program = program.replace(name, repr(value))
    done = subprocess.run(
        [os.path.join(ROOT, "vcard", "with-virtual-card"), PYTHON, "-c", program],
        env=env, capture_output=True, text=True, check=False, timeout=600,
    )
    if done.returncode != 0:
        sys.exit(f"benchmark step failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def _build_c(name: str, work: str) -> str:
    program = os.path.join(work, name)
    subprocess.run(
        ["cc", "-O2", "-o", program, os.path.join(ROOT, "python", "bench", name + ".c"),
         "-I", os.path.join(ROOT, "lib"), "-L", os.path.join(BUILD, "lib"), "-lpci_5C3A"],
        check=True,
    )
    return program


def _c_send_rate(count: int) -> float:
    with tempfile.TemporaryDirectory() as work:
        program = _build_c("send_loop", work)
        done = subprocess.run(
            [os.path.join(ROOT, "vcard", "with-virtual-card"), program, str(count)],
            env=_vcard_env(), capture_output=True, text=True, check=True, timeout=600,
        )
    sent, seconds = done.stdout.split()
    return int(sent) / float(seconds)


def _gaps(rows: List[List[float]]) -> dict:
    """What a receiver made of the bus's timing, from its rows: sequence
    number, time taken, the node's frames sent by then, time the node sent
    it (-1 unknown), CLOCK_MONOTONIC seconds.

    A frame is bunched when it was taken less than :data:`BUNCHED` after the
    one before it. The node's thread runs in the receiving process and may
    itself send late when it does not get the processor: a frame that was
    bunched on the bus already (the node sent it that close to the one
    before) shows the bus's own timing; the others the receiver bunched.
    The stretch is how much longer than on the bus a gap became, the delay
    how long after it was sent a frame was taken."""
    bunched = on_bus = 0
    stretch = 0.0
    for a, b in zip(rows, rows[1:]):
        gap = b[1] - a[1]
        known = b[0] == a[0] + 1 and a[3] >= 0 and b[3] >= 0
        bus_gap = b[3] - a[3] if known else None
        if gap < BUNCHED:
            bunched += 1
            on_bus += bus_gap is not None and bus_gap < BUNCHED
        if bus_gap is not None:
            stretch = max(stretch, gap - bus_gap)
    delays = [r[1] - r[3] for r in rows if r[3] >= 0]
    return {
        "frames": len(rows),
        "bunched": bunched,
        "receiver": bunched - on_bus,
        "max": max((b[1] - a[1] for a, b in zip(rows, rows[1:])), default=0.0),
        "stretch": stretch,
        "delays": delays,
    }


def _parse_c(out: str) -> List[List[float]]:
    return [[int(f[0]), float(f[1]), int(f[2]), float(f[3])] for f in map(str.split, out.splitlines())]


def _receive_timing(frames: int, rounds: int, loaded: bool, vcard_lib: str) -> bool:
    """The three receivers one after the other, each on a virtual card of its
    own (run at once, the polling loop's 10,000 wake-ups a second would be
    load on the others), ``rounds`` times over. Prints the figures and
    whether the signal-driven receivers kept the bus's timing as well as the
    polling loop: no more frames bunched by the receiver, and no gap
    stretched more than 1 ms beyond the loop's worst. Those are measured
    against the times the node sent at, so that a round in which the node's
    own thread ran late counts against no receiver."""
    env = _vcard_env(PCI5C3A_VCARD_REMOTE=TIMING_REMOTE, PCI5C3A_VCARD_LIB=vcard_lib)
    launcher = os.path.join(ROOT, "vcard", "with-virtual-card")
    load: List[subprocess.Popen] = []
    if loaded:
        load = [subprocess.Popen([PYTHON, "-c", "while True: pass"]) for _ in range(os.cpu_count() or 1)]
    results: dict = {}
    try:
        with tempfile.TemporaryDirectory() as work:
            program = _build_c("receive_gaps", work)
            python = _PRELUDE.replace("ROOT", repr(ROOT)) + _TIMING.replace("FRAMES", repr(frames))
            commands = {
                "C polling loop": [launcher, program, "poll", str(frames)],
                "bus.recv()": [launcher, PYTHON, "-c", python],
                "C CanGetReceiveEvent": [launcher, program, "event", str(frames)],
            }
            for _ in range(rounds):
                for name, command in commands.items():
                    done = subprocess.run(command, env=env, capture_output=True, text=True,
                                          check=False, timeout=600)
                    out = done.stdout
                    if done.returncode != 0:
                        sys.exit(f"benchmark step failed: {name}\n{done.stderr}")
                    if name == "bus.recv()":
                        python_run = json.loads(out.strip().splitlines()[-1])
                        rows = python_run["rows"]
                        stamped = [[r[0], t, r[2], r[3]] for r, t in zip(rows, python_run["stamps"])]
                        results.setdefault("bus.recv(), by the messages' time stamps", []).append(
                            _gaps(stamped))
                    else:
                        rows = _parse_c(out)
                    results.setdefault(name, []).append(_gaps(rows))
    finally:
        for process in load:
            process.kill()
            process.wait()
    beside = f"{len(load)} busy loops beside" if loaded else "no load of its own"
    print(f"receive timing, remote node {TIMING_REMOTE}, {rounds} rounds of {frames} frames, {beside}:")
    summary = {}
    for name, runs in results.items():
        delays = sorted(d for r in runs for d in r["delays"])
        summary[name] = {
            "bunched": sum(r["bunched"] for r in runs),
            "receiver": sum(r["receiver"] for r in runs),
            "max": max(r["max"] for r in runs),
            "stretch": max(r["stretch"] for r in runs),
        }
        figures = summary[name]
        print(f"  {name}: {figures['bunched']} bunched (< {BUNCHED * 1e3:.0f} ms; rounds "
              f"{'/'.join(str(r['bunched']) for r in runs)}), {figures['receiver']} of them by the "
              f"receiver; max gap {figures['max'] * 1e3:.2f} ms, at most {figures['stretch'] * 1e3:.2f} ms "
              f"longer than on the bus; delay after the node sent: " + (
                  f"median {delays[len(delays) // 2] * 1e3:.3f} ms, 99th percentile "
                  f"{delays[int(len(delays) * 0.99)] * 1e3:.3f} ms, max {delays[-1] * 1e3:.3f} ms"
                  if delays else "unknown (no send times from the virtual card)"))
    base = summary["C polling loop"]
    held = True
    for name in ("bus.recv()", "bus.recv(), by the messages' time stamps", "C CanGetReceiveEvent"):
        figures = summary[name]
        ok = figures["receiver"] <= base["receiver"] and figures["stretch"] <= base["stretch"] + 1e-3
        held = held and (ok or name.startswith("C "))
        print(f"  {name} against the polling loop: {figures['receiver']} against {base['receiver']} "
              f"bunched by the receiver, longest stretch {(figures['stretch'] - base['stretch']) * 1e3:+.2f} ms: "
              f"{'holds' if ok else 'DOES NOT HOLD'}")
    return held


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="length of the receive and idle runs")
    parser.add_argument("--sends", type=int, default=2000, help="messages of each send run")
    parser.add_argument("--frames", type=int, default=400, help="frames of each receive timing run")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of the receive timing runs")
    parser.add_argument("--only-timing", action="store_true", help="run the receive timing runs only")
    parser.add_argument("--vcard-lib", default=os.path.join(BUILD, "vcard", "libpci_5C3A_vcard.so"),
                        help="the virtual card of the receive timing runs (e.g. an older build's)")
    args = parser.parse_args()

    held = _receive_timing(args.frames, args.rounds, False, args.vcard_lib)
    held = _receive_timing(args.frames, args.rounds, True, args.vcard_lib) and held
    if args.only_timing:
        sys.exit(0 if held else 1)

    receive = _run(_RECEIVE, _vcard_env(PCI5C3A_VCARD_REMOTE=REMOTE), SECONDS=args.seconds)
    print(f"receive, remote node {REMOTE}: {receive['rate']:.0f} frames/s through recv(), "
          f"{receive['lost']} lost in sequence, driver queue dropped {receive['dropped']}, "
          f"receiving threads {receive['cpu'] * 100:.1f} % of a core")

    signal_lat = _run(_LATENCY, _vcard_env(), POLLING=False)
    poll_lat = _run(_LATENCY, _vcard_env(), POLLING=True)
    for name, lat in (("signals", signal_lat), ("polling fall-back", poll_lat)):
        print(f"latency driver queue -> recv(), {name}: median {lat['median'] * 1e3:.3f} ms, "
              f"99th percentile {lat['p99'] * 1e3:.3f} ms, max {lat['max'] * 1e3:.3f} ms")

    idle = _run(_IDLE, _vcard_env(), SECONDS=args.seconds, POLL_BASELINE=False)
    poll = _run(_IDLE, _vcard_env(), SECONDS=args.seconds, POLL_BASELINE=True)
    print(f"idle bus: {idle['cpu'] * 100:.3f} % of a core; a 1 ms CanGetRcvCnt polling loop: "
          f"{poll['cpu'] * 100:.3f} % ({poll['cpu'] / max(idle['cpu'], 1e-9):.0f} x)")

    python_send = _run(_SEND, _vcard_env(), COUNT=args.sends)
    c_send = _c_send_rate(args.sends)
    print(f"send: bus.send() {python_send['rate']:.0f} messages/s, C CanSendMsg loop "
          f"{c_send:.0f} messages/s: {python_send['rate'] / c_send:.3f} of C")
    sys.exit(0 if held else 1)


if __name__ == "__main__":
    main()
