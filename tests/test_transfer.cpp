// SPDX-License-Identifier: MIT
// Sending and receiving through the driver, and the receive/transmit buffer
// controls, down to the request bytes and register values.
#include <dlfcn.h>
#include <unistd.h>

#include "support.h"

using namespace test;

// The library's send pacing, observed: each usleep the library makes is
// recorded with the number of driver requests traced before it.
namespace {
struct Pause {
    useconds_t usec;
    std::size_t requestsBefore;
};
std::vector<Pause> pauses;
bool recordPauses = false;
}  // namespace

extern "C" int usleep(useconds_t usec) {
    if (recordPauses) pauses.push_back({usec, vcard::trace().size()});
    using Real = int (*)(useconds_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "usleep"));
    return real(usec);
}

namespace {

class Transfer : public Card {
protected:
    void SetUp() override {
        Card::SetUp();
        pauses.clear();
        recordPauses = true;
    }
    void TearDown() override {
        recordPauses = false;
        Card::TearDown();
    }
};

class TwoCardTransfer : public Transfer {
protected:
    vcard::Config configuration() override {
        vcard::Config c;
        c.cards = 2;
        c.wiring = vcard::Wiring::shared;  // port 0 of each card acknowledges the other's frames
        return c;
    }
};

std::vector<std::uint8_t> bytesOf(const void *p, std::size_t n) {
    const auto *b = static_cast<const std::uint8_t *>(p);
    return {b, b + n};
}

}  // namespace

TEST_F(Transfer, SendHandsTheDriverThePacketAfterTheOneMillisecondPause) {
    open({{0, 0}, {0, 1}});
    CAN_PACKET p = packet(5, 8, 0);
    for (int i = 0; i < 10; ++i) p.reserved[i] = std::uint8_t(0xA0 + i);  // carried unchanged
    EXPECT_EQ(CanSendMsg(0, &p), 0);

    const auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].code, REQ_SEND);
    EXPECT_EQ(trace[0].fd, pci_Info_5C3A[0].fd);
    std::vector<std::uint8_t> expected = {0, 0, 0, 0, 0, 0, 0, 0};
    const auto packetBytes = bytesOf(&p, sizeof p);
    expected.insert(expected.end(), packetBytes.begin(), packetBytes.end());
    EXPECT_EQ(trace[0].in, expected);
    ASSERT_EQ(pauses.size(), 1u);
    EXPECT_EQ(pauses[0].usec, 1000u);
    EXPECT_EQ(pauses[0].requestsBefore, 0u);

    // Handle 1 goes into the record's first word.
    EXPECT_EQ(CanSendMsg(1, &p), 0);
    ASSERT_EQ(pauses.size(), 2u);
    EXPECT_EQ(pauses[1].requestsBefore, 1u);
    EXPECT_EQ(vcard::trace()[1].in[0], 1);
}

TEST_F(Transfer, SendRefusesBadArgumentsAtOnce) {
    open({{0, 0}});
    CAN_PACKET p = packet(1, 1);
    EXPECT_EQ(CanSendMsg(0, nullptr), PCI5C3A_ERROR);
    EXPECT_EQ(CanSendMsg(-1, &p), PCI5C3A_ERROR);
    EXPECT_EQ(CanSendMsg(8, &p), PCI5C3A_ERROR);
    EXPECT_EQ(CanSendMsg(2, &p), PCI5C3A_ERROR);  // card 1 was never installed
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_TRUE(pauses.empty());
}

TEST_F(Transfer, SendOnAClosedPortOfAnInstalledCardStillSends) {
    open({{0, 0}});
    CAN_PACKET p = packet(1, 1);
    EXPECT_EQ(CanSendMsg(1, &p), PCI5C3A_ERROR);  // the controller of port 1 is still in reset mode
    EXPECT_EQ(codes(), std::vector<unsigned long>{REQ_SEND});
}

TEST_F(Transfer, DriverFailuresArePassedOn) {
    open({{0, 0}});
    CAN_PACKET p = packet(1, 1);
    vcard::answer(REQ_SEND, -1, EIO);
    EXPECT_EQ(CanSendMsg(0, &p), PCI5C3A_ERROR);
    EXPECT_EQ(pauses.size(), 1u);

    vcard::answer(REQ_RCV_COUNT, -1, EIO);
    EXPECT_EQ(CanGetRcvCnt(0), PCI5C3A_ERROR);

    vcard::answer(REQ_RECEIVE, -1, EIO);
    std::memset(&p, 0xAA, sizeof p);
    EXPECT_EQ(CanRcvMsg(0, &p), PCI5C3A_ERROR);
    EXPECT_EQ(bytesOf(&p, sizeof p), std::vector<std::uint8_t>(sizeof p, 0));
}

TEST_F(Transfer, ReceiveFromAnEmptyQueueFailsWithZeros) {
    open({{0, 0}});
    CAN_PACKET p;
    std::memset(&p, 0x77, sizeof p);
    EXPECT_EQ(CanGetRcvCnt(0), 0);
    EXPECT_EQ(CanRcvMsg(0, &p), PCI5C3A_ERROR);
    EXPECT_EQ(bytesOf(&p, sizeof p), std::vector<std::uint8_t>(sizeof p, 0));
}

TEST_F(Transfer, ReceiveAndCountRefuseClosedPortsWithoutARequest) {
    open({{0, 0}});
    CAN_PACKET p = packet(0, 0);
    EXPECT_EQ(CanRcvMsg(0, nullptr), PCI5C3A_ERROR);
    EXPECT_EQ(CanRcvMsg(1, &p), PCI5C3A_ERROR);
    EXPECT_EQ(CanGetRcvCnt(1), PCI5C3A_ERROR);
    for (int h : {-1, 8, 100}) {
        EXPECT_EQ(CanRcvMsg(h, &p), PCI5C3A_ERROR);
        EXPECT_EQ(CanGetRcvCnt(h), PCI5C3A_ERROR);
    }
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Transfer, CountRequestCarriesTheHandle) {
    open({{0, 1}});
    EXPECT_EQ(CanGetRcvCnt(1), 0);
    const auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].code, REQ_RCV_COUNT);
    EXPECT_EQ(trace[0].in, (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
}

// The frames crossing the wire between the two ports, the acceptance filter
// and ports at different bit rates are the wired-ports suite's (test_bus),
// which runs on the virtual card and on a real card alike.

// ---------------------------------------------------------------------------
// Receive and buffer control

TEST_F(Transfer, FramesWaitInTheControllerWhileReceiveIsDisabled) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanDisableReceive(1), 0);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_IER), 0x02);
    for (std::uint32_t id = 1; id <= 3; ++id) {
        CAN_PACKET p = packet(id, 1);
        ASSERT_EQ(CanSendMsg(0, &p), 0);
    }
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_RMC), 3);  // receive message counter
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_SR) & 0x01, 0x01);
    EXPECT_EQ(CanGetRcvCnt(1), 0);

    // Enabling receive lets the driver take them, oldest first.
    ASSERT_EQ(CanEnableReceive(1), 0);
    ASSERT_EQ(waitForCount(1, 3), 3);
    for (std::uint32_t id = 1; id <= 3; ++id) {
        CAN_PACKET got;
        ASSERT_EQ(CanRcvMsg(1, &got), 0);
        EXPECT_EQ(got.id, id);
    }
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_RMC), 0);
}

TEST_F(Transfer, ClearRxBufferEmptiesTheController) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanDisableReceive(1), 0);
    for (std::uint32_t id = 1; id <= 4; ++id) {
        CAN_PACKET p = packet(id, 0);
        ASSERT_EQ(CanSendMsg(0, &p), 0);
    }
    vcard::trace_clear();
    CanClearRxBuffer(1);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_RMC), 0);
    EXPECT_EQ(writes(), std::vector<Write>(4, Write{kPort1 + REG_CMR, 0x04}));
    ASSERT_EQ(CanEnableReceive(1), 0);
    EXPECT_EQ(waitForCount(1, 1, std::chrono::milliseconds(50)), 0);
}

TEST_F(Transfer, ClearRxBufferReleasesOncePerMessageCounted) {
    open({{0, 0}});
    vcard::force_read(0, REG_RMC, {3, 2, 1, 0});
    CanClearRxBuffer(0);
    EXPECT_EQ(writes(), std::vector<Write>(3, Write{REG_CMR, 0x04}));
    EXPECT_EQ(readAddresses(), std::vector<std::uint32_t>(4, REG_RMC));
}

TEST_F(Transfer, ClearRxBufferGivesUpOnAControllerThatNeverEmpties) {
    open({{0, 0}});
    vcard::force_read(0, REG_RMC, {5}, true);
    CanClearRxBuffer(0);
    EXPECT_EQ(writes(), std::vector<Write>(64, Write{REG_CMR, 0x04}));
}

TEST_F(Transfer, ClearTxBufferAbortsTheTransmission) {
    vcard::Config alone;
    alone.wiring = vcard::Wiring::separate;
    vcard::reset(alone);
    vcard::trace_start();
    open({{0, 0}});
    CAN_PACKET p = packet(3, 1);
    ASSERT_EQ(CanSendMsg(0, &p), 0);
    EXPECT_EQ(vcard::peek(0, REG_SR) & 0x04, 0);  // nobody acknowledged: still pending
    EXPECT_EQ(CanSendMsg(0, &p), PCI5C3A_ERROR);  // the driver refuses a second one meanwhile
    vcard::trace_clear();
    CanClearTxBuffer(0);
    EXPECT_EQ(writes(), (std::vector<Write>{Write{REG_CMR, 0x02}}));
    EXPECT_EQ(vcard::peek(0, REG_SR) & 0x04, 0x04);
    EXPECT_EQ(CanSendMsg(0, &p), 0);
}

TEST_F(Transfer, BufferClearsOnClosedPortsSendNothing) {
    open({{0, 0}});
    for (int h : {1, -1, 8, 1000}) {
        CanClearRxBuffer(h);
        CanClearTxBuffer(h);
    }
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Transfer, InterruptEnableReadModifyWrite) {
    open({{0, 0}});
    vcard::force_read(0, REG_IER, {0x02});
    EXPECT_EQ(CanEnableReceive(0), 0);
    vcard::force_read(0, REG_IER, {0x03});
    EXPECT_EQ(CanDisableReceive(0), 0);
    vcard::force_read(0, REG_IER, {0x00});
    EXPECT_EQ(CanClearOverrun(0), 0);
    EXPECT_EQ(writes(),
              (std::vector<Write>{{REG_IER, 0x03}, {REG_IER, 0x02}, {REG_CMR, 0x08}, {REG_IER, 0x09}}));

    vcard::answer(REQ_REG_WRITE, -1, EIO);
    EXPECT_EQ(CanEnableReceive(0), PCI5C3A_ERROR);
    EXPECT_EQ(CanDisableReceive(0), PCI5C3A_ERROR);
    EXPECT_EQ(CanClearOverrun(0), PCI5C3A_ERROR);
}

TEST_F(Transfer, InterruptControlsRefuseClosedPorts) {
    open({{0, 0}});
    for (int h : {1, -1, 8}) {
        EXPECT_EQ(CanEnableReceive(h), PCI5C3A_ERROR);
        EXPECT_EQ(CanDisableReceive(h), PCI5C3A_ERROR);
        EXPECT_EQ(CanClearOverrun(h), PCI5C3A_ERROR);
    }
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Transfer, OverflowingTheFifoSetsDataOverrunAndClearOverrunClearsIt) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanDisableReceive(1), 0);
    // Five 8-byte standard frames take 55 of the FIFO's 64 bytes; the sixth
    // does not fit.
    for (std::uint32_t id = 0; id < 6; ++id) {
        CAN_PACKET p = packet(id, 8);
        ASSERT_EQ(CanSendMsg(0, &p), 0);
    }
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_RMC), 5);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_SR) & 0x02, 0x02);

    ASSERT_EQ(CanClearOverrun(1), 0);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_SR) & 0x02, 0);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_IER), 0x0B);
    ASSERT_EQ(waitForCount(1, 5), 5);  // receive is on again: the five kept arrive
    CAN_PACKET got;
    for (std::uint32_t id = 0; id < 5; ++id) {
        ASSERT_EQ(CanRcvMsg(1, &got), 0);
        EXPECT_EQ(got.id, id);
    }
}

TEST_F(TwoCardTransfer, SendsAreAlwaysPaced) {
    open({{0, 0}, {1, 0}});
    CAN_PACKET p = packet(1, 0);
    for (int h : {0, 2, 0, 2}) EXPECT_EQ(CanSendMsg(h, &p), 0);
    ASSERT_EQ(pauses.size(), 4u);
    for (std::size_t i = 0; i < pauses.size(); ++i) {
        EXPECT_EQ(pauses[i].usec, 1000u);
        EXPECT_EQ(pauses[i].requestsBefore, i);
    }
}
