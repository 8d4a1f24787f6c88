/* SPDX-License-Identifier: MIT */
// Messages, configurations and the tests' bounded wait, in terms of the
// library's API only: shared by the tests that run on the
// virtual card and by the wired-ports suite that also runs on a real card.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "pci_5C3A.h"

namespace test {

// A message whose data bytes count up from `first`.
inline CAN_PACKET packet(std::uint32_t id, std::uint8_t len, std::uint8_t first = 0, std::uint8_t rtr = 0) {
    CAN_PACKET p;
    std::memset(&p, 0, sizeof p);
    p.id = id;
    p.rtr = rtr;
    p.len = len;
    for (int i = 0; i < 8; ++i) p.data[i] = std::uint8_t(first + i);
    return p;
}

inline PORT_STRUCT config(unsigned mode, unsigned code, unsigned mask, unsigned baudrate) {
    PORT_STRUCT c;
    std::memset(&c, 0, sizeof c);
    c.mode = mode;
    c.accCode = code;
    c.accMask = mask;
    c.baudrate = baudrate;
    return c;
}

// The one wait of the tests: polls, every millisecond and bounded, a
// condition that another thread, a signal or the bus makes true. Never an
// assertion on time: the bound only keeps a broken build from hanging.
template <class F>
bool eventually(F &&condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until a port's driver queue holds n messages; returns the count
// seen last. A frame takes time on a real bus, and the driver queues it
// from its interrupt handler: neither need be instantaneous.
inline int waitForCount(int handle, int n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    int count = 0;
    eventually(
        [&] {
            count = CanGetRcvCnt(handle);
            return count >= n;
        },
        limit);
    return count;
}

}  // namespace test
