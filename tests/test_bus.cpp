// The card's two ports wired to each other, seen only through the library's
// API. The program does not link the virtual card: ctest runs it on the
// virtual card through with-virtual-card, and on a machine with the card
// (ports 0 and 1 of card 0 on one terminated cable) it runs as it is:
//
//     build/default/tests/test_bus
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "can_messages.h"
#include "pci_5C3A.h"

using test::config;
using test::packet;
using test::waitForCount;

namespace {

class Wired : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CanOpenDriver(0, 0), 0);
        ASSERT_EQ(CanOpenDriver(0, 1), 1);
        for (int h : {0, 1}) {
            CanClearRxBuffer(h);
            CanClearTxBuffer(h);
            CAN_PACKET p;
            while (CanGetRcvCnt(h) > 0 && CanRcvMsg(h, &p) == 0) {}
        }
    }
    void TearDown() override {
        CanCloseDriver(0);
        CanCloseDriver(1);
    }
    void configureBoth(const PORT_STRUCT &c) {
        ASSERT_EQ(CanConfigPort(0, &c), 0);
        ASSERT_EQ(CanConfigPort(1, &c), 0);
    }
};

}  // namespace

TEST_F(Wired, MessagesCrossInOrderInBothFormatsAndRates) {
    for (unsigned mode : {0u, 1u}) {
        for (unsigned rate : {3u, 0u}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " rate " << rate);
            configureBoth(config(mode, 0, 0xFFFFFFFF, rate));
            const unsigned top = mode ? 0x1FFFFFFF : 0x7FF;
            const std::vector<CAN_PACKET> sent = {packet(top, 8), packet(0, 0), packet(0x123, 5),
                                                  packet(0x55, 2, 0, 1)};
            for (const auto &p : sent) ASSERT_EQ(CanSendMsg(0, &p), 0);
            for (const auto &p : sent) ASSERT_EQ(CanSendMsg(1, &p), 0);
            for (int h : {1, 0}) {
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
    const PORT_STRUCT all = config(0, 0, 0x7FF, 3);
    ASSERT_EQ(CanConfigPort(0, &all), 0);
    const PORT_STRUCT only0x1A0 = config(0, 0x1A0, 0x00F, 3);  // 0x1A0..0x1AF
    ASSERT_EQ(CanConfigPort(1, &only0x1A0), 0);
    for (unsigned id : {0x1A0u, 0x1B0u, 0x1AFu, 0x0A0u, 0x1A7u}) {
        const CAN_PACKET p = packet(id, 1);
        ASSERT_EQ(CanSendMsg(0, &p), 0);
    }
    ASSERT_EQ(waitForCount(1, 3), 3);
    for (unsigned id : {0x1A0u, 0x1AFu, 0x1A7u}) {
        CAN_PACKET got;
        ASSERT_EQ(CanRcvMsg(1, &got), 0);
        EXPECT_EQ(got.id, id);
    }
    EXPECT_EQ(waitForCount(1, 1, std::chrono::milliseconds(100)), 0);
}

TEST_F(Wired, PortsAtDifferentRatesHearNothing) {
    const PORT_STRUCT fast = config(0, 0, 0x7FF, 3), slow = config(0, 0, 0x7FF, 1);
    ASSERT_EQ(CanConfigPort(0, &fast), 0);
    ASSERT_EQ(CanConfigPort(1, &slow), 0);
    const CAN_PACKET p = packet(0x10, 8);
    ASSERT_EQ(CanSendMsg(0, &p), 0);
    EXPECT_EQ(waitForCount(1, 1, std::chrono::milliseconds(100)), 0);
    EXPECT_GT(CanGetTxErrorCount(0), 0);
    CanClearTxBuffer(0);
}

namespace {
std::atomic<int> port0Signals{0};
void onPort0(int sig) {
    if (sig == 63) ++port0Signals;
}
}  // namespace

TEST_F(Wired, AReceiveHandlerRunsPerMessage) {
    configureBoth(config(0, 0, 0x7FF, 3));
    ASSERT_EQ(CanGetReceiveEvent(0, onPort0), 0);
    for (unsigned id = 1; id <= 3; ++id) {
        const CAN_PACKET p = packet(id, 2);
        ASSERT_EQ(CanSendMsg(1, &p), 0);
    }
    ASSERT_EQ(waitForCount(0, 3), 3);
    for (int i = 0; i < 1000 && port0Signals < 3; ++i) usleep(1000);
    EXPECT_EQ(port0Signals, 3);
    EXPECT_EQ(CanStopReceiveEvent(0), 0);
}
