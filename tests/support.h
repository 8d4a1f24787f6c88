/* SPDX-License-Identifier: MIT */
// Shared fixture and helpers of the library tests: a fresh library state and
// a fresh virtual card for every test, and readers for the request trace.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "can_messages.h"
#include "pci_5C3A.h"
#include "pci_5C3A_ioctl.h"
#include "sja1000.h"
#include "tables.h"
#include "vcard.h"

namespace test {

// Port 1's register window in the card's address space: kPort1 + REG_SR.
constexpr std::uint32_t kPort1 = PCI5C3A_PORT_WINDOW;

// The card's fixed register values as the library must write them, pinned
// here so that a change to the chip header shows up as a failing build.
static_assert(CDR_CARD == 0xC8 && OCR_CARD == 0xFA);

struct Write {
    std::uint32_t addr;
    std::uint8_t data;
    bool operator==(const Write &) const = default;
};

inline void PrintTo(const Write &w, std::ostream *os) {
    *os << int(w.addr) << "<-0x" << std::hex << int(w.data) << std::dec;
}

// Register writes of one card since the trace was last cleared.
inline std::vector<Write> writes(int card = 0) {
    std::vector<Write> out;
    for (const auto &a : vcard::register_accesses())
        if (a.write && a.card == card) out.push_back({a.addr, a.data});
    return out;
}

inline std::vector<std::uint32_t> readAddresses(int card = 0) {
    std::vector<std::uint32_t> out;
    for (const auto &a : vcard::register_accesses())
        if (!a.write && a.card == card) out.push_back(a.addr);
    return out;
}

inline std::vector<unsigned long> codes() {
    std::vector<unsigned long> out;
    for (const auto &r : vcard::trace()) out.push_back(r.code);
    return out;
}

inline std::size_t requestCount() { return vcard::trace().size(); }

// Little-endian record bytes, as the driver sees them.
inline std::vector<std::uint8_t> regAccessBytes(std::uint32_t addr, std::uint8_t data) {
    std::vector<std::uint8_t> bytes(sizeof(REG_ACCESS), 0);  // reserved word and padding 0
    for (unsigned i = 0; i < 4; ++i) bytes[offsetof(REG_ACCESS, addr) + i] = std::uint8_t(addr >> (8 * i));
    bytes[offsetof(REG_ACCESS, data)] = data;
    return bytes;
}

// Standard output written by the library while f runs.
template <class F>
std::string captureStdout(F &&f) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Fresh library and virtual card for each test; the trace is on.
class Card : public ::testing::Test {
protected:
    void SetUp() override {
        resetLibrary();
        vcard::reset(configuration());
        vcard::trace_start();
    }
    void TearDown() override { vcard::trace_stop(); }
    virtual vcard::Config configuration() { return {}; }

    // Opens ports and forgets the requests that took.
    void open(std::initializer_list<std::pair<int, int>> ports) {
        for (auto [card, port] : ports) ASSERT_EQ(CanOpenDriver(card, port), card * 2 + port);
        vcard::trace_clear();
    }
};

class TwoCards : public Card {
protected:
    vcard::Config configuration() override {
        vcard::Config c;
        c.cards = 2;
        return c;
    }
};

}  // namespace test
