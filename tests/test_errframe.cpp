// SPDX-License-Identifier: MIT
// What a port that is a network device reports to SocketCAN users about bus
// trouble: the virtual card's controller model is driven into the situation
// (nobody acknowledging, a node at another bit rate, two nodes contending,
// a full receive FIFO, bus-off), the registers a driver's interrupt handler
// reads are fed to the kernel driver's decoding (kernel/errframe.h), and the
// resulting error frames and CAN states are checked against the SJA1000's
// register coding and Linux's CAN error frame layout (linux/can/error.h).
// QEMU's SJA1000 has no error states, so this is where they are exercised.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "errframe.h"
#include "hw_cards.h"
#include "sja1000.h"

using namespace vcard;

namespace {

constexpr std::uint8_t kBtr1Fast = 0x14;  // BTR0 0: 16 clocks per bit (1 Mbit/s)
constexpr std::uint8_t kBtr1Slow = 0x1C;  // BTR0 0: 32 clocks per bit (500 kbit/s)
constexpr BitTime kFast = 16;
constexpr BitTime kSlow = 32;

// Every interrupt enabled: what the driver sets with berr-reporting on.
constexpr std::uint8_t kAllInterrupts = 0xFF;
// The interrupts that make an error frame.
constexpr std::uint8_t kErrorInterrupts = IRQ_EI | IRQ_DOI | IRQ_EPI | IRQ_ALI | IRQ_BEI;

// Reset mode, an open single filter, bus timing and interrupt enables, then
// the mode byte, which leaves reset mode.
void start(Sja1000 &c, std::uint8_t btr1 = kBtr1Fast, std::uint8_t mode = MOD_AFM, std::uint8_t ewlr = 0) {
    c.write(REG_MOD, MOD_RM);
    for (unsigned i = 0; i < 4; ++i) {
        c.write(REG_ACR0 + i, 0);
        c.write(REG_AMR0 + i, 0xFF);
    }
    c.write(REG_BTR0, 0);
    c.write(REG_BTR1, btr1);
    if (ewlr != 0) c.write(REG_EWLR, ewlr);
    c.write(REG_IER, kAllInterrupts);
    c.write(REG_MOD, mode);
}

Frame make(std::uint32_t id, std::initializer_list<std::uint8_t> data = {}, bool extended = false,
           bool rtr = false) {
    Frame f;
    f.id = id;
    f.extended = extended;
    f.rtr = rtr;
    f.len = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

// The transmit buffer as the driver fills it, then the command.
void send(Sja1000 &c, const Frame &f, std::uint8_t command = CMD_TR) {
    std::vector<std::uint8_t> b{
        static_cast<std::uint8_t>((f.extended ? FI_FF : 0) | (f.rtr ? FI_RTR : 0) | f.len)};
    if (f.extended) {
        for (int shift : {21, 13, 5}) b.push_back(static_cast<std::uint8_t>(f.id >> shift));
        b.push_back(static_cast<std::uint8_t>(f.id << EXT_ID_SHIFT));
    } else {
        b.push_back(static_cast<std::uint8_t>(f.id >> 3));
        b.push_back(static_cast<std::uint8_t>(f.id << STD_ID_SHIFT));
    }
    for (unsigned i = 0; i < f.len && !f.rtr; ++i) b.push_back(f.data[i]);
    for (unsigned i = 0; i < b.size(); ++i) c.write(REG_FRAME + i, b[i]);
    c.write(REG_CMR, command);
}

// One-shot mode: transmission request with abort, a single attempt.
void one_shot(Sja1000 &c) { send(c, make(0x123, {0x11, 0x22}), CMD_TR | CMD_AT); }

// What can-dev's can_change_state() adds to the error frame of a state
// change: bus-off has a class of its own; otherwise CAN_ERR_CRTL and, in
// data[1], the warning or passive bit of the side (or both sides) carrying
// the new state, CAN_ERR_CRTL_ACTIVE on coming back to error active.
std::uint8_t tx_bits(can_state s) {
    switch (s) {
    case CAN_STATE_ERROR_ACTIVE: return CAN_ERR_CRTL_ACTIVE;
    case CAN_STATE_ERROR_WARNING: return CAN_ERR_CRTL_TX_WARNING;
    case CAN_STATE_ERROR_PASSIVE: return CAN_ERR_CRTL_TX_PASSIVE;
    default: return 0;
    }
}
std::uint8_t rx_bits(can_state s) {
    switch (s) {
    case CAN_STATE_ERROR_ACTIVE: return CAN_ERR_CRTL_ACTIVE;
    case CAN_STATE_ERROR_WARNING: return CAN_ERR_CRTL_RX_WARNING;
    case CAN_STATE_ERROR_PASSIVE: return CAN_ERR_CRTL_RX_PASSIVE;
    default: return 0;
    }
}
void mark_state_change(can_frame *cf, can_state tx, can_state rx) {
    if (std::max(tx, rx) == CAN_STATE_BUS_OFF) {
        cf->can_id |= CAN_ERR_BUSOFF;
        return;
    }
    cf->can_id |= CAN_ERR_CRTL;
    if (tx >= rx) cf->data[1] |= tx_bits(tx);
    if (tx <= rx) cf->data[1] |= rx_bits(rx);
}

// The registers of one interrupt, read as the driver's handler reads them:
// IR first (reading clears it), ECC and ALC only when IR names them
// (reading re-arms the capture), then status and counters.
struct Registers {
    std::uint8_t ir = 0, ecc = 0, alc = 0, sr = 0, txerr = 0, rxerr = 0;
};

// One interrupt as the network device handles it.
struct Report {
    Registers regs;
    can_state state = CAN_STATE_ERROR_ACTIVE;  // pci5c3a_err_state() of the registers
    can_state tx_state = CAN_STATE_ERROR_ACTIVE, rx_state = CAN_STATE_ERROR_ACTIVE;
    bool frame = false;    // an error frame went up
    bool changed = false;  // with a state change in it
    can_frame cf{};
};

// A port as its network device sees it: the state can-dev holds, and the
// interrupt handler's error path.
class NetPort {
public:
    explicit NetPort(Sja1000 &chip) : chip_(chip) {}
    // The driver's chip start (open, restart): can-dev's state is error active.
    void started() { state_ = CAN_STATE_ERROR_ACTIVE; }
    can_state state() const { return state_; }

    Report interrupt() {
        Report r;
        Registers &g = r.regs;
        g.ir = chip_.read(REG_IR);
        if (g.ir & IRQ_BEI) g.ecc = chip_.read(REG_ECC);
        if (g.ir & IRQ_ALI) g.alc = chip_.read(REG_ALC);
        g.sr = chip_.read(REG_SR);
        g.txerr = chip_.read(REG_TXERR);
        g.rxerr = chip_.read(REG_RXERR);
        // The receive path takes every stored frame and clears an overrun.
        for (int i = 0; i < 64 && chip_.read(REG_RMC) > 0; ++i) chip_.write(REG_CMR, CMD_RRB);
        if (g.ir & IRQ_DOI) chip_.write(REG_CMR, CMD_CDO);

        r.state = pci5c3a_err_state(g.sr, g.txerr, g.rxerr);
        pci5c3a_err_sides(r.state, g.txerr, g.rxerr, &r.tx_state, &r.rx_state);
        // can_change_state() takes the higher of the two as the new state.
        EXPECT_EQ(std::max(r.tx_state, r.rx_state), r.state);
        if (!(g.ir & kErrorInterrupts)) return r;

        // alloc_can_err_skb()'s frame, then the decoding.
        r.frame = true;
        r.cf.can_id = CAN_ERR_FLAG;
        r.cf.len = CAN_ERR_DLC;
        pci5c3a_err_frame(&r.cf, g.ir, g.ecc, g.alc, g.txerr, g.rxerr, r.state);
        if (r.state != state_) {
            mark_state_change(&r.cf, r.tx_state, r.rx_state);
            state_ = r.state;
            r.changed = true;
        }
        return r;
    }

private:
    Sja1000 &chip_;
    can_state state_ = CAN_STATE_ERROR_ACTIVE;
};

// Error frames as text, so that a failure shows every field:
// "can_id#data[0].data[1]...data[7]" in hex.
std::string text(canid_t id, const std::uint8_t *data) {
    std::ostringstream os;
    os << std::hex << std::setfill('0') << std::setw(8) << id << '#';
    for (unsigned i = 0; i < CAN_ERR_DLC; ++i) os << (i ? "." : "") << std::setw(2) << unsigned{data[i]};
    return os.str();
}
std::string error_frame(canid_t classes, const std::array<std::uint8_t, CAN_ERR_DLC> &data) {
    return text(CAN_ERR_FLAG | classes, data.data());
}
std::string frame_of(const Report &r) {
    if (!r.frame) return "no error frame";
    EXPECT_EQ(r.cf.len, CAN_ERR_DLC);
    return text(r.cf.can_id, r.cf.data);
}

constexpr canid_t kBusError = CAN_ERR_PROT | CAN_ERR_BUSERROR;
std::uint8_t u8(unsigned v) { return static_cast<std::uint8_t>(std::min(v, 255u)); }

// One card, its two ports on one cable; port 0 is the network device under
// test, port 1 another node that stays in reset mode (not on the bus) until
// a test starts it. Nodes outside the card send through the wire.
struct Card : ::testing::Test {
    Hardware hw{1, Wiring::loopback, std::nullopt};
    Sja1000 &port0 = hw.controller(0, 0);
    Sja1000 &port1 = hw.controller(0, 1);
    Wire &wire = hw.wire_of(0, 0);
    NetPort net{port0};
    NetPort net1{port1};

    // A node outside the card at `bit_time` sends one frame.
    void foreign(BitTime bit_time, const Frame &f = make(0x2A5, {1, 2, 3})) {
        wire.external_transmit(f, bit_time);
    }

    // Single shots nobody acknowledges until the transmit counter is 128.
    void climb_to_passive() {
        for (int i = 0; i < 16; ++i) {
            one_shot(port0);
            net.interrupt();
        }
        ASSERT_EQ(port0.peek(REG_TXERR), 128);
        ASSERT_EQ(net.state(), CAN_STATE_ERROR_PASSIVE);
    }
};

// ---------------------------------------------------------------------------
// A transmission nobody acknowledges: an acknowledge error ("other" error in
// the ACK slot, while transmitting) per attempt, eight on the transmit
// counter each, until error passive, where acknowledge errors no longer count.

using ErrframeAck = Card;

TEST_F(ErrframeAck, OneShotAttemptsClimbThroughWarningToPassive) {
    start(port0);
    for (unsigned n = 1; n <= 18; ++n) {
        SCOPED_TRACE(n);
        one_shot(port0);
        const Report r = net.interrupt();
        const std::uint8_t tec = u8(std::min(8 * n, 128u));
        const can_state want = tec >= 128  ? CAN_STATE_ERROR_PASSIVE
                               : tec >= 96 ? CAN_STATE_ERROR_WARNING
                                           : CAN_STATE_ERROR_ACTIVE;
        // 96 (12 errors) is the power-up warning limit, 128 (16) error passive.
        const std::uint8_t crtl = n == 12 ? CAN_ERR_CRTL_TX_WARNING : n == 16 ? CAN_ERR_CRTL_TX_PASSIVE : 0;
        EXPECT_EQ(frame_of(r), error_frame(kBusError | CAN_ERR_CNT | (crtl ? CAN_ERR_CRTL : 0),
                                           {0, crtl, CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ACK, 0, 0, tec, 0}));
        EXPECT_EQ(r.state, want);
        EXPECT_EQ(r.tx_state, want);
        EXPECT_EQ(r.rx_state, CAN_STATE_ERROR_ACTIVE);
        EXPECT_EQ(r.changed, n == 12 || n == 16);
        EXPECT_EQ(net.state(), want);
    }
}

// A handler that runs only after the chip gave up retrying sees the whole
// climb in one interrupt: the first error captured, warning and passive
// both latched, the state straight from active to passive.
TEST_F(ErrframeAck, RetriedTransmissionGoesToPassiveInOneInterrupt) {
    start(port0);
    send(port0, make(0x10, {1}));
    Report r = net.interrupt();
    EXPECT_EQ(r.regs.ir & (IRQ_EI | IRQ_EPI | IRQ_BEI), IRQ_EI | IRQ_EPI | IRQ_BEI);
    EXPECT_EQ(frame_of(r),
              error_frame(kBusError | CAN_ERR_CNT | CAN_ERR_CRTL,
                          {0, CAN_ERR_CRTL_TX_PASSIVE, CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ACK, 0, 0, 128, 0}));
    EXPECT_EQ(net.state(), CAN_STATE_ERROR_PASSIVE);

    // Still pending: every further attempt is a bus error, not counted.
    for (int i = 0; i < 3; ++i) {
        wire.arbitrate();
        r = net.interrupt();
        EXPECT_EQ(frame_of(r), error_frame(kBusError | CAN_ERR_CNT,
                                           {0, 0, CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ACK, 0, 0, 128, 0}));
        EXPECT_FALSE(r.changed);
    }
    // Aborted: the buffer is free again, no error frame for that.
    port0.write(REG_CMR, CMD_AT);
    r = net.interrupt();
    EXPECT_EQ(r.regs.ir, IRQ_TI);
    EXPECT_EQ(frame_of(r), "no error frame");
}

// Once a node acknowledges, every frame sent takes one off the transmit
// counter: at 127 error passive is left (warning still, 127 being above
// the limit), below 96 the port is error active again.
TEST_F(ErrframeAck, AcknowledgedFramesBringTheTransmitterBack) {
    start(port0);
    climb_to_passive();
    start(port1);
    for (unsigned tec = 127; tec >= 90; --tec) {
        SCOPED_TRACE(tec);
        send(port0, make(0x55));
        const Report r = net.interrupt();
        ASSERT_EQ(r.regs.txerr, tec);
        if (tec == 127) {
            EXPECT_EQ(frame_of(r), error_frame(CAN_ERR_CRTL | CAN_ERR_CNT,
                                               {0, CAN_ERR_CRTL_TX_WARNING, 0, 0, 0, 0, 127, 0}));
            EXPECT_EQ(r.tx_state, CAN_STATE_ERROR_WARNING);
        } else if (tec == 95) {
            EXPECT_EQ(frame_of(r),
                      error_frame(CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_ACTIVE, 0, 0, 0, 0, 95, 0}));
        } else {
            EXPECT_EQ(frame_of(r), "no error frame");  // a transmit interrupt only
        }
        EXPECT_EQ(net.state(), tec >= 96 ? CAN_STATE_ERROR_WARNING : CAN_STATE_ERROR_ACTIVE);
    }
}

// ---------------------------------------------------------------------------
// Bus-off. Acknowledge errors alone never get there (an error-passive
// transmitter's do not count) and the model has no bit errors, so the
// chip's own forced bus-off is used: 255 written to TXERR in reset mode
// takes effect when reset mode is left.

using ErrframeBusOff = Card;

TEST_F(ErrframeBusOff, ForcedFromPassiveThenRestartedToActive) {
    start(port0);
    climb_to_passive();
    port0.write(REG_MOD, MOD_RM);
    port0.write(REG_TXERR, 255);
    port0.write(REG_MOD, MOD_AFM);
    Report r = net.interrupt();
    EXPECT_EQ(r.regs.ir & IRQ_EI, IRQ_EI);
    EXPECT_EQ(r.regs.sr & SR_BS, SR_BS);
    EXPECT_EQ(port0.peek(REG_MOD) & MOD_RM, MOD_RM);  // the chip took itself off the bus
    // The counters (the chip sets TXERR to 127) are not in a bus-off frame.
    EXPECT_EQ(frame_of(r), error_frame(CAN_ERR_BUSOFF, {}));
    EXPECT_EQ(r.state, CAN_STATE_BUS_OFF);
    EXPECT_EQ(r.tx_state, CAN_STATE_BUS_OFF);
    EXPECT_EQ(r.rx_state, CAN_STATE_ERROR_ACTIVE);

    // Restart (restart-ms or `ip link set canN type can restart`): the
    // driver starts the chip again; recovery clears both counters.
    net.started();
    port0.write(REG_MOD, MOD_AFM);
    r = net.interrupt();
    EXPECT_EQ(r.regs.ir & IRQ_EI, IRQ_EI);
    EXPECT_EQ(r.regs.sr & (SR_BS | SR_ES), 0);
    EXPECT_EQ(frame_of(r), error_frame(CAN_ERR_CNT, {}));
    EXPECT_EQ(r.state, CAN_STATE_ERROR_ACTIVE);
    EXPECT_FALSE(r.changed);
    start(port1);
    send(port0, make(0x77, {7}));
    r = net.interrupt();
    EXPECT_EQ(r.regs.sr & SR_TCS, SR_TCS);
    EXPECT_EQ(frame_of(r), "no error frame");
}

// ---------------------------------------------------------------------------
// The wrong bit rate: the other nodes' frames are a stuff error early in the
// identifier for this port, one on the receive counter each; it is the
// receive side that carries the state.

using ErrframeReceive = Card;

TEST_F(ErrframeReceive, OtherBitRateClimbsTheReceiveSide) {
    start(port0, kBtr1Fast);
    for (unsigned n = 1; n <= 130; ++n) {
        SCOPED_TRACE(n);
        foreign(kSlow);
        const Report r = net.interrupt();
        const std::uint8_t crtl = n == 96 ? CAN_ERR_CRTL_RX_WARNING : n == 128 ? CAN_ERR_CRTL_RX_PASSIVE : 0;
        EXPECT_EQ(frame_of(r),
                  error_frame(kBusError | CAN_ERR_CNT | (crtl ? CAN_ERR_CRTL : 0),
                              {0, crtl, CAN_ERR_PROT_STUFF, CAN_ERR_PROT_LOC_ID28_21, 0, 0, 0, u8(n)}));
        const can_state want = n >= 128  ? CAN_STATE_ERROR_PASSIVE
                               : n >= 96 ? CAN_STATE_ERROR_WARNING
                                         : CAN_STATE_ERROR_ACTIVE;
        EXPECT_EQ(r.state, want);
        EXPECT_EQ(r.rx_state, want);
        EXPECT_EQ(r.tx_state, CAN_STATE_ERROR_ACTIVE);
    }

    // The bit rate put right (reset mode keeps the counters): the first
    // valid frame brings an error-passive receiver to 127, each further one
    // takes one off.
    start(port0, kBtr1Slow);
    EXPECT_EQ(frame_of(net.interrupt()), "no error frame");
    for (unsigned rec = 127; rec >= 94; --rec) {
        SCOPED_TRACE(rec);
        foreign(kSlow);
        const Report r = net.interrupt();
        ASSERT_EQ(r.regs.rxerr, rec);
        if (rec == 127) {
            EXPECT_EQ(frame_of(r), error_frame(CAN_ERR_CRTL | CAN_ERR_CNT,
                                               {0, CAN_ERR_CRTL_RX_WARNING, 0, 0, 0, 0, 0, 127}));
        } else if (rec == 95) {
            EXPECT_EQ(frame_of(r),
                      error_frame(CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_ACTIVE, 0, 0, 0, 0, 0, 95}));
        } else {
            EXPECT_EQ(frame_of(r), "no error frame");
        }
    }
    EXPECT_EQ(net.state(), CAN_STATE_ERROR_ACTIVE);
}

// Listen-only (a monitoring port): bus errors are still reported, the
// counters stand still, the state never changes.
TEST_F(ErrframeReceive, ListenOnlyReportsBusErrorsWithoutCounting) {
    start(port0, kBtr1Fast, MOD_AFM | MOD_LOM);
    for (int n = 0; n < 140; ++n) {
        foreign(kSlow);
        const Report r = net.interrupt();
        ASSERT_EQ(frame_of(r), error_frame(kBusError | CAN_ERR_CNT,
                                           {0, 0, CAN_ERR_PROT_STUFF, CAN_ERR_PROT_LOC_ID28_21, 0, 0, 0, 0}))
            << n;
    }
    EXPECT_EQ(net.state(), CAN_STATE_ERROR_ACTIVE);
}

// Both counters at work: the state is on the side whose counter is higher.
TEST_F(ErrframeReceive, TheHigherCounterCarriesTheState) {
    start(port0);
    for (int i = 0; i < 6; ++i) {
        one_shot(port0);  // transmit counter 48
        net.interrupt();
    }
    for (int n = 1; n <= 96; ++n) {
        foreign(kSlow);
        const Report r = net.interrupt();
        if (n < 96) continue;
        EXPECT_EQ(frame_of(r), error_frame(kBusError | CAN_ERR_CNT | CAN_ERR_CRTL,
                                           {0, CAN_ERR_CRTL_RX_WARNING, CAN_ERR_PROT_STUFF,
                                            CAN_ERR_PROT_LOC_ID28_21, 0, 0, 48, 96}));
    }
    EXPECT_EQ(net.state(), CAN_STATE_ERROR_WARNING);
    for (unsigned tec = 56; tec <= 128; tec += 8) {
        SCOPED_TRACE(tec);
        one_shot(port0);
        const Report r = net.interrupt();
        const std::uint8_t crtl = tec == 128 ? CAN_ERR_CRTL_TX_PASSIVE : 0;  // still warning before
        EXPECT_EQ(frame_of(r),
                  error_frame(kBusError | CAN_ERR_CNT | (crtl ? CAN_ERR_CRTL : 0),
                              {0, crtl, CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ACK, 0, 0, u8(tec), 96}));
        EXPECT_EQ(r.state, tec == 128 ? CAN_STATE_ERROR_PASSIVE : CAN_STATE_ERROR_WARNING);
        EXPECT_EQ(r.tx_state, tec >= 96 ? r.state : CAN_STATE_ERROR_ACTIVE);  // both at 96
        EXPECT_EQ(r.rx_state, tec <= 96 ? r.state : CAN_STATE_ERROR_ACTIVE);
    }
    EXPECT_EQ(net.state(), CAN_STATE_ERROR_PASSIVE);
}

// ---------------------------------------------------------------------------
// Arbitration lost. On the model's event-level bus two frames contend only
// when their senders were asleep and bus activity wakes them together.

using ErrframeArbitration = Card;

TEST_F(ErrframeArbitration, DataZeroIsTheCapturedBitPosition) {
    start(port0);
    start(port1);
    struct Case {
        Frame loser, winner;
        std::uint8_t alc;  // the data sheet's code of the bit the loser was sending recessive
    };
    const Case cases[] = {
        {make(0x400), make(0x000), 0},                  // ID.28, the first identifier bit
        {make(0x101), make(0x100), 10},                 // ID.18, a standard frame's last
        {make(0x10, {}, false, true), make(0x10), 11},  // RTR of a standard frame (SRTR place)
        {make(0x10u << 18, {}, true), make(0x10), 11},  // SRR of an extended frame
        {make(0x10u << 18, {}, true), make(0x10, {}, false, true), 12},  // IDE
        {make(0x20000, {}, true), make(0x00000, {}, true), 13},          // ID.17
        {make(0x1, {}, true), make(0x0, {}, true), 30},                  // ID.0
        {make(0x1234, {}, true, true), make(0x1234, {}, true), 31},      // RTR of an extended frame
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.alc));
        port0.write(REG_MOD, MOD_AFM | MOD_SM);
        port1.write(REG_MOD, MOD_AFM | MOD_SM);
        ASSERT_EQ(port0.peek(REG_MOD) & MOD_SM, MOD_SM);
        ASSERT_EQ(port1.peek(REG_MOD) & MOD_SM, MOD_SM);
        send(port0, c.loser);
        send(port1, c.winner);
        foreign(kFast, make(0x7FF));  // wakes both
        const Report lost = net.interrupt();
        EXPECT_EQ(lost.regs.ir & IRQ_ALI, IRQ_ALI);
        EXPECT_EQ(frame_of(lost), error_frame(CAN_ERR_LOSTARB | CAN_ERR_CNT, {c.alc, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(lost.regs.sr & SR_TCS, SR_TCS);  // sent after the winner
        EXPECT_EQ(frame_of(net1.interrupt()), "no error frame");
    }
    EXPECT_EQ(net.state(), CAN_STATE_ERROR_ACTIVE);
}

// ---------------------------------------------------------------------------
// Data overrun: a frame that finds the 64-byte receive FIFO full is lost,
// a controller problem rather than a bus error.

using ErrframeOverrun = Card;

TEST_F(ErrframeOverrun, FullReceiveFifoIsAControllerOverflow) {
    start(port0);
    start(port1);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        // 8-byte standard frames take 11 bytes: five fit, the sixth is lost.
        for (int i = 0; i < 6; ++i) send(port1, make(0x100 + i, {1, 2, 3, 4, 5, 6, 7, 8}));
        const Report r = net.interrupt();
        EXPECT_EQ(r.regs.ir & (IRQ_RI | IRQ_DOI), IRQ_RI | IRQ_DOI);
        EXPECT_EQ(frame_of(r),
                  error_frame(CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_RX_OVERFLOW, 0, 0, 0, 0, 0, 0}));
        EXPECT_FALSE(r.changed);
        EXPECT_EQ(port0.peek(REG_SR) & SR_DOS, 0);  // cleared by the handler
    }
}

// A handler that comes late finds an overrun, a bus error and the warning
// in one interrupt: one frame with all three.
TEST_F(ErrframeOverrun, TogetherWithABusErrorAndAStateChange) {
    start(port0);
    for (int i = 0; i < 6; ++i) foreign(kFast, make(0x100 + i, {1, 2, 3, 4, 5, 6, 7, 8}));
    for (int i = 0; i < 96; ++i) foreign(kSlow);
    const Report r = net.interrupt();
    EXPECT_EQ(r.regs.ir & kErrorInterrupts, IRQ_DOI | IRQ_BEI | IRQ_EI);
    EXPECT_EQ(frame_of(r), error_frame(CAN_ERR_CRTL | kBusError | CAN_ERR_CNT,
                                       {0, CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_RX_WARNING,
                                        CAN_ERR_PROT_STUFF, CAN_ERR_PROT_LOC_ID28_21, 0, 0, 0, 96}));
    EXPECT_EQ(net.state(), CAN_STATE_ERROR_WARNING);
}

// ---------------------------------------------------------------------------
// The error warning limit (EWLR, 96 from power-up) is where the warning
// state begins; error passive stays at 128 whatever it is.

using ErrframeWarningLimit = Card;

TEST_F(ErrframeWarningLimit, LowerLimitWarnsEarlier) {
    start(port0, kBtr1Fast, MOD_AFM, 40);
    for (unsigned n = 1; n <= 16; ++n) {
        SCOPED_TRACE(n);
        one_shot(port0);
        const Report r = net.interrupt();
        const std::uint8_t crtl = n == 5 ? CAN_ERR_CRTL_TX_WARNING : n == 16 ? CAN_ERR_CRTL_TX_PASSIVE : 0;
        EXPECT_EQ(r.cf.data[1], crtl);
        EXPECT_EQ(r.state, n >= 16  ? CAN_STATE_ERROR_PASSIVE
                           : n >= 5 ? CAN_STATE_ERROR_WARNING
                                    : CAN_STATE_ERROR_ACTIVE);
    }
}

TEST_F(ErrframeWarningLimit, LimitAbovePassiveNeverWarns) {
    start(port0, kBtr1Fast, MOD_AFM, 200);
    for (unsigned n = 1; n <= 16; ++n) {
        SCOPED_TRACE(n);
        one_shot(port0);
        const Report r = net.interrupt();
        EXPECT_EQ(r.cf.data[1], n == 16 ? CAN_ERR_CRTL_TX_PASSIVE : 0);
        EXPECT_EQ(r.state, n == 16 ? CAN_STATE_ERROR_PASSIVE : CAN_STATE_ERROR_ACTIVE);
    }
    // Back below 128, under a limit of 200: straight to error active.
    start(port1);
    send(port0, make(0x55));
    const Report r = net.interrupt();
    EXPECT_EQ(frame_of(r),
              error_frame(CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_ACTIVE, 0, 0, 0, 0, 127, 0}));
}

// The limit lowered under a counter already past it: the warning comes
// when reset mode is left.
TEST_F(ErrframeWarningLimit, LoweredUnderTheCounter) {
    start(port0);
    for (int i = 0; i < 6; ++i) {
        one_shot(port0);
        EXPECT_EQ(net.interrupt().state, CAN_STATE_ERROR_ACTIVE);
    }
    port0.write(REG_MOD, MOD_RM);
    port0.write(REG_EWLR, 48);
    EXPECT_EQ(net.interrupt().state, CAN_STATE_ERROR_ACTIVE);  // not yet
    port0.write(REG_MOD, MOD_AFM);
    const Report r = net.interrupt();
    EXPECT_EQ(frame_of(r),
              error_frame(CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_TX_WARNING, 0, 0, 0, 0, 48, 0}));
}

// ---------------------------------------------------------------------------
// Register values the model cannot produce (it has no bit errors, form
// errors or errors outside the identifier and the acknowledge slot, and its
// bus-off recovery is immediate), decoded from hand-built values in the
// data sheet's coding.

TEST(ErrframeCodes, BusErrorTypeSegmentAndDirection) {
    struct Case {
        std::uint8_t ecc;
        std::uint8_t type;      // data[2]
        std::uint8_t location;  // data[3]
    };
    const Case cases[] = {
        {0x0A, CAN_ERR_PROT_BIT | CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_DATA},  // bit error sending data
        {0x39, CAN_ERR_PROT_BIT, CAN_ERR_PROT_LOC_ACK},  // receiver's acknowledge not seen dominant
        {0x78, CAN_ERR_PROT_FORM, CAN_ERR_PROT_LOC_CRC_DEL},
        {0x5B, CAN_ERR_PROT_FORM | CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ACK_DEL},
        {0x7A, CAN_ERR_PROT_FORM, CAN_ERR_PROT_LOC_EOF},
        {0x8F, CAN_ERR_PROT_STUFF | CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ID12_05},
        {0xA8, CAN_ERR_PROT_STUFF, CAN_ERR_PROT_LOC_CRC_SEQ},
        {0x86, CAN_ERR_PROT_STUFF | CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ID20_18},
        {0xEB, 0, CAN_ERR_PROT_LOC_DLC},  // "other": no type of its own
        {0xD2, CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_INTERM},
        {0x11, CAN_ERR_PROT_BIT | CAN_ERR_PROT_TX, 0x11},  // in the active error flag: no Linux name
    };
    for (const Case &c : cases) {
        can_frame cf{};
        cf.can_id = CAN_ERR_FLAG;
        cf.len = CAN_ERR_DLC;
        pci5c3a_err_frame(&cf, IRQ_BEI, c.ecc, 0, 1, 2, CAN_STATE_ERROR_ACTIVE);
        EXPECT_EQ(text(cf.can_id, cf.data),
                  error_frame(kBusError | CAN_ERR_CNT, {0, 0, c.type, c.location, 0, 0, 1, 2}))
            << "ECC " << std::hex << unsigned{c.ecc};
    }
    // Bus-off with a bus error in the same interrupt: the error, no counters.
    can_frame cf{};
    cf.can_id = CAN_ERR_FLAG;
    pci5c3a_err_frame(&cf, IRQ_BEI | IRQ_EI, 0x0A, 0, 127, 0, CAN_STATE_BUS_OFF);
    EXPECT_EQ(text(cf.can_id, cf.data), error_frame(kBusError, {0, 0, CAN_ERR_PROT_BIT | CAN_ERR_PROT_TX,
                                                                CAN_ERR_PROT_LOC_DATA, 0, 0, 0, 0}));
    // ALC bits 7-5 are reserved; only an interrupt that names a register
    // makes its register count.
    cf = can_frame{};
    cf.can_id = CAN_ERR_FLAG;
    pci5c3a_err_frame(&cf, IRQ_ALI, 0xFF, 0xE5, 0, 0, CAN_STATE_ERROR_ACTIVE);
    EXPECT_EQ(text(cf.can_id, cf.data), error_frame(CAN_ERR_LOSTARB | CAN_ERR_CNT, {5, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ErrframeCodes, StateFromStatusAndCounters) {
    struct Case {
        std::uint8_t sr, txerr, rxerr;
        can_state state, tx, rx;
    };
    constexpr can_state A = CAN_STATE_ERROR_ACTIVE, W = CAN_STATE_ERROR_WARNING, P = CAN_STATE_ERROR_PASSIVE,
                        B = CAN_STATE_BUS_OFF;
    const Case cases[] = {
        {0, 0, 0, A, A, A},
        {0, 95, 95, A, A, A},
        {SR_ES, 96, 0, W, W, A},
        {SR_ES, 10, 96, W, A, W},
        {SR_ES, 127, 127, W, W, W},  // equal: both sides
        {SR_ES, 128, 0, P, P, A},
        {SR_ES, 0, 128, P, A, P},
        {SR_ES, 200, 128, P, P, A},
        {SR_ES, 128, 128, P, P, P},
        {0, 128, 0, P, P, A},  // warning limit above 128
        {SR_BS | SR_ES, 127, 0, B, B, A},
        {SR_BS, 40, 0, B, B, A},  // recovery under way: TXERR counts the bus-free periods down
        {SR_BS, 0, 0, B, B, A},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "SR " << std::hex << unsigned{c.sr} << std::dec << " TXERR "
                                          << unsigned{c.txerr} << " RXERR " << unsigned{c.rxerr});
        const can_state state = pci5c3a_err_state(c.sr, c.txerr, c.rxerr);
        EXPECT_EQ(state, c.state);
        can_state tx = B, rx = B;
        pci5c3a_err_sides(state, c.txerr, c.rxerr, &tx, &rx);
        EXPECT_EQ(tx, c.tx);
        EXPECT_EQ(rx, c.rx);
    }
}

}  // namespace
