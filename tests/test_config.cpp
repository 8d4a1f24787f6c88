// Port configuration: the exact register sequence the controller gets, the
// refusals, and what the controller is left with.
#include "support.h"

using namespace test;

namespace {

// Everything CanConfigPort writes around the filter bytes and bit timing.
std::vector<Write> sequence(std::vector<Write> filter, std::uint8_t btr0, std::uint8_t btr1,
                            std::uint8_t ier) {
    std::vector<Write> w = {{4, 0x00}, {0, 0x01}, {31, 0xC8}};
    w.insert(w.end(), filter.begin(), filter.end());
    w.insert(w.end(), {{6, btr0}, {7, btr1}, {8, 0xFA}, {0, 0x08}, {4, ier}});
    return w;
}

}  // namespace

TEST_F(Card, DefaultConfigurationWritesTheFullSequence) {
    vcard::trace_clear();
    ASSERT_EQ(CanOpenDriver(0, 1), 1);
    const std::vector<Write> filter = {{128 + 18, 0x00}, {128 + 19, 0x00}, {128 + 22, 0xFF},
                                       {128 + 23, 0xFF}, {128 + 16, 0x00}, {128 + 17, 0x10},
                                       {128 + 20, 0xFF}, {128 + 21, 0xF0}};
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
    EXPECT_EQ(vcard::peek(0, 128 + 0), 0x08);
    EXPECT_EQ(vcard::peek(0, 128 + 4), 0x03);
    EXPECT_EQ(vcard::peek(0, 128 + 6), 0x00);
    EXPECT_EQ(vcard::peek(0, 128 + 7), 0x14);
}

TEST_F(Card, InterruptEnablesFoundAreKept) {
    open({{0, 0}});
    vcard::force_read(0, 4, {0x88});
    PORT_STRUCT c = config(0, 0, 0x7FF, 3);
    ASSERT_EQ(CanConfigPort(0, &c), 0);
    EXPECT_EQ(writes().back(), (Write{4, 0x8B}));
}

TEST_F(Card, ExtendedFilterBytes) {
    open({{0, 0}});
    PORT_STRUCT c = config(1, 0x1FFFFFFF, 0x12345678, 3);
    ASSERT_EQ(CanConfigPort(0, &c), 0);
    const std::vector<Write> filter = {{16, 0xFF}, {17, 0xFF}, {18, 0xFF}, {19, 0xF8},
                                       {20, 0x91}, {21, 0xA2}, {22, 0xB3}, {23, 0xC4}};
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
    PORT_STRUCT c = config(0, 0x123, 0xFFFFFFFF, 3);
    ASSERT_EQ(CanConfigPort(0, &c), 0);
    const std::vector<Write> filter = {{18, 0x00}, {19, 0x00}, {22, 0xFF}, {23, 0xFF},
                                       {16, 0x24}, {17, 0x70}, {20, 0xFF}, {21, 0xF0}};
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
        EXPECT_EQ(vcard::peek(0, 6), btr0[index]) << index;
        EXPECT_EQ(vcard::peek(0, 7), btr1[index]) << index;
    }

    PORT_STRUCT user = config(0, 0, 0x7FF, 4);
    user.brp = 1;
    user.tseg1 = 12;
    user.tseg2 = 1;
    user.sjw = 0;
    vcard::trace_clear();
    ASSERT_EQ(CanConfigPort(0, &user), 0);
    auto w = writes();
    EXPECT_EQ(w[11], (Write{6, 0x01}));
    EXPECT_EQ(w[12], (Write{7, 0x1C}));

    user.brp = 0xFF;  // fields are cut to their registers' eight bits
    user.sjw = 3;
    user.tseg1 = 0x1F;
    user.tseg2 = 0x17;
    vcard::trace_clear();
    ASSERT_EQ(CanConfigPort(0, &user), 0);
    w = writes();
    EXPECT_EQ(w[11], (Write{6, 0xFF}));
    EXPECT_EQ(w[12], (Write{7, 0x7F}));
}

TEST_F(Card, RefusedRecordsTouchNothing) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanCloseDriver(1), 0);
    vcard::trace_clear();
    const PORT_STRUCT before = portStruct[0];

    PORT_STRUCT badMode = config(2, 0, 0x7FF, 3);
    PORT_STRUCT hugeMode = config(0x80000000u, 0, 0x7FF, 3);
    PORT_STRUCT badRate = config(0, 0, 0x7FF, 5);
    PORT_STRUCT hugeRate = config(1, 0, 0x7FF, 0xFFFFFFFFu);
    EXPECT_EQ(CanConfigPort(0, &badMode), -1);
    EXPECT_EQ(CanConfigPort(0, &hugeMode), -1);
    EXPECT_EQ(CanConfigPort(0, &badRate), -1);
    EXPECT_EQ(CanConfigPort(0, &hugeRate), -1);
    EXPECT_EQ(CanConfigPort(0, nullptr), -1);
    PORT_STRUCT good = config(0, 0, 0x7FF, 3);
    EXPECT_EQ(CanConfigPort(1, &good), -1);  // closed
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_EQ(std::memcmp(&portStruct[0], &before, sizeof before), 0);

    // A refused bit rate does not leave the controller in reset mode.
    EXPECT_EQ(vcard::peek(0, 0), 0x08);
    EXPECT_EQ(vcard::peek(0, 4), 0x03);
}

TEST_F(Card, PortStatusReturnsTheRecordAndTheLiveStatus) {
    open({{0, 0}});
    PORT_STRUCT c = config(1, 0xABCDEF, 0x1F, 2);
    c.brp = 7;
    c.tseg1 = 8;
    c.tseg2 = 9;
    c.sjw = 10;
    const unsigned char reserved[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    std::memcpy(c.reserved, reserved, 4);
    ASSERT_EQ(CanConfigPort(0, &c), 0);

    PORT_STATUS st;
    std::memset(&st, 0x5A, sizeof st);
    vcard::force_read(0, 2, {0x4C});
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
    PORT_STRUCT c = config(0, 5, 6, 1);
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
    EXPECT_EQ(CanGetPortStatus(1, nullptr), -1);
}
