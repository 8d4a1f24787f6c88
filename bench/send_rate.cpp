// SPDX-License-Identifier: MIT
// bench_send_rate SECONDS: the baseline of the gateway's benchmark. Sends
// frames through card 0 port 0 with plain CanSendMsg for SECONDS and prints
// how many per second, the most any program reaches through the library's
// 1 ms pause per frame. Run it on the virtual card (with-virtual-card).
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "pci_5C3A.h"

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    if (seconds < 0 || seconds > 600) {
        std::fprintf(stderr, "usage: bench_send_rate SECONDS (0..600)\n");
        return 2;
    }
    // Someone must acknowledge the frames: the benchmark puts a remote node
    // at 1 Mbit/s on the wire, for this program and for the gateway alike.
    const int handle = CanOpenDriver(0, 0);
    if (handle < 0) return 1;
    PORT_STRUCT cfg{};
    cfg.accMask = 0x7FF;
    cfg.mode = PCI5C3A_ID_STANDARD;
    cfg.baudrate = PCI5C3A_BAUD_1M;
    CanConfigPort(handle, &cfg);

    CAN_PACKET msg{};
    msg.id = 0x100;
    msg.len = 8;
    long frames = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        msg.data[0] = static_cast<unsigned char>(frames);
        CanSendMsg(handle, &msg);
        ++frames;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("frames=%ld seconds=%.3f rate=%.1f\n", frames, elapsed,
                elapsed > 0 ? static_cast<double>(frames) / elapsed : 0.0);
    CanCloseDriver(handle);
    return 0;
}
