#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Send and receive through the two wired ports of a 5C3A card with python-can.

Port 0 sends five messages, port 1 receives them; then port 1 answers a
remote frame. Run it on the card (ports 0 and 1 wired together, terminated)
or on the virtual card:

    with-virtual-card /usr/bin/python3 send_receive.py
"""

import can


def main() -> None:
    with can.Bus(interface="pci5c3a", channel="0:0", bitrate=500000) as port0, can.Bus(
        interface="pci5c3a", channel="0:1", bitrate=500000
    ) as port1:
        print(f"port 0: {port0.channel_info}")
        print(f"port 1: {port1.channel_info}")

        for i in range(5):
            port0.send(can.Message(arbitration_id=0x100 + i, data=[i] * (i + 1), is_extended_id=False))
        for _ in range(5):
            msg = port1.recv(timeout=1.0)
            if msg is None:
                raise SystemExit("port 1 received nothing: are the ports wired together?")
            print(f"port 1 received id 0x{msg.arbitration_id:03X} data {msg.data.hex(' ')}")

        # A remote frame asks for data; port 1 answers it.
        port0.send(can.Message(arbitration_id=0x200, is_remote_frame=True, dlc=2, is_extended_id=False))
        request = port1.recv(timeout=1.0)
        if request is not None and request.is_remote_frame:
            port1.send(can.Message(arbitration_id=request.arbitration_id, data=b"\x12\x34", is_extended_id=False))
        answer = port0.recv(timeout=1.0)
        if answer is not None:
            print(f"port 0 got the answer to its remote frame: id 0x{answer.arbitration_id:03X} data {answer.data.hex(' ')}")
        print(f"port 0 state {port0.state.name}, error counters {tuple(port0.error_counters)}")


if __name__ == "__main__":
    main()
