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
    EXPECT_EQ(CanSendMsg(0, nullptr), -1);
    EXPECT_EQ(CanSendMsg(-1, &p), -1);
    EXPECT_EQ(CanSendMsg(8, &p), -1);
    EXPECT_EQ(CanSendMsg(2, &p), -1);  // card 1 was never installed
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_TRUE(pauses.empty());
}

TEST_F(Transfer, SendOnAClosedPortOfAnInstalledCardStillSends) {
    open({{0, 0}});
    CAN_PACKET p = packet(1, 1);
    EXPECT_EQ(CanSendMsg(1, &p), -1);  // the controller of port 1 is still in reset mode
    EXPECT_EQ(codes(), std::vector<unsigned long>{REQ_SEND});
}

TEST_F(Transfer, DriverFailuresArePassedOn) {
    open({{0, 0}});
    CAN_PACKET p = packet(1, 1);
    vcard::answer(REQ_SEND, -1, EIO);
    EXPECT_EQ(CanSendMsg(0, &p), -1);
    EXPECT_EQ(pauses.size(), 1u);

    vcard::answer(REQ_RCV_COUNT, -1, EIO);
    EXPECT_EQ(CanGetRcvCnt(0), -1);

    vcard::answer(REQ_RECEIVE, -1, EIO);
    std::memset(&p, 0xAA, sizeof p);
    EXPECT_EQ(CanRcvMsg(0, &p), -1);
    EXPECT_EQ(bytesOf(&p, sizeof p), std::vector<std::uint8_t>(sizeof p, 0));
}

TEST_F(Transfer, ReceiveFromAnEmptyQueueFailsWithZeros) {
    open({{0, 0}});
    CAN_PACKET p;
    std::memset(&p, 0x77, sizeof p);
    EXPECT_EQ(CanGetRcvCnt(0), 0);
    EXPECT_EQ(CanRcvMsg(0, &p), -1);
    EXPECT_EQ(bytesOf(&p, sizeof p), std::vector<std::uint8_t>(sizeof p, 0));
}

TEST_F(Transfer, ReceiveAndCountRefuseClosedPortsWithoutARequest) {
    open({{0, 0}});
    CAN_PACKET p = packet(0, 0);
    EXPECT_EQ(CanRcvMsg(0, nullptr), -1);
    EXPECT_EQ(CanRcvMsg(1, &p), -1);
    EXPECT_EQ(CanGetRcvCnt(1), -1);
    for (int h : {-1, 8, 100}) {
        EXPECT_EQ(CanRcvMsg(h, &p), -1);
        EXPECT_EQ(CanGetRcvCnt(h), -1);
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

// ---------------------------------------------------------------------------
// End to end over the wire between the two ports of card 0

namespace {

void expectSame(const CAN_PACKET &got, const CAN_PACKET &sent, const char *what) {
    EXPECT_EQ(got.id, sent.id) << what;
    EXPECT_EQ(got.rtr != 0, sent.rtr != 0) << what;
    EXPECT_EQ(got.len, sent.len) << what;
    const int n = sent.rtr ? 0 : sent.len;
    for (int i = 0; i < n; ++i) EXPECT_EQ(got.data[i], sent.data[i]) << what << " byte " << i;
}

}  // namespace

TEST_F(Transfer, FramesCrossTheWireInOrderIntact) {
    open({{0, 0}, {0, 1}});
    for (unsigned mode : {0u, 1u}) {
        SCOPED_TRACE(mode ? "29-bit" : "11-bit");
        PORT_STRUCT c = config(mode, 0, 0xFFFFFFFF, 3);
        ASSERT_EQ(CanConfigPort(0, &c), 0);
        ASSERT_EQ(CanConfigPort(1, &c), 0);
        const std::uint32_t top = mode ? 0x1FFFFFFF : 0x7FF;
        const std::vector<CAN_PACKET> sent = {packet(top, 8, 0xF8), packet(0, 0), packet(0x55, 3, 9),
                                              packet(top - 1, 8, 0, 1), packet(1, 2, 0x80, 1)};
        for (const auto &p : sent) ASSERT_EQ(CanSendMsg(0, &p), 0);
        for (const auto &p : sent) ASSERT_EQ(CanSendMsg(1, &p), 0);
        ASSERT_EQ(waitForCount(1, 5), 5);
        ASSERT_EQ(waitForCount(0, 5), 5);
        for (int h : {1, 0}) {
            for (const auto &p : sent) {
                CAN_PACKET got;
                ASSERT_EQ(CanRcvMsg(h, &got), 0);
                expectSame(got, p, h ? "port 1" : "port 0");
            }
            EXPECT_EQ(CanGetRcvCnt(h), 0);
        }
    }
}

TEST_F(Transfer, IdentifiersWiderThanThePortsFormatAreCut) {
    open({{0, 0}, {0, 1}});
    CAN_PACKET p = packet(0x7FF + 0x800, 1);
    ASSERT_EQ(CanSendMsg(0, &p), 0);
    ASSERT_EQ(waitForCount(1, 1), 1);
    CAN_PACKET got;
    ASSERT_EQ(CanRcvMsg(1, &got), 0);
    EXPECT_EQ(got.id, 0x7FFu);
}

TEST_F(Transfer, AcceptanceFilterPassesAndBlocks) {
    open({{0, 0}, {0, 1}});
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
        PORT_STRUCT rx = config(k.mode, k.code, k.mask, 3);
        PORT_STRUCT tx = config(k.mode, 0, 0xFFFFFFFF, 3);
        ASSERT_EQ(CanConfigPort(1, &rx), 0);
        ASSERT_EQ(CanConfigPort(0, &tx), 0);
        for (std::uint8_t rtr : {0, 1}) {
            CAN_PACKET p = packet(k.id, 2, 0, rtr);
            ASSERT_EQ(CanSendMsg(0, &p), 0);
            // Either frame is acknowledged by port 1 whether it keeps it or not.
            EXPECT_EQ(CanGetTxErrorCount(0), 0);
        }
        const int expected = k.passes ? 2 : 0;
        EXPECT_EQ(waitForCount(1, expected, std::chrono::milliseconds(k.passes ? 5000 : 50)), expected);
        CanConfigPort(1, &rx);  // reset mode empties the controller; drain the driver queue
        CAN_PACKET got;
        while (CanRcvMsg(1, &got) == 0) {}
    }
}

TEST_F(Transfer, PortsAtDifferentBitRatesExchangeNothing) {
    open({{0, 0}, {0, 1}});
    PORT_STRUCT fast = config(0, 0, 0x7FF, 3), slow = config(0, 0, 0x7FF, 2);
    ASSERT_EQ(CanConfigPort(0, &fast), 0);
    ASSERT_EQ(CanConfigPort(1, &slow), 0);
    CAN_PACKET p = packet(7, 8);
    ASSERT_EQ(CanSendMsg(0, &p), 0);
    EXPECT_EQ(waitForCount(1, 1, std::chrono::milliseconds(50)), 0);
    EXPECT_GT(CanGetTxErrorCount(0), 0);  // nobody acknowledged
    EXPECT_GT(CanGetRxErrorCount(1), 0);  // port 1 saw a frame it could not decode
}

// ---------------------------------------------------------------------------
// Receive and buffer control

TEST_F(Transfer, FramesWaitInTheControllerWhileReceiveIsDisabled) {
    open({{0, 0}, {0, 1}});
    ASSERT_EQ(CanDisableReceive(1), 0);
    EXPECT_EQ(vcard::peek(0, 128 + 4), 0x02);
    for (std::uint32_t id = 1; id <= 3; ++id) {
        CAN_PACKET p = packet(id, 1);
        ASSERT_EQ(CanSendMsg(0, &p), 0);
    }
    EXPECT_EQ(vcard::peek(0, 128 + 29), 3);  // receive message counter
    EXPECT_EQ(vcard::peek(0, 128 + 2) & 0x01, 0x01);
    EXPECT_EQ(CanGetRcvCnt(1), 0);

    // Enabling receive lets the driver take them, oldest first.
    ASSERT_EQ(CanEnableReceive(1), 0);
    ASSERT_EQ(waitForCount(1, 3), 3);
    for (std::uint32_t id = 1; id <= 3; ++id) {
        CAN_PACKET got;
        ASSERT_EQ(CanRcvMsg(1, &got), 0);
        EXPECT_EQ(got.id, id);
    }
    EXPECT_EQ(vcard::peek(0, 128 + 29), 0);
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
    EXPECT_EQ(vcard::peek(0, 128 + 29), 0);
    EXPECT_EQ(writes(), std::vector<Write>(4, Write{128 + 1, 0x04}));
    ASSERT_EQ(CanEnableReceive(1), 0);
    EXPECT_EQ(waitForCount(1, 1, std::chrono::milliseconds(50)), 0);
}

TEST_F(Transfer, ClearRxBufferReleasesOncePerMessageCounted) {
    open({{0, 0}});
    vcard::force_read(0, 29, {3, 2, 1, 0});
    CanClearRxBuffer(0);
    EXPECT_EQ(writes(), std::vector<Write>(3, Write{1, 0x04}));
    EXPECT_EQ(readAddresses(), std::vector<std::uint32_t>(4, 29));
}

TEST_F(Transfer, ClearRxBufferGivesUpOnAControllerThatNeverEmpties) {
    open({{0, 0}});
    vcard::force_read(0, 29, {5}, true);
    CanClearRxBuffer(0);
    EXPECT_EQ(writes(), std::vector<Write>(64, Write{1, 0x04}));
}

TEST_F(Transfer, ClearTxBufferAbortsTheTransmission) {
    vcard::Config alone;
    alone.wiring = vcard::Wiring::separate;
    vcard::reset(alone);
    vcard::trace_start();
    open({{0, 0}});
    CAN_PACKET p = packet(3, 1);
    ASSERT_EQ(CanSendMsg(0, &p), 0);
    EXPECT_EQ(vcard::peek(0, 2) & 0x04, 0);  // nobody acknowledged: still pending
    EXPECT_EQ(CanSendMsg(0, &p), -1);        // the driver refuses a second one meanwhile
    vcard::trace_clear();
    CanClearTxBuffer(0);
    EXPECT_EQ(writes(), (std::vector<Write>{Write{1, 0x02}}));
    EXPECT_EQ(vcard::peek(0, 2) & 0x04, 0x04);
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
    vcard::force_read(0, 4, {0x02});
    EXPECT_EQ(CanEnableReceive(0), 0);
    vcard::force_read(0, 4, {0x03});
    EXPECT_EQ(CanDisableReceive(0), 0);
    vcard::force_read(0, 4, {0x00});
    EXPECT_EQ(CanClearOverrun(0), 0);
    EXPECT_EQ(writes(), (std::vector<Write>{{4, 0x03}, {4, 0x02}, {1, 0x08}, {4, 0x09}}));

    vcard::answer(REQ_REG_WRITE, -1, EIO);
    EXPECT_EQ(CanEnableReceive(0), -1);
    EXPECT_EQ(CanDisableReceive(0), -1);
    EXPECT_EQ(CanClearOverrun(0), -1);
}

TEST_F(Transfer, InterruptControlsRefuseClosedPorts) {
    open({{0, 0}});
    for (int h : {1, -1, 8}) {
        EXPECT_EQ(CanEnableReceive(h), -1);
        EXPECT_EQ(CanDisableReceive(h), -1);
        EXPECT_EQ(CanClearOverrun(h), -1);
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
    EXPECT_EQ(vcard::peek(0, 128 + 29), 5);
    EXPECT_EQ(vcard::peek(0, 128 + 2) & 0x02, 0x02);

    ASSERT_EQ(CanClearOverrun(1), 0);
    EXPECT_EQ(vcard::peek(0, 128 + 2) & 0x02, 0);
    EXPECT_EQ(vcard::peek(0, 128 + 4), 0x0B);
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
