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
// Frames go between the two ends of PCI5C3A_TEST_LOOP (test_loop.h; card
// 0's ports 0 and 1 unless it says otherwise), "port 0" and "port 1" below.
// Tests that need a second card skip without /dev/PCI5C3AW1, those of two
// cards each on a cable of its own when the loop spans two cards.
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
using drv::Port;
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

// Handles a card's device must refuse: none of its own, another card's
// among them.
std::vector<int> foreignHandles(const Card &c) {
    const int other = (c.number() + 1) % PCI5C3A_MAX_CARDS;
    return {-1,
            other * PCI5C3A_PORTS_PER_CARD,
            other * PCI5C3A_PORTS_PER_CARD + 1,
            PCI5C3A_MAX_HANDLES,
            INT_MIN,
            INT_MAX};
}

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(loop_.ok()) << loop_.error();
        for (const Port &p : {a_, b_}) {
            ASSERT_TRUE(p.events(0).ok());
            ASSERT_TRUE(p.configure(PCI5C3A_ID_STANDARD));
        }
        // Whatever an earlier program left behind.
        for (const Port &p : {a_, b_}) p.drain();
    }
    void TearDown() override {
        for (const Port &p : {a_, b_}) p.configure(PCI5C3A_ID_STANDARD);
    }

    // Sends and waits until the frame left (the receiver has it then).
    void sendOk(const Port &from, const CAN_PACKET &p) {
        ASSERT_TRUE(from.waitTransmitBuffer())
            << "transmit buffer of handle " << from.handle() << " stays busy";
        const Answer a = from.send(p);
        ASSERT_TRUE(a.ok()) << "REQ_SEND: " << std::strerror(a.error);
        ASSERT_TRUE(from.waitTransmitBuffer()) << "frame on handle " << from.handle() << " stays pending";
    }
    void expectQueue(const Port &to, const std::vector<CAN_PACKET> &sent, std::uint32_t idMask) {
        ASSERT_EQ(to.waitCount(int(sent.size())), int(sent.size()));
        for (const CAN_PACKET &p : sent) {
            CAN_PACKET got;
            ASSERT_TRUE(to.receive(&got).ok());
            EXPECT_TRUE(sameFrame(got, p, idMask));
        }
        EXPECT_EQ(to.count(), 0);
    }

    drv::LoopCards loop_;
    // card_: the first end's card, whose device the single-card cases ask.
    const Card &card_ = loop_.first();
    const Port a_ = loop_.a(), b_ = loop_.b();
};

// ---------------------------------------------------------------------------
// Registers and the LED

TEST_F(Driver, EachPortHasItsOwnRegisterWindow) {
    ASSERT_TRUE(a_.enterReset());
    ASSERT_TRUE(b_.enterReset());
    // The acceptance code registers are readable in reset mode.
    ASSERT_TRUE(a_.card().write(a_.addr(REG_ACR0), 0xA5).ok());
    ASSERT_TRUE(b_.card().write(b_.addr(REG_ACR0), 0x5A).ok());
    EXPECT_EQ(a_.reg(REG_ACR0), 0xA5);
    EXPECT_EQ(b_.reg(REG_ACR0), 0x5A);
    EXPECT_EQ(a_.reg(REG_MOD) & MOD_RM, MOD_RM);

    // The read answers in the record's data byte and leaves the rest alone.
    REG_ACCESS r{};
    r.reserved = 0x11223344;
    r.addr = b_.addr(REG_ACR0);
    r.pad[0] = 0x77;
    ASSERT_TRUE(b_.card().ask(REQ_REG_READ, &r).ok());
    EXPECT_EQ(r.data, 0x5A);
    EXPECT_EQ(r.addr, b_.addr(REG_ACR0));
    EXPECT_EQ(r.reserved, 0x11223344u);
}

TEST_F(Driver, AddressesOutsideTheCardAreRefused) {
    std::uint8_t v = 0;
    // Port 1's window of a board without a second channel answers ENXIO
    // (the case of its own is below).
    const bool second = drv::hasPort(card_, 1);
    for (unsigned addr :
         {0u, unsigned(REG_COUNT), unsigned(PCI5C3A_PORT_WINDOW - 1), unsigned(PCI5C3A_PORT_WINDOW),
          unsigned(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW - 1)}) {
        if (addr >= PCI5C3A_PORT_WINDOW && !second) continue;
        EXPECT_TRUE(card_.read(addr, &v).ok()) << "addr " << addr;
    }
    for (unsigned addr :
         {unsigned(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW),
          unsigned(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW + REG_MOD + 1), 0x80000000u, UINT_MAX}) {
        EXPECT_TRUE(card_.read(addr, &v).failedWith(EINVAL)) << "read addr " << addr;
        EXPECT_TRUE(card_.write(addr, 0).failedWith(EINVAL)) << "write addr " << addr;
    }
    // The refused writes reached no controller.
    EXPECT_EQ(a_.reg(REG_MOD) & MOD_RM, 0);
    EXPECT_EQ(b_.reg(REG_MOD) & MOD_RM, 0);
}

TEST_F(Driver, LedRegisterAndLastClose) {
    ASSERT_TRUE(card_.write(PCI5C3A_LED_ADDR, 0x5A).ok());
    std::uint8_t led = 0;
    ASSERT_TRUE(card_.read(PCI5C3A_LED_ADDR, &led).ok());
    EXPECT_EQ(led, 0x5A);
    // The LED register is no controller register: port 0 did not change.
    EXPECT_EQ(a_.reg(REG_MOD) & MOD_RM, 0);

    // REQ_LAST_CLOSE writes its data to the LED register, whatever the
    // address in the record says.
    ASSERT_TRUE(card_.lastClose(PCI5C3A_LED_ADDR, LED_AT_LAST_CLOSE).ok());
    ASSERT_TRUE(card_.read(PCI5C3A_LED_ADDR, &led).ok());
    EXPECT_EQ(led, LED_AT_LAST_CLOSE);
    ASSERT_TRUE(card_.lastClose(UINT_MAX, 0x00).ok());
    ASSERT_TRUE(card_.read(PCI5C3A_LED_ADDR, &led).ok());
    EXPECT_EQ(led, 0x00);
    // Port 0 keeps working after it.
    sendOk(a_, packet(0x100, 1));
    expectQueue(b_, {packet(0x100, 1)}, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// Frames

TEST_F(Driver, FramesOfEveryLengthCrossInOrderBothWays) {
    for (int end : {0, 1}) {
        const Port &from = end == 0 ? a_ : b_, &to = end == 0 ? b_ : a_;
        SCOPED_TRACE(testing::Message() << "from handle " << from.handle());
        std::vector<CAN_PACKET> sent;
        for (std::uint8_t len = 0; len <= 8; ++len) {
            CAN_PACKET p = packet(0x100 + len, len, std::uint8_t(0x10 * len + end));
            // Bytes beyond the length must not reach the wire.
            for (int i = len; i < 8; ++i) p.data[i] = 0xEE;
            sent.push_back(p);
            sendOk(from, p);
        }
        for (CAN_PACKET &p : sent)
            for (int i = p.len; i < 8; ++i) p.data[i] = 0;
        expectQueue(to, sent, SJA1000_STD_ID_MASK);
        // A sender never hears its own frames.
        EXPECT_EQ(from.count(), 0);
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
        ASSERT_TRUE(a_.setMode(c.mode).ok());
        ASSERT_TRUE(b_.setMode(1 - c.mode).ok());
        std::vector<CAN_PACKET> sent;
        for (std::uint32_t id : c.ids) {
            sent.push_back(packet(id, 2, std::uint8_t(id)));
            sendOk(a_, sent.back());
        }
        expectQueue(b_, sent, c.mask);
    }
}

TEST_F(Driver, SetModeRefusesBadHandlesAndModes) {
    for (unsigned mode : {2u, 3u, UINT_MAX})
        EXPECT_TRUE(a_.setMode(mode).failedWith(EINVAL)) << "mode " << mode;
    // A card's device knows its own two handles only.
    for (int h : foreignHandles(card_))
        EXPECT_TRUE(card_.setMode(h, PCI5C3A_ID_STANDARD).failedWith(EINVAL)) << "handle " << h;
    // Nothing changed: port 0 still sends 11-bit identifiers.
    sendOk(a_, packet(0x1FFFFFFF, 0));
    expectQueue(b_, {packet(0x1FFFFFFF, 0)}, SJA1000_STD_ID_MASK);
}

TEST_F(Driver, RemoteFramesCarryNoData) {
    for (unsigned mode : {PCI5C3A_ID_STANDARD, PCI5C3A_ID_EXTENDED}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        ASSERT_TRUE(a_.setMode(mode).ok());
        // Any non-zero rtr asks for a remote frame; its data never leaves.
        const std::vector<CAN_PACKET> sent = {packet(0x120, 0, 0x55, 1), packet(0x128, 0, 0x66, 0xFF),
                                              packet(0x130, 1)};
        for (const CAN_PACKET &p : sent) sendOk(a_, p);
        expectQueue(b_, sent, mode == PCI5C3A_ID_EXTENDED ? SJA1000_EXT_ID_MASK : SJA1000_STD_ID_MASK);
    }
}

TEST_F(Driver, RemoteFramesKeepTheirLengthCode) {
    const std::vector<CAN_PACKET> sent = {packet(0x140, 4, 0x77, 1), packet(0x148, 8, 0x88, 1),
                                          packet(0x150, 3)};
    for (const CAN_PACKET &p : sent) sendOk(a_, p);
    expectQueue(b_, sent, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// Refused sends

TEST_F(Driver, SendRefusesBadLengthsAndHandles) {
    for (std::uint8_t len : {9, 15, 16, 255})
        EXPECT_TRUE(a_.send(packet(0x10, len)).failedWith(EINVAL)) << "len " << int(len);
    for (int h : foreignHandles(card_))
        EXPECT_TRUE(card_.send(h, packet(0x10, 1)).failedWith(EINVAL)) << "handle " << h;
    // The record is judged before the controller: a bad length in reset
    // mode is still EINVAL.
    ASSERT_TRUE(a_.enterReset());
    EXPECT_TRUE(a_.send(packet(0x10, 9)).failedWith(EINVAL));
    ASSERT_TRUE(a_.configure(PCI5C3A_ID_STANDARD));
    // None of them reached the wire.
    EXPECT_EQ(b_.waitCount(1, std::chrono::milliseconds(50)), 0);
    sendOk(a_, packet(0x18, 8));
    expectQueue(b_, {packet(0x18, 8)}, SJA1000_STD_ID_MASK);
}

TEST_F(Driver, SendInResetModeOrListenOnlyIsAnIoError) {
    ASSERT_TRUE(a_.enterReset());
    EXPECT_TRUE(a_.send(packet(0x20, 1)).failedWith(EIO));
    // Listen-only, set in reset mode and kept when it is left.
    ASSERT_TRUE(a_.setReg(REG_MOD, MOD_RM | MOD_LOM));
    ASSERT_TRUE(a_.setReg(REG_MOD, MOD_LOM));
    ASSERT_EQ(a_.reg(REG_MOD) & (MOD_RM | MOD_LOM), MOD_LOM);
    EXPECT_TRUE(a_.send(packet(0x28, 1)).failedWith(EIO));
    EXPECT_EQ(b_.waitCount(1, std::chrono::milliseconds(50)), 0);
    ASSERT_TRUE(a_.configure(PCI5C3A_ID_STANDARD));
    sendOk(a_, packet(0x30, 1));
    expectQueue(b_, {packet(0x30, 1)}, SJA1000_STD_ID_MASK);
}

TEST_F(Driver, SendWhileBusOffIsAnIoError) {
    SKIP_ON_QEMU("error counters and bus-off");
    // 255 in the transmit error counter puts the chip bus-off as it leaves
    // reset mode.
    ASSERT_TRUE(a_.enterReset());
    ASSERT_TRUE(a_.setReg(REG_TXERR, 255));
    ASSERT_TRUE(a_.setReg(REG_MOD, 0));
    ASSERT_TRUE(test::eventually([&] { return (a_.reg(REG_SR) & SR_BS) != 0; }));
    EXPECT_TRUE(a_.send(packet(0x38, 1)).failedWith(EIO));
    // Clearing reset mode starts recovery; then the port sends again.
    ASSERT_TRUE(a_.setReg(REG_MOD, 0));
    ASSERT_TRUE(test::eventually([&] { return (a_.reg(REG_SR) & SR_BS) == 0; }));
    ASSERT_TRUE(a_.configure(PCI5C3A_ID_STANDARD));
    sendOk(a_, packet(0x40, 1));
    expectQueue(b_, {packet(0x40, 1)}, SJA1000_STD_ID_MASK);
}

TEST_F(Driver, SendWhileTheLastFrameIsPendingIsBusy) {
    SKIP_ON_QEMU("unacknowledged frames (a transmission completes at once, even alone)");
    // Nobody to acknowledge: the frame stays in the transmit buffer.
    ASSERT_TRUE(b_.enterReset());
    ASSERT_TRUE(a_.send(packet(0x48, 1)).ok());
    ASSERT_TRUE(
        test::eventually([&] { return (a_.reg(REG_SR) & SR_TBS) == 0; }, std::chrono::milliseconds(500)));
    EXPECT_TRUE(a_.send(packet(0x50, 1)).failedWith(EBUSY));
    // An abort releases the buffer.
    ASSERT_TRUE(a_.setReg(REG_CMR, CMD_AT));
    ASSERT_TRUE(a_.waitTransmitBuffer());
    ASSERT_TRUE(a_.configure(PCI5C3A_ID_STANDARD));
    ASSERT_TRUE(b_.configure(PCI5C3A_ID_STANDARD));
    b_.drain();
    sendOk(a_, packet(0x58, 1));
    expectQueue(b_, {packet(0x58, 1)}, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// The receive queue

TEST_F(Driver, ReceiveAndCountRefuseBadHandlesAndAnEmptyQueue) {
    CAN_PACKET p;
    EXPECT_TRUE(b_.receive(&p).failedWith(EAGAIN));
    for (int h : foreignHandles(card_)) {
        EXPECT_TRUE(card_.receive(h, &p).failedWith(EINVAL)) << "handle " << h;
        RCV_COUNT c{};
        c.handle = h;
        EXPECT_TRUE(card_.ask(REQ_RCV_COUNT, &c).failedWith(EINVAL)) << "handle " << h;
    }
    // The count answers in its field and keeps the handle.
    const Card &rx = b_.card();
    sendOk(a_, packet(0x60, 3));
    ASSERT_EQ(b_.waitCount(1), 1);
    RCV_COUNT c{};
    c.handle = b_.handle();
    ASSERT_TRUE(rx.ask(REQ_RCV_COUNT, &c).ok());
    EXPECT_EQ(c.count, 1);
    EXPECT_EQ(c.handle, b_.handle());
    // A bad handle does not take the message away.
    EXPECT_TRUE(rx.receive(foreignHandles(rx)[1] + b_.port(), &p).failedWith(EINVAL));
    MSG_XFER x{};
    x.handle = b_.handle();
    ASSERT_TRUE(rx.ask(REQ_RECEIVE, &x).ok());
    EXPECT_EQ(x.handle, b_.handle());
    EXPECT_TRUE(sameFrame(x.packet, packet(0x60, 3), SJA1000_STD_ID_MASK));
    EXPECT_TRUE(b_.receive(&p).failedWith(EAGAIN));
}

TEST_F(Driver, MessagesWaitInTheControllerUntilReceiveInterruptsAreOn) {
    ASSERT_TRUE(b_.setReg(REG_IER, 0));
    std::vector<CAN_PACKET> sent;
    for (std::uint8_t i = 0; i < 5; ++i) {
        sent.push_back(packet(0x200 + 8 * i, 8, std::uint8_t(8 * i)));
        sendOk(a_, sent.back());
    }
    EXPECT_NE(b_.reg(REG_SR) & SR_RBS, 0) << "the controller holds them";
    EXPECT_EQ(b_.count(), 0) << "the driver does not";
    // Enabling the receive interrupt moves them to the queue.
    ASSERT_TRUE(b_.setReg(REG_IER, IRQ_RI | IRQ_TI));
    expectQueue(b_, sent, SJA1000_STD_ID_MASK);
    EXPECT_EQ(b_.reg(REG_SR) & SR_RBS, 0);
}

TEST_F(Driver, TheQueueHolds1024MessagesAndDropsNewOnes) {
    constexpr int kLimit = 1024, kExtra = 40;
    const Port &rx = b_;
    for (int i = 0; i < kLimit + kExtra; ++i) {
        CAN_PACKET p = packet(std::uint32_t(i) & SJA1000_STD_ID_MASK, 2);
        p.data[0] = std::uint8_t(i >> 8);
        p.data[1] = std::uint8_t(i);
        sendOk(a_, p);
        if (HasFatalFailure()) return;
        // QEMU's controllers transmit at once, without the bus's pace: the
        // sender would outrun the receive interrupt (a vCPU the host has
        // not scheduled) and overrun the 64-byte FIFO. The frame leaves the
        // FIFO, queued or dropped, before the next one goes.
        if (drv::onQemu()) {
            ASSERT_TRUE(test::eventually([&] { return (rx.reg(REG_SR) & SR_RBS) == 0; }));
        }
    }
    ASSERT_EQ(rx.waitCount(kLimit), kLimit);
    // The frames beyond the limit left the controller too, and were dropped.
    ASSERT_TRUE(test::eventually([&] { return (rx.reg(REG_SR) & SR_RBS) == 0; }));
    EXPECT_EQ(rx.reg(REG_SR) & SR_DOS, 0) << "the controller overran: the driver fell behind";
    EXPECT_EQ(rx.count(), kLimit);
    int received = 0;
    for (int i = 0; i < kLimit; ++i) {
        CAN_PACKET got;
        ASSERT_TRUE(rx.receive(&got).ok()) << "message " << i;
        ASSERT_EQ(got.id, std::uint32_t(i) & SJA1000_STD_ID_MASK) << "the oldest are kept, in order";
        ASSERT_EQ((got.data[0] << 8) | got.data[1], i);
        ++received;
    }
    CAN_PACKET got;
    EXPECT_TRUE(rx.receive(&got).failedWith(EAGAIN));
    EXPECT_EQ(kLimit + kExtra - received, kExtra) << "dropped";
    // Room again.
    sendOk(a_, packet(0x7F8, 1));
    expectQueue(b_, {packet(0x7F8, 1)}, SJA1000_STD_ID_MASK);
    EXPECT_EQ(a_.count(), 0);
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
        record.handle = a_.handle();
        record.packet.len = 1;
        const Answer a = card_.ask(code, &record);
        EXPECT_TRUE(a.failedWith(ENOTTY))
            << "code 0x" << std::hex << code << ": " << a.result << " " << std::strerror(a.error);
        MSG_XFER same;
        std::memset(&same, 0xC5, sizeof same);
        same.handle = a_.handle();
        same.packet.len = 1;
        EXPECT_EQ(std::memcmp(&record, &same, sizeof record), 0) << "code 0x" << std::hex << code << " wrote";
        // An unknown code is judged before its record.
        EXPECT_TRUE(card_.ask(code, nullptr).failedWith(ENOTTY)) << "code 0x" << std::hex << code;
    }
    // Nothing was sent or changed.
    EXPECT_EQ(b_.waitCount(1, std::chrono::milliseconds(50)), 0);
    EXPECT_EQ(a_.reg(REG_MOD) & MOD_RM, 0);
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
    EXPECT_EQ(b_.waitCount(1, std::chrono::milliseconds(50)), 0);
}

TEST_F(Driver, RecordsAreReadAndWrittenNoFurtherThanTheirSize) {
    // Each record ends where an unmapped page begins: one byte too many
    // faults (in the process on the virtual card, EFAULT from a kernel).
    drv::GuardedPage page;
    ASSERT_TRUE(page.ok());
    const Card &rx = b_.card();
    auto *reg = static_cast<REG_ACCESS *>(page.atEnd(sizeof(REG_ACCESS)));
    *reg = REG_ACCESS{};
    reg->addr = a_.addr(REG_SR);
    EXPECT_TRUE(card_.ask(REQ_REG_READ, reg).ok());
    EXPECT_NE(reg->data & SR_TBS, 0);
    reg->addr = b_.addr(REG_IER);
    reg->data = IRQ_RI | IRQ_TI;
    EXPECT_TRUE(rx.ask(REQ_REG_WRITE, reg).ok());
    reg->addr = b_.addr(0);
    EXPECT_TRUE(rx.ask(REQ_PORT_CLOSE, reg).ok());

    auto *mode = static_cast<MODE_SET *>(page.atEnd(sizeof(MODE_SET)));
    *mode = MODE_SET{a_.handle(), PCI5C3A_ID_STANDARD};
    EXPECT_TRUE(card_.ask(REQ_SET_MODE, mode).ok());

    auto *flag = static_cast<unsigned short *>(page.atEnd(sizeof(unsigned short)));
    *flag = 0;
    for (const Port &p : {a_, b_})
        EXPECT_TRUE(p.card().ask(p.port() == 0 ? REQ_EVENT_PORT0 : REQ_EVENT_PORT1, flag).ok());

    auto *x = static_cast<MSG_XFER *>(page.atEnd(sizeof(MSG_XFER)));
    *x = MSG_XFER{};
    x->handle = a_.handle();
    x->packet = packet(0x68, 8, 0x30);
    EXPECT_TRUE(card_.ask(REQ_SEND, x).ok());
    ASSERT_EQ(b_.waitCount(1), 1);

    auto *count = static_cast<RCV_COUNT *>(page.atEnd(sizeof(RCV_COUNT)));
    *count = RCV_COUNT{};
    count->handle = b_.handle();
    EXPECT_TRUE(rx.ask(REQ_RCV_COUNT, count).ok());
    EXPECT_EQ(count->count, 1);

    *x = MSG_XFER{};
    x->handle = b_.handle();
    EXPECT_TRUE(rx.ask(REQ_RECEIVE, x).ok());
    EXPECT_TRUE(sameFrame(x->packet, packet(0x68, 8, 0x30), SJA1000_STD_ID_MASK));

    // REQ_LAST_CLOSE's record too (its effect, on the LED register, is
    // checked where QEMU allows).
    *reg = REG_ACCESS{};
    reg->data = LED_AT_LAST_CLOSE;
    EXPECT_TRUE(card_.ask(REQ_LAST_CLOSE, reg).ok());
}

TEST_F(Driver, NotificationRequestsTakeAFlagAndAPortAddress) {
    for (unsigned short flag : {1, 0, 0xFFFF, 0}) {
        EXPECT_TRUE(a_.events(flag).ok()) << "flag " << flag;
        EXPECT_TRUE(b_.events(flag).ok()) << "flag " << flag;
    }
    // REQ_PORT_CLOSE names the port by its window's base address.
    EXPECT_TRUE(a_.portClose().ok());
    EXPECT_TRUE(b_.portClose().ok());
    for (unsigned addr : {1u, unsigned(PCI5C3A_LED_ADDR), unsigned(PCI5C3A_PORT_WINDOW - 1),
                          unsigned(PCI5C3A_PORT_WINDOW + 1),
                          unsigned(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW), UINT_MAX})
        EXPECT_TRUE(card_.portClose(addr).failedWith(EINVAL)) << "addr " << addr;
    // Closing a port's notification leaves the port itself working.
    sendOk(a_, packet(0x70, 2));
    expectQueue(b_, {packet(0x70, 2)}, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// A port the board does not have

// A one-channel board (QEMU's kvaser_pci) has port 0 only: every request
// for its port 1 is refused with ENXIO, whatever the record, and the port
// it has keeps working.
TEST_F(Driver, RequestsForAPortTheBoardDoesNotHaveAreRefusedWithENXIO) {
    int missing = -1;
    for (int port : {1, 0})
        if (!drv::hasPort(card_, port)) missing = port;
    if (missing < 0) GTEST_SKIP() << "card " << card_.number() << " has both ports";
    const Port gone(card_, missing);
    std::uint8_t v = 0;
    for (unsigned reg : {unsigned(REG_MOD), unsigned(REG_SR), unsigned(REG_COUNT - 1)}) {
        EXPECT_TRUE(card_.read(gone.addr(reg), &v).failedWith(ENXIO)) << "read of register " << reg;
        EXPECT_TRUE(card_.write(gone.addr(reg), 0).failedWith(ENXIO)) << "write of register " << reg;
    }
    CAN_PACKET p;
    EXPECT_TRUE(gone.send(packet(0x88, 1)).failedWith(ENXIO));
    EXPECT_TRUE(gone.receive(&p).failedWith(ENXIO));
    RCV_COUNT c{};
    c.handle = gone.handle();
    EXPECT_TRUE(card_.ask(REQ_RCV_COUNT, &c).failedWith(ENXIO));
    EXPECT_TRUE(gone.setMode(PCI5C3A_ID_STANDARD).failedWith(ENXIO));
    EXPECT_TRUE(gone.events(1).failedWith(ENXIO));
    EXPECT_TRUE(gone.portClose().failedWith(ENXIO));
    sendOk(a_, packet(0x90, 2));
    expectQueue(b_, {packet(0x90, 2)}, SJA1000_STD_ID_MASK);
}

// ---------------------------------------------------------------------------
// The loop's description

TEST(LoopVariable, NamesTwoHandlesOfTheMachine) {
    test::Loop l;
    std::string error;
    ASSERT_TRUE(test::parseLoop("0:1", &l, &error));
    EXPECT_TRUE(l.oneCard());
    EXPECT_EQ(l.b.handle(), 1);
    ASSERT_TRUE(test::parseLoop("0:2", &l, &error));
    EXPECT_FALSE(l.oneCard());
    EXPECT_EQ(l.b.card, 1);
    EXPECT_EQ(l.b.port, 0);
    ASSERT_TRUE(test::parseLoop("7:4", &l, &error));
    EXPECT_EQ(l.a.card, 3);
    EXPECT_EQ(l.a.port, 1);
    for (const char *bad : {"", "0", "0:", ":1", "1:1", "0:8", "-1:0", "0:1:2", "a:b", "0 :1", "000:1"}) {
        error.clear();
        EXPECT_FALSE(test::parseLoop(bad, &l, &error)) << bad;
        EXPECT_NE(error.find('"'), std::string::npos) << bad << ": the message quotes the value";
    }
}

// ---------------------------------------------------------------------------
// Two cards

// Two cards, each with both ports on a cable of its own.
class TwoCards : public Driver {
protected:
    void SetUp() override {
        if (!loop_.oneCard()) GTEST_SKIP() << "the loop spans two cards: they share one cable";
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
    Card second_{card_.number() + 1};
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

    sendOk(a_, packet(0x80, 1, 0xC0));
    ASSERT_TRUE(second_.waitTransmitBuffer(0));
    ASSERT_TRUE(second_.send(second_.handle(0), packet(0x1ABCDEF0, 2, 0xC1)).ok());
    ASSERT_TRUE(second_.waitTransmitBuffer(0));
    expectQueue(b_, {packet(0x80, 1, 0xC0)}, SJA1000_STD_ID_MASK);
    ASSERT_EQ(second_.waitCount(second_.handle(1), 1), 1);
    CAN_PACKET got;
    ASSERT_TRUE(second_.receive(second_.handle(1), &got).ok());
    EXPECT_TRUE(sameFrame(got, packet(0x1ABCDEF0, 2, 0xC1), SJA1000_EXT_ID_MASK));
    EXPECT_EQ(second_.count(second_.handle(1)), 0) << "card 0's frame reached card 1";
    for (const Card *c : {&card_, static_cast<const Card *>(&second_)}) EXPECT_EQ(c->count(c->handle(0)), 0);
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
