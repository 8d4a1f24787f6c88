// SPDX-License-Identifier: MIT
// vcard_interface.cpp - the virtual card's C++ interface for tests (vcard.h):
// reset, trace, fault injection, and looking at and feeding the model.

#include <cstring>
#include <stdexcept>

#include "pci_5C3A_ioctl.h"
#include "process.h"
#include "sja1000.h"
#include "vcard_config.h"

namespace vcard {

using namespace detail;

namespace {

// The state, configured from the environment unless a reset() came first.
State &ready() {
    State &s = state();
    ensure_configured(s);
    return s;
}

bool present(const State &s, int card) { return card >= 0 && card < s.config.cards && s.hardware != nullptr; }
bool valid_port(int port) { return port >= 0 && port < kPortsPerCard; }

void check(const Config &cfg) {
    if (cfg.cards < 0 || cfg.cards > kMaxCards) throw std::invalid_argument("vcard: cards must be 0..4");
    if (cfg.remote && !valid_bitrate(cfg.remote->bitrate))
        throw std::invalid_argument(
            "vcard: the remote node's bit rate is not one a controller can be programmed to");
    if (cfg.remote && cfg.remote->period_ms > 60000)
        throw std::invalid_argument("vcard: the remote node's period must be 0..60000 ms");
    for (const Tamper &t : cfg.tamper) {
        if (t.handle < 0 || t.handle >= kMaxPorts) throw std::invalid_argument("vcard: tamper handle 0..7");
        if (t.kind == Tamper::Kind::data && (t.byte > 7 || t.value > 0xFF))
            throw std::invalid_argument("vcard: tamper data byte 0..7, value 0..255");
        if (t.kind == Tamper::Kind::id && t.value > SJA1000_EXT_ID_MASK)
            throw std::invalid_argument("vcard: tamper identifier up to 0x1FFFFFFF");
        if (t.kind == Tamper::Kind::duplicate && (t.value == 0 || t.value > kDriverQueueLimit))
            throw std::invalid_argument("vcard: tamper duplicate count 1..1024");
    }
    if (cfg.socketcan.size() > std::size_t(wire_count(cfg.cards, cfg.wiring)))
        throw std::invalid_argument("vcard: more SocketCAN entries than wires");
    for (const SocketCanWire &w : cfg.socketcan) {
        if (!w.interface.empty() && !valid_interface_name(w.interface))
            throw std::invalid_argument("vcard: SocketCAN interface name not one the kernel takes");
        if (w.bitrate && (w.interface.empty() || !valid_bitrate(*w.bitrate)))
            throw std::invalid_argument(
                "vcard: SocketCAN bit rate not one a controller can be programmed to (or without interface)");
    }
    for (const int handle : cfg.netdev)
        if (handle < 0 || handle >= kMaxPorts) throw std::invalid_argument("vcard: netdev handle 0..7");
}

}  // namespace

void reset(const Config &cfg) {
    check(cfg);
    int trace_fd = -1;
    bool owned = false;
    if (!cfg.trace_path.empty()) {
        std::string error;
        trace_fd = open_trace_file(cfg.trace_path, &owned, &error);
        if (trace_fd < 0) throw std::invalid_argument(error);
    }
    std::unique_ptr<SocketCanLinks> links;
    if (!cfg.socketcan.empty()) {
        std::string error;
        links = open_socketcan(cfg, socketcan_text(cfg.socketcan), &error);
        if (!links && !error.empty()) {
            if (owned) next_close(trace_fd);
            throw std::invalid_argument(error);
        }
    }
    State &s = state();
    Replaced old;
    {
        Locked lock(s);
        old = rebuild(s, cfg, trace_fd, owned, std::move(links));
    }
    finish(std::move(old));
}

// ---------------------------------------------------------------------------
// Trace

void trace_start(std::size_t capacity) {
    State &s = ready();
    Locked lock(s);
    s.trace.start(capacity);
}

void trace_stop() {
    State &s = ready();
    Locked lock(s);
    s.trace.stop();
}

void trace_clear() {
    State &s = ready();
    Locked lock(s);
    s.trace.clear();
}

std::vector<Request> trace() {
    State &s = ready();
    Locked lock(s);
    return s.trace.snapshot();
}

std::string describe(const Request &r) { return describe_entry(to_entry(r)); }

std::vector<RegisterAccess> register_accesses() {
    std::vector<RegisterAccess> out;
    for (const Request &r : trace())
        if (r.code == REQ_REG_READ || r.code == REQ_REG_WRITE)
            out.push_back({r.card, r.code == REQ_REG_WRITE, r.addr(), r.data(), r.result});
    return out;
}

namespace {

std::uint32_t record_word(const std::vector<std::uint8_t> &bytes, std::size_t at) {
    std::uint32_t v = 0;
    if (bytes.size() >= at + 4) std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

}  // namespace

std::uint32_t Request::addr() const { return record_word(in, offsetof(REG_ACCESS, addr)); }

std::uint8_t Request::data() const {
    const auto &record = code == REQ_REG_READ ? out : in;
    return record.size() > offsetof(REG_ACCESS, data) ? record[offsetof(REG_ACCESS, data)] : 0;
}

int Request::handle() const { return in.size() >= 4 ? int(record_word(in, 0)) : -1; }

// ---------------------------------------------------------------------------
// Fault injection

void set_node_missing(int card, bool missing) {
    State &s = ready();
    Locked lock(s);
    if (card >= 0 && card < kMaxCards) s.faults.node_missing[card] = missing;
}

void fail_setown(bool fail) {
    State &s = ready();
    Locked lock(s);
    s.faults.fail_setown = fail;
}

void fail_sigaction(int signal, bool fail) {
    State &s = ready();
    Locked lock(s);
    if (fail) s.faults.fail_sigaction.insert(signal);
    else s.faults.fail_sigaction.erase(signal);
    s.any_sigaction_fault = !s.faults.fail_sigaction.empty();
}

void answer(unsigned long code, int result, int err) {
    State &s = ready();
    Locked lock(s);
    s.faults.answers[code] = {result, err};
}

void clear_answer(unsigned long code) {
    State &s = ready();
    Locked lock(s);
    s.faults.answers.erase(code);
}

void force_read(int card, std::uint32_t addr, std::vector<std::uint8_t> values, bool sticky) {
    State &s = ready();
    Locked lock(s);
    if (values.empty()) {
        s.faults.forced.erase({card, addr});
        return;
    }
    s.faults.forced[{card, addr}] = ForcedReads{std::move(values), 0, sticky};
}

void clear_forced_reads() {
    State &s = ready();
    Locked lock(s);
    s.faults.forced.clear();
}

// ---------------------------------------------------------------------------
// Looking at and feeding the model

std::uint8_t peek(int card, std::uint32_t addr) {
    State &s = ready();
    Locked lock(s);
    if (!present(s, card) || addr >= PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW) return 0;
    if (addr == PCI5C3A_LED_ADDR) return s.hardware->led(card);
    const unsigned reg = addr % PCI5C3A_PORT_WINDOW;
    if (reg >= REG_COUNT) return 0;
    return s.hardware->controller(card, int(addr / PCI5C3A_PORT_WINDOW)).peek(reg);
}

bool remote_send(int card, int port, const Frame &frame, unsigned bitrate) {
    State &s = ready();
    Locked lock(s);
    if (!present(s, card) || !valid_port(port) || bitrate == 0 || bitrate > kCrystalHz) return false;
    Frame f = frame;
    f.id &= f.extended ? SJA1000_EXT_ID_MASK : SJA1000_STD_ID_MASK;
    if (f.len > kMaxDataBytes) f.len = kMaxDataBytes;
    const bool acknowledged = s.hardware->wire_of(card, port).external_transmit(f, kCrystalHz / bitrate);
    service_interrupts(s, lock.signals());
    return acknowledged;
}

std::uint64_t remote_frames_sent() {
    State &s = ready();
    Locked lock(s);
    const RemoteNodeModel *node = s.hardware ? s.hardware->remote_node() : nullptr;
    return node != nullptr ? node->frames_sent() : 0;
}

std::int64_t remote_frame_sent_ns(std::uint64_t sequence) {
    State &s = ready();
    Locked lock(s);
    const RemoteNodeModel *node = s.hardware ? s.hardware->remote_node() : nullptr;
    if (node == nullptr || !s.remote_thread || sequence >= node->frames_sent() ||
        node->frames_sent() - sequence > RemoteNodeThread::kSentTimes)
        return -1;
    return s.remote_thread->sent_ns[sequence % RemoteNodeThread::kSentTimes];
}

std::size_t queued(int card, int port) {
    State &s = ready();
    Locked lock(s);
    if (!present(s, card) || !valid_port(port)) return 0;
    return s.cards[card].ports[port].queue.size();
}

std::uint64_t queue_dropped(int card, int port) {
    State &s = ready();
    Locked lock(s);
    if (!present(s, card) || !valid_port(port)) return 0;
    return s.cards[card].ports[port].dropped;
}

std::string stats() {
    State &s = ready();
    Locked lock(s);
    return stats_text(s);
}

bool notification_on(int card, int port) {
    State &s = ready();
    Locked lock(s);
    if (!present(s, card) || !valid_port(port)) return false;
    return s.cards[card].ports[port].notify;
}

int owner(int card) {
    State &s = ready();
    Locked lock(s);
    return card_owner(s, card);
}

int descriptor_card(int fd) {
    State &s = ready();
    Locked lock(s);
    const auto d = s.descriptors.find(fd);
    return d == s.descriptors.end() ? -1 : d->second.card;
}

}  // namespace vcard
