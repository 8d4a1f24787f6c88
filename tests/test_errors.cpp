// SPDX-License-Identifier: MIT
// Error counters, warning limit, capture registers, the cached status byte
// and the card's LEDs.
#include "support.h"

using namespace test;

namespace {

vcard::Frame frame(std::uint32_t id) {
    vcard::Frame f;
    f.id = id;
    f.len = 2;
    return f;
}

}  // namespace

TEST_F(Card, RegisterGettersReadTheirRegisters) {
    open({{0, 1}});
    const int regs[] = {11, 12, 13, 14, 15};
    int (*const getters[])(int) = {CanGetArbitrationLostBit, CanGetErrorCode, CanGetErrorWarningLimit,
                                   CanGetRxErrorCount, CanGetTxErrorCount};
    for (int i = 0; i < 5; ++i) {
        vcard::force_read(0, kPort1 + std::uint32_t(regs[i]), {std::uint8_t(0xF0 + i)});
        EXPECT_EQ(getters[i](1), 0xF0 + i) << regs[i];
    }
    EXPECT_EQ(readAddresses(), (std::vector<std::uint32_t>{139, 140, 141, 142, 143}));
    EXPECT_EQ(CanGetErrorWarningLimit(1), 96);  // the controller's own value after reset
}

TEST_F(Card, RegisterFunctionsRefuseClosedPortsWithoutARequest) {
    open({{0, 0}});
    int (*const getters[])(int) = {CanGetArbitrationLostBit, CanGetErrorCode, CanGetErrorWarningLimit,
                                   CanGetRxErrorCount, CanGetTxErrorCount};
    for (int h : {1, -1, 8, 77}) {
        for (auto get : getters) EXPECT_EQ(get(h), PCI5C3A_ERROR) << h;
        EXPECT_EQ(CanSetErrorWarningLimit(h, 10), PCI5C3A_ERROR);
        EXPECT_EQ(CanSetTxErrorCount(h, 10), PCI5C3A_ERROR);
    }
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Card, LimitAndCounterAreWrittenInResetMode) {
    open({{0, 0}});
    vcard::force_read(0, REG_MOD, {0x08});
    EXPECT_EQ(CanSetErrorWarningLimit(0, 96), 0);
    EXPECT_EQ(writes(), (std::vector<Write>{{REG_MOD, 0x09}, {REG_EWLR, 0x60}, {REG_MOD, 0x08}}));

    vcard::trace_clear();
    vcard::force_read(0, REG_MOD, {0x08});
    EXPECT_EQ(CanSetTxErrorCount(0, static_cast<unsigned char>(300)), 0);
    EXPECT_EQ(writes(), (std::vector<Write>{{REG_MOD, 0x09}, {REG_TXERR, 0x2C}, {REG_MOD, 0x08}}));
    EXPECT_EQ(CanGetTxErrorCount(0), 44);

    // The result is the last write's.
    vcard::answer(REQ_REG_WRITE, -1, EIO);
    EXPECT_EQ(CanSetErrorWarningLimit(0, 1), PCI5C3A_ERROR);
}

TEST_F(Card, TheNewWarningLimitGovernsTheErrorStatus) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanSetErrorWarningLimit(1, 3), 0);
    EXPECT_EQ(CanGetErrorWarningLimit(1), 3);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_MOD), 0x08);  // back in operating mode with the single filter

    // Three frames port 1 cannot decode (sent at 250 kbit/s) reach the limit.
    for (std::uint32_t id = 0; id < 3; ++id) {
        EXPECT_EQ(vcard::peek(0, kPort1 + REG_SR) & 0x40, 0) << id;
        vcard::remote_send(0, 1, frame(id), 250000);
    }
    EXPECT_EQ(CanGetRxErrorCount(1), 3);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_SR) & 0x40, 0x40);
    EXPECT_EQ(vcard::peek(0, REG_SR) & 0x40, 0);  // port 0 saw the same errors, under its limit of 96
}

TEST_F(Card, ErrorCodeCaptureHoldsUntilRead) {
    open({{0, 0}});
    vcard::remote_send(0, 0, frame(1), 125000);
    const int code = CanGetErrorCode(0);
    EXPECT_NE(code, 0);
    EXPECT_EQ(code & 0x20, 0x20);         // captured while receiving
    EXPECT_EQ(CanGetErrorCode(0), code);  // the register keeps the last capture
}

TEST_F(Card, WritingTheTransmitCounterFullForcesBusOff) {
    open({{0, 0}});
    ASSERT_EQ(CanSetTxErrorCount(0, 255), 0);
    EXPECT_EQ(vcard::peek(0, REG_SR) & 0x80, 0x80);   // bus-off
    EXPECT_EQ(vcard::peek(0, REG_MOD) & 0x01, 0x01);  // the controller went back to reset mode
    EXPECT_EQ(CanGetTxErrorCount(0), 127);
    CAN_PACKET p = packet(1, 1);
    EXPECT_EQ(CanSendMsg(0, &p), PCI5C3A_ERROR);
}

TEST_F(Card, IntStatusIsTheCachedByteWithoutARequest) {
    open({{0, 0}});
    EXPECT_EQ(CanGetIntStatusReg(0), 0);
    canIntStatus[5] = 0xA5;
    EXPECT_EQ(CanGetIntStatusReg(5), 0xA5);
    EXPECT_EQ(CanGetIntStatusReg(-1), PCI5C3A_ERROR);
    EXPECT_EQ(CanGetIntStatusReg(8), PCI5C3A_ERROR);
    EXPECT_EQ(requestCount(), 0u);
}

// ---------------------------------------------------------------------------
// LEDs

TEST_F(Card, LedBitsGoToTheLedRegister) {
    open({{0, 0}});
    EXPECT_EQ(CanSetLedStatus(0, 2, 1), 0);
    EXPECT_EQ(CanSetLedStatus(0, 0, 1), 0);
    EXPECT_EQ(CanGetLedStatus(0, 2), 1);
    EXPECT_EQ(CanGetLedStatus(0, 1), 0);
    EXPECT_EQ(CanSetLedStatus(0, 2, 7), 0);  // neither on nor off: the byte is written again
    EXPECT_EQ(CanSetLedStatus(0, 8, 1), 0);  // beyond the byte: nothing changes
    EXPECT_EQ(CanGetLedStatus(0, 8), 0);
    EXPECT_EQ(CanGetLedStatus(0, 31), 0);
    EXPECT_EQ(CanSetLedStatus(0, 0, 0), 0);

    const auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 5u);
    const std::uint8_t bytes[] = {0x04, 0x05, 0x05, 0x05, 0x04};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(trace[i].code, REQ_REG_WRITE);
        EXPECT_EQ(trace[i].fd, pci_Info_5C3A[0].fd);
        EXPECT_EQ(trace[i].in, regAccessBytes(64, bytes[i])) << i;
    }
    EXPECT_EQ(vcard::peek(0, PCI5C3A_LED_ADDR), 0x04);
    EXPECT_EQ(LEDStatus[0], 0x04);
}

TEST_F(Card, LedAddressFollowsTheTable) {
    open({{0, 0}});
    LED_ADDR_START = 65;
    EXPECT_EQ(CanSetLedStatus(0, 1, 1), 0);
    EXPECT_EQ(vcard::trace()[0].addr(), 65u);
}

TEST_F(Card, LedFunctionsRefuseBadCardsLedsAndUninstalledCards) {
    open({{0, 0}});
    for (int card : {-1, 4, 100}) {
        EXPECT_EQ(CanSetLedStatus(card, 0, 1), PCI5C3A_ERROR);
        EXPECT_EQ(CanGetLedStatus(card, 0), PCI5C3A_ERROR);
    }
    for (int led : {-1, 32, 1000}) {
        EXPECT_EQ(CanSetLedStatus(0, led, 1), PCI5C3A_ERROR);
        EXPECT_EQ(CanGetLedStatus(0, led), PCI5C3A_ERROR);
    }
    EXPECT_EQ(CanSetLedStatus(1, 0, 1), PCI5C3A_ERROR);  // card 1 never installed
    EXPECT_EQ(LEDStatus[1], 0);
    EXPECT_EQ(CanGetLedStatus(1, 0), 0);
    EXPECT_EQ(requestCount(), 0u);

    vcard::answer(REQ_REG_WRITE, -1, EIO);
    EXPECT_EQ(CanSetLedStatus(0, 0, 1), PCI5C3A_ERROR);
}
