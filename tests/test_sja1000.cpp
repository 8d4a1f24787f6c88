// SPDX-License-Identifier: MIT
// The virtual card's controller and wire model, driven directly through its
// registers: access rules, receive FIFO, acceptance filter, transmission,
// error handling and interrupts, as the SJA1000 data sheet describes them.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "hw_cards.h"
#include "sja1000.h"

using namespace vcard;

namespace {

constexpr std::uint8_t kBtr1Fast = 0x14;  // BTR0 0: 16 clocks per bit (1 Mbit/s)
constexpr std::uint8_t kBtr1Slow = 0x1C;  // BTR0 0: 32 clocks per bit (500 kbit/s)
constexpr BitTime kFast = 16;

struct Filter {
    std::array<std::uint8_t, 4> code{};
    std::array<std::uint8_t, 4> mask{0xFF, 0xFF, 0xFF, 0xFF};
};

// Reset mode, filter, bus timing, then the mode byte (AFM leaves reset with
// the single filter, as the library does).
void configure(Sja1000 &c, std::uint8_t btr1 = kBtr1Fast, std::uint8_t mode = MOD_AFM, const Filter &f = {}) {
    c.write(REG_MOD, MOD_RM);
    for (unsigned i = 0; i < 4; ++i) {
        c.write(REG_ACR0 + i, f.code[i]);
        c.write(REG_AMR0 + i, f.mask[i]);
    }
    c.write(REG_BTR0, 0);
    c.write(REG_BTR1, btr1);
    c.write(REG_MOD, mode);
}

Frame make(std::uint32_t id, std::initializer_list<std::uint8_t> data, bool extended = false,
           bool rtr = false) {
    Frame f;
    f.id = id;
    f.extended = extended;
    f.rtr = rtr;
    f.len = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

// Transmit buffer layout written out by hand: frame info, identifier, data.
void request(Sja1000 &c, const Frame &f, std::uint8_t command = CMD_TR) {
    std::vector<std::uint8_t> b{
        static_cast<std::uint8_t>((f.extended ? 0x80 : 0) | (f.rtr ? 0x40 : 0) | f.len)};
    if (f.extended) {
        for (int shift : {21, 13, 5}) b.push_back(static_cast<std::uint8_t>(f.id >> shift));
        b.push_back(static_cast<std::uint8_t>(f.id << 3));
    } else {
        b.push_back(static_cast<std::uint8_t>(f.id >> 3));
        b.push_back(static_cast<std::uint8_t>(f.id << 5));
    }
    for (unsigned i = 0; i < f.len && !f.rtr; ++i) b.push_back(f.data[i]);
    for (unsigned i = 0; i < b.size(); ++i) c.write(REG_FRAME + i, b[i]);
    c.write(REG_CMR, command);
}

std::vector<std::uint8_t> window(const Sja1000 &c, unsigned n) {
    std::vector<std::uint8_t> v;
    for (unsigned i = 0; i < n; ++i) v.push_back(c.peek(REG_FRAME + i));
    return v;
}

using Bytes = std::vector<std::uint8_t>;

// One controller on a wire; frames arrive from a node outside at its bit rate.
struct Receiver : ::testing::Test {
    Sja1000 c;
    Wire wire;
    void SetUp() override {
        wire.attach(&c);
        configure(c);
    }
    bool feed(const Frame &f, BitTime bit_time = kFast) { return wire.external_transmit(f, bit_time); }
    bool accepted(const Frame &f) {
        const unsigned before = c.peek(REG_RMC);
        feed(f);
        return c.peek(REG_RMC) > before;
    }
    void filter(const Filter &f, std::uint8_t mode = MOD_AFM) { configure(c, kBtr1Fast, mode, f); }
};

// Two controllers (and room for a third) on one wire.
struct Bus : ::testing::Test {
    Sja1000 a, b, c;
    Wire wire;
    void SetUp() override {
        wire.attach(&a);
        wire.attach(&b);
        wire.attach(&c);
    }
};

// ---------------------------------------------------------------------------

TEST(Registers, PowerUpStateAndUndecodedAddresses) {
    Sja1000 c;
    EXPECT_EQ(c.peek(REG_MOD), MOD_RM);
    EXPECT_EQ(c.peek(REG_SR), 0x3C);
    EXPECT_EQ(c.peek(REG_EWLR), 96);
    EXPECT_EQ(c.peek(REG_CDR), CDR_PELICAN);
    for (unsigned r :
         std::initializer_list<unsigned>{REG_CMR, REG_IR, REG_IER, REG_BTR0, REG_BTR1, REG_ALC, REG_ECC,
                                         REG_RXERR, REG_TXERR, REG_RMC, REG_RBSA, 24, 28})
        EXPECT_EQ(c.peek(r), 0) << "register " << r;
    for (unsigned r = REG_COUNT; r < 128; ++r) {
        c.write(r, 0x5A);
        EXPECT_EQ(c.read(r), 0) << "register " << r;
    }
    EXPECT_FALSE(c.interrupt_pending());
}

TEST(Registers, ModeBitsFollowTheResetModeRule) {
    Sja1000 c;
    c.write(REG_MOD, MOD_AFM);  // one write selects the filter and leaves reset
    EXPECT_EQ(c.peek(REG_MOD), MOD_AFM);
    EXPECT_EQ(c.peek(REG_SR) & (SR_RS | SR_TS), 0);
    c.write(REG_MOD, MOD_LOM | MOD_STM);  // operating mode: kept as they are
    EXPECT_EQ(c.peek(REG_MOD), MOD_AFM);
    c.write(REG_MOD, MOD_RM | MOD_LOM);  // entering reset does not take LOM yet
    EXPECT_EQ(c.peek(REG_MOD), MOD_RM | MOD_AFM);
    EXPECT_EQ(c.peek(REG_SR) & (SR_RS | SR_TS), SR_RS | SR_TS);
    c.write(REG_MOD, MOD_RM | MOD_LOM);
    EXPECT_EQ(c.peek(REG_MOD), MOD_RM | MOD_LOM);
}

TEST(Registers, ConfigurationWritableOnlyInResetMode) {
    Sja1000 c;
    const unsigned regs[] = {REG_BTR0, REG_BTR1, REG_OCR, REG_EWLR, REG_RXERR, REG_TXERR, REG_RBSA};
    for (unsigned r : regs) c.write(r, 0x21);
    c.write(REG_CDR, 0xFF);  // bit 4 reserved
    for (unsigned r = REG_ACR0; r <= REG_AMR3; ++r) c.write(r, static_cast<std::uint8_t>(r));
    c.write(24, 0x77);
    c.write(REG_MOD, MOD_AFM);
    for (unsigned r : regs) c.write(r, 0x42);
    c.write(REG_SR, 0xFF);
    c.write(REG_IR, 0xFF);
    c.write(REG_IER, 0x83);  // always writable
    c.write(REG_CDR, 0x08);  // only the divider bits change in operating mode
    c.write(REG_MOD, MOD_RM | MOD_AFM);
    for (unsigned r : regs) EXPECT_EQ(c.peek(r), 0x21) << "register " << r;
    for (unsigned r = REG_ACR0; r <= REG_AMR3; ++r) EXPECT_EQ(c.peek(r), r);
    EXPECT_EQ(c.peek(24), 0);
    EXPECT_EQ(c.peek(REG_CDR), 0xE8);
    EXPECT_EQ(c.peek(REG_IER), 0x83);
    EXPECT_EQ(c.peek(REG_IR), 0);
    EXPECT_EQ(c.read(REG_CMR), 0);
    EXPECT_EQ(c.bit_time(), 2u * (0x21 + 1) * (3 + 1 + 2));  // BRP 33, TSEG2 2, TSEG1 1
}

// ---------------------------------------------------------------------------

TEST_F(Receiver, FramesAppearInTheWindowOldestFirst) {
    ASSERT_TRUE(feed(make(0x123, {0xA1, 0xB2})));
    ASSERT_TRUE(feed(make(0x1ABCDEF5, {1, 2, 3}, true)));
    ASSERT_TRUE(feed(make(0x7FF, {}, false, true)));
    ASSERT_TRUE(feed(make(0x00000001, {}, true, true)));
    EXPECT_EQ(c.peek(REG_RMC), 4);
    EXPECT_EQ(c.peek(REG_SR) & SR_RBS, SR_RBS);
    EXPECT_EQ(window(c, 5), (Bytes{0x02, 0x24, 0x60, 0xA1, 0xB2}));
    c.write(REG_CMR, CMD_RRB);
    EXPECT_EQ(c.peek(REG_RBSA), 5);
    EXPECT_EQ(window(c, 8), (Bytes{0x83, 0xD5, 0xE6, 0xF7, 0xA8, 1, 2, 3}));
    c.write(REG_CMR, CMD_RRB);
    EXPECT_EQ(window(c, 3), (Bytes{0x40, 0xFF, 0xF0}));  // remote: DLC 0, RTR in the identifier bytes
    c.write(REG_CMR, CMD_RRB);
    EXPECT_EQ(window(c, 5), (Bytes{0xC0, 0x00, 0x00, 0x00, 0x0C}));
    c.write(REG_CMR, CMD_RRB);
    EXPECT_EQ(c.peek(REG_RMC), 0);
    EXPECT_EQ(c.peek(REG_SR) & SR_RBS, 0);
    c.write(REG_CMR, CMD_RRB);  // nothing left to release
    EXPECT_EQ(c.peek(REG_RBSA), 5 + 8 + 3 + 5);
}

TEST_F(Receiver, RemoteFrameKeepsItsLengthCodeWithoutData) {
    Frame f = make(0x10, {9, 9, 9}, false, true);
    feed(f);
    EXPECT_EQ(window(c, 4), (Bytes{0x43, 0x02, 0x10, 0x00}));
    c.write(REG_CMR, CMD_RRB);
    EXPECT_EQ(c.peek(REG_RBSA), 3);
}

TEST_F(Receiver, WindowWrapsAroundTheFifoEnd) {
    c.write(REG_MOD, MOD_RM);
    c.write(REG_RBSA, 60);
    c.write(REG_MOD, MOD_AFM);
    feed(make(0x1ABCDEF5, {1, 2, 3, 4, 5, 6, 7, 8}, true));
    EXPECT_EQ(window(c, 13), (Bytes{0x88, 0xD5, 0xE6, 0xF7, 0xA8, 1, 2, 3, 4, 5, 6, 7, 8}));
    c.write(REG_CMR, CMD_RRB);
    EXPECT_EQ(c.peek(REG_RBSA), (60 + 13) % 64);
}

TEST_F(Receiver, OverrunAtTheSixtyFourByteLimit) {
    c.write(REG_IER, IRQ_DOI);
    const Frame eleven = make(0x55, {1, 2, 3, 4, 5, 6, 7, 8});
    for (int i = 0; i < 5; ++i) feed(eleven);  // 55 bytes
    EXPECT_EQ(c.peek(REG_SR) & SR_DOS, 0);
    feed(eleven);  // 66 would not fit
    EXPECT_EQ(c.peek(REG_RMC), 5);
    EXPECT_EQ(c.peek(REG_SR) & SR_DOS, SR_DOS);
    EXPECT_EQ(c.read(REG_IR), IRQ_DOI);
    feed(eleven);  // DOS already set: no new interrupt
    EXPECT_EQ(c.read(REG_IR), 0);
    c.write(REG_CMR, CMD_CDO);
    EXPECT_EQ(c.peek(REG_SR) & SR_DOS, 0);

    const Frame thirteen = make(0x1ABCDEF5, {1, 2, 3, 4, 5, 6, 7, 8}, true);
    c.write(REG_MOD, MOD_RM);  // empties the FIFO, keeps RBSA
    const std::uint8_t rbsa = c.peek(REG_RBSA);
    c.write(REG_MOD, MOD_AFM);
    EXPECT_EQ(c.peek(REG_RMC), 0);
    for (int i = 0; i < 5; ++i) feed(thirteen);  // 4 x 13 = 52, the fifth is lost
    EXPECT_EQ(c.peek(REG_RMC), 4);
    EXPECT_EQ(c.peek(REG_SR) & SR_DOS, SR_DOS);
    c.write(REG_CMR, CMD_RRB | CMD_CDO);
    feed(thirteen);
    EXPECT_EQ(c.peek(REG_RMC), 4);
    EXPECT_EQ(c.peek(REG_SR) & SR_DOS, 0);
    EXPECT_EQ(c.peek(REG_RBSA), (rbsa + 13) % 64);
}

// Every frame on the wire lands in one receive counter; every stored one is
// in the FIFO, released or flushed by reset mode.
TEST_F(Receiver, CountersAccountForEveryFrameOnTheWire) {
    const Frame thirteen = make(0x1ABCDEF5, {1, 2, 3, 4, 5, 6, 7, 8}, true);
    for (int i = 0; i < 6; ++i) feed(thirteen);        // 4 fit, 2 overrun
    c.write(REG_CMR, CMD_RRB);                         // one released
    feed(make(0x1ABCDEF5, {}, true), 2 * kFast);       // another bit rate
    filter({{0x12, 0, 0, 0}, {0, 0xFF, 0xFF, 0xFF}});  // reset mode: 3 flushed; then only 0x12...
    feed(make(0x555, {}));                             // refused by the filter
    feed(make(0x12 << 3, {}));                         // stored
    c.write(REG_MOD, MOD_RM);                          // 1 flushed
    feed(make(0x12 << 3, {}));                         // in reset mode: not received

    const ReceiveCounters r = c.receive_counters();
    EXPECT_EQ(r.stored, 5u);
    EXPECT_EQ(r.overrun, 2u);
    EXPECT_EQ(r.filtered, 1u);
    EXPECT_EQ(r.not_received, 2u);
    EXPECT_EQ(r.flushed, 4u);
    EXPECT_EQ(c.fifo_frames(), 0u);
    EXPECT_EQ(r.stored + r.overrun + r.filtered + r.not_received, 10u);  // every frame fed
}

TEST_F(Receiver, TwentyOneSmallestFramesFill) {
    for (int i = 0; i < 22; ++i) feed(make(static_cast<std::uint32_t>(i), {}));
    EXPECT_EQ(c.peek(REG_RMC), 21);
    EXPECT_EQ(c.peek(REG_SR) & SR_DOS, SR_DOS);
    c.write(REG_MOD, MOD_RM);
    EXPECT_EQ(c.peek(REG_RMC), 0);
    EXPECT_EQ(c.peek(REG_SR) & (SR_RBS | SR_DOS), 0);
    EXPECT_EQ(c.peek(REG_CDR), CDR_PELICAN);
}

// ---------------------------------------------------------------------------
// Acceptance filter, with the bytes the library writes for its identifiers.

TEST_F(Receiver, SingleFilterStandardFrames) {
    // accCode 0x123, accMask 0, RTR don't care.
    filter({{0x24, 0x60 | AF_SFF_RTR, 0, 0}, {0x00, AF_SFF_RTR, 0xFF, 0xFF}});
    EXPECT_TRUE(accepted(make(0x123, {1})));
    EXPECT_TRUE(accepted(make(0x123, {}, false, true)));
    EXPECT_FALSE(accepted(make(0x122, {1})));
    EXPECT_FALSE(accepted(make(0x1A3, {1})));
    EXPECT_FALSE(accepted(make(0x123, {1}, true)));
    // RTR compared; low nibble of code/mask 1 unused.
    filter({{0x24, 0x60 | AF_SFF_RTR | 0x0F, 0, 0}, {0, 0, 0xFF, 0xFF}});
    EXPECT_TRUE(accepted(make(0x123, {}, false, true)));
    EXPECT_FALSE(accepted(make(0x123, {1})));
    // Data bytes 1 and 2 compared only when the frame has them.
    filter({{0, 0, 0x55, 0x66}, {0xFF, 0xF0, 0x00, 0x00}});
    EXPECT_TRUE(accepted(make(0x321, {0x55, 0x66, 7})));
    EXPECT_FALSE(accepted(make(0x321, {0x55, 0x67})));
    EXPECT_FALSE(accepted(make(0x321, {0x54})));
    EXPECT_TRUE(accepted(make(0x321, {0x55})));
    EXPECT_TRUE(accepted(make(0x321, {})));
    EXPECT_TRUE(accepted(make(0x321, {1, 2}, false, true)));
    // The library's default: everything passes.
    filter({{0, AF_SFF_RTR, 0, 0}, {0xFF, 0xF0, 0xFF, 0xFF}});
    EXPECT_TRUE(accepted(make(0x7FF, {1, 2})));
    EXPECT_TRUE(accepted(make(0x000, {}, false, true)));
}

TEST_F(Receiver, SingleFilterExtendedFrames) {
    // accCode 0x1ABCDEF5, accMask 0x0000000F, RTR don't care.
    filter({{0xD5, 0xE6, 0xF7, 0xA8}, {0x00, 0x00, 0x00, 0x78 | AF_EFF_RTR}});
    EXPECT_TRUE(accepted(make(0x1ABCDEF5, {}, true)));
    EXPECT_TRUE(accepted(make(0x1ABCDEF0, {1}, true, true)));
    EXPECT_FALSE(accepted(make(0x1ABCDEE5, {}, true)));
    EXPECT_FALSE(accepted(make(0x0ABCDEF5, {}, true)));
    EXPECT_FALSE(accepted(make(0x1ABCDEF5 & 0x7FF, {})));
    // RTR compared; bits 1-0 unused.
    filter({{0xD5, 0xE6, 0xF7, 0xA8 | AF_EFF_RTR | 0x03}, {0, 0, 0, 0}});
    EXPECT_TRUE(accepted(make(0x1ABCDEF5, {}, true, true)));
    EXPECT_FALSE(accepted(make(0x1ABCDEF5, {}, true)));
}

TEST_F(Receiver, DualFilter) {
    // Standard: filter 1 = 0x123 with data byte 1 = 0x5A (nibbles in
    // code 1 and code 3), filter 2 = 0x456 any data; RTR cleared in both.
    filter({{0x24, 0x60 | 0x05, 0x8A, 0xC0 | 0x0A}, {0, 0, 0, 0}}, 0);
    EXPECT_TRUE(accepted(make(0x123, {0x5A, 1})));
    EXPECT_TRUE(accepted(make(0x123, {})));
    EXPECT_FALSE(accepted(make(0x123, {0x5B})));
    EXPECT_FALSE(accepted(make(0x123, {0x4A})));
    EXPECT_TRUE(accepted(make(0x456, {0x00})));
    EXPECT_FALSE(accepted(make(0x456, {}, false, true)));
    EXPECT_FALSE(accepted(make(0x124, {0x5A})));
    // Extended: ID.28-13 against code 0/1 or code 2/3.
    filter({{0xD5, 0xE6, 0x01, 0x02}, {0, 0, 0, 0}}, 0);
    EXPECT_TRUE(accepted(make(0x1ABCDEF5, {}, true)));
    EXPECT_TRUE(accepted(make(0x1ABCC000, {}, true, true)));
    EXPECT_TRUE(accepted(make((0x01u << 21) | (0x02u << 13) | 0x1FFF, {}, true)));
    EXPECT_FALSE(accepted(make(0x1ABDDEF5, {}, true)));
}

// ---------------------------------------------------------------------------

TEST_F(Bus, FrameAcknowledgedAtEqualBitTime) {
    a.write(REG_TXERR, 5);
    b.write(REG_RXERR, 3);
    configure(a);
    configure(b);
    a.write(REG_IER, IRQ_TI);
    b.write(REG_IER, IRQ_RI);
    request(a, make(0x321, {0xDE, 0xAD}));
    EXPECT_EQ(a.peek(REG_SR), SR_TBS | SR_TCS);
    EXPECT_EQ(a.read(REG_IR), IRQ_TI);
    EXPECT_EQ(a.peek(REG_TXERR), 4);
    EXPECT_EQ(b.peek(REG_RXERR), 2);
    EXPECT_EQ(window(b, 5), (Bytes{0x02, 0x64, 0x20, 0xDE, 0xAD}));
    EXPECT_TRUE(b.interrupt_pending());
    request(a, make(0x1ABCDEF5, {}, true, true));  // extended remote frame
    EXPECT_EQ(b.peek(REG_RMC), 2);
    EXPECT_EQ(c.peek(REG_RMC), 0);  // still in reset mode
}

TEST_F(Bus, DifferentBitTimeIsABusErrorForTheReceiver) {
    configure(a, kBtr1Fast);
    configure(b, kBtr1Slow);
    b.write(REG_IER, IRQ_BEI);
    request(a, make(0x100, {1}));
    // Nobody at a's bit rate: a retries until error passive (16 attempts),
    // each one an erroneous frame for b.
    EXPECT_EQ(a.peek(REG_TXERR), 128);
    EXPECT_EQ(b.peek(REG_RXERR), 16);
    EXPECT_EQ(b.peek(REG_RMC), 0);
    EXPECT_EQ(b.read(REG_ECC), 0xA2);  // stuff error, receiving, in ID.28-21
    EXPECT_EQ(b.read(REG_IR), IRQ_BEI);
    // A node at a's bit rate appears: the pending frame goes.
    configure(c, kBtr1Fast);
    EXPECT_EQ(a.peek(REG_SR) & (SR_TBS | SR_TCS | SR_TS), SR_TBS | SR_TCS);
    EXPECT_EQ(c.peek(REG_RMC), 1);
    EXPECT_EQ(b.peek(REG_RXERR), 17);
}

TEST_F(Bus, ListenOnlyReceivesOnlyAcknowledgedFrames) {
    configure(a);
    configure(b, kBtr1Fast, MOD_AFM | MOD_LOM);
    request(a, make(0x10, {1}));
    EXPECT_EQ(b.peek(REG_RMC), 0);  // destroyed by a's error flag
    EXPECT_EQ(a.peek(REG_SR) & SR_TBS, 0);
    configure(c);
    EXPECT_EQ(b.peek(REG_RMC), 1);
    EXPECT_EQ(c.peek(REG_RMC), 1);
    EXPECT_TRUE(wire.external_transmit(make(0x11, {}), kFast));
    a.write(REG_MOD, MOD_RM);
    configure(c, kBtr1Slow);
    EXPECT_FALSE(wire.external_transmit(make(0x12, {}), kFast));  // b does not acknowledge
    EXPECT_EQ(b.peek(REG_RMC), 2);
}

TEST_F(Bus, SelfTestAndSelfReception) {
    configure(a, kBtr1Fast, MOD_AFM | MOD_STM);
    request(a, make(0x42, {7}), CMD_SRR);
    EXPECT_EQ(a.peek(REG_SR), SR_RBS | SR_TBS | SR_TCS);
    EXPECT_EQ(a.peek(REG_TXERR), 0);
    EXPECT_EQ(window(a, 4), (Bytes{0x01, 0x08, 0x40, 7}));
    configure(a);
    configure(b);
    request(a, make(0x43, {}), CMD_SRR);
    EXPECT_EQ(a.peek(REG_RMC), 1);
    EXPECT_EQ(b.peek(REG_RMC), 1);
    request(a, make(0x44, {}));
    EXPECT_EQ(a.peek(REG_RMC), 1);
}

TEST_F(Bus, PendingFrameUntilAbortedOrReset) {
    configure(a);
    a.write(REG_IER, IRQ_TI);
    request(a, make(0x10, {1}));
    EXPECT_EQ(a.peek(REG_SR) & (SR_TBS | SR_TCS | SR_TS), SR_TS);
    request(a, make(0x20, {2}));  // buffer locked, TR ignored
    a.write(REG_CMR, CMD_AT);
    EXPECT_EQ(a.peek(REG_SR) & (SR_TBS | SR_TCS | SR_TS), SR_TBS);
    EXPECT_EQ(a.read(REG_IR), IRQ_TI);  // buffer released, TCS tells it was not sent
    request(a, make(0x30, {3}));
    a.write(REG_MOD, MOD_RM);  // reset mode cancels it
    EXPECT_EQ(a.peek(REG_SR) & SR_TBS, SR_TBS);
    a.write(REG_CMR, CMD_TR);  // no commands in reset mode
    a.write(REG_MOD, MOD_AFM);
    configure(b);
    EXPECT_EQ(b.peek(REG_RMC), 0);
    request(a, make(0x40, {4}));
    EXPECT_EQ(window(b, 4), (Bytes{0x01, 0x08, 0x00, 4}));
}

TEST_F(Bus, SingleShotMakesOneAttempt) {
    configure(a);
    request(a, make(0x10, {}), CMD_TR | CMD_AT);
    EXPECT_EQ(a.peek(REG_TXERR), 8);
    EXPECT_EQ(a.peek(REG_SR) & (SR_TBS | SR_TCS), SR_TBS);
    configure(b);
    EXPECT_EQ(b.peek(REG_RMC), 0);
}

TEST_F(Bus, AcknowledgeErrorsStopAtErrorPassive) {
    configure(a);
    a.write(REG_IER, IRQ_EI | IRQ_EPI | IRQ_BEI);
    request(a, make(0x10, {}));
    EXPECT_EQ(a.peek(REG_TXERR), 128);
    EXPECT_EQ(a.peek(REG_SR), SR_TS | SR_ES);
    EXPECT_EQ(a.read(REG_IR), IRQ_EI | IRQ_EPI | IRQ_BEI);
    EXPECT_EQ(a.read(REG_ECC), 0xD9);  // other error, transmitting, acknowledge slot
    for (int i = 0; i < 40; ++i) wire.arbitrate();
    EXPECT_EQ(a.peek(REG_TXERR), 128);  // an error-passive transmitter's ack error does not count
    EXPECT_EQ(a.peek(REG_SR) & SR_BS, 0);
    EXPECT_EQ(a.read(REG_IR), IRQ_BEI);
    configure(b);
    EXPECT_EQ(a.peek(REG_TXERR), 127);
    EXPECT_EQ(a.read(REG_IR), IRQ_EPI);  // back to error active
}

TEST_F(Bus, BusOffForcedByTxerrAndRecovery) {
    a.write(REG_IER, IRQ_EI);
    a.write(REG_TXERR, 255);
    a.write(REG_MOD, MOD_AFM);
    EXPECT_EQ(a.peek(REG_MOD), MOD_RM | MOD_AFM);  // the controller went back to reset mode
    EXPECT_EQ(a.peek(REG_SR), SR_BS | SR_ES | SR_RS | SR_TS | SR_TBS | SR_TCS);
    EXPECT_EQ(a.peek(REG_TXERR), 127);
    EXPECT_EQ(a.peek(REG_RXERR), 0);
    EXPECT_EQ(a.read(REG_IR), IRQ_EI);
    EXPECT_FALSE(a.in_operating_mode());
    a.write(REG_MOD, MOD_AFM);  // recovery
    EXPECT_EQ(a.peek(REG_MOD), MOD_AFM);
    EXPECT_EQ(a.peek(REG_SR), SR_TBS | SR_TCS);
    EXPECT_EQ(a.peek(REG_TXERR), 0);
    EXPECT_EQ(a.read(REG_IR), IRQ_EI);
}

TEST_F(Bus, CountersAndLimitTakeEffectWhenResetIsLeft) {
    a.write(REG_IER, IRQ_EI | IRQ_EPI);
    a.write(REG_EWLR, 10);
    a.write(REG_RXERR, 200);
    a.write(REG_BTR1, kBtr1Fast);
    EXPECT_EQ(a.peek(REG_SR) & SR_ES, 0);
    EXPECT_EQ(a.peek(REG_IR), 0);
    a.write(REG_MOD, MOD_AFM);
    EXPECT_EQ(a.peek(REG_SR) & SR_ES, SR_ES);
    EXPECT_EQ(a.read(REG_IR), IRQ_EI | IRQ_EPI);
    a.write(REG_RXERR, 0);  // operating mode: ignored
    a.write(REG_TXERR, 255);
    EXPECT_EQ(a.peek(REG_RXERR), 200);
    EXPECT_EQ(a.peek(REG_TXERR), 0);
    configure(b);
    request(b, make(1, {}));
    EXPECT_EQ(a.peek(REG_RXERR), 127);  // a valid frame brings a passive receiver to 127
    EXPECT_EQ(a.read(REG_IR), IRQ_EPI);
}

TEST_F(Bus, ReceiveErrorCounterSaturates) {
    a.write(REG_RXERR, 254);
    configure(a, kBtr1Slow);
    configure(b);
    configure(c);
    request(b, make(1, {}));
    request(b, make(2, {}));
    EXPECT_EQ(a.peek(REG_RXERR), 255);
    EXPECT_EQ(a.peek(REG_SR) & SR_BS, 0);
}

TEST_F(Bus, ErrorCaptureHoldsUntilRead) {
    configure(a, kBtr1Slow);
    configure(b);
    a.write(REG_IER, IRQ_BEI);
    wire.external_transmit(make(1, {}), kFast);
    EXPECT_EQ(a.read(REG_IR), IRQ_BEI);
    EXPECT_EQ(a.peek(REG_ECC), 0xA2);
    // Next error: counted, but neither captured nor interrupting before
    // the capture register has been read.
    wire.external_transmit(make(2, {}), kFast);
    EXPECT_EQ(a.read(REG_IR), 0);
    EXPECT_EQ(a.read(REG_ECC), 0xA2);
    b.write(REG_MOD, MOD_RM);  // now nobody acknowledges at 1 Mbit/s
    configure(c);
    request(c, make(3, {}), CMD_TR | CMD_AT);
    EXPECT_EQ(a.read(REG_IR), IRQ_BEI);
    EXPECT_EQ(a.peek(REG_ECC), 0xA2);
    EXPECT_EQ(c.peek(REG_ECC), 0xD9);
    EXPECT_EQ(a.peek(REG_RXERR), 3);
}

// ---------------------------------------------------------------------------
// Arbitration: the arbitration field compared bit by bit, dominant winning.

TEST(Arbitration, OrderAndLostBitPosition) {
    bool a_wins = false;
    EXPECT_EQ(arbitration_difference(make(0x100, {}), make(0x101, {}), &a_wins), 10);
    EXPECT_TRUE(a_wins);
    EXPECT_EQ(arbitration_difference(make(0x400, {}), make(0x000, {}), &a_wins), 0);
    EXPECT_FALSE(a_wins);
    // Data beats remote: the RTR bit (11 standard, 31 extended).
    EXPECT_EQ(arbitration_difference(make(0x10, {}, false, true), make(0x10, {}), &a_wins), 11);
    EXPECT_FALSE(a_wins);
    EXPECT_EQ(arbitration_difference(make(0x10, {}, true), make(0x10, {}, true, true), &a_wins), 31);
    EXPECT_TRUE(a_wins);
    // Standard beats extended with the same base identifier: SRR, or IDE.
    EXPECT_EQ(arbitration_difference(make(0x10u << 18, {}, true), make(0x10, {}), &a_wins), 11);
    EXPECT_FALSE(a_wins);
    EXPECT_EQ(arbitration_difference(make(0x10u << 18, {}, true), make(0x10, {}, false, true), &a_wins), 12);
    EXPECT_FALSE(a_wins);
    EXPECT_EQ(arbitration_difference(make(0x1, {}, true), make(0x0, {}, true), &a_wins), 30);
    EXPECT_EQ(arbitration_difference(make(0x7, {1}), make(0x7, {2}), &a_wins), -1);
}

// Frames can only be pending together on the event-level bus when their
// transmitters were asleep: bus activity wakes them at the same moment.
TEST_F(Bus, SleepingNodesWokenTogetherArbitrate) {
    configure(a);
    configure(b);
    configure(c);
    a.write(REG_IER, IRQ_ALI | IRQ_WUI);
    auto contest = [this](const Frame &from_a, const Frame &from_b) {
        a.write(REG_MOD, MOD_AFM | MOD_SM);
        b.write(REG_MOD, MOD_AFM | MOD_SM);
        EXPECT_EQ(a.peek(REG_MOD), MOD_AFM | MOD_SM);
        request(a, from_a);  // held while asleep
        request(b, from_b);
        EXPECT_TRUE(wire.external_transmit(make(0x7FF, {}), kFast));  // wakes both
        EXPECT_EQ(a.peek(REG_MOD), MOD_AFM);
    };
    contest(make(0x101, {0xA}), make(0x100, {0xB}));
    EXPECT_EQ(c.peek(REG_RMC), 3);
    EXPECT_EQ(window(c, 3), (Bytes{0x00, 0xFF, 0xE0}));  // the waking frame
    c.write(REG_CMR, CMD_RRB);
    EXPECT_EQ(window(c, 4), (Bytes{0x01, 0x20, 0x00, 0xB}));  // lower identifier first
    EXPECT_EQ(a.peek(REG_ALC), 10);
    EXPECT_EQ(a.read(REG_IR), IRQ_ALI | IRQ_WUI);
    EXPECT_EQ(a.peek(REG_SR) & SR_TCS, SR_TCS);  // sent after losing
    EXPECT_EQ(a.peek(REG_RMC), 1);               // and received b's frame
    EXPECT_EQ(b.peek(REG_RMC), 1);

    // Losing again before ALC was read: the first position stays, no ALI.
    contest(make(0x10, {}, false, true), make(0x10, {}));
    EXPECT_EQ(a.peek(REG_ALC), 10);
    EXPECT_EQ(a.read(REG_IR), IRQ_WUI);
    EXPECT_EQ(a.read(REG_ALC), 10);  // re-arms
    contest(make(0x10, {}, false, true), make(0x10, {}));
    EXPECT_EQ(a.peek(REG_ALC), 11);
    EXPECT_EQ(a.read(REG_IR), IRQ_ALI | IRQ_WUI);
    EXPECT_EQ(c.peek(REG_RMC), 8);
}

TEST_F(Bus, FrameThatWakesTheOnlyReceiverIsRetried) {
    a.write(REG_TXERR, 200);  // error passive: its acknowledge errors do not count
    configure(a);
    configure(b);
    b.write(REG_MOD, MOD_AFM | MOD_SM);
    request(a, make(0x55, {1}));
    EXPECT_EQ(b.peek(REG_MOD), MOD_AFM);
    EXPECT_EQ(b.peek(REG_RMC), 1);
    EXPECT_EQ(a.peek(REG_SR) & SR_TCS, SR_TCS);
    EXPECT_EQ(a.peek(REG_TXERR), 199);
}

// ---------------------------------------------------------------------------

TEST_F(Receiver, InterruptRegisterReadClearsAllButReceive) {
    feed(make(1, {}));
    EXPECT_EQ(c.peek(REG_IR), 0);  // RI disabled: no interrupt, none remembered
    EXPECT_FALSE(c.interrupt_pending());
    c.write(REG_IER, IRQ_RI | IRQ_TI);
    EXPECT_TRUE(c.interrupt_pending());
    EXPECT_EQ(c.read(REG_IR), IRQ_RI);
    EXPECT_EQ(c.read(REG_IR), IRQ_RI);  // follows the FIFO, not cleared by reading
    c.write(REG_CMR, CMD_RRB);
    EXPECT_EQ(c.read(REG_IR), 0);
    EXPECT_FALSE(c.interrupt_pending());
    c.write(REG_MOD, MOD_RM);
    c.write(REG_MOD, MOD_AFM | MOD_STM);
    request(c, make(2, {}));
    EXPECT_TRUE(c.interrupt_pending());
    EXPECT_EQ(c.read(REG_IR), IRQ_TI);
    EXPECT_EQ(c.read(REG_IR), 0);
    EXPECT_FALSE(c.interrupt_pending());
}

// ---------------------------------------------------------------------------
// Frame length on the wire, and the remote node sending back to back

TEST(FrameBits, StuffBitsBetweenTheUnstuffedMinimumAndTheWorstCase) {
    // Standard identifier 0, no data: start of frame through CRC is 34
    // dominant bits (the CRC of zeros is zero), one stuff bit after every
    // five: 34 + 6 + 13 bits of delimiters, ACK, end of frame, intermission.
    EXPECT_EQ(frame_bits(make(0, {})), 53u);

    // Any frame lies between its unstuffed length (47 bits of a standard
    // frame, 67 of an extended one, plus 8 a data byte) and the worst case
    // of one stuff bit every four bits after the first.
    for (bool extended : {false, true})
        for (std::uint32_t id : {0u, 0x7FFu, 0x555u, 0x2AAu, 0x1FFFFFFFu, 0x12345678u, 0x3A5u})
            for (unsigned n = 0; n <= 8; ++n)
                for (std::uint8_t byte : {0x00, 0xFF, 0x55, 0x0F, 0x3C}) {
                    Frame f = make(id, {}, extended);
                    f.len = static_cast<std::uint8_t>(n);
                    f.data.fill(byte);
                    const unsigned stuffed = (extended ? 54 : 34) + 8 * n;
                    const unsigned bits = frame_bits(f);
                    EXPECT_GE(bits, stuffed + 13) << id << " " << n;
                    EXPECT_LE(bits, stuffed + 13 + (stuffed - 1) / 4) << id << " " << n;
                }

    // A remote frame's length code names no data bytes on the wire.
    Frame remote = make(0x123, {1, 2, 3, 4, 5, 6, 7, 8}, false, true);
    EXPECT_GE(frame_bits(remote), 47u);
    EXPECT_LE(frame_bits(remote), 47u + 33 / 4);
}

TEST(RemoteNode, BackToBackTimeLine) {
    Hardware hw(1, Wiring::loopback, kFast);
    RemoteNodeModel &node = *hw.remote_node();
    EXPECT_EQ(node.next_start(), 0u);
    std::uint64_t expected = 0;
    for (std::uint64_t i = 0; i < 3; ++i) {
        node.send_next(hw.wires());
        expected += std::uint64_t{frame_bits(remote_node_frame(i))} * kFast;
        EXPECT_EQ(node.next_start(), expected);
    }
    node.restart_at(1'000'000);
    node.send_next(hw.wires());
    EXPECT_EQ(node.next_start(), 1'000'000 + std::uint64_t{frame_bits(remote_node_frame(3))} * kFast);

    // One second of a saturated 1 Mbit/s bus: about 8,700 of the node's
    // 8-byte standard frames (111 bits and their stuff bits each).
    Hardware fresh(1, Wiring::loopback, kFast);
    RemoteNodeModel &saturating = *fresh.remote_node();
    while (saturating.next_start() < kCrystalHz) saturating.send_next(fresh.wires());
    EXPECT_GT(saturating.frames_sent(), 8'000u);
    EXPECT_LT(saturating.frames_sent(), 9'010u);
}

TEST(RemoteNode, CountsFramesNobodyAcknowledgedAndSkippedBusTime) {
    Hardware hw(1, Wiring::loopback, kFast);
    RemoteNodeModel &node = *hw.remote_node();
    node.send_next(hw.wires());  // both controllers in reset mode
    configure(hw.controller(0, 0));
    node.send_next(hw.wires());
    EXPECT_EQ(node.frames_sent(), 2u);
    EXPECT_EQ(node.frames_unacknowledged(), 1u);
    EXPECT_EQ(hw.controller(0, 0).receive_counters().not_received, 1u);
    EXPECT_EQ(hw.controller(0, 0).receive_counters().stored, 1u);
    EXPECT_EQ(hw.controller(0, 1).receive_counters().not_received, 2u);

    const std::uint64_t at = node.next_start();
    node.restart_at(at);  // no time skipped: not a restart
    EXPECT_EQ(node.restarts(), 0u);
    node.restart_at(at + 5000);
    EXPECT_EQ(node.restarts(), 1u);
    EXPECT_EQ(node.skipped_periods(), 5000u);
    EXPECT_EQ(node.frames_sent(), 2u);  // numbers are not skipped
}

TEST(Hardware, Wiring) {
    Hardware loop(2, Wiring::loopback, std::nullopt);
    EXPECT_EQ(&loop.wire_of(0, 0), &loop.wire_of(0, 1));
    EXPECT_NE(&loop.wire_of(0, 0), &loop.wire_of(1, 0));
    EXPECT_EQ(loop.wires().size(), 2u);
    Hardware separate(1, Wiring::separate, std::nullopt);
    EXPECT_NE(&separate.wire_of(0, 0), &separate.wire_of(0, 1));
    Hardware shared(3, Wiring::shared, kFast);
    EXPECT_EQ(&shared.wire_of(0, 0), &shared.wire_of(2, 1));
    EXPECT_EQ(shared.wire_of(1, 1).remote(), kFast);
    EXPECT_THROW(shared.controller(3, 0), std::out_of_range);
    EXPECT_THROW(shared.controller(0, 2), std::out_of_range);

    // The remote node acknowledges at its bit rate.
    Sja1000 &c = shared.controller(0, 0);
    configure(c);
    request(c, make(5, {}));
    EXPECT_EQ(c.peek(REG_SR) & SR_TCS, SR_TCS);
    EXPECT_EQ(shared.controller(2, 1).peek(REG_RMC), 0);  // in reset mode
}

}  // namespace
