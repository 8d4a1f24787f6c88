// SPDX-License-Identifier: MIT
// hw_controller.cpp - one SJA1000 in PeliCAN mode: register file with the chip's
// reset-mode / operating-mode access rules, command execution, the 64-byte
// receive FIFO, the acceptance filter and the error counters.
//
// Bus events arrive from Wire (hw_wire.cpp) as whole frames; this file decides
// only what the chip does with them.
#include <algorithm>

#include "hw_controller.h"

#include "hw_wire.h"
#include "sja1000.h"

namespace vcard {

namespace {

constexpr unsigned kFifoSize = 64;       // receive FIFO RAM
constexpr unsigned kTxBufferSize = 13;   // frame info + 4 id + 8 data
constexpr unsigned kErrorPassive = 128;  // a counter above 127 is error passive
constexpr unsigned kBusOffTec = 127;     // TEC after bus-off
constexpr unsigned kAckErrorStep = 8;    // transmitter's penalty per error

// A node sending at another bit rate is heard as garbage: the bit stream
// processor trips over a stuff violation early in the identifier.
constexpr std::uint8_t kEccWrongBitRate = ECC_STUFF | ECC_DIR_RX | ECC_SEG_ID28_21;
// Nobody drove the acknowledge slot dominant while we were sending.
constexpr std::uint8_t kEccAckError = ECC_OTHER | ECC_SEG_ACK_SLOT;

// A filter byte passes when every compared bit that the mask does not mark
// "don't care" equals the code bit.
bool matches(unsigned value, std::uint8_t code, std::uint8_t mask, std::uint8_t compared = 0xFF) {
    return ((value ^ code) & ~mask & compared & 0xFFu) == 0;
}

}  // namespace

unsigned data_bytes(const Frame &frame) {
    return frame.rtr ? 0u : std::min<unsigned>(frame.len, kMaxDataBytes);
}

Frame normalised(const Frame &frame) {
    Frame f = frame;
    f.id &= f.extended ? SJA1000_EXT_ID_MASK : SJA1000_STD_ID_MASK;
    f.len = static_cast<std::uint8_t>(std::min<unsigned>(f.len, kMaxDlc));
    for (unsigned i = data_bytes(f); i < kMaxDataBytes; ++i) f.data[i] = 0;
    return f;
}

struct Sja1000::State {
    std::uint8_t mod = MOD_RM;  // RM, LOM, STM, AFM; SM is `asleep`
    bool asleep = false;
    std::uint8_t ier = 0;
    std::uint8_t ir = 0;  // latched interrupt bits; RI is a level, not latched
    std::uint8_t btr0 = 0, btr1 = 0, ocr = 0;
    std::uint8_t alc = 0, ecc = 0;
    bool alc_armed = true, ecc_armed = true;
    std::uint8_t ewlr = EWLR_POWER_UP;
    unsigned rxerr = 0, txerr = 0;
    std::array<std::uint8_t, 4> acr{}, amr{};
    std::uint8_t rbsa = 0;
    std::uint8_t cdr = CDR_PELICAN;
    std::array<std::uint8_t, kTxBufferSize> txbuf{};
    std::array<std::uint8_t, kFifoSize> ram{};
    unsigned fifo_bytes = 0;  // bytes of stored frames from rbsa on
    unsigned rmc = 0;
    bool dos = false;
    bool tcs = true;       // power-up: "last transmission complete"
    bool pending = false;  // TBS clear: a frame waits for the bus
    bool single_shot = false, self_rx = false;
    Frame frame{};
    bool es = false, bs = false, passive = false;  // as last evaluated

    bool in_reset() const { return mod & MOD_RM; }

    // An interrupt bit is latched only when its enable bit is set.
    void raise(std::uint8_t bit) {
        if (ier & bit) ir |= bit;
    }
    bool ri_level() const { return (ier & IRQ_RI) && rmc > 0; }

    std::uint8_t status() const {
        std::uint8_t sr = 0;
        if (rmc > 0) sr |= SR_RBS;
        if (dos) sr |= SR_DOS;
        if (!pending) sr |= SR_TBS;
        if (tcs) sr |= SR_TCS;
        if (in_reset()) sr |= SR_RS | SR_TS;
        else if (pending) sr |= SR_TS;
        if (es) sr |= SR_ES;
        if (bs) sr |= SR_BS;
        return sr;
    }

    // Error warning (ES) against the limit, error passive from either
    // counter; EI on any change of ES or BS, EPI on entering or leaving
    // error passive.
    void evaluate_errors(bool bus_status_changed) {
        bool es_now = txerr >= ewlr || rxerr >= ewlr;
        bool passive_now = !bs && (txerr >= kErrorPassive || rxerr >= kErrorPassive);
        if (es_now != es || bus_status_changed) raise(IRQ_EI);
        if (passive_now != passive) raise(IRQ_EPI);
        es = es_now;
        passive = passive_now;
    }

    // Frames a reset discarded from the FIFO, for ReceiveCounters::flushed.
    std::uint64_t flushed = 0;

    void clear_fifo() {
        flushed += rmc;
        fifo_bytes = 0;
        rmc = 0;
    }

    // Software reset: FIFO emptied, data overrun cleared, a pending
    // transmission cancelled, sleep left; configuration, counters, RBSA and
    // the clock divider keep their values.
    void enter_reset() {
        mod |= MOD_RM;
        clear_fifo();
        dos = false;
        pending = false;
        asleep = false;
        ir &= static_cast<std::uint8_t>(~(IRQ_DOI | IRQ_WUI));
    }

    // TEC beyond 255: the controller takes itself off the bus in reset mode.
    void bus_off() {
        enter_reset();
        txerr = kBusOffTec;
        rxerr = 0;
        bs = true;
        passive = false;  // bus-off is its own state, reported through EI
        evaluate_errors(true);
    }

    // Counters written in reset mode are interpreted only now.
    void leave_reset() {
        mod &= static_cast<std::uint8_t>(~MOD_RM);
        if (bs) {
            // Bus-off recovery: 128 x 11 recessive bits, taken as immediate.
            txerr = 0;
            rxerr = 0;
            bs = false;
            evaluate_errors(true);
        } else if (txerr == 0xFF) {
            bus_off();
        } else {
            evaluate_errors(false);
        }
    }

    // Returns true when the bus should look at this node again.
    bool write_mod(std::uint8_t v) {
        const bool was_reset = in_reset();
        const bool want_reset = v & MOD_RM;
        if (was_reset) mod = static_cast<std::uint8_t>((mod & MOD_RM) | (v & (MOD_LOM | MOD_STM | MOD_AFM)));
        if (!was_reset && want_reset) {
            enter_reset();
            return false;
        }
        if (was_reset && !want_reset) {
            leave_reset();
            return !in_reset();
        }
        if (was_reset) return false;
        // Operating mode: SM. The chip goes to sleep only with no interrupt
        // pending; clearing SM wakes it.
        const bool want_sleep = v & MOD_SM;
        if (want_sleep && !asleep && ir == 0 && !ri_level()) {
            asleep = true;
        } else if (!want_sleep && asleep) {
            asleep = false;
            raise(IRQ_WUI);
            return true;
        }
        return false;
    }

    Frame frame_from_tx_buffer() const {
        Frame f;
        const std::uint8_t info = txbuf[0];
        f.extended = info & FI_FF;
        f.rtr = info & FI_RTR;
        f.len = info & FI_DLC;
        unsigned at;
        if (f.extended) {
            f.id = (std::uint32_t{txbuf[1]} << 21) | (std::uint32_t{txbuf[2]} << 13) |
                   (std::uint32_t{txbuf[3]} << 5) | (txbuf[4] >> 3);
            at = 5;
        } else {
            f.id = (std::uint32_t{txbuf[1]} << 3) | (txbuf[2] >> 5);
            at = 3;
        }
        for (unsigned i = 0; i < data_bytes(f); ++i) f.data[i] = txbuf[at + i];
        return f;
    }

    // TBS 0 -> 1: the transmit buffer is free again (TI on every release,
    // also after an abort or a failed single shot; TCS tells them apart).
    void release_tx(bool completed) {
        pending = false;
        if (completed) tcs = true;
        raise(IRQ_TI);
    }

    // Returns true when a new frame is waiting for the bus.
    bool command(std::uint8_t v) {
        if (in_reset()) return false;  // the chip executes no commands in reset mode
        const bool was_pending = pending;
        bool requested = false;
        if ((v & CMD_AT) && pending) release_tx(false);
        if ((v & (CMD_TR | CMD_SRR)) && !was_pending) {
            frame = frame_from_tx_buffer();
            pending = true;
            tcs = false;
            single_shot = v & CMD_AT;
            self_rx = v & CMD_SRR;
            requested = true;
        }
        if (v & CMD_RRB) release_receive_buffer();
        if (v & CMD_CDO) dos = false;
        return requested;
    }

    unsigned stored_length_at(unsigned at) const {
        const std::uint8_t info = ram[at % kFifoSize];
        unsigned n = (info & FI_RTR) ? 0u : std::min<unsigned>(info & FI_DLC, kMaxDataBytes);
        return 1 + ((info & FI_FF) ? 4 : 2) + n;
    }

    void release_receive_buffer() {
        if (rmc == 0) return;
        const unsigned n = stored_length_at(rbsa);
        rbsa = static_cast<std::uint8_t>((rbsa + n) % kFifoSize);
        fifo_bytes -= n;
        --rmc;
    }

    // Frame info, identifier bytes (RTR repeated in them) and data, written
    // into the FIFO RAM at the end of the stored frames, wrapping at 64.
    // False when the frame was lost to data overrun.
    bool store(const Frame &f) {
        std::array<std::uint8_t, kTxBufferSize> bytes{};
        unsigned n = 0;
        bytes[n++] =
            static_cast<std::uint8_t>((f.extended ? FI_FF : 0) | (f.rtr ? FI_RTR : 0) | (f.len & FI_DLC));
        if (f.extended) {
            bytes[n++] = static_cast<std::uint8_t>(f.id >> 21);
            bytes[n++] = static_cast<std::uint8_t>(f.id >> 13);
            bytes[n++] = static_cast<std::uint8_t>(f.id >> 5);
            bytes[n++] = static_cast<std::uint8_t>((f.id << 3) | (f.rtr ? AF_EFF_RTR : 0));
        } else {
            bytes[n++] = static_cast<std::uint8_t>(f.id >> 3);
            bytes[n++] = static_cast<std::uint8_t>((f.id << 5) | (f.rtr ? AF_SFF_RTR : 0));
        }
        for (unsigned i = 0; i < data_bytes(f); ++i) bytes[n++] = f.data[i];
        if (fifo_bytes + n > kFifoSize) {
            // Data overrun: the frame is lost; DOI on the rising edge of DOS.
            if (!dos) raise(IRQ_DOI);
            dos = true;
            return false;
        }
        for (unsigned i = 0; i < n; ++i) ram[(rbsa + fifo_bytes + i) % kFifoSize] = bytes[i];
        fifo_bytes += n;
        ++rmc;
        return true;
    }

    bool accepts(const Frame &f) const {
        const unsigned n = data_bytes(f);
        if (f.extended) {
            const unsigned b0 = f.id >> 21, b1 = (f.id >> 13) & 0xFF, b2 = (f.id >> 5) & 0xFF;
            const unsigned b3 = ((f.id << 3) & 0xF8) | (f.rtr ? AF_EFF_RTR : 0);
            if (mod & MOD_AFM)
                return matches(b0, acr[0], amr[0]) && matches(b1, acr[1], amr[1]) &&
                       matches(b2, acr[2], amr[2]) && matches(b3, acr[3], amr[3], 0xFC);
            // Dual filter, extended frames: ID.28-13 only, against 0/1 or 2/3.
            return (matches(b0, acr[0], amr[0]) && matches(b1, acr[1], amr[1])) ||
                   (matches(b0, acr[2], amr[2]) && matches(b1, acr[3], amr[3]));
        }
        const unsigned b0 = f.id >> 3;
        const unsigned b1 = ((f.id << 5) & 0xE0) | (f.rtr ? AF_SFF_RTR : 0);
        if (mod & MOD_AFM)
            return matches(b0, acr[0], amr[0]) && matches(b1, acr[1], amr[1], 0xF0) &&
                   (n < 1 || matches(f.data[0], acr[2], amr[2])) &&
                   (n < 2 || matches(f.data[1], acr[3], amr[3]));
        // Dual filter, standard frames: filter 1 is ACR0, ACR1 and the first
        // data byte split over ACR1 3-0 (high nibble) and ACR3 3-0 (low
        // nibble); filter 2 is ACR2 and ACR3 7-4.
        const bool first = matches(b0, acr[0], amr[0]) && matches(b1, acr[1], amr[1], 0xF0) &&
                           (n < 1 || (matches(f.data[0] >> 4, acr[1], amr[1], 0x0F) &&
                                      matches(f.data[0], acr[3], amr[3], 0x0F)));
        const bool second = matches(b0, acr[2], amr[2]) && matches(b1, acr[3], amr[3], 0xF0);
        return first || second;
    }

    // Capture registers hold the first event until read; the interrupt
    // that goes with them is possible again only after that read.
    void capture_error(std::uint8_t code) {
        if (!ecc_armed) return;
        ecc = code;
        ecc_armed = false;
        raise(IRQ_BEI);
    }

    BitTime bit_time() const {
        const unsigned brp = btr0 & BTR0_BRP_MASK;
        const unsigned tseg1 = btr1 & BTR1_TSEG1_MASK;
        const unsigned tseg2 = (btr1 & BTR1_TSEG2_MASK) >> BTR1_TSEG2_SHIFT;
        return 2 * (brp + 1) * (3 + tseg1 + tseg2);
    }

    std::uint8_t peek(unsigned reg) const {
        switch (reg) {
        case REG_MOD: return static_cast<std::uint8_t>(mod | (asleep ? MOD_SM : 0));
        case REG_SR: return status();
        case REG_IR: return static_cast<std::uint8_t>(ir | (ri_level() ? IRQ_RI : 0));
        case REG_IER: return ier;
        case REG_BTR0: return btr0;
        case REG_BTR1: return btr1;
        case REG_OCR: return ocr;
        case REG_ALC: return alc;
        case REG_ECC: return ecc;
        case REG_EWLR: return ewlr;
        case REG_RXERR: return static_cast<std::uint8_t>(rxerr);
        case REG_TXERR: return static_cast<std::uint8_t>(txerr);
        case REG_RMC: return static_cast<std::uint8_t>(rmc);
        case REG_RBSA: return rbsa;
        case REG_CDR: return cdr;
        default: break;
        }
        if (reg >= REG_FRAME && reg <= REG_FRAME_END) {
            if (!in_reset()) return ram[(rbsa + reg - REG_FRAME) % kFifoSize];
            if (reg <= REG_ACR3) return acr[reg - REG_ACR0];
            if (reg <= REG_AMR3) return amr[reg - REG_AMR0];
        }
        return 0;  // CMR (write only), reserved 5, 9, 10, 24-28 in reset mode, 32..127
    }

    // Returns true when the bus should look at this node again.
    bool write(unsigned reg, std::uint8_t v) {
        const bool reset = in_reset();
        switch (reg) {
        case REG_MOD: return write_mod(v);
        case REG_CMR: return command(v);
        case REG_IER: ier = v; return false;
        default: break;
        }
        if (reset) {
            switch (reg) {
            case REG_BTR0: btr0 = v; return false;
            case REG_BTR1: btr1 = v; return false;
            case REG_OCR: ocr = v; return false;
            // Status and interrupts follow new counter and limit values
            // when reset mode is left.
            case REG_EWLR: ewlr = v; return false;
            case REG_RXERR: rxerr = v; return false;
            case REG_TXERR: txerr = v; return false;
            case REG_RBSA: rbsa = v & RBSA_MASK; return false;
            case REG_CDR: cdr = v & static_cast<std::uint8_t>(~CDR_RESERVED); return false;
            default: break;
            }
            if (reg >= REG_ACR0 && reg <= REG_ACR3) acr[reg - REG_ACR0] = v;
            else if (reg >= REG_AMR0 && reg <= REG_AMR3) amr[reg - REG_AMR0] = v;
            return false;
        }
        if (reg == REG_CDR) {
            cdr = static_cast<std::uint8_t>((cdr & ~CDR_CLKOUT_MASK) | (v & CDR_CLKOUT_MASK));
            return false;
        }
        // Operating mode: 16..28 is the transmit buffer, locked while a
        // transmission is pending.
        if (reg >= REG_FRAME && reg <= REG_FRAME_END && !pending) txbuf[reg - REG_FRAME] = v;
        return false;
    }
};

Sja1000::Sja1000() : s_(std::make_unique<State>()) {}
Sja1000::~Sja1000() = default;

std::uint8_t Sja1000::peek(unsigned reg) const { return s_->peek(reg); }

std::uint8_t Sja1000::read(unsigned reg) {
    const std::uint8_t v = s_->peek(reg);
    switch (reg) {
    case REG_IR: s_->ir = 0; break;  // RI stays while the FIFO holds frames
    case REG_ALC: s_->alc_armed = true; break;
    case REG_ECC: s_->ecc_armed = true; break;
    default: break;
    }
    return v;
}

void Sja1000::write(unsigned reg, std::uint8_t value) {
    if (s_->write(reg, value)) retry_on_wire();
}

void Sja1000::retry_on_wire() {
    if (wire_) wire_->arbitrate();
}

bool Sja1000::interrupt_pending() const { return s_->ir != 0 || s_->ri_level(); }

bool Sja1000::in_operating_mode() const { return !s_->in_reset(); }
bool Sja1000::receives() const { return !s_->in_reset() && !s_->asleep; }
bool Sja1000::acknowledges() const { return receives() && !(s_->mod & MOD_LOM); }
bool Sja1000::can_transmit() const { return acknowledges(); }
bool Sja1000::self_test() const { return s_->mod & MOD_STM; }
BitTime Sja1000::bit_time() const { return s_->bit_time(); }
bool Sja1000::has_pending_frame() const { return s_->pending; }
Frame Sja1000::pending_frame() const { return s_->frame; }

void Sja1000::transmission_succeeded() {
    State &s = *s_;
    if (!s.pending) return;
    s.release_tx(true);
    if (s.txerr > 0) {
        --s.txerr;
        s.evaluate_errors(false);
    }
    // Self reception: the chip takes its own frame through its own filter.
    if (s.self_rx && s.accepts(s.frame) && s.store(s.frame)) ++counters_.stored;
}

bool Sja1000::transmission_unacknowledged() {
    State &s = *s_;
    if (!s.pending) return false;
    s.capture_error(kEccAckError);
    // An error-passive transmitter's acknowledge error does not count.
    bool counted = false;
    if (!s.passive) {
        s.txerr += kAckErrorStep;
        counted = true;
        if (s.txerr > 0xFF) {
            s.bus_off();
            return false;
        }
        s.evaluate_errors(false);
    }
    if (s.single_shot) {
        s.release_tx(false);
        return false;
    }
    return counted && !s.passive;
}

void Sja1000::arbitration_lost(unsigned bit) {
    State &s = *s_;
    if (!s.pending) return;
    if (s.alc_armed) {
        s.alc = static_cast<std::uint8_t>(bit & ALC_BIT_MASK);
        s.alc_armed = false;
        s.raise(IRQ_ALI);
    }
    if (s.single_shot) s.release_tx(false);
}

void Sja1000::frame_received(const Frame &frame) {
    State &s = *s_;
    if (!receives()) {
        ++counters_.not_received;
        return;
    }
    // Listen-only mode freezes the error counters.
    if (!(s.mod & MOD_LOM) && s.rxerr > 0) {
        s.rxerr = s.rxerr >= kErrorPassive ? kErrorPassive - 1 : s.rxerr - 1;
        s.evaluate_errors(false);
    }
    const Frame f = normalised(frame);
    if (!s.accepts(f)) ++counters_.filtered;
    else if (s.store(f)) ++counters_.stored;
    else ++counters_.overrun;
}

ReceiveCounters Sja1000::receive_counters() const {
    ReceiveCounters c = counters_;
    c.flushed = s_->flushed;
    return c;
}

unsigned Sja1000::fifo_frames() const { return s_->rmc; }

void Sja1000::bus_error_received() {
    State &s = *s_;
    if (!receives()) return;
    s.capture_error(kEccWrongBitRate);
    if (!(s.mod & MOD_LOM) && s.rxerr < 0xFF) {
        ++s.rxerr;
        s.evaluate_errors(false);
    }
}

bool Sja1000::wake_up_by_bus() {
    State &s = *s_;
    if (!s.asleep) return false;
    s.asleep = false;
    s.raise(IRQ_WUI);
    return true;
}

}  // namespace vcard
