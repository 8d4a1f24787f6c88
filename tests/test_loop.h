/* SPDX-License-Identifier: MIT */
// Which two ports of the machine share the test cable. The tests that send
// frames from one port and expect them on another (test_bus, test_driver,
// test_driver_signals, driver_fuzz) take the pair from
//
//     PCI5C3A_TEST_LOOP=A:B    handles A and B (card * 2 + port), default 0:1
//
// 0:1 is the card's own loop-back cable between its two ports; 0:2 joins
// port 0 of card 0 to port 0 of card 1, as on boards with one channel
// each. Cases that need both ports of one card on the cable skip when the
// loop spans two cards.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pci_5C3A_ioctl.h"

namespace test {

struct LoopEnd {
    int card = 0, port = 0;
    int handle() const { return card * PCI5C3A_PORTS_PER_CARD + port; }
};

struct Loop {
    LoopEnd a, b{0, 1};
    bool oneCard() const { return a.card == b.card; }
};

namespace loop_detail {
// A handle in decimal, 0 .. PCI5C3A_MAX_HANDLES - 1; false otherwise.
inline bool handleOf(const std::string &s, int *out) {
    if (s.empty() || s.size() > 2) return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v >= PCI5C3A_MAX_HANDLES) return false;
    *out = v;
    return true;
}
}  // namespace loop_detail

// Parses "A:B"; on a malformed value returns false and says why in *error.
inline bool parseLoop(const char *text, Loop *out, std::string *error) {
    const std::string s = text == nullptr ? "" : text;
    const std::size_t colon = s.find(':');
    int a = -1, b = -1;
    if (colon == std::string::npos || !loop_detail::handleOf(s.substr(0, colon), &a) ||
        !loop_detail::handleOf(s.substr(colon + 1), &b)) {
        *error = "\"" + s + "\" is not A:B with handles 0.." + std::to_string(PCI5C3A_MAX_HANDLES - 1);
        return false;
    }
    if (a == b) {
        *error = "\"" + s + "\" names one port twice";
        return false;
    }
    out->a = {a / PCI5C3A_PORTS_PER_CARD, a % PCI5C3A_PORTS_PER_CARD};
    out->b = {b / PCI5C3A_PORTS_PER_CARD, b % PCI5C3A_PORTS_PER_CARD};
    return true;
}

// The loop of this run: PCI5C3A_TEST_LOOP, or 0:1 when it is unset or
// empty. A malformed value ends the program with a message (status 2):
// running on a pair nobody meant would only produce confusing failures.
inline const Loop &testLoop() {
    static const Loop loop = [] {
        Loop l;
        const char *v = std::getenv("PCI5C3A_TEST_LOOP");
        std::string error;
        if (v != nullptr && *v != '\0' && !parseLoop(v, &l, &error)) {
            std::fprintf(stderr, "PCI5C3A_TEST_LOOP: %s\n", error.c_str());
            std::exit(2);
        }
        return l;
    }();
    return loop;
}

}  // namespace test
