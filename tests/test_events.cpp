// SPDX-License-Identifier: MIT
// Receive-event signals: 63 for port 0 and 62 for port 1 of every card, the
// actions kept in the card table, the driver requests, and handlers that run.
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "support.h"

using namespace test;

namespace {

std::atomic<int> firstCalls{0}, secondCalls{0}, lastSignal{0};
void first(int sig) {
    lastSignal = sig;
    ++firstCalls;
}
void second(int sig) {
    lastSignal = sig;
    ++secondCalls;
}

struct sigaction current(int sig) {
    struct sigaction now;
    sigaction(sig, nullptr, &now);
    return now;
}

const std::vector<std::uint8_t> kOn = {1, 0}, kOff = {0, 0};

class Events : public Card {
protected:
    void SetUp() override {
        Card::SetUp();
        firstCalls = secondCalls = lastSignal = 0;
    }
};

class TwoCardEvents : public Events {
protected:
    vcard::Config configuration() override {
        vcard::Config c;
        c.cards = 2;
        return c;
    }
};

bool waitFor(const std::atomic<int> &calls, int n) {
    return eventually([&] { return calls >= n; }, std::chrono::seconds(5));
}

}  // namespace

TEST_F(TwoCardEvents, StartInstallsTheHandlerThenAsksTheDriver) {
    open({{1, 1}});
    EXPECT_EQ(CanGetReceiveEvent(3, first), 0);
    EXPECT_EQ(pci_Info_5C3A[1].act1.sa_handler, first);
    EXPECT_EQ(pci_Info_5C3A[1].act1.sa_flags, SA_RESTART);
    const struct sigaction now = current(62);
    EXPECT_EQ(now.sa_handler, first);
    EXPECT_TRUE(now.sa_flags & SA_RESTART);
    EXPECT_FALSE(now.sa_flags & SA_SIGINFO);

    const auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].code, REQ_EVENT_PORT1);
    EXPECT_EQ(trace[0].card, 1);
    EXPECT_EQ(trace[0].in, kOn);
    EXPECT_TRUE(vcard::notification_on(1, 1));
}

TEST_F(Events, PortZeroUsesSignal63) {
    open({{0, 0}});
    EXPECT_EQ(CanGetReceiveEvent(0, first), 0);
    EXPECT_EQ(current(63).sa_handler, first);
    EXPECT_EQ(current(62).sa_handler, SIG_IGN);
    EXPECT_EQ(codes(), std::vector<unsigned long>{REQ_EVENT_PORT0});
    EXPECT_EQ(vcard::trace()[0].in, kOn);
}

TEST_F(Events, RefusalsChangeNothing) {
    vcard::fail_setown();
    open({{0, 0}});
    EXPECT_EQ(CanGetReceiveEvent(0, nullptr), PCI5C3A_EVENT_NO_OWNER);  // no owner comes before no handler
    EXPECT_EQ(CanGetReceiveEvent(0, first), PCI5C3A_EVENT_NO_OWNER);
    EXPECT_EQ(CanGetReceiveEvent(1, first), PCI5C3A_EVENT_NOT_OPEN);  // port not open
    EXPECT_EQ(CanStopReceiveEvent(1), PCI5C3A_EVENT_NOT_OPEN);
    EXPECT_EQ(CanGetReceiveEvent(2, first), PCI5C3A_EVENT_NOT_OPEN);  // card not installed
    EXPECT_EQ(CanStopReceiveEvent(2), PCI5C3A_EVENT_NOT_OPEN);
    for (int h : {-1, 8, 1 << 30}) {
        EXPECT_EQ(CanGetReceiveEvent(h, first), PCI5C3A_EVENT_NOT_OPEN);
        EXPECT_EQ(CanStopReceiveEvent(h), PCI5C3A_EVENT_NOT_OPEN);
    }
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_EQ(pci_Info_5C3A[0].act0.sa_handler, SIG_DFL);
    EXPECT_EQ(current(63).sa_handler, SIG_DFL);
}

TEST_F(Events, NullHandlerIsRefused) {
    open({{0, 0}});
    EXPECT_EQ(CanGetReceiveEvent(0, nullptr), PCI5C3A_EVENT_NO_HANDLER);
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Events, StopWorksWithoutOwnershipOrAnEarlierStart) {
    vcard::fail_setown();
    open({{0, 0}});
    signal(63, first);
    EXPECT_EQ(CanStopReceiveEvent(0), 0);
    EXPECT_EQ(codes(), std::vector<unsigned long>{REQ_EVENT_PORT0});
    EXPECT_EQ(vcard::trace()[0].in, kOff);
    EXPECT_EQ(current(63).sa_handler, SIG_IGN);
}

TEST_F(Events, AnyNonZeroDriverAnswerIsARefusal) {
    open({{0, 0}});
    vcard::answer(REQ_EVENT_PORT0, 1);
    EXPECT_EQ(CanGetReceiveEvent(0, first), PCI5C3A_EVENT_DRIVER_REFUSED);
    EXPECT_EQ(current(63).sa_handler, first);  // the handler stays installed
    vcard::answer(REQ_EVENT_PORT0, -1, EIO);
    EXPECT_EQ(CanGetReceiveEvent(0, first), PCI5C3A_EVENT_DRIVER_REFUSED);
    EXPECT_EQ(CanStopReceiveEvent(0), PCI5C3A_EVENT_DRIVER_REFUSED);
    EXPECT_EQ(current(63).sa_handler, SIG_IGN);  // ignored all the same
}

TEST_F(Events, SigactionFailures) {
    open({{0, 0}});
    vcard::fail_sigaction(63);
    EXPECT_EQ(CanGetReceiveEvent(0, first), PCI5C3A_EVENT_SIGACTION);
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_EQ(pci_Info_5C3A[0].act0.sa_handler, first);  // the record keeps what it was given
    EXPECT_EQ(pci_Info_5C3A[0].act0.sa_flags, SA_RESTART);
    EXPECT_EQ(current(63).sa_handler, SIG_IGN);

    EXPECT_EQ(CanStopReceiveEvent(0), PCI5C3A_EVENT_SIGACTION);
    EXPECT_EQ(codes(), std::vector<unsigned long>{REQ_EVENT_PORT0});  // the stop went out first
    EXPECT_EQ(pci_Info_5C3A[0].act0.sa_handler, SIG_IGN);
}

TEST_F(Events, TheLastHandlerWinsAndKeepsRestart) {
    open({{0, 0}});
    EXPECT_EQ(CanGetReceiveEvent(0, first), 0);
    EXPECT_EQ(CanGetReceiveEvent(0, second), 0);
    EXPECT_EQ(current(63).sa_handler, second);
    EXPECT_EQ(pci_Info_5C3A[0].act0.sa_flags, SA_RESTART);
    EXPECT_EQ(CanStopReceiveEvent(0), 0);
    EXPECT_EQ(pci_Info_5C3A[0].act0.sa_flags, SA_RESTART);
    EXPECT_TRUE(current(63).sa_flags & SA_RESTART);
    EXPECT_EQ(current(63).sa_handler, SIG_IGN);
}

TEST_F(TwoCardEvents, SignalsAreSharedByAllCards) {
    open({{0, 0}, {1, 0}});
    EXPECT_EQ(CanGetReceiveEvent(0, first), 0);
    EXPECT_EQ(CanGetReceiveEvent(2, second), 0);
    EXPECT_EQ(current(63).sa_handler, second);
    EXPECT_EQ(CanStopReceiveEvent(2), 0);
    EXPECT_EQ(current(63).sa_handler, SIG_IGN);
    EXPECT_TRUE(vcard::notification_on(0, 0));
    EXPECT_FALSE(vcard::notification_on(1, 0));
}

TEST_F(TwoCardEvents, InstallingAnotherCardIgnoresBothSignalsAgain) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanGetReceiveEvent(0, first), 0);
    ASSERT_EQ(CanGetReceiveEvent(1, first), 0);
    ASSERT_EQ(CanOpenDriver(1, 0), 2);
    EXPECT_EQ(current(63).sa_handler, SIG_IGN);
    EXPECT_EQ(current(62).sa_handler, SIG_IGN);
}

TEST_F(Events, ClosingAPortSwitchesItsNotificationOff) {
    open({{0, 0}});
    ASSERT_EQ(CanGetReceiveEvent(0, first), 0);
    ASSERT_EQ(CanCloseDriver(0), 0);
    EXPECT_FALSE(vcard::notification_on(0, 0));
    EXPECT_EQ(CanStopReceiveEvent(0), PCI5C3A_EVENT_NOT_OPEN);
}

// ---------------------------------------------------------------------------
// End to end: port 1 sends, port 0's handler runs

TEST_F(Events, HandlerRunsForEachMessageUntilStopped) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanGetReceiveEvent(0, first), 0);
    CAN_PACKET p = packet(0x10, 4);
    ASSERT_EQ(CanSendMsg(1, &p), 0);
    ASSERT_TRUE(waitFor(firstCalls, 1));
    EXPECT_EQ(lastSignal, 63);
    ASSERT_EQ(CanSendMsg(1, &p), 0);
    ASSERT_TRUE(waitFor(firstCalls, 2));
    EXPECT_EQ(waitForCount(0, 2), 2);

    ASSERT_EQ(CanStopReceiveEvent(0), 0);
    ASSERT_EQ(CanSendMsg(1, &p), 0);
    EXPECT_EQ(waitForCount(0, 3), 3);
    usleep(20000);
    EXPECT_EQ(firstCalls, 2);
}

namespace {
std::atomic<int> drained{0}, handlerCount{-2};
std::atomic<std::uint32_t> drainedId{0};
void drain(int) {
    const int n = CanGetRcvCnt(1);
    if (n > 0) handlerCount = n;
    for (int i = 0; i < n; ++i) {
        CAN_PACKET p;
        if (CanRcvMsg(1, &p) == 0) {
            drainedId = p.id;
            ++drained;
        }
    }
}
}  // namespace

TEST_F(Events, HandlerMayItselfReceive) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanGetReceiveEvent(1, drain), 0);
    for (std::uint32_t id = 1; id <= 3; ++id) {
        CAN_PACKET p = packet(id, 8);
        ASSERT_EQ(CanSendMsg(0, &p), 0);
    }
    ASSERT_TRUE(waitFor(drained, 3));
    EXPECT_EQ(drainedId, 3u);
    EXPECT_GE(handlerCount, 1);
    EXPECT_EQ(CanGetRcvCnt(1), 0);
}
