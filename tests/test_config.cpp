// SPDX-License-Identifier: MIT
// Port configuration: the exact register sequence the controller gets, the
// refusals, and what the controller is left with.
#include "support.h"

using namespace test;

namespace {

// Everything CanConfigPort writes around the filter bytes and bit timing.
std::vector<Write> sequence(std::vector<Write> filter, std::uint8_t btr0, std::uint8_t btr1,
                            std::uint8_t ier) {
    std::vector<Write> w = {{REG_IER, 0x00}, {REG_MOD, 0x01}, {REG_CDR, CDR_CARD}};
    w.insert(w.end(), filter.begin(), filter.end());
    w.insert(w.end(),
             {{REG_BTR0, btr0}, {REG_BTR1, btr1}, {REG_OCR, OCR_CARD}, {REG_MOD, 0x08}, {REG_IER, ier}});
    return w;
}

}  // namespace

TEST_F(Card, DefaultConfigurationWritesTheFullSequence) {
    vcard::trace_clear();
    ASSERT_EQ(CanOpenDriver(0, 1), 1);
    const std::vector<Write> filter = {{kPort1 + REG_ACR2, 0x00}, {kPort1 + REG_ACR3, 0x00},
                                       {kPort1 + REG_AMR2, 0xFF}, {kPort1 + REG_AMR3, 0xFF},
                                       {kPort1 + REG_ACR0, 0x00}, {kPort1 + REG_ACR1, 0x10},
                                       {kPort1 + REG_AMR0, 0xFF}, {kPort1 + REG_AMR1, 0xF0}};
    std::vector<Write> expected;
    for (auto w : sequence({}, 0x00, 0x14, 0x03)) expected.push_back({w.addr + 128, w.data});
    expected.insert(expected.begin() + 3, filter.begin(), filter.end());
    EXPECT_EQ(writes(), expected);

    // One read first (the interrupt enables), and the identifier mode goes to
    // the driver between output control and leaving reset mode.
    const auto trace = vcard::trace();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[0].code, REQ_REG_READ);
    EXPECT_EQ(trace[0].addr(), 128u + 4);
    std::size_t setMode = 0;
    for (std::size_t i = 0; i < trace.size(); ++i)
        if (trace[i].code == REQ_SET_MODE) setMode = i;
    ASSERT_GT(setMode, 0u);
    EXPECT_EQ(trace[setMode].in, (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(trace[setMode - 1].addr(), 128u + 8);
    EXPECT_EQ(trace[setMode + 1].addr(), 128u + 0);
    EXPECT_EQ(trace[setMode + 1].data(), 0x08);

    // The controller runs with the single filter and receive/transmit interrupts.
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_MOD), 0x08);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_IER), 0x03);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_BTR0), 0x00);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_BTR1), 0x14);
}

TEST_F(Card, InterruptEnablesFoundAreKept) {
    open({{0, 0}});
    vcard::force_read(0, REG_IER, {0x88});
    PORT_STRUCT c = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M);
    ASSERT_EQ(CanConfigPort(0, &c), 0);
    EXPECT_EQ(writes().back(), (Write{REG_IER, 0x8B}));
}

TEST_F(Card, ExtendedFilterBytes) {
    open({{0, 0}});
    PORT_STRUCT c = config(PCI5C3A_ID_EXTENDED, 0x1FFFFFFF, 0x12345678, PCI5C3A_BAUD_1M);
    ASSERT_EQ(CanConfigPort(0, &c), 0);
    const std::vector<Write> filter = {{REG_ACR0, 0xFF}, {REG_ACR1, 0xFF}, {REG_ACR2, 0xFF},
                                       {REG_ACR3, 0xF8}, {REG_AMR0, 0x91}, {REG_AMR1, 0xA2},
                                       {REG_AMR2, 0xB3}, {REG_AMR3, 0xC4}};
    EXPECT_EQ(writes(), sequence(filter, 0x00, 0x14, 0x03));
    const auto trace = vcard::trace();
    for (const auto &r : trace) {
        if (r.code == REQ_SET_MODE) {
            EXPECT_EQ(r.in, (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 0, 0, 0}));
        }
    }
}

TEST_F(Card, StandardFilterBytesAreCutToEightBits) {
    open({{0, 0}});
    PORT_STRUCT c = config(PCI5C3A_ID_STANDARD, 0x123, 0xFFFFFFFF, PCI5C3A_BAUD_1M);
    ASSERT_EQ(CanConfigPort(0, &c), 0);
    const std::vector<Write> filter = {{REG_ACR2, 0x00}, {REG_ACR3, 0x00}, {REG_AMR2, 0xFF},
                                       {REG_AMR3, 0xFF}, {REG_ACR0, 0x24}, {REG_ACR1, 0x70},
                                       {REG_AMR0, 0xFF}, {REG_AMR1, 0xF0}};
    EXPECT_EQ(writes(), sequence(filter, 0x00, 0x14, 0x03));
}

TEST_F(Card, BitRateIndicesProgramTheBusTiming) {
    open({{0, 0}});
    const std::uint8_t btr0[] = {0x03, 0x01, 0x00, 0x00};
    const std::uint8_t btr1[] = {0x1C, 0x1C, 0x1C, 0x14};
    for (unsigned index = 0; index < 4; ++index) {
        PORT_STRUCT c = config(0, 0, 0x7FF, index);
        c.brp = 0x3F;  // user timing is ignored for the fixed indices
        ASSERT_EQ(CanConfigPort(0, &c), 0);
        EXPECT_EQ(vcard::peek(0, REG_BTR0), btr0[index]) << index;
        EXPECT_EQ(vcard::peek(0, REG_BTR1), btr1[index]) << index;
    }

    PORT_STRUCT user = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_USER);
    user.brp = 1;
    user.tseg1 = 12;
    user.tseg2 = 1;
    user.sjw = 0;
    vcard::trace_clear();
    ASSERT_EQ(CanConfigPort(0, &user), 0);
    auto w = writes();
    EXPECT_EQ(w[11], (Write{REG_BTR0, 0x01}));
    EXPECT_EQ(w[12], (Write{REG_BTR1, 0x1C}));

    user.brp = 0xFF;  // fields are cut to their registers' eight bits
    user.sjw = 3;
    user.tseg1 = 0x1F;
    user.tseg2 = 0x17;
    vcard::trace_clear();
    ASSERT_EQ(CanConfigPort(0, &user), 0);
    w = writes();
    EXPECT_EQ(w[11], (Write{REG_BTR0, 0xFF}));
    EXPECT_EQ(w[12], (Write{REG_BTR1, 0x7F}));
}

TEST_F(Card, RefusedRecordsTouchNothing) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanCloseDriver(1), 0);
    vcard::trace_clear();
    const PORT_STRUCT before = portStruct[0];

    PORT_STRUCT badMode = config(2, 0, 0x7FF, PCI5C3A_BAUD_1M);
    PORT_STRUCT hugeMode = config(0x80000000u, 0, 0x7FF, PCI5C3A_BAUD_1M);
    PORT_STRUCT badRate = config(0, 0, 0x7FF, 5);
    PORT_STRUCT hugeRate = config(1, 0, 0x7FF, 0xFFFFFFFFu);
    EXPECT_EQ(CanConfigPort(0, &badMode), PCI5C3A_ERROR);
    EXPECT_EQ(CanConfigPort(0, &hugeMode), PCI5C3A_ERROR);
    EXPECT_EQ(CanConfigPort(0, &badRate), PCI5C3A_ERROR);
    EXPECT_EQ(CanConfigPort(0, &hugeRate), PCI5C3A_ERROR);
    EXPECT_EQ(CanConfigPort(0, nullptr), PCI5C3A_ERROR);
    PORT_STRUCT good = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M);
    EXPECT_EQ(CanConfigPort(1, &good), PCI5C3A_ERROR);  // closed
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_EQ(std::memcmp(&portStruct[0], &before, sizeof before), 0);

    // A refused bit rate does not leave the controller in reset mode.
    EXPECT_EQ(vcard::peek(0, REG_MOD), 0x08);
    EXPECT_EQ(vcard::peek(0, REG_IER), 0x03);
}

TEST_F(Card, PortStatusReturnsTheRecordAndTheLiveStatus) {
    open({{0, 0}});
    PORT_STRUCT c = config(PCI5C3A_ID_EXTENDED, 0xABCDEF, 0x1F, PCI5C3A_BAUD_500K);
    c.brp = 7;
    c.tseg1 = 8;
    c.tseg2 = 9;
    c.sjw = 10;
    const unsigned char reserved[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    std::memcpy(c.reserved, reserved, 4);
    ASSERT_EQ(CanConfigPort(0, &c), 0);

    PORT_STATUS st;
    std::memset(&st, 0x5A, sizeof st);
    vcard::force_read(0, REG_SR, {0x4C});
    EXPECT_EQ(CanGetPortStatus(0, &st), 0);
    EXPECT_EQ(std::memcmp(&st, &c, sizeof c), 0);
    EXPECT_EQ(st.status, 0x4C);
    EXPECT_EQ(readAddresses().back(), 2u);

    // The controller's own status after configuration: idle, buffers free.
    ASSERT_EQ(CanGetPortStatus(0, &st), 0);
    EXPECT_EQ(st.status, 0x0C);
}

TEST_F(Card, PortStatusOfAClosedPortKeepsTheLastRecord) {
    open({{0, 1}});
    PORT_STRUCT c = config(PCI5C3A_ID_STANDARD, 5, 6, PCI5C3A_BAUD_250K);
    ASSERT_EQ(CanConfigPort(1, &c), 0);
    ASSERT_EQ(CanCloseDriver(1), 0);
    vcard::trace_clear();
    PORT_STATUS st;
    EXPECT_EQ(CanGetPortStatus(1, &st), 0);
    EXPECT_EQ(std::memcmp(&st, &c, sizeof c), 0);
    EXPECT_EQ(st.status, 0);
    EXPECT_EQ(CanGetPortStatus(0, &st), 0);  // never configured: zeros
    EXPECT_EQ(st.mode, 0u);
    EXPECT_EQ(st.accMask, 0u);
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_EQ(CanGetPortStatus(1, nullptr), PCI5C3A_ERROR);
}
