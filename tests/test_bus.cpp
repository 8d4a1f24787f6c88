// SPDX-License-Identifier: MIT
// The card's two ports wired to each other, seen only through the library's
// API. The program does not link the virtual card: ctest runs it on the
// virtual card through with-virtual-card, and on a machine with the card
// (ports 0 and 1 of card 0 on one terminated cable) it runs as it is:
//
//     build/default/tests/test_bus
//     PCI5C3A_TEST_TARGET=qemu build/default/tests/test_bus   # QEMU guest
//
// The two ends are the ports of PCI5C3A_TEST_LOOP (test_loop.h; 0:1, card
// 0's two ports, unless it says otherwise): "port 0" and "port 1" below are
// its first and its second end.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "can_messages.h"
#include "pci_5C3A.h"
#include "test_loop.h"

using test::config;
using test::eventually;
using test::packet;
using test::waitForCount;

namespace {

// PCI5C3A_TEST_TARGET=qemu: the kernel driver on QEMU's SJA1000 boards,
// which model no bit timing and no error counters.
bool onQemu() {
    const char *t = std::getenv("PCI5C3A_TEST_TARGET");
    return t != nullptr && std::strcmp(t, "qemu") == 0;
}
// A remote frame's length code, the same on every target now that the
// guests' QEMU stores no data bytes for a remote frame.
std::uint8_t remoteLen(std::uint8_t n) { return n; }

#define SKIP_ON_QEMU(missing)                                                             \
    do {                                                                                  \
        if (onQemu()) GTEST_SKIP() << "QEMU's SJA1000 boards do not model " << (missing); \
    } while (0)

class Wired : public ::testing::Test {
protected:
    void SetUp() override {
        const test::Loop &loop = test::testLoop();
        ASSERT_EQ(CanOpenDriver(loop.a.card, loop.a.port), a_);
        ASSERT_EQ(CanOpenDriver(loop.b.card, loop.b.port), b_);
        for (int h : {a_, b_}) {
            CanClearRxBuffer(h);
            CanClearTxBuffer(h);
            CAN_PACKET p;
            while (CanGetRcvCnt(h) > 0 && CanRcvMsg(h, &p) == 0) {}
        }
    }
    void TearDown() override {
        CanCloseDriver(a_);
        CanCloseDriver(b_);
    }
    void configureBoth(const PORT_STRUCT &c) {
        ASSERT_EQ(CanConfigPort(a_, &c), 0);
        ASSERT_EQ(CanConfigPort(b_, &c), 0);
    }
    // The loop's two ends, as handles.
    const int a_ = test::testLoop().a.handle(), b_ = test::testLoop().b.handle();
};

}  // namespace

TEST_F(Wired, MessagesCrossInOrderInBothFormatsAndRates) {
    for (unsigned mode : {0u, 1u}) {
        for (unsigned rate : {3u, 0u}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " rate " << rate);
            configureBoth(config(mode, 0, 0xFFFFFFFF, rate));
            const unsigned top = mode ? 0x1FFFFFFF : 0x7FF;
            const std::vector<CAN_PACKET> sent = {packet(top, 8), packet(0, 0), packet(0x123, 5),
                                                  packet(0x55, remoteLen(2), 0, 1)};
            for (const auto &p : sent) ASSERT_EQ(CanSendMsg(a_, &p), 0);
            for (const auto &p : sent) ASSERT_EQ(CanSendMsg(b_, &p), 0);
            for (int h : {b_, a_}) {
                ASSERT_EQ(waitForCount(h, 4), 4);
                for (const auto &p : sent) {
                    CAN_PACKET got;
                    ASSERT_EQ(CanRcvMsg(h, &got), 0);
                    EXPECT_EQ(got.id, p.id);
                    EXPECT_EQ(got.rtr != 0, p.rtr != 0);
                    EXPECT_EQ(got.len, p.len);
                    if (!p.rtr) {
                        EXPECT_EQ(std::memcmp(got.data, p.data, p.len), 0);
                    }
                }
            }
        }
    }
}

TEST_F(Wired, TheAcceptanceFilterChoosesWhatIsKept) {
    const PORT_STRUCT all = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M);
    ASSERT_EQ(CanConfigPort(a_, &all), 0);
    const PORT_STRUCT only0x1A0 = config(PCI5C3A_ID_STANDARD, 0x1A0, 0x00F, PCI5C3A_BAUD_1M);  // 0x1A0..0x1AF
    ASSERT_EQ(CanConfigPort(b_, &only0x1A0), 0);
    for (unsigned id : {0x1A0u, 0x1B0u, 0x1AFu, 0x0A0u, 0x1A7u}) {
        const CAN_PACKET p = packet(id, 1);
        ASSERT_EQ(CanSendMsg(a_, &p), 0);
    }
    ASSERT_EQ(waitForCount(b_, 3), 3);
    for (unsigned id : {0x1A0u, 0x1AFu, 0x1A7u}) {
        CAN_PACKET got;
        ASSERT_EQ(CanRcvMsg(b_, &got), 0);
        EXPECT_EQ(got.id, id);
    }
    EXPECT_EQ(waitForCount(b_, 1, std::chrono::milliseconds(100)), 0);
}

TEST_F(Wired, PortsAtDifferentRatesHearNothing) {
    SKIP_ON_QEMU("bit timing");
    const PORT_STRUCT fast = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M),
                      slow = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_250K);
    ASSERT_EQ(CanConfigPort(a_, &fast), 0);
    ASSERT_EQ(CanConfigPort(b_, &slow), 0);
    const CAN_PACKET p = packet(0x10, 8);
    ASSERT_EQ(CanSendMsg(a_, &p), 0);
    EXPECT_EQ(waitForCount(b_, 1, std::chrono::milliseconds(100)), 0);
    EXPECT_GT(CanGetTxErrorCount(a_), 0);
    CanClearTxBuffer(a_);
}

// ---------------------------------------------------------------------------
// Frames crossing, the filter and bit rates, down to every byte

namespace {

void expectSame(const CAN_PACKET &got, const CAN_PACKET &sent, const char *what) {
    EXPECT_EQ(got.id, sent.id) << what;
    EXPECT_EQ(got.rtr != 0, sent.rtr != 0) << what;
    EXPECT_EQ(got.len, sent.len) << what;
    const int n = sent.rtr ? 0 : sent.len;
    for (int i = 0; i < n; ++i) EXPECT_EQ(got.data[i], sent.data[i]) << what << " byte " << i;
}

}  // namespace

TEST_F(Wired, FramesCrossTheWireInOrderIntact) {
    for (unsigned mode : {0u, 1u}) {
        SCOPED_TRACE(mode ? "29-bit" : "11-bit");
        PORT_STRUCT c = config(mode, 0, 0xFFFFFFFF, PCI5C3A_BAUD_1M);
        ASSERT_EQ(CanConfigPort(a_, &c), 0);
        ASSERT_EQ(CanConfigPort(b_, &c), 0);
        const std::uint32_t top = mode ? 0x1FFFFFFF : 0x7FF;
        const std::vector<CAN_PACKET> sent = {packet(top, 8, 0xF8), packet(0, 0), packet(0x55, 3, 9),
                                              packet(top - 1, remoteLen(8), 0, 1),
                                              packet(1, remoteLen(2), 0x80, 1)};
        for (const auto &p : sent) ASSERT_EQ(CanSendMsg(a_, &p), 0);
        for (const auto &p : sent) ASSERT_EQ(CanSendMsg(b_, &p), 0);
        ASSERT_EQ(waitForCount(b_, 5), 5);
        ASSERT_EQ(waitForCount(a_, 5), 5);
        for (int h : {b_, a_}) {
            for (const auto &p : sent) {
                CAN_PACKET got;
                ASSERT_EQ(CanRcvMsg(h, &got), 0);
                expectSame(got, p, h == b_ ? "port 1" : "port 0");
            }
            EXPECT_EQ(CanGetRcvCnt(h), 0);
        }
    }
}

TEST_F(Wired, IdentifiersWiderThanThePortsFormatAreCut) {
    CAN_PACKET p = packet(0x7FF + 0x800, 1);
    ASSERT_EQ(CanSendMsg(a_, &p), 0);
    ASSERT_EQ(waitForCount(b_, 1), 1);
    CAN_PACKET got;
    ASSERT_EQ(CanRcvMsg(b_, &got), 0);
    EXPECT_EQ(got.id, 0x7FFu);
}

TEST_F(Wired, AcceptanceFilterPassesAndBlocks) {
    struct Case {
        unsigned mode, code, mask, id;
        bool passes;
    };
    const Case cases[] = {
        {0, 0x120, 0x00F, 0x12A, true},
        {0, 0x120, 0x00F, 0x13A, false},
        {0, 0x7FF, 0, 0x7FF, true},
        {0, 0x7FF, 0, 0x7FE, false},
        {0, 0x400, 0x3FF, 0x4AB, true},
        {0, 0x400, 0x3FF, 0x2AB, false},
        {1, 0x1ABCDE00, 0xFF, 0x1ABCDE5A, true},
        {1, 0x1ABCDE00, 0xFF, 0x1ABCDF5A, false},
        {1, 0x10000001, 0, 0x10000001, true},
        {1, 0x10000001, 0, 0x10000000, false},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << k.mode << " id 0x" << std::hex << k.id);
        PORT_STRUCT rx = config(k.mode, k.code, k.mask, PCI5C3A_BAUD_1M);
        PORT_STRUCT tx = config(k.mode, 0, 0xFFFFFFFF, PCI5C3A_BAUD_1M);
        ASSERT_EQ(CanConfigPort(b_, &rx), 0);
        ASSERT_EQ(CanConfigPort(a_, &tx), 0);
        for (std::uint8_t rtr : {0, 1}) {
            CAN_PACKET p = packet(k.id, rtr ? remoteLen(2) : 2, 0, rtr);
            ASSERT_EQ(CanSendMsg(a_, &p), 0);
            // Either frame is acknowledged by port 1 whether it keeps it or not.
            EXPECT_EQ(CanGetTxErrorCount(a_), 0);
        }
        const int expected = k.passes ? 2 : 0;
        EXPECT_EQ(waitForCount(b_, expected, std::chrono::milliseconds(k.passes ? 5000 : 50)), expected);
        CanConfigPort(b_, &rx);  // reset mode empties the controller; drain the driver queue
        CAN_PACKET got;
        while (CanRcvMsg(b_, &got) == 0) {}
    }
}

TEST_F(Wired, PortsAtDifferentBitRatesExchangeNothing) {
    SKIP_ON_QEMU("bit timing");
    PORT_STRUCT fast = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M),
                slow = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_500K);
    ASSERT_EQ(CanConfigPort(a_, &fast), 0);
    ASSERT_EQ(CanConfigPort(b_, &slow), 0);
    CAN_PACKET p = packet(7, 8);
    ASSERT_EQ(CanSendMsg(a_, &p), 0);
    EXPECT_EQ(waitForCount(b_, 1, std::chrono::milliseconds(50)), 0);
    EXPECT_GT(CanGetTxErrorCount(a_), 0);  // nobody acknowledged
    EXPECT_GT(CanGetRxErrorCount(b_), 0);  // port 1 saw a frame it could not decode
}

// ---------------------------------------------------------------------------
// Receive events

namespace {
std::atomic<int> port0Signals{0};
// The signal of the loop's first end: 63 for a port 0, 62 for a port 1.
void onPort0(int sig) {
    if (sig == (test::testLoop().a.port == 0 ? 63 : 62)) ++port0Signals;
}
}  // namespace

TEST_F(Wired, AReceiveHandlerRunsPerMessage) {
    configureBoth(config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M));
    ASSERT_EQ(CanGetReceiveEvent(a_, onPort0), 0);
    for (unsigned id = 1; id <= 3; ++id) {
        const CAN_PACKET p = packet(id, 2);
        ASSERT_EQ(CanSendMsg(b_, &p), 0);
    }
    ASSERT_EQ(waitForCount(a_, 3), 3);
    eventually([] { return port0Signals >= 3; }, std::chrono::seconds(1));
    EXPECT_EQ(port0Signals, 3);
    EXPECT_EQ(CanStopReceiveEvent(a_), 0);
}
