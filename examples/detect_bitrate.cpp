// SPDX-License-Identifier: MIT
// detect_bitrate.cpp - find the bit rate of a running bus, then listen at it.
//
// Detection needs another node that transmits on the bus. On the virtual
// card, a remote node sending every millisecond at 250 kbit/s:
//
//     PCI5C3A_VCARD_REMOTE=250k:1 with-virtual-card ./detect_bitrate
#include <pci_5C3A.h>

#include <chrono>
#include <cstdio>
#include <thread>

int main()
{
    const int port = CanOpenDriver(0, 0);
    if (port < 0) {
        std::fprintf(stderr, "cannot open port 0 of card 0\n");
        return 1;
    }

    // Tries 1 Mbit/s, 500, 250, then 125 kbit/s, each for up to one second
    // (counted in whole seconds of the clock), until a message arrives.
    const int index = CanDetectBaudrate(port, 1000);
    if (index == PCI5C3A_BAUD_NONE) {
        std::puts("no bit rate found: is another node transmitting?");
        CanCloseDriver(port);
        return 1;
    }
    const char *rate = "1 Mbit/s";
    switch (index) {
    case PCI5C3A_BAUD_125K: rate = "125 kbit/s"; break;
    case PCI5C3A_BAUD_250K: rate = "250 kbit/s"; break;
    case PCI5C3A_BAUD_500K: rate = "500 kbit/s"; break;
    default: break;
    }
    std::printf("bit-rate index %d: %s\n", index, rate);

    // Detection leaves the port configured as it was: apply the rate found,
    // keeping the rest of the port's configuration.
    PORT_STATUS status{};
    CanGetPortStatus(port, &status);
    PORT_STRUCT config{};
    config.mode = status.mode;
    config.accCode = status.accCode;
    config.accMask = status.accMask;
    config.baudrate = static_cast<unsigned>(index);
    if (CanConfigPort(port, &config) != PCI5C3A_OK) {
        std::fprintf(stderr, "cannot configure the port\n");
        return 1;
    }

    // Messages received during detection stay with the driver: drop them,
    // then wait (at most a second) for one received at the new rate.
    for (int waiting = CanGetRcvCnt(port); waiting > 0; --waiting) {
        CAN_PACKET old{};
        CanRcvMsg(port, &old);
    }
    CAN_PACKET msg{};
    bool received = false;
    for (int i = 0; i < 100 && !received; ++i) {
        received = CanGetRcvCnt(port) > 0 && CanRcvMsg(port, &msg) == 0;
        if (!received)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (received)
        std::printf("listening at %s: received id 0x%03X, %u bytes\n", rate, msg.id, msg.len);
    else
        std::puts("nothing received at the detected rate");

    CanCloseDriver(port);
    return received ? 0 : 1;
}
