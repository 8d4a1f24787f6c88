// SPDX-License-Identifier: MIT
// driver.cpp - the card's kernel driver as the virtual card emulates it:
// frames in and out of the controllers' registers, the receive path with
// its per-port message queues and notification signals, the requests and
// their table, and the interrupt handler. Read top-down in the order a frame
// travels: transmit buffer, receive window, queue, requests.

#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hw_cards.h"
#include "pci_5C3A_ioctl.h"
#include "process.h"
#include "sja1000.h"
#include "vcard_trace.h"

namespace vcard::detail {

static_assert(kQueueLimit == kDriverQueueLimit);

namespace {

// The receive FIFO holds at most 21 messages (64 bytes, 3 per message at
// least); the handler never needs more releases than that per interrupt.
constexpr int kMaxReleasesPerInterrupt = 64;

// ---------------------------------------------------------------------------
// Frames in the controller's transmit buffer and receive window (registers
// 16..28 in operating mode): frame information, then 2 identifier bytes for
// a standard frame or 4 for an extended one, then the data bytes.

void load_transmit_buffer(Sja1000 &c, const Frame &f) {
    unsigned reg = REG_FRAME;
    c.write(reg++, std::uint8_t((f.extended ? FI_FF : 0) | (f.rtr ? FI_RTR : 0) | (f.len & FI_DLC)));
    if (f.extended) {
        const std::uint32_t id = f.id << EXT_ID_SHIFT;  // ID.28-0 left-aligned in 32 bits
        for (int shift = 24; shift >= 0; shift -= 8) c.write(reg++, std::uint8_t(id >> shift));
    } else {
        const std::uint32_t id = f.id << STD_ID_SHIFT;  // ID.10-0 left-aligned in 16 bits
        c.write(reg++, std::uint8_t(id >> 8));
        c.write(reg++, std::uint8_t(id));
    }
    // A remote frame carries a length code but no data.
    if (!f.rtr)
        for (unsigned i = 0; i < f.len; ++i) c.write(reg++, f.data[i]);
}

Frame read_receive_window(Sja1000 &c) {
    Frame f;
    unsigned reg = REG_FRAME;
    const std::uint8_t info = c.read(reg++);
    f.extended = (info & FI_FF) != 0;
    f.rtr = (info & FI_RTR) != 0;
    // Length codes 9..15 are valid on the bus and mean 8 data bytes.
    f.len = std::uint8_t(std::min<unsigned>(info & FI_DLC, kMaxDataBytes));
    if (f.extended) {
        std::uint32_t id = 0;
        for (int i = 0; i < 4; ++i) id = (id << 8) | c.read(reg++);
        f.id = id >> EXT_ID_SHIFT;
    } else {
        const std::uint32_t hi = c.read(reg++), lo = c.read(reg++);
        f.id = ((hi << 8) | lo) >> STD_ID_SHIFT;
    }
    if (!f.rtr)
        for (unsigned i = 0; i < f.len; ++i) f.data[i] = c.read(reg++);
    return f;
}

// ---------------------------------------------------------------------------
// Receive path

int signal_of_port(int port) { return port == 0 ? PCI5C3A_SIG_PORT0 : PCI5C3A_SIG_PORT1; }

void enqueue(State &s, int card, int port, const Frame &f, PendingSignals &raise) {
    PortDriver &p = s.cards[card].ports[port];
    if (!p.queue.push(f)) {
        ++p.dropped;
        return;
    }
    if (p.notify) {
        const int owner = card_owner(s, card);
        if (owner != 0) raise.add(owner, signal_of_port(port));
    }
}

// A frame taken from the controller, after the test's tamper rules.
void deliver(State &s, int card, int port, Frame f, PendingSignals &raise) {
    const std::uint64_t index = s.cards[card].ports[port].arrivals++;
    const int handle = card * kPortsPerCard + port;
    bool drop = false;
    unsigned copies = 1;
    for (const Tamper &t : s.config.tamper) {
        if (t.handle != handle || !(t.every_frame || t.index == index)) continue;
        switch (t.kind) {
        case Tamper::Kind::id: f.id = t.value & SJA1000_EXT_ID_MASK; break;
        case Tamper::Kind::data:
            if (t.byte < kMaxDataBytes) f.data[t.byte] = std::uint8_t(t.value);
            break;
        case Tamper::Kind::drop: drop = true; break;
        case Tamper::Kind::duplicate:
            copies += unsigned(std::min<std::uint32_t>(t.value, kQueueLimit));
            break;
        }
    }
    PortDriver &p = s.cards[card].ports[port];
    if (drop) {
        ++p.tamper_dropped;
        return;
    }
    p.tamper_copies += copies - 1;
    for (unsigned i = 0; i < copies; ++i) enqueue(s, card, port, f, raise);
}

// ---------------------------------------------------------------------------
// Requests

bool valid_handle(int card, int handle, int *port) {
    if (handle < 0 || handle >= kMaxPorts || handle / kPortsPerCard != card) return false;
    *port = handle % kPortsPerCard;
    return true;
}

template <class Record>
Record load(const void *arg) {
    Record r;
    std::memcpy(&r, arg, sizeof r);
    return r;
}

std::uint8_t model_read(State &s, int card, std::uint32_t addr) {
    if (addr == PCI5C3A_LED_ADDR) return s.hardware->led(card);
    const unsigned reg = addr % PCI5C3A_PORT_WINDOW;
    // Only the controller's 32 registers are decoded in its 128-byte window.
    if (reg >= REG_COUNT) return 0;
    return s.hardware->controller(card, int(addr / PCI5C3A_PORT_WINDOW)).read(reg);
}

void model_write(State &s, int card, std::uint32_t addr, std::uint8_t value) {
    if (addr == PCI5C3A_LED_ADDR) return s.hardware->set_led(card, value);
    const unsigned reg = addr % PCI5C3A_PORT_WINDOW;
    if (reg >= REG_COUNT) return;
    s.hardware->controller(card, int(addr / PCI5C3A_PORT_WINDOW)).write(reg, value);
}

std::uint8_t register_read(State &s, int card, std::uint32_t addr) {
    const auto forced = s.faults.forced.find({card, addr});
    if (forced == s.faults.forced.end() || forced->second.next >= forced->second.values.size())
        return model_read(s, card, addr);
    ForcedReads &f = forced->second;
    const std::uint8_t value = f.values[f.next];
    if (f.next + 1 < f.values.size() || !f.sticky) ++f.next;
    return value;
}

// Each request returns 0 or the errno of its failure.
int send(State &s, int card, MSG_XFER &x) {
    int port = 0;
    if (!valid_handle(card, x.handle, &port) || x.packet.len > kMaxDataBytes) return EINVAL;
    Sja1000 &c = s.hardware->controller(card, port);

    // The chip transmits only in operating mode, not listening only, and not
    // while bus-off; it takes a new frame only once the transmit buffer is
    // released (TBS), i.e. the previous one was acknowledged or aborted.
    if ((c.peek(REG_MOD) & (MOD_RM | MOD_LOM)) != 0 || (c.peek(REG_SR) & SR_BS) != 0) return EIO;
    if ((c.peek(REG_SR) & SR_TBS) == 0) return EBUSY;

    Frame f;
    f.extended = s.cards[card].ports[port].extended;
    f.id = x.packet.id & (f.extended ? SJA1000_EXT_ID_MASK : SJA1000_STD_ID_MASK);
    f.rtr = x.packet.rtr != 0;
    f.len = x.packet.len;
    std::copy_n(x.packet.data, kMaxDataBytes, f.data.begin());
    load_transmit_buffer(c, f);
    c.write(REG_CMR, CMD_TR);
    return 0;
}

int receive(State &s, int card, MSG_XFER &x) {
    int port = 0;
    if (!valid_handle(card, x.handle, &port)) return EINVAL;
    Frame f;
    PortDriver &p = s.cards[card].ports[port];
    if (!p.queue.pop(&f)) return EAGAIN;
    ++p.handed_out;
    std::memset(&x.packet, 0, sizeof x.packet);
    x.packet.id = f.id;
    x.packet.rtr = f.rtr ? 1 : 0;
    x.packet.len = f.len;
    if (!f.rtr) std::copy_n(f.data.begin(), f.len, x.packet.data);
    return 0;
}

int serve_register_access(State &s, int card, unsigned long code, void *arg) {
    auto r = load<REG_ACCESS>(arg);
    if (r.addr >= PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW) return EINVAL;
    if (code == REQ_REG_WRITE) {
        model_write(s, card, r.addr, r.data);
    } else {
        r.data = register_read(s, card, r.addr);
        std::memcpy(arg, &r, sizeof r);
    }
    return 0;
}

int serve_set_mode(State &s, int card, unsigned long /*code*/, void *arg) {
    const auto m = load<MODE_SET>(arg);
    int port = 0;
    if (!valid_handle(card, m.handle, &port) || m.mode > PCI5C3A_ID_EXTENDED) return EINVAL;
    s.cards[card].ports[port].extended = m.mode == PCI5C3A_ID_EXTENDED;
    return 0;
}

int serve_send(State &s, int card, unsigned long /*code*/, void *arg) {
    auto x = load<MSG_XFER>(arg);
    return send(s, card, x);
}

int serve_receive(State &s, int card, unsigned long /*code*/, void *arg) {
    auto x = load<MSG_XFER>(arg);
    if (const int error = receive(s, card, x)) return error;
    std::memcpy(arg, &x, sizeof x);
    return 0;
}

int serve_count(State &s, int card, unsigned long /*code*/, void *arg) {
    auto r = load<RCV_COUNT>(arg);
    int port = 0;
    if (!valid_handle(card, r.handle, &port)) return EINVAL;
    r.count = static_cast<unsigned short>(s.cards[card].ports[port].queue.size());
    std::memcpy(arg, &r, sizeof r);
    return 0;
}

int serve_event(State &s, int card, unsigned long code, void *arg) {
    s.cards[card].ports[code == REQ_EVENT_PORT0 ? 0 : 1].notify = load<unsigned short>(arg) != 0;
    return 0;
}

int serve_port_close(State &s, int card, unsigned long /*code*/, void *arg) {
    const auto r = load<REG_ACCESS>(arg);
    if (r.addr % PCI5C3A_PORT_WINDOW != 0 || r.addr / PCI5C3A_PORT_WINDOW >= PCI5C3A_PORTS_PER_CARD)
        return EINVAL;
    s.cards[card].ports[r.addr / PCI5C3A_PORT_WINDOW].notify = false;
    return 0;
}

int serve_last_close(State &s, int card, unsigned long /*code*/, void *arg) {
    s.hardware->set_led(card, load<REG_ACCESS>(arg).data);
    return 0;
}

// Every request the driver knows: its code, name, record and server.
constexpr RequestType kRequests[] = {
    {REQ_REG_READ, "REQ_REG_READ", sizeof(REG_ACCESS), Record::register_read, serve_register_access},
    {REQ_REG_WRITE, "REQ_REG_WRITE", sizeof(REG_ACCESS), Record::register_write, serve_register_access},
    {REQ_PORT_CLOSE, "REQ_PORT_CLOSE", sizeof(REG_ACCESS), Record::register_write, serve_port_close},
    {REQ_LAST_CLOSE, "REQ_LAST_CLOSE", sizeof(REG_ACCESS), Record::register_write, serve_last_close},
    {REQ_SET_MODE, "REQ_SET_MODE", sizeof(MODE_SET), Record::identifier_mode, serve_set_mode},
    {REQ_SEND, "REQ_SEND", sizeof(MSG_XFER), Record::message_sent, serve_send},
    {REQ_RECEIVE, "REQ_RECEIVE", sizeof(MSG_XFER), Record::message_taken, serve_receive},
    {REQ_RCV_COUNT, "REQ_RCV_COUNT", sizeof(RCV_COUNT), Record::queue_count, serve_count},
    {REQ_EVENT_PORT0, "REQ_EVENT_PORT0", sizeof(unsigned short), Record::flag, serve_event},
    {REQ_EVENT_PORT1, "REQ_EVENT_PORT1", sizeof(unsigned short), Record::flag, serve_event},
};

// The port of the descriptor's card a request names: its register window,
// its handle, its notification or its close. -1 for the card's own requests
// (the LED register, REQ_LAST_CLOSE) and for records the request's own
// checks refuse anyway.
int port_named(int card, unsigned long code, const void *arg) {
    int port = -1;
    switch (code) {
    case REQ_REG_READ:
    case REQ_REG_WRITE: {
        const auto r = load<REG_ACCESS>(arg);
        if (r.addr != PCI5C3A_LED_ADDR && r.addr < PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW)
            port = int(r.addr / PCI5C3A_PORT_WINDOW);
        break;
    }
    case REQ_PORT_CLOSE: {
        const auto r = load<REG_ACCESS>(arg);
        if (r.addr % PCI5C3A_PORT_WINDOW == 0 && r.addr / PCI5C3A_PORT_WINDOW < PCI5C3A_PORTS_PER_CARD)
            port = int(r.addr / PCI5C3A_PORT_WINDOW);
        break;
    }
    case REQ_SET_MODE: valid_handle(card, load<MODE_SET>(arg).handle, &port); break;
    case REQ_SEND:
    case REQ_RECEIVE: valid_handle(card, load<MSG_XFER>(arg).handle, &port); break;
    case REQ_RCV_COUNT: valid_handle(card, load<RCV_COUNT>(arg).handle, &port); break;
    case REQ_EVENT_PORT0: port = 0; break;
    case REQ_EVENT_PORT1: port = 1; break;
    default: break;
    }
    return port;
}

// A port the driver has given to the network stack as an interface: the
// character device keeps its hands off it.
bool is_interface(const State &s, int card, int port) {
    if (port < 0) return false;
    const int handle = card * kPortsPerCard + port;
    return std::find(s.config.netdev.begin(), s.config.netdev.end(), handle) != s.config.netdev.end();
}

// Order of checks: an unknown code, a null record, a port that is a network
// interface, then the request's own.
int dispatch(State &s, int card, unsigned long code, void *arg) {
    const RequestType *type = find_request(code);
    if (type == nullptr) return ENOTTY;
    if (arg == nullptr) return EFAULT;
    if (is_interface(s, card, port_named(card, code, arg))) return EADDRINUSE;
    return type->serve(s, card, code, arg);
}

}  // namespace

const RequestType *find_request(unsigned long code) {
    for (const RequestType &type : kRequests)
        if (type.code == code) return &type;
    return nullptr;
}

int card_owner(const State &s, int card) {
    int owner = 0;
    std::uint64_t latest = 0;
    for (const auto &[fd, d] : s.descriptors)
        if (d.card == card && d.owner != 0 && d.owner_set > latest) {
            owner = d.owner;
            latest = d.owner_set;
        }
    return owner;
}

int driver_request(State &s, int card, int fd, unsigned long code, void *arg, int *error,
                   PendingSignals &raise) {
    TraceEntry e;
    e.card = card;
    e.fd = fd;
    e.code = code;
    const RequestType *type = find_request(code);
    const std::size_t size = type != nullptr ? type->record_size : 0;
    if (arg != nullptr && size != 0) {
        std::memcpy(e.in.data(), arg, size);
        e.in_len = std::uint8_t(size);
    }

    int result = 0;
    *error = 0;
    if (const auto answer = s.faults.answers.find(code); answer != s.faults.answers.end()) {
        result = answer->second.result;
        if (result == -1) *error = answer->second.error;
    } else {
        *error = dispatch(s, card, code, arg);
        if (*error != 0) result = -1;
    }

    if (arg != nullptr && size != 0) {
        std::memcpy(e.out.data(), arg, size);
        e.out_len = std::uint8_t(size);
    }
    e.result = result;
    e.error = *error;
    if (s.trace.on()) s.trace.add(e);
    if (s.trace.file_on()) s.trace.print(e);

    service_interrupts(s, raise);
    return result;
}

// The interrupt handler. The controller's INT line is active while an
// enabled interrupt condition is present; reading the interrupt register
// acknowledges the latched conditions. Received messages are then moved
// from the chip's FIFO to the driver's queue one by one (read the receive
// window, release the receive buffer) for as long as receive interrupts are
// enabled, which also empties a FIFO that filled while they were off.
void service_interrupts(State &s, PendingSignals &raise) {
    if (!s.hardware) return;
    for (int card = 0; card < s.hardware->cards(); ++card)
        for (int port = 0; port < kPortsPerCard; ++port) {
            Sja1000 &c = s.hardware->controller(card, port);
            if (!c.interrupt_pending()) continue;
            c.read(REG_IR);
            for (int n = 0; n < kMaxReleasesPerInterrupt; ++n) {
                // In reset mode registers 16..28 are the acceptance filter,
                // not the receive window (and the FIFO is empty anyway).
                if ((c.peek(REG_IER) & IRQ_RI) == 0 || (c.peek(REG_MOD) & MOD_RM) != 0 ||
                    (c.peek(REG_SR) & SR_RBS) == 0)
                    break;
                const Frame f = read_receive_window(c);
                c.write(REG_CMR, CMD_RRB);
                deliver(s, card, port, f, raise);
            }
        }
}

}  // namespace vcard::detail
