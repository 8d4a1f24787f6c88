// SPDX-License-Identifier: MIT
// The card's driver, request by request, through raw ioctl on its device
// node: every request, every refusal and the receive queue. The program does
// not link the virtual card: ctest runs it on the virtual card through
// with-virtual-card (two cards); in a QEMU guest or on a machine with the
// card (ports 0 and 1 of each card on one terminated cable) it runs as is:
//
//     PCI5C3A_TEST_TARGET=qemu build/default/tests/test_driver   # QEMU guest
//     build/default/tests/test_driver                            # real card
//
// Tests that need a second card skip without /dev/PCI5C3AW1.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "can_messages.h"
#include "driver_device.h"

using drv::Answer;
using drv::Card;
using drv::isKnown;
using drv::kKnown;
using drv::Known;
using drv::portAddr;
using test::packet;

namespace {

#define SKIP_ON_QEMU(missing)                                                                  \
    do {                                                                                       \
        if (drv::onQemu()) GTEST_SKIP() << "QEMU's SJA1000 boards do not model " << (missing); \
    } while (0)

::testing::AssertionResult sameFrame(const CAN_PACKET &got, const CAN_PACKET &sent, std::uint32_t idMask) {
    const bool remote = sent.rtr != 0;
    if (got.id != (sent.id & idMask) || (got.rtr != 0) != remote || got.len != sent.len)
        return ::testing::AssertionFailure()
               << "got id 0x" << std::hex << got.id << " rtr " << int(got.rtr) << " len " << std::dec
               << int(got.len) << ", sent id 0x" << std::hex << (sent.id & idMask) << " rtr " << int(sent.rtr)
               << " len " << std::dec << int(sent.len);
    if (got.rtr > 1) return ::testing::AssertionFailure() << "rtr " << int(got.rtr) << ", not 0 or 1";
    // A remote frame carries no data; bytes beyond the length are not the
    // frame's and must not leak anything.
    const int n = remote ? 0 : sent.len;
    for (int i = 0; i < 8; ++i) {
        const std::uint8_t want = i < n ? sent.data[i] : 0;
        if (got.data[i] != want)
            return ::testing::AssertionFailure()
                   << "data byte " << i << " is " << int(got.data[i]) << ", not " << int(want);
    }
    for (unsigned char b : got.reserved)
        if (b != 0) return ::testing::AssertionFailure() << "reserved byte " << int(b) << ", not 0";
    return ::testing::AssertionSuccess();
}

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(card_.ok()) << "open /dev/PCI5C3AW0: " << std::strerror(card_.openError());
        for (int port : {0, 1}) {
            ASSERT_TRUE(card_.events(port, 0).ok());
            ASSERT_TRUE(card_.configure(port, PCI5C3A_ID_STANDARD));
        }
        // Whatever an earlier program left behind.
        for (int port : {0, 1}) card_.drain(card_.handle(port));
    }
    void TearDown() override {
        for (int port : {0, 1}) card_.configure(port, PCI5C3A_ID_STANDARD);
    }

    // Sends and waits until the frame left (the receiver has it then).
    void sendOk(int port, const CAN_PACKET &p) {
        ASSERT_TRUE(card_.waitTransmitBuffer(port)) << "transmit buffer of port " << port << " stays busy";
        const Answer a = card_.send(card_.handle(port), p);
        ASSERT_TRUE(a.ok()) << "REQ_SEND: " << std::strerror(a.error);
        ASSERT_TRUE(card_.waitTransmitBuffer(port)) << "frame on port " << port << " stays pending";
    }
    void expectQueue(int port, const std::vector<CAN_PACKET> &sent, std::uint32_t idMask) {
        const int h = card_.handle(port);
        ASSERT_EQ(card_.waitCount(h, int(sent.size())), int(sent.size()));
        for (const CAN_PACKET &p : sent) {
            CAN_PACKET got;
            ASSERT_TRUE(card_.receive(h, &got).ok());
            EXPECT_TRUE(sameFrame(got, p, idMask));
        }
        EXPECT_EQ(card_.count(h), 0);
    }

    Card card_{0};
};

// ---------------------------------------------------------------------------
// Registers and the LED

TEST_F(Driver, EachPortHasItsOwnRegisterWindow) {
    ASSERT_TRUE(card_.enterReset(0));
    ASSERT_TRUE(card_.enterReset(1));
    // The acceptance code registers are readable in reset mode.
    ASSERT_TRUE(card_.write(portAddr(0, REG_ACR0), 0xA5).ok());
    ASSERT_TRUE(card_.write(portAddr(1, REG_ACR0), 0x5A).ok());
    EXPECT_EQ(card_.reg(0, REG_ACR0), 0xA5);
    EXPECT_EQ(card_.reg(1, REG_ACR0), 0x5A);
    EXPECT_EQ(card_.reg(0, REG_MOD) & MOD_RM, MOD_RM);

    // The read answers in the record's data byte and leaves the rest alone.
    REG_ACCESS r{};
    r.reserved = 0x11223344;
    r.addr = portAddr(1, REG_ACR0);
    r.pad[0] = 0x77;
    ASSERT_TRUE(card_.ask(REQ_REG_READ, &r).ok());
    EXPECT_EQ(r.data, 0x5A);
    EXPECT_EQ(r.addr, portAddr(1, REG_ACR0));
    EXPECT_EQ(r.reserved, 0x11223344u);
}

TEST_F(Driver, AddressesOutsideTheCardAreRefused) {
    std::uint8_t v = 0;
    for (unsigned addr :
         {0u, unsigned(REG_COUNT), unsigned(PCI5C3A_PORT_WINDOW - 1), unsigned(PCI5C3A_PORT_WINDOW),
          unsigned(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW - 1)}) {
        EXPECT_TRUE(card_.read(addr, &v).ok()) << "addr " << addr;
    }
    for (unsigned addr :
         {unsigned(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW),
          unsigned(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW + REG_MOD + 1), 0x80000000u, UINT_MAX}) {
        EXPECT_TRUE(card_.read(addr, &v).failedWith(EINVAL)) << "read addr " << addr;
        EXPECT_TRUE(card_.write(addr, 0).failedWith(EINVAL)) << "write addr " << addr;
    }
    // The refused writes reached no controller.
    EXPECT_EQ(card_.reg(0, REG_MOD) & MOD_RM, 0);
    EXPECT_EQ(card_.reg(1, REG_MOD) & MOD_RM, 0);
}

TEST_F(Driver, LedRegisterAndLastClose) {
    ASSERT_TRUE(card_.write(PCI5C3A_LED_ADDR, 0x5A).ok());
    std::uint8_t led = 0;
    ASSERT_TRUE(card_.read(PCI5C3A_LED_ADDR, &led).ok());
    EXPECT_EQ(led, 0x5A);
    // The LED register is no controller register: port 0 did not change.
    EXPECT_EQ(card_.reg(0, REG_MOD) & MOD_RM, 0);

    // REQ_LAST_CLOSE writes its data to the LED register, whatever the
    // address in the record says.
    ASSERT_TRUE(card_.lastClose(PCI5C3A_LED_ADDR, LED_AT_LAST_CLOSE).ok());
    ASSERT_TRUE(card_.read(PCI5C3A_LED_ADDR, &led).ok());
    EXPECT_EQ(led, LED_AT_LAST_CLOSE);
    ASSERT_TRUE(card_.lastClose(UINT_MAX, 0x00).ok());
    ASSERT_TRUE(card_.read(PCI5C3A_LED_ADDR, &led).ok());
    EXPECT_EQ(led, 0x00);
    // Port 0 keeps working after it.
    sendOk(0, packet(0x100, 1));
    expectQueue(1, {packet(0x100, 1)}, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// Frames

TEST_F(Driver, FramesOfEveryLengthCrossInOrderBothWays) {
    for (int from : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "from port " << from);
        std::vector<CAN_PACKET> sent;
        for (std::uint8_t len = 0; len <= 8; ++len) {
            CAN_PACKET p = packet(0x100 + len, len, std::uint8_t(0x10 * len + from));
            // Bytes beyond the length must not reach the wire.
            for (int i = len; i < 8; ++i) p.data[i] = 0xEE;
            sent.push_back(p);
            sendOk(from, p);
        }
        for (CAN_PACKET &p : sent)
            for (int i = p.len; i < 8; ++i) p.data[i] = 0;
        expectQueue(1 - from, sent, SJA1000_STD_ID_MASK);
        // A sender never hears its own frames.
        EXPECT_EQ(card_.count(card_.handle(from)), 0);
    }
}

TEST_F(Driver, IdentifiersFollowTheSendersMode) {
    struct Case {
        unsigned mode;
        std::uint32_t mask;
        std::vector<std::uint32_t> ids;
    };
    const Case cases[] = {
        {PCI5C3A_ID_STANDARD, SJA1000_STD_ID_MASK, {0, 0x7FF, 0x555, 0x2AA, 0x12345, 0xFFFFFFFF}},
        {PCI5C3A_ID_EXTENDED,
         SJA1000_EXT_ID_MASK,
         {0, 0x1FFFFFFF, 0x12345678, 0x0AAAAAAA, 0x7FF, 0xFFFFFFFF}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode);
        // The receiver's own mode does not matter for what it receives.
        ASSERT_TRUE(card_.setMode(card_.handle(0), c.mode).ok());
        ASSERT_TRUE(card_.setMode(card_.handle(1), 1 - c.mode).ok());
        std::vector<CAN_PACKET> sent;
        for (std::uint32_t id : c.ids) {
            sent.push_back(packet(id, 2, std::uint8_t(id)));
            sendOk(0, sent.back());
        }
        expectQueue(1, sent, c.mask);
    }
}

TEST_F(Driver, SetModeRefusesBadHandlesAndModes) {
    for (unsigned mode : {2u, 3u, UINT_MAX})
        EXPECT_TRUE(card_.setMode(card_.handle(0), mode).failedWith(EINVAL)) << "mode " << mode;
    // Card 0's device knows handles 0 and 1 only.
    for (int h : {-1, 2, 3, PCI5C3A_MAX_HANDLES, INT_MIN, INT_MAX})
        EXPECT_TRUE(card_.setMode(h, PCI5C3A_ID_STANDARD).failedWith(EINVAL)) << "handle " << h;
    // Nothing changed: port 0 still sends 11-bit identifiers.
    sendOk(0, packet(0x1FFFFFFF, 0));
    expectQueue(1, {packet(0x1FFFFFFF, 0)}, SJA1000_STD_ID_MASK);
}

TEST_F(Driver, RemoteFramesCarryNoData) {
    for (unsigned mode : {PCI5C3A_ID_STANDARD, PCI5C3A_ID_EXTENDED}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        ASSERT_TRUE(card_.setMode(card_.handle(0), mode).ok());
        // Any non-zero rtr asks for a remote frame; its data never leaves.
        const std::vector<CAN_PACKET> sent = {packet(0x120, 0, 0x55, 1), packet(0x128, 0, 0x66, 0xFF),
                                              packet(0x130, 1)};
        for (const CAN_PACKET &p : sent) sendOk(0, p);
        expectQueue(1, sent, mode == PCI5C3A_ID_EXTENDED ? SJA1000_EXT_ID_MASK : SJA1000_STD_ID_MASK);
    }
}

TEST_F(Driver, RemoteFramesKeepTheirLengthCode) {
    SKIP_ON_QEMU("remote frames with a length code above 0 (its receive FIFO's read pointer drifts)");
    const std::vector<CAN_PACKET> sent = {packet(0x140, 4, 0x77, 1), packet(0x148, 8, 0x88, 1),
                                          packet(0x150, 3)};
    for (const CAN_PACKET &p : sent) sendOk(0, p);
    expectQueue(1, sent, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// Refused sends

TEST_F(Driver, SendRefusesBadLengthsAndHandles) {
    for (std::uint8_t len : {9, 15, 16, 255})
        EXPECT_TRUE(card_.send(card_.handle(0), packet(0x10, len)).failedWith(EINVAL)) << "len " << int(len);
    for (int h : {-1, 2, 3, PCI5C3A_MAX_HANDLES, INT_MIN, INT_MAX})
        EXPECT_TRUE(card_.send(h, packet(0x10, 1)).failedWith(EINVAL)) << "handle " << h;
    // The record is judged before the controller: a bad length in reset
    // mode is still EINVAL.
    ASSERT_TRUE(card_.enterReset(0));
    EXPECT_TRUE(card_.send(card_.handle(0), packet(0x10, 9)).failedWith(EINVAL));
    ASSERT_TRUE(card_.configure(0, PCI5C3A_ID_STANDARD));
    // None of them reached the wire.
    EXPECT_EQ(card_.waitCount(card_.handle(1), 1, std::chrono::milliseconds(50)), 0);
    sendOk(0, packet(0x18, 8));
    expectQueue(1, {packet(0x18, 8)}, SJA1000_STD_ID_MASK);
}

TEST_F(Driver, SendInResetModeOrListenOnlyIsAnIoError) {
    ASSERT_TRUE(card_.enterReset(0));
    EXPECT_TRUE(card_.send(card_.handle(0), packet(0x20, 1)).failedWith(EIO));
    // Listen-only, set in reset mode and kept when it is left.
    ASSERT_TRUE(card_.setReg(0, REG_MOD, MOD_RM | MOD_LOM));
    ASSERT_TRUE(card_.setReg(0, REG_MOD, MOD_LOM));
    ASSERT_EQ(card_.reg(0, REG_MOD) & (MOD_RM | MOD_LOM), MOD_LOM);
    EXPECT_TRUE(card_.send(card_.handle(0), packet(0x28, 1)).failedWith(EIO));
    EXPECT_EQ(card_.waitCount(card_.handle(1), 1, std::chrono::milliseconds(50)), 0);
    ASSERT_TRUE(card_.configure(0, PCI5C3A_ID_STANDARD));
    sendOk(0, packet(0x30, 1));
    expectQueue(1, {packet(0x30, 1)}, SJA1000_STD_ID_MASK);
}

TEST_F(Driver, SendWhileBusOffIsAnIoError) {
    SKIP_ON_QEMU("error counters and bus-off");
    // 255 in the transmit error counter puts the chip bus-off as it leaves
    // reset mode.
    ASSERT_TRUE(card_.enterReset(0));
    ASSERT_TRUE(card_.setReg(0, REG_TXERR, 255));
    ASSERT_TRUE(card_.setReg(0, REG_MOD, 0));
    ASSERT_TRUE(test::eventually([&] { return (card_.reg(0, REG_SR) & SR_BS) != 0; }));
    EXPECT_TRUE(card_.send(card_.handle(0), packet(0x38, 1)).failedWith(EIO));
    // Clearing reset mode starts recovery; then the port sends again.
    ASSERT_TRUE(card_.setReg(0, REG_MOD, 0));
    ASSERT_TRUE(test::eventually([&] { return (card_.reg(0, REG_SR) & SR_BS) == 0; }));
    ASSERT_TRUE(card_.configure(0, PCI5C3A_ID_STANDARD));
    sendOk(0, packet(0x40, 1));
    expectQueue(1, {packet(0x40, 1)}, SJA1000_STD_ID_MASK);
}

TEST_F(Driver, SendWhileTheLastFrameIsPendingIsBusy) {
    SKIP_ON_QEMU("unacknowledged frames (a transmission completes at once, even alone)");
    // Nobody to acknowledge: the frame stays in the transmit buffer.
    ASSERT_TRUE(card_.enterReset(1));
    ASSERT_TRUE(card_.send(card_.handle(0), packet(0x48, 1)).ok());
    ASSERT_TRUE(test::eventually([&] { return (card_.reg(0, REG_SR) & SR_TBS) == 0; },
                                 std::chrono::milliseconds(500)));
    EXPECT_TRUE(card_.send(card_.handle(0), packet(0x50, 1)).failedWith(EBUSY));
    // An abort releases the buffer.
    ASSERT_TRUE(card_.setReg(0, REG_CMR, CMD_AT));
    ASSERT_TRUE(card_.waitTransmitBuffer(0));
    ASSERT_TRUE(card_.configure(0, PCI5C3A_ID_STANDARD));
    ASSERT_TRUE(card_.configure(1, PCI5C3A_ID_STANDARD));
    card_.drain(card_.handle(1));
    sendOk(0, packet(0x58, 1));
    expectQueue(1, {packet(0x58, 1)}, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// The receive queue

TEST_F(Driver, ReceiveAndCountRefuseBadHandlesAndAnEmptyQueue) {
    CAN_PACKET p;
    EXPECT_TRUE(card_.receive(card_.handle(1), &p).failedWith(EAGAIN));
    for (int h : {-1, 2, 3, PCI5C3A_MAX_HANDLES, INT_MIN, INT_MAX}) {
        EXPECT_TRUE(card_.receive(h, &p).failedWith(EINVAL)) << "handle " << h;
        RCV_COUNT c{};
        c.handle = h;
        EXPECT_TRUE(card_.ask(REQ_RCV_COUNT, &c).failedWith(EINVAL)) << "handle " << h;
    }
    // The count answers in its field and keeps the handle.
    sendOk(0, packet(0x60, 3));
    ASSERT_EQ(card_.waitCount(card_.handle(1), 1), 1);
    RCV_COUNT c{};
    c.handle = card_.handle(1);
    ASSERT_TRUE(card_.ask(REQ_RCV_COUNT, &c).ok());
    EXPECT_EQ(c.count, 1);
    EXPECT_EQ(c.handle, card_.handle(1));
    // A bad handle does not take the message away.
    EXPECT_TRUE(card_.receive(card_.handle(1) + PCI5C3A_PORTS_PER_CARD, &p).failedWith(EINVAL));
    MSG_XFER x{};
    x.handle = card_.handle(1);
    ASSERT_TRUE(card_.ask(REQ_RECEIVE, &x).ok());
    EXPECT_EQ(x.handle, card_.handle(1));
    EXPECT_TRUE(sameFrame(x.packet, packet(0x60, 3), SJA1000_STD_ID_MASK));
    EXPECT_TRUE(card_.receive(card_.handle(1), &p).failedWith(EAGAIN));
}

TEST_F(Driver, MessagesWaitInTheControllerUntilReceiveInterruptsAreOn) {
    ASSERT_TRUE(card_.setReg(1, REG_IER, 0));
    std::vector<CAN_PACKET> sent;
    for (std::uint8_t i = 0; i < 5; ++i) {
        sent.push_back(packet(0x200 + 8 * i, 8, std::uint8_t(8 * i)));
        sendOk(0, sent.back());
    }
    EXPECT_NE(card_.reg(1, REG_SR) & SR_RBS, 0) << "the controller holds them";
    EXPECT_EQ(card_.count(card_.handle(1)), 0) << "the driver does not";
    // Enabling the receive interrupt moves them to the queue.
    ASSERT_TRUE(card_.setReg(1, REG_IER, IRQ_RI | IRQ_TI));
    expectQueue(1, sent, SJA1000_STD_ID_MASK);
    EXPECT_EQ(card_.reg(1, REG_SR) & SR_RBS, 0);
}

TEST_F(Driver, TheQueueHolds1024MessagesAndDropsNewOnes) {
    constexpr int kLimit = 1024, kExtra = 40;
    const int h = card_.handle(1);
    for (int i = 0; i < kLimit + kExtra; ++i) {
        CAN_PACKET p = packet(std::uint32_t(i) & SJA1000_STD_ID_MASK, 2);
        p.data[0] = std::uint8_t(i >> 8);
        p.data[1] = std::uint8_t(i);
        sendOk(0, p);
        if (HasFatalFailure()) return;
        // QEMU's controllers transmit at once, without the bus's pace: the
        // sender would outrun the receive interrupt (a vCPU the host has
        // not scheduled) and overrun the 64-byte FIFO. The frame leaves the
        // FIFO, queued or dropped, before the next one goes.
        if (drv::onQemu()) {
            ASSERT_TRUE(test::eventually([&] { return (card_.reg(1, REG_SR) & SR_RBS) == 0; }));
        }
    }
    ASSERT_EQ(card_.waitCount(h, kLimit), kLimit);
    // The frames beyond the limit left the controller too, and were dropped.
    ASSERT_TRUE(test::eventually([&] { return (card_.reg(1, REG_SR) & SR_RBS) == 0; }));
    EXPECT_EQ(card_.reg(1, REG_SR) & SR_DOS, 0) << "the controller overran: the driver fell behind";
    EXPECT_EQ(card_.count(h), kLimit);
    int received = 0;
    for (int i = 0; i < kLimit; ++i) {
        CAN_PACKET got;
        ASSERT_TRUE(card_.receive(h, &got).ok()) << "message " << i;
        ASSERT_EQ(got.id, std::uint32_t(i) & SJA1000_STD_ID_MASK) << "the oldest are kept, in order";
        ASSERT_EQ((got.data[0] << 8) | got.data[1], i);
        ++received;
    }
    CAN_PACKET got;
    EXPECT_TRUE(card_.receive(h, &got).failedWith(EAGAIN));
    EXPECT_EQ(kLimit + kExtra - received, kExtra) << "dropped";
    // Room again.
    sendOk(0, packet(0x7F8, 1));
    expectQueue(1, {packet(0x7F8, 1)}, SJA1000_STD_ID_MASK);
    EXPECT_EQ(card_.count(card_.handle(0)), 0);
}

// ---------------------------------------------------------------------------
// Request codes and records

// Codes one step away from the real ones: the other direction, no
// direction, a size off by one or another record's, the neighbouring
// numbers, another type letter ('T' is left out: the kernel's file layer
// answers some of its codes itself).
std::vector<unsigned long> nearMisses() {
    std::vector<unsigned long> codes;
    for (const Known &k : kKnown) {
        const unsigned long dir = _IOC_DIR(k.code), type = _IOC_TYPE(k.code), nr = _IOC_NR(k.code);
        const unsigned long size = _IOC_SIZE(k.code);
        for (unsigned long d :
             {0ul + _IOC_NONE, 0ul + _IOC_READ, 0ul + _IOC_WRITE, 0ul + (_IOC_READ | _IOC_WRITE)})
            codes.push_back(_IOC(d, type, nr, size));
        for (unsigned long s :
             {size + 1, size - 1, size * 2, 0ul + sizeof(REG_ACCESS), 0ul + sizeof(MSG_XFER),
              0ul + sizeof(MODE_SET), 0ul + sizeof(unsigned short), 0ul + sizeof(int)})
            codes.push_back(_IOC(dir, type, nr, s & _IOC_SIZEMASK));
        for (unsigned long n : {nr - 1, nr + 1, nr + 0x10, nr + 0x80})
            codes.push_back(_IOC(dir, type, n & 0xFF, size));
        for (unsigned long t : {type - 1, type + 0x20, 0ul}) codes.push_back(_IOC(dir, t, nr, size));
    }
    std::vector<unsigned long> unknown;
    for (unsigned long c : codes)
        if (!isKnown(c)) unknown.push_back(c);
    return unknown;
}

TEST_F(Driver, UnknownAndNearMissCodesAreNotTheDriversAndTouchNothing) {
    const std::vector<unsigned long> codes = nearMisses();
    ASSERT_GT(codes.size(), 100u);
    MSG_XFER record;
    for (unsigned long code : codes) {
        std::memset(&record, 0xC5, sizeof record);
        record.handle = card_.handle(0);
        record.packet.len = 1;
        const Answer a = card_.ask(code, &record);
        EXPECT_TRUE(a.failedWith(ENOTTY))
            << "code 0x" << std::hex << code << ": " << a.result << " " << std::strerror(a.error);
        MSG_XFER same;
        std::memset(&same, 0xC5, sizeof same);
        same.handle = card_.handle(0);
        same.packet.len = 1;
        EXPECT_EQ(std::memcmp(&record, &same, sizeof record), 0) << "code 0x" << std::hex << code << " wrote";
        // An unknown code is judged before its record.
        EXPECT_TRUE(card_.ask(code, nullptr).failedWith(ENOTTY)) << "code 0x" << std::hex << code;
    }
    // Nothing was sent or changed.
    EXPECT_EQ(card_.waitCount(card_.handle(1), 1, std::chrono::milliseconds(50)), 0);
    EXPECT_EQ(card_.reg(0, REG_MOD) & MOD_RM, 0);
}

TEST_F(Driver, ANullRecordIsAFault) {
    for (const Known &k : kKnown) EXPECT_TRUE(card_.ask(k.code, nullptr).failedWith(EFAULT)) << k.name;
}

TEST_F(Driver, RecordsInUnmappedMemoryAreAFault) {
    if (drv::inProcessCard(0)) GTEST_SKIP() << "the virtual card reads records inside the process";
    drv::GuardedPage page;
    ASSERT_TRUE(page.ok());
    for (const Known &k : kKnown) {
        EXPECT_TRUE(card_.ask(k.code, page.guard()).failedWith(EFAULT)) << k.name;
        if (k.size > 1) {
            EXPECT_TRUE(card_.ask(k.code, page.straddling(k.size, 1)).failedWith(EFAULT))
                << k.name << " straddling";
        }
    }
    EXPECT_EQ(card_.waitCount(card_.handle(1), 1, std::chrono::milliseconds(50)), 0);
}

TEST_F(Driver, RecordsAreReadAndWrittenNoFurtherThanTheirSize) {
    // Each record ends where an unmapped page begins: one byte too many
    // faults (in the process on the virtual card, EFAULT from a kernel).
    drv::GuardedPage page;
    ASSERT_TRUE(page.ok());
    auto *reg = static_cast<REG_ACCESS *>(page.atEnd(sizeof(REG_ACCESS)));
    *reg = REG_ACCESS{};
    reg->addr = portAddr(0, REG_SR);
    EXPECT_TRUE(card_.ask(REQ_REG_READ, reg).ok());
    EXPECT_NE(reg->data & SR_TBS, 0);
    reg->addr = portAddr(1, REG_IER);
    reg->data = IRQ_RI | IRQ_TI;
    EXPECT_TRUE(card_.ask(REQ_REG_WRITE, reg).ok());
    reg->addr = portAddr(1, 0);
    EXPECT_TRUE(card_.ask(REQ_PORT_CLOSE, reg).ok());

    auto *mode = static_cast<MODE_SET *>(page.atEnd(sizeof(MODE_SET)));
    *mode = MODE_SET{card_.handle(0), PCI5C3A_ID_STANDARD};
    EXPECT_TRUE(card_.ask(REQ_SET_MODE, mode).ok());

    auto *flag = static_cast<unsigned short *>(page.atEnd(sizeof(unsigned short)));
    *flag = 0;
    EXPECT_TRUE(card_.ask(REQ_EVENT_PORT0, flag).ok());
    EXPECT_TRUE(card_.ask(REQ_EVENT_PORT1, flag).ok());

    auto *x = static_cast<MSG_XFER *>(page.atEnd(sizeof(MSG_XFER)));
    *x = MSG_XFER{};
    x->handle = card_.handle(0);
    x->packet = packet(0x68, 8, 0x30);
    EXPECT_TRUE(card_.ask(REQ_SEND, x).ok());
    ASSERT_EQ(card_.waitCount(card_.handle(1), 1), 1);

    auto *count = static_cast<RCV_COUNT *>(page.atEnd(sizeof(RCV_COUNT)));
    *count = RCV_COUNT{};
    count->handle = card_.handle(1);
    EXPECT_TRUE(card_.ask(REQ_RCV_COUNT, count).ok());
    EXPECT_EQ(count->count, 1);

    *x = MSG_XFER{};
    x->handle = card_.handle(1);
    EXPECT_TRUE(card_.ask(REQ_RECEIVE, x).ok());
    EXPECT_TRUE(sameFrame(x->packet, packet(0x68, 8, 0x30), SJA1000_STD_ID_MASK));

    // REQ_LAST_CLOSE's record too (its effect, on the LED register, is
    // checked where QEMU allows).
    *reg = REG_ACCESS{};
    reg->data = LED_AT_LAST_CLOSE;
    EXPECT_TRUE(card_.ask(REQ_LAST_CLOSE, reg).ok());
}

TEST_F(Driver, NotificationRequestsTakeAFlagAndAPortAddress) {
    for (unsigned short flag : {1, 0, 0xFFFF, 0}) {
        EXPECT_TRUE(card_.events(0, flag).ok()) << "flag " << flag;
        EXPECT_TRUE(card_.events(1, flag).ok()) << "flag " << flag;
    }
    // REQ_PORT_CLOSE names the port by its window's base address.
    EXPECT_TRUE(card_.portClose(portAddr(0, 0)).ok());
    EXPECT_TRUE(card_.portClose(portAddr(1, 0)).ok());
    for (unsigned addr : {1u, unsigned(PCI5C3A_LED_ADDR), unsigned(PCI5C3A_PORT_WINDOW - 1),
                          unsigned(PCI5C3A_PORT_WINDOW + 1),
                          unsigned(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW), UINT_MAX})
        EXPECT_TRUE(card_.portClose(addr).failedWith(EINVAL)) << "addr " << addr;
    // Closing a port's notification leaves the port itself working.
    sendOk(0, packet(0x70, 2));
    expectQueue(1, {packet(0x70, 2)}, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// Two cards

class TwoCards : public Driver {
protected:
    void SetUp() override {
        Driver::SetUp();
        if (HasFatalFailure()) return;
        if (!second_.ok())
            GTEST_SKIP() << "no second card (/dev/PCI5C3AW1: " << std::strerror(second_.openError()) << ")";
        for (int port : {0, 1}) {
            ASSERT_TRUE(second_.events(port, 0).ok());
            ASSERT_TRUE(second_.configure(port, PCI5C3A_ID_STANDARD));
        }
        for (int port : {0, 1}) second_.drain(second_.handle(port));
    }
    Card second_{1};
};

TEST_F(TwoCards, EachDeviceKnowsOnlyItsOwnHandles) {
    CAN_PACKET p;
    for (int h : {second_.handle(0), second_.handle(1)}) {
        EXPECT_TRUE(card_.send(h, packet(0x78, 1)).failedWith(EINVAL));
        EXPECT_TRUE(card_.receive(h, &p).failedWith(EINVAL));
        EXPECT_TRUE(card_.setMode(h, PCI5C3A_ID_STANDARD).failedWith(EINVAL));
        EXPECT_TRUE(second_.receive(h, &p).failedWith(EAGAIN));
    }
    for (int h : {card_.handle(0), card_.handle(1)}) {
        EXPECT_TRUE(second_.send(h, packet(0x78, 1)).failedWith(EINVAL));
        EXPECT_TRUE(second_.receive(h, &p).failedWith(EINVAL));
        EXPECT_EQ(second_.count(h), -1);
    }
}

TEST_F(TwoCards, EachCardIsOnAWireOfItsOwn) {
    // Registers: the same address on each device is its own card's.
    ASSERT_TRUE(card_.enterReset(0));
    ASSERT_TRUE(second_.enterReset(0));
    ASSERT_TRUE(card_.setReg(0, REG_ACR1, 0x11));
    ASSERT_TRUE(second_.setReg(0, REG_ACR1, 0x22));
    EXPECT_EQ(card_.reg(0, REG_ACR1), 0x11);
    EXPECT_EQ(second_.reg(0, REG_ACR1), 0x22);
    ASSERT_TRUE(card_.configure(0, PCI5C3A_ID_STANDARD));
    ASSERT_TRUE(second_.configure(0, PCI5C3A_ID_EXTENDED));

    sendOk(0, packet(0x80, 1, 0xC0));
    ASSERT_TRUE(second_.waitTransmitBuffer(0));
    ASSERT_TRUE(second_.send(second_.handle(0), packet(0x1ABCDEF0, 2, 0xC1)).ok());
    ASSERT_TRUE(second_.waitTransmitBuffer(0));
    expectQueue(1, {packet(0x80, 1, 0xC0)}, SJA1000_STD_ID_MASK);
    ASSERT_EQ(second_.waitCount(second_.handle(1), 1), 1);
    CAN_PACKET got;
    ASSERT_TRUE(second_.receive(second_.handle(1), &got).ok());
    EXPECT_TRUE(sameFrame(got, packet(0x1ABCDEF0, 2, 0xC1), SJA1000_EXT_ID_MASK));
    EXPECT_EQ(second_.count(second_.handle(1)), 0) << "card 0's frame reached card 1";
    for (const Card *c : {&card_, &second_}) EXPECT_EQ(c->count(c->handle(0)), 0);
}

TEST_F(TwoCards, EachCardHasItsOwnLedRegister) {
    ASSERT_TRUE(card_.write(PCI5C3A_LED_ADDR, 0x0F).ok());
    ASSERT_TRUE(second_.write(PCI5C3A_LED_ADDR, 0xF0).ok());
    ASSERT_TRUE(second_.lastClose(PCI5C3A_LED_ADDR, 0x81).ok());
    std::uint8_t a = 0, b = 0;
    ASSERT_TRUE(card_.read(PCI5C3A_LED_ADDR, &a).ok());
    ASSERT_TRUE(second_.read(PCI5C3A_LED_ADDR, &b).ok());
    EXPECT_EQ(a, 0x0F);
    EXPECT_EQ(b, 0x81);
}

}  // namespace
