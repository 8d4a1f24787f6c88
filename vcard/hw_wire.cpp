// SPDX-License-Identifier: MIT
// hw_wire.cpp - the CAN wires of the virtual card.
//
// A wire is an event-level bus: a transmission is one whole frame that every
// awake node in operating mode sees at once. Nodes compare bit times instead
// of sampling bits; arbitration compares the arbitration fields of the
// frames pending at the same moment.
#include <algorithm>

#include "hw_wire.h"

#include "hw_controller.h"

namespace vcard {

namespace {

// At most the eight controllers of four cards share a wire. Fixed storage
// keeps the send path free of allocation, as a kernel driver's is: a signal
// handler may send while the thread it interrupted is inside malloc.
class Nodes {
public:
    void push_back(Sja1000 *c) {
        if (n_ < items_.size()) items_[n_++] = c;
    }
    bool contains(const Sja1000 *c) const { return std::find(begin(), end(), c) != end(); }
    bool empty() const { return n_ == 0; }
    void clear() { n_ = 0; }
    Sja1000 *front() const { return items_[0]; }
    Sja1000 *const *begin() const { return items_.data(); }
    Sja1000 *const *end() const { return items_.data() + n_; }

private:
    std::array<Sja1000 *, kMaxPorts> items_{};
    std::size_t n_ = 0;
};

// The arbitration field as sent, dominant 0 first: standard frames
// ID.10-0, RTR, IDE(0); extended frames ID.28-18, SRR(1), IDE(1), ID.17-0,
// RTR. The index of a bit is the ALC code of losing there.
struct ArbitrationField {
    std::array<std::uint8_t, 32> bit{};
    unsigned length = 0;
};

ArbitrationField arbitration_field(const Frame &frame) {
    const Frame f = normalised(frame);
    ArbitrationField a;
    auto put = [&a](unsigned v) { a.bit[a.length++] = static_cast<std::uint8_t>(v & 1); };
    if (f.extended) {
        for (int i = 28; i >= 18; --i) put(f.id >> i);
        put(1);  // SRR, always recessive
        put(1);  // IDE
        for (int i = 17; i >= 0; --i) put(f.id >> i);
        put(f.rtr);
    } else {
        for (int i = 10; i >= 0; --i) put(f.id >> i);
        put(f.rtr);
        put(0);  // IDE
    }
    return a;
}

}  // namespace

namespace {

// The bits from start of frame to the end of the CRC, in the order sent.
struct StuffedPart {
    // SOF, extended arbitration and control field, DLC, 8 data bytes, CRC.
    std::array<std::uint8_t, 1 + 34 + 4 + 64 + 15> bit{};
    unsigned length = 0;
    void put(std::uint32_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) bit[length++] = static_cast<std::uint8_t>((value >> i) & 1);
    }
};

// CRC-15 of CAN, generator x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1,
// over start of frame through the data field.
std::uint32_t crc15(const StuffedPart &p) {
    std::uint32_t crc = 0;
    for (unsigned i = 0; i < p.length; ++i) {
        const bool next = (p.bit[i] ^ (crc >> 14)) & 1;
        crc = (crc << 1) & 0x7FFF;
        if (next) crc ^= 0x4599;
    }
    return crc;
}

}  // namespace

unsigned frame_bits(const Frame &frame) {
    const Frame f = normalised(frame);
    StuffedPart p;
    p.put(0, 1);  // start of frame
    if (f.extended) {
        p.put(f.id >> 18, 11);
        p.put(1, 1);  // SRR
        p.put(1, 1);  // IDE
        p.put(f.id, 18);
        p.put(f.rtr, 1);
        p.put(0, 2);  // r1, r0
    } else {
        p.put(f.id, 11);
        p.put(f.rtr, 1);
        p.put(0, 2);  // IDE, r0
    }
    p.put(f.len, 4);
    for (unsigned i = 0; i < data_bytes(f); ++i) p.put(f.data[i], 8);
    p.put(crc15(p), 15);

    unsigned stuff = 0, run = 0;
    std::uint8_t last = 2;
    for (unsigned i = 0; i < p.length; ++i) {
        run = p.bit[i] == last ? run + 1 : 1;
        last = p.bit[i];
        if (run == 5) {  // the stuff bit, of the other value, starts the next run
            ++stuff;
            last ^= 1;
            run = 1;
        }
    }
    constexpr unsigned kUnstuffedTail = 1 + 1 + 1 + 7 + 3;  // CRC and ACK delimiters, ACK, EOF, intermission
    return p.length + stuff + kUnstuffedTail;
}

int arbitration_difference(const Frame &a, const Frame &b, bool *a_wins) {
    const ArbitrationField fa = arbitration_field(a), fb = arbitration_field(b);
    const unsigned n = std::min(fa.length, fb.length);
    for (unsigned i = 0; i < n; ++i) {
        if (fa.bit[i] != fb.bit[i]) {
            if (a_wins) *a_wins = fa.bit[i] == 0;
            return static_cast<int>(i);
        }
    }
    return -1;  // standard and extended always differ at IDE, so same format and fields
}

void Wire::attach(Sja1000 *controller) {
    controllers_.push_back(controller);
    controller->attach(this);
}

Wire::Outcome Wire::put_on_bus(const Frame &frame, std::optional<BitTime> bit_time, Sja1000 *transmitter,
                               bool valid_without_ack, bool *woke) {
    // Bus activity wakes sleeping controllers; they miss the frame itself.
    Nodes woken;
    for (Sja1000 *c : controllers_)
        if (c != transmitter && c->wake_up_by_bus()) woken.push_back(c);
    if (!woken.empty()) *woke = true;
    auto just_woke = [&woken](const Sja1000 *c) { return woken.contains(c); };
    auto at_rate = [&bit_time](const Sja1000 *c) { return !bit_time || c->bit_time() == *bit_time; };

    bool acked = false;
    if (transmitter && remote_ && bit_time && *remote_ == *bit_time) acked = true;
    for (const Sja1000 *c : controllers_)
        if (c != transmitter && !just_woke(c) && c->acknowledges() && at_rate(c)) acked = true;

    // A controller's frame goes to the outside bus as well; one that takes
    // it now acknowledges it, one that reports transmissions later holds
    // it: the frame is on the bus only once it says so.
    if (transmitter && external_) {
        switch (external_->send(frame, *bit_time)) {
        case ExternalBus::Sent::accepted: acked = true; break;
        case ExternalBus::Sent::pending:
            if (!acked && !valid_without_ack) return Outcome::pending;
            break;
        case ExternalBus::Sent::failed: break;
        }
    }

    // Without an acknowledgement the transmitter's error flag destroys the
    // frame for every receiver, listen-only ones included.
    const bool valid = acked || valid_without_ack;
    for (Sja1000 *c : controllers_) {
        if (c == transmitter) continue;
        if (just_woke(c) || !c->receives()) {
            c->frame_not_received();
            continue;
        }
        if (!at_rate(c)) {
            c->bus_error_received();
            c->frame_not_received();
        } else if (valid) {
            c->frame_received(frame);
        } else {
            c->frame_not_received();
        }
    }
    return acked ? Outcome::acknowledged : Outcome::unacknowledged;
}

void Wire::arbitrate() {
    if (arbitrating_) {
        again_ = true;
        return;
    }
    arbitrating_ = true;
    // A frame the outside bus holds keeps the bus busy, unless its sender
    // gave it up meanwhile (abort, reset mode): the outside bus may still
    // send it, but nobody here waits for that any more.
    if (awaiting_ && !awaiting_->has_pending_frame()) awaiting_ = nullptr;
    // Controllers whose frame found no acknowledgement in this pass and whose
    // retries no longer count: they wait until something on the wire changes.
    Nodes waiting;
    for (;;) {
        again_ = false;
        if (awaiting_) break;
        Nodes contenders;
        for (Sja1000 *c : controllers_)
            if (c->can_transmit() && c->has_pending_frame() && !waiting.contains(c)) contenders.push_back(c);
        if (contenders.empty()) break;

        // Lowest arbitration field wins; identical fields keep wire order.
        Sja1000 *winner = contenders.front();
        for (Sja1000 *c : contenders) {
            bool c_wins = false;
            if (arbitration_difference(c->pending_frame(), winner->pending_frame(), &c_wins) >= 0 && c_wins)
                winner = c;
        }
        const Frame frame = winner->pending_frame();
        const BitTime bit_time = winner->bit_time();
        for (Sja1000 *c : contenders) {
            if (c == winner || c->bit_time() != bit_time) continue;
            bool loser_wins = false;
            const int bit = arbitration_difference(c->pending_frame(), frame, &loser_wins);
            if (bit >= 0) c->arbitration_lost(static_cast<unsigned>(bit));
        }

        // The real chip retransmits at once after an acknowledge error; each
        // retry is a frame on the bus for everybody else.
        bool woke = false;
        for (;;) {
            const Outcome outcome = put_on_bus(frame, bit_time, winner, winner->self_test(), &woke);
            if (outcome == Outcome::pending) {
                awaiting_ = winner;
                awaiting_frame_ = frame;
                awaiting_bit_time_ = bit_time;
                break;
            }
            if (outcome == Outcome::acknowledged || winner->self_test()) {
                winner->transmission_succeeded();
                break;
            }
            if (!winner->transmission_unacknowledged()) {
                if (winner->has_pending_frame()) waiting.push_back(winner);
                break;
            }
        }
        if (woke) waiting.clear();  // a woken node may acknowledge now
    }
    arbitrating_ = false;
}

bool Wire::external_transmit(const Frame &frame, BitTime bit_time) {
    bool woke = false;
    const bool acked =
        put_on_bus(normalised(frame), bit_time, nullptr, false, &woke) == Outcome::acknowledged;
    if (woke) arbitrate();
    return acked;
}

void Wire::external_receive(const Frame &frame, std::optional<BitTime> bit_time) {
    bool woke = false;
    put_on_bus(normalised(frame), bit_time, nullptr, true, &woke);
    if (woke) arbitrate();
}

void Wire::external_confirmed() {
    Sja1000 *sender = awaiting_;
    awaiting_ = nullptr;
    if (sender == nullptr || !sender->has_pending_frame()) {
        arbitrate();
        return;
    }
    // On the bus now: what the other controllers here make of it, then the
    // sender's success (the outside bus's nodes acknowledged it).
    for (Sja1000 *c : controllers_) {
        if (c == sender) continue;
        if (!c->receives()) {
            c->frame_not_received();
        } else if (c->bit_time() != awaiting_bit_time_) {
            c->bus_error_received();
            c->frame_not_received();
        } else {
            c->frame_received(awaiting_frame_);
        }
    }
    sender->transmission_succeeded();
    arbitrate();
}

void Wire::external_unconfirmed() {
    if (awaiting_ == nullptr) return;
    awaiting_->transmission_unacknowledged();
    // Released (single shot) or bus-off: the bus is free for the others.
    if (!awaiting_->has_pending_frame()) {
        awaiting_ = nullptr;
        arbitrate();
    }
}

void Wire::set_remote(std::optional<BitTime> bit_time) {
    remote_ = bit_time;
    if (remote_) arbitrate();
}

}  // namespace vcard
