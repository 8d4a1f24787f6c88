// SPDX-License-Identifier: MIT
// driver_fuzz: random requests on a card's device node, checked against a
// model of what the driver must answer.
//
//     driver_fuzz [--seconds S] [--seed N] [--card C]
//
// The frames go between the two ends of PCI5C3A_TEST_LOOP (test_loop.h):
// with a loop of two ports of one card (0:1, the default), those two ports
// of card C; with a loop across two cards (0:2), its two ends, each on its
// card's descriptor, and C one of those cards. Card C's device takes the
// requests that name no end (unknown codes, foreign handles, addresses);
// a port it does not have (a one-channel board's port 1) must answer every
// request with ENXIO.
//
// Request codes near the real ones (other direction, size, number, type)
// and far from them, records with random handles, lengths, identifiers,
// modes and addresses, and record pointers that are valid (ending where an
// unmapped page begins, or followed by a canary), null, or (on a kernel
// driver only) inside or across the unmapped page. Register writes go to
// invalid addresses or to registers that do not change the traffic, so the
// model of the two ports' queues stays exact: every frame sent from one port
// is queued on the other (1024 at most, the rest dropped and counted), in
// order and unchanged, with one notification signal per queued message when
// the port's notification is on.
//
// It fails (exit status 1) when a request returns anything but 0 or -1, an
// errno other than the model's, the queues or signals differ from the
// model, or memory outside a record changes; a signal it did not ask for
// ends it with a message (status 3). Runs on the virtual card
// (with-virtual-card), in a QEMU guest (PCI5C3A_TEST_TARGET=qemu) and on a
// real card (ports 0 and 1 on one cable).
#include <signal.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <deque>
#include <random>
#include <string>

#include "driver_device.h"

namespace {

constexpr int kQueueLimit = 1024;
constexpr int kMaxReports = 20;

std::atomic<int> g_signals[2];

void onNotification(int sig) { ++g_signals[sig == PCI5C3A_SIG_PORT0 ? 0 : 1]; }

void onUnexpected(int sig) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "driver_fuzz: unexpected signal %d\n", sig);
    if (n > 0) (void)!write(STDERR_FILENO, text, static_cast<std::size_t>(n));
    _exit(3);
}

void installHandlers() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = onNotification;
    sigaction(PCI5C3A_SIG_PORT0, &sa, nullptr);
    sigaction(PCI5C3A_SIG_PORT1, &sa, nullptr);
    sa.sa_handler = onUnexpected;
    for (int sig :
         {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGIO, SIGURG, SIGPIPE, SIGUSR1, SIGUSR2, SIGHUP, SIGTRAP})
        sigaction(sig, &sa, nullptr);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        if (sig != PCI5C3A_SIG_PORT0 && sig != PCI5C3A_SIG_PORT1) sigaction(sig, &sa, nullptr);
}

using drv::isKnown;
using drv::kKnown;
using drv::Known;

// Type letters whose codes the kernel's file layer answers itself on any
// file (FIOCLEX, FIONBIO, FIOASYNC, FIGETBSZ, FIFREEZE, FICLONE, ...): not
// the driver's to refuse, and some change the descriptor.
bool fileLayerCode(unsigned long code) {
    const unsigned long type = _IOC_TYPE(code);
    return type == 'T' || type == 'X' || type == 'f' || type == 0x94 || type == 0x15 || type == 0;
}

// Registers whose writes leave the traffic alone in operating mode: read
// only ones, and those writable in reset mode only.
constexpr unsigned kHarmlessRegs[] = {REG_SR,    REG_IR,    REG_ALC,  REG_ECC,  REG_RMC, REG_EWLR,
                                      REG_RXERR, REG_TXERR, REG_BTR0, REG_BTR1, REG_OCR};

// Where a request goes: a descriptor and a handle, the loop's end it names
// (-1: none) and the error the handle alone earns (0: none).
struct Target {
    const drv::Card *card;
    int handle;
    int end;
    int error;
};

class Fuzzer {
public:
    Fuzzer(const drv::Card &card, const drv::Port &a, const drv::Port &b, std::uint64_t seed)
        : card_(card), ends_{a, b}, rng_(seed), kernel_(!drv::inProcessCard(card.number())) {
        for (int port : {0, 1}) present_[port] = drv::hasPort(card, port);
    }

    int failures() const { return failures_; }

    void step() {
        // Phases that fill the queues up to their limit and phases that
        // empty them, so both ends are reached.
        const bool draining = requests_ % 16384 >= 8192;
        const unsigned pick = below(100);
        if (pick < 38) draining ? receiveOne() : sendOne();
        else if (pick < 45) countOne();
        else if (pick < 50) setModeOne();
        else if (pick < 58) readOne();
        else if (pick < 66) writeOne();
        else if (pick < 71) eventsOne();
        else if (pick < 74) portCloseOne();
        else if (pick < 76) lastCloseOne();
        else if (pick < 90) nearMissOne();
        else farOne();
        ++requests_;
        if (requests_ % 256 == 0) checkModel();
    }

    void checkModel() {
        for (int e : {0, 1}) {
            const int want = static_cast<int>(queue_[e].size());
            const int got = ends_[e].waitCount(want, std::chrono::seconds(2));
            if (got != want)
                report("handle %d queue holds %d messages, the model %d", ends_[e].handle(), got, want);
        }
        for (int sig : {0, 1}) checkSignals(sig);
    }

    void summary(double seconds, std::uint64_t seed) const {
        std::printf(
            "driver_fuzz seed=%llu seconds=%.1f requests=%llu sent=%llu received=%llu dropped=%llu "
            "signals=%d einval=%llu efault=%llu enotty=%llu eagain=%llu eio=%llu enxio=%llu failures=%d\n",
            static_cast<unsigned long long>(seed), seconds, ull(requests_), ull(sent_), ull(received_),
            ull(dropped_), g_signals[0].load() + g_signals[1].load(), ull(errors_[EINVAL]),
            ull(errors_[EFAULT]), ull(errors_[ENOTTY]), ull(errors_[EAGAIN]), ull(errors_[EIO]),
            ull(errors_[ENXIO]), failures_);
    }

private:
    static unsigned long long ull(std::uint64_t v) { return v; }

    unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }
    std::uint32_t word() { return static_cast<std::uint32_t>(rng_()); }
    bool chance(unsigned percent) { return below(100) < percent; }

    void report(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        ++failures_;
        if (failures_ > kMaxReports) return;
        std::va_list args;
        va_start(args, format);
        std::fputs("driver_fuzz: ", stderr);
        std::vfprintf(stderr, format, args);
        std::fputc('\n', stderr);
        va_end(args);
    }

    // sig: 0 for PCI5C3A_SIG_PORT0, 1 for PCI5C3A_SIG_PORT1 (ends that are
    // port 0 of two cards share the first).
    void checkSignals(int sig) {
        const int want = expectedSignals_[sig];
        waitUntil([&] { return g_signals[sig].load() >= want; });
        if (g_signals[sig].load() != want)
            report("signal %d: %d notification signals, the model %d",
                   sig == 0 ? PCI5C3A_SIG_PORT0 : PCI5C3A_SIG_PORT1, g_signals[sig].load(), want);
    }
    // The end that is card_'s `port`, or -1.
    int endOf(int port) const {
        for (int e : {0, 1})
            if (&ends_[e].card() == &card_ && ends_[e].port() == port) return e;
        return -1;
    }
    template <class F>
    static void waitUntil(F done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }

    Target endTarget(int e) const { return {&ends_[e].card(), ends_[e].handle(), e, 0}; }
    // Mostly one of the loop's ends, else a handle card_'s device must
    // refuse: another card's (EINVAL) or a port the board lacks (ENXIO). A
    // port of the card off the loop is not addressed: what reaches it is
    // not modelled.
    Target target() {
        if (chance(85)) return endTarget(static_cast<int>(below(2)));
        const int others[] = {-1, INT_MIN, INT_MAX, PCI5C3A_MAX_HANDLES, static_cast<int>(word())};
        int h = others[below(5)];
        if (chance(50)) h = static_cast<int>(below(PCI5C3A_MAX_HANDLES));  // another card's
        if (h / PCI5C3A_PORTS_PER_CARD == card_.number() && h >= 0 && h < PCI5C3A_MAX_HANDLES) {
            const int port = h % PCI5C3A_PORTS_PER_CARD, e = endOf(port);
            if (e >= 0) return endTarget(e);
            if (!present_[port]) return {&card_, h, -1, ENXIO};
            return endTarget(static_cast<int>(below(2)));
        }
        return {&card_, h, -1, EINVAL};
    }

    // Where the record goes. Valid places come with a check that nothing
    // around the record changed; invalid ones answer EFAULT.
    enum class Place { pageEnd, canaried, null, guard, straddling };
    Place place() {
        const unsigned p = below(100);
        if (p < 45) return Place::pageEnd;
        if (p < 85) return Place::canaried;
        if (p < 93 || !kernel_) return Place::null;
        return p < 97 ? Place::guard : Place::straddling;
    }
    static constexpr std::size_t kCanaryOffset = 256, kCanarySpan = 64;
    static constexpr unsigned char kCanary = 0xA5;

    // Issues `code` with `record` (size bytes) at `where` on card_'s device
    // (or `on`); copies the driver's answer back into `record`.
    drv::Answer issue(unsigned long code, void *record, std::size_t size, Place where,
                      const drv::Card *on = nullptr) {
        void *at = nullptr;
        switch (where) {
        case Place::pageEnd: at = page_.atEnd(size); break;
        case Place::canaried: {
            unsigned char *base = page_.usable() + kCanaryOffset;
            std::memset(base - kCanarySpan, kCanary, size + 2 * kCanarySpan);
            at = base;
            break;
        }
        case Place::null: break;
        case Place::guard: at = page_.guard(); break;
        case Place::straddling:
            at = page_.straddling(size, 1 + below(static_cast<unsigned>(size - 1)));
            break;
        }
        if (at != nullptr && (where == Place::pageEnd || where == Place::canaried))
            std::memcpy(at, record, size);
        const drv::Answer a = drv::request((on != nullptr ? on : &card_)->fd(), code, at);
        if (a.result != 0 && a.result != -1) report("code 0x%lx returned %d", code, a.result);
        if (a.result == -1 && a.error < static_cast<int>(errors_.size()))
            ++errors_[static_cast<std::size_t>(a.error)];
        if (where == Place::pageEnd || where == Place::canaried) std::memcpy(record, at, size);
        if (where == Place::canaried) {
            const unsigned char *base = page_.usable() + kCanaryOffset;
            for (std::size_t i = 0; i < kCanarySpan; ++i)
                if (base[-1 - static_cast<std::ptrdiff_t>(i)] != kCanary || base[size + i] != kCanary) {
                    report("code 0x%lx wrote outside its %zu-byte record", code, size);
                    break;
                }
        }
        return a;
    }
    static bool validPlace(Place p) { return p == Place::pageEnd || p == Place::canaried; }

    // Checks an answer against the model's errno (0: success).
    bool expect(const char *what, const drv::Answer &a, int want) {
        if ((want == 0 && a.ok()) || a.failedWith(want)) return true;
        report("%s: got %d (%s), expected %s", what, a.result, a.result == -1 ? std::strerror(a.error) : "ok",
               want == 0 ? "0" : std::strerror(want));
        return false;
    }
    static int refusal(Place p, bool validRecord, int invalid) {
        if (!validPlace(p)) return EFAULT;
        return validRecord ? 0 : invalid;
    }

    void sendOne() {
        const Target t = target();
        MSG_XFER x{};
        x.handle = t.handle;
        x.reserved = chance(10) ? word() : 0;
        x.packet.id = word() >> below(32);
        // A port the board lacks: the record otherwise valid, so that ENXIO
        // is the one answer.
        x.packet.len = static_cast<unsigned char>(chance(90) || t.error == ENXIO ? below(9) : 9 + below(247));
        x.packet.rtr = static_cast<unsigned char>(chance(85) ? 0 : (chance(50) ? 1 : word()));
        for (unsigned char &b : x.packet.data) b = static_cast<unsigned char>(word());
        for (unsigned char &b : x.packet.reserved) b = chance(10) ? static_cast<unsigned char>(word()) : 0;
        const MSG_XFER sent = x;
        const Place where = place();
        const int from = t.end;
        const bool validRecord = t.error == 0 && x.packet.len <= 8;
        if (validRecord && validPlace(where) && !ends_[from].waitTransmitBuffer())
            report("handle %d: transmit buffer stays busy", t.handle);
        const drv::Answer a = issue(REQ_SEND, &x, sizeof x, where, t.card);
        const int want = !validPlace(where) ? EFAULT : t.error != 0 ? t.error : validRecord ? 0 : EINVAL;
        if (!expect("REQ_SEND", a, want) || !a.ok()) return;
        ++sent_;
        const int to = 1 - from;
        const bool drop = queue_[to].size() >= kQueueLimit;
        if (drop) {
            ++dropped_;
        } else {
            CAN_PACKET p{};
            p.id = sent.packet.id & (extended_[from] ? SJA1000_EXT_ID_MASK : SJA1000_STD_ID_MASK);
            p.rtr = sent.packet.rtr != 0 ? 1 : 0;
            p.len = sent.packet.len;
            if (p.rtr == 0) std::memcpy(p.data, sent.packet.data, p.len);
            queue_[to].push_back(p);
            if (notify_[to]) ++expectedSignals_[ends_[to].port()];
        }
        // The frame is on the wire until acknowledged; then the receiving
        // controller has it and the driver takes it at its interrupt.
        if (!ends_[from].waitTransmitBuffer()) report("handle %d: frame stays pending", t.handle);
        const int queued = static_cast<int>(queue_[to].size());
        const int got = ends_[to].waitCount(queued, std::chrono::seconds(2));
        if (got != queued) {
            report("handle %d: %d messages queued after a send, the model %d", ends_[to].handle(), got,
                   queued);
            resync();
        }
        // A frame dropped for a full queue changes no count to wait for:
        // wait until the driver has emptied the receiving controller, or
        // the interrupt could come after a receive had made room for it.
        if (drop && !receiveBufferEmpty(to))
            report("handle %d: the controller keeps a received frame", ends_[to].handle());
    }

    bool receiveBufferEmpty(int e) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while ((ends_[e].reg(REG_SR) & SR_RBS) != 0)
            if (std::chrono::steady_clock::now() > end) return false;
        return true;
    }

    void receiveOne() {
        const Target t = target();
        MSG_XFER x{};
        x.handle = t.handle;
        const int port = t.end;
        const Place where = place();
        const bool empty = t.error == 0 && queue_[port].empty();
        const drv::Answer a = issue(REQ_RECEIVE, &x, sizeof x, where, t.card);
        const int want = !validPlace(where) ? EFAULT : t.error != 0 ? t.error : empty ? EAGAIN : 0;
        if (!expect("REQ_RECEIVE", a, want) || !a.ok()) return;
        ++received_;
        const CAN_PACKET front = queue_[port].front();
        queue_[port].pop_front();
        if (std::memcmp(&x.packet, &front, sizeof front) != 0) {
            report(
                "handle %d: received id 0x%x len %u rtr %u data %02x.., the model id 0x%x len %u rtr %u data "
                "%02x..",
                t.handle, x.packet.id, x.packet.len, x.packet.rtr, x.packet.data[0], front.id, front.len,
                front.rtr, front.data[0]);
            resync();
        }
    }

    void countOne() {
        const Target t = target();
        RCV_COUNT c{};
        c.handle = t.handle;
        const Place where = place();
        const drv::Answer a = issue(REQ_RCV_COUNT, &c, sizeof c, where, t.card);
        const int want = !validPlace(where) ? EFAULT : t.error;
        if (!expect("REQ_RCV_COUNT", a, want) || !a.ok()) return;
        if (c.count != queue_[t.end].size())
            report("handle %d: REQ_RCV_COUNT says %u, the model %zu", t.handle, c.count,
                   queue_[t.end].size());
    }

    void setModeOne() {
        const Target t = target();
        MODE_SET m{};
        m.handle = t.handle;
        m.mode = chance(85) || t.error == ENXIO ? below(2) : (chance(50) ? 2 + below(4) : word());
        const Place where = place();
        const bool validMode = m.mode <= PCI5C3A_ID_EXTENDED;
        const drv::Answer a = issue(REQ_SET_MODE, &m, sizeof m, where, t.card);
        const int want = !validPlace(where) ? EFAULT : t.error != 0 ? t.error : validMode ? 0 : EINVAL;
        if (expect("REQ_SET_MODE", a, want) && a.ok()) extended_[t.end] = m.mode == PCI5C3A_ID_EXTENDED;
    }

    // The error a register address of card_ earns for the port it names: a
    // port the board lacks is ENXIO.
    int portError(unsigned addr) const { return present_[addr / PCI5C3A_PORT_WINDOW] ? 0 : ENXIO; }

    unsigned address(bool *valid) {
        *valid = chance(75);
        if (*valid) {
            const unsigned a = below(PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW);
            // In a missing port's window, one of its controller's registers.
            return portError(a) == 0 ? a : a - a % PCI5C3A_PORT_WINDOW + a % REG_COUNT;
        }
        const unsigned limit = PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW;
        const unsigned bad[] = {limit, limit + 1, limit + below(256), UINT_MAX, 0x80000000u, word() | limit};
        return bad[below(6)];
    }

    void readOne() {
        bool valid = false;
        REG_ACCESS r{};
        r.addr = address(&valid);
        r.reserved = chance(10) ? word() : 0;
        const Place where = place();
        const REG_ACCESS before = r;
        const drv::Answer a = issue(REQ_REG_READ, &r, sizeof r, where);
        const int want = !validPlace(where) ? EFAULT : !valid ? EINVAL : portError(r.addr);
        if (!expect("REQ_REG_READ", a, want) || !a.ok()) return;
        if (r.addr != before.addr || r.reserved != before.reserved)
            report("REQ_REG_READ changed the record's address or reserved word");
    }

    void writeOne() {
        bool valid = false;
        REG_ACCESS r{};
        r.addr = address(&valid);
        if (valid) {
            const unsigned pick = below(static_cast<unsigned>(std::size(kHarmlessRegs)) + 1);
            r.addr = pick == std::size(kHarmlessRegs)
                         ? PCI5C3A_LED_ADDR
                         : drv::portAddr(static_cast<int>(below(2)), kHarmlessRegs[pick]);
        }
        r.data = static_cast<unsigned char>(word());
        const Place where = place();
        const int want = !validPlace(where) ? EFAULT : !valid ? EINVAL : portError(r.addr);
        expect("REQ_REG_WRITE", issue(REQ_REG_WRITE, &r, sizeof r, where), want);
    }

    void eventsOne() {
        int port = static_cast<int>(below(2));
        int e = endOf(port);
        const drv::Card *on = &card_;
        // A port of the card off the loop: an end instead (its signals
        // would not be modelled); a missing one is refused.
        if (e < 0 && present_[port]) {
            e = static_cast<int>(below(2));
            port = ends_[e].port();
            on = &ends_[e].card();
        }
        unsigned short flag = static_cast<unsigned short>(chance(50) ? 0 : (chance(50) ? 1 : word()));
        // The port is in the code: whether a missing one is refused before
        // the flag is read is the driver's choice; the flag is readable.
        const Place where = e < 0 ? Place::canaried : place();
        const drv::Answer a =
            issue(port == 0 ? REQ_EVENT_PORT0 : REQ_EVENT_PORT1, &flag, sizeof flag, where, on);
        const int want = e < 0 ? ENXIO : refusal(where, true, 0);
        if (expect("REQ_EVENT_PORT", a, want) && a.ok()) notify_[e] = flag != 0;
    }

    void portCloseOne() {
        REG_ACCESS r{};
        const unsigned choices[] = {0,     PCI5C3A_PORT_WINDOW, 1, PCI5C3A_LED_ADDR, 2 * PCI5C3A_PORT_WINDOW,
                                    word()};
        r.addr = choices[below(6)];
        const bool valid = r.addr == 0 || r.addr == PCI5C3A_PORT_WINDOW;
        const Place where = place();
        const drv::Answer a = issue(REQ_PORT_CLOSE, &r, sizeof r, where);
        const int want = !validPlace(where) ? EFAULT : !valid ? EINVAL : portError(r.addr);
        if (expect("REQ_PORT_CLOSE", a, want) && a.ok()) {
            const int e = endOf(static_cast<int>(r.addr / PCI5C3A_PORT_WINDOW));
            if (e >= 0) notify_[e] = false;
        }
    }

    void lastCloseOne() {
        REG_ACCESS r{};
        r.addr = word();
        r.data = static_cast<unsigned char>(word());
        const Place where = place();
        expect("REQ_LAST_CLOSE", issue(REQ_LAST_CLOSE, &r, sizeof r, where), refusal(where, true, 0));
    }

    // An unknown code must be refused with ENOTTY before its record is
    // looked at, and must not touch the record.
    void unknownCode(unsigned long code) {
        if (isKnown(code) || fileLayerCode(code)) return;
        std::array<unsigned char, 64> record{};
        for (unsigned char &b : record) b = static_cast<unsigned char>(word());
        const std::array<unsigned char, 64> before = record;
        const unsigned p = below(100);
        const Place where = p < 70   ? Place::canaried
                            : p < 90 ? Place::null
                                     : (kernel_ ? Place::guard : Place::null);
        const std::size_t size =
            std::min<std::size_t>(record.size(), std::max<std::size_t>(_IOC_SIZE(code), 1));
        const drv::Answer a = issue(code, record.data(), size, where);
        char what[48];
        std::snprintf(what, sizeof what, "unknown code 0x%lx", code);
        expect(what, a, ENOTTY);
        if (record != before) report("unknown code 0x%lx wrote its record", code);
    }

    void nearMissOne() {
        const Known &k = kKnown[below(static_cast<unsigned>(std::size(kKnown)))];
        unsigned long dir = _IOC_DIR(k.code), type = _IOC_TYPE(k.code), nr = _IOC_NR(k.code),
                      size = _IOC_SIZE(k.code);
        switch (below(5)) {
        case 0: dir = below(4); break;
        case 1: size = (size + below(9) - 4) & _IOC_SIZEMASK; break;
        case 2: nr = (nr + below(7) - 3) & _IOC_NRMASK; break;
        case 3: type = (type + below(5) - 2) & _IOC_TYPEMASK; break;
        default: size = below(_IOC_SIZEMASK + 1); break;
        }
        unknownCode(_IOC(dir, type, nr, size));
    }

    void farOne() { unknownCode(word()); }

    // After a mismatch the model starts again from the driver's queues.
    void resync() {
        for (int e : {0, 1}) {
            ends_[e].drain();
            queue_[e].clear();
            expectedSignals_[e] = g_signals[e].load();
        }
    }

    const drv::Card &card_;
    const drv::Port ends_[2];
    bool present_[2] = {true, true};
    std::mt19937_64 rng_;
    bool kernel_;
    drv::GuardedPage page_;
    std::deque<CAN_PACKET> queue_[2];
    bool extended_[2] = {false, false};
    bool notify_[2] = {false, false};
    int expectedSignals_[2] = {0, 0};
    std::array<std::uint64_t, 256> errors_{};
    std::uint64_t requests_ = 0, sent_ = 0, received_ = 0, dropped_ = 0;
    int failures_ = 0;
};

int usage() {
    std::fprintf(stderr, "usage: driver_fuzz [--seconds S (0..86400)] [--seed N] [--card C (0..%d)]\n",
                 PCI5C3A_MAX_CARDS - 1);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = 5;
    std::uint64_t seed = std::random_device{}();
    int cardNumber = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        char *end = nullptr;
        const char *value = argv[++i];
        if (arg == "--seconds") seconds = std::strtod(value, &end);
        else if (arg == "--seed") seed = std::strtoull(value, &end, 0);
        else if (arg == "--card") cardNumber = static_cast<int>(std::strtol(value, &end, 10));
        else return usage();
        if (end == value || *end != '\0') return usage();
    }
    if (!(seconds >= 0 && seconds <= 86400) || cardNumber < 0 || cardNumber >= PCI5C3A_MAX_CARDS)
        return usage();

    installHandlers();
    // The loop's ends: card C's two ports, or the ends of a loop across two
    // cards, C among them.
    const test::Loop &loop = test::testLoop();
    if (!loop.oneCard() && cardNumber != loop.a.card && cardNumber != loop.b.card) {
        std::fprintf(stderr, "driver_fuzz: --card %d: PCI5C3A_TEST_LOOP joins cards %d and %d\n", cardNumber,
                     loop.a.card, loop.b.card);
        return 2;
    }
    const drv::Card card(cardNumber);
    std::unique_ptr<drv::Card> other;
    if (!loop.oneCard())
        other = std::make_unique<drv::Card>(cardNumber == loop.a.card ? loop.b.card : loop.a.card);
    auto cardOf = [&](const test::LoopEnd &e) -> const drv::Card & {
        return loop.oneCard() || e.card == cardNumber ? card : *other;
    };
    const drv::Port a(cardOf(loop.a), loop.a.port), b(cardOf(loop.b), loop.b.port);
    for (const drv::Card *c : {&card, static_cast<const drv::Card *>(other.get())}) {
        if (c == nullptr) continue;
        if (!c->ok()) {
            char path[32];
            drv::devicePath(c->number(), path, sizeof path);
            std::fprintf(stderr, "driver_fuzz: %s: %s\n", path, std::strerror(c->openError()));
            return 2;
        }
        if (fcntl(c->fd(), F_SETOWN, getpid()) != 0) {
            std::fprintf(stderr, "driver_fuzz: F_SETOWN: %s\n", std::strerror(errno));
            return 1;
        }
    }
    for (const drv::Port &p : {a, b})
        if (!p.events(0).ok() || !p.configure(PCI5C3A_ID_STANDARD)) {
            std::fprintf(stderr, "driver_fuzz: cannot configure port %d of card %d\n", p.port(),
                         p.card().number());
            return 1;
        }
    for (const drv::Port &p : {a, b}) p.drain();

    Fuzzer fuzzer(card, a, b, seed);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end && fuzzer.failures() <= kMaxReports) fuzzer.step();
    fuzzer.checkModel();
    for (const drv::Port &p : {a, b}) p.events(0);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fuzzer.summary(elapsed, seed);
    return fuzzer.failures() == 0 ? 0 : 1;
}
