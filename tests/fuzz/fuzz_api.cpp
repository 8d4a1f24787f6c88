// SPDX-License-Identifier: MIT
// libFuzzer target: the input is read as a life of one process using the
// library against the virtual card. Its first bytes choose the card set-up
// (cards present, wiring, a remote node, a tamper rule); the rest is a
// sequence of operations: API calls with arbitrary arguments (handles, cards,
// ports, LEDs, registers, records or null, detection timeouts of 0 or below so
// that nothing waits), and faults of the driver (answers for request codes,
// forced register reads, missing nodes, failing F_SETOWN or sigaction,
// frames from outside). After every call the library's tables must obey
// their rules and the call's documented effect, and every driver request the
// library made must have gone to the descriptor of an installed card.
//
// Any violation aborts, so that libFuzzer keeps the input.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pci_5C3A.h"
#include "pci_5C3A_ioctl.h"
#include "tables.h"
#include "vcard.h"

// ---------------------------------------------------------------------------
// Every ioctl the library makes passes here (the link wraps the symbol), so
// that a request on a descriptor that is not a card's is seen too: those
// never reach the virtual card's trace.

namespace {
struct Issued {
    int fd;
    unsigned long code;
};
constexpr int kMaxIssued = 4096;
Issued issuedLog[kMaxIssued];
std::atomic<int> issuedCount{0};
}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, void *arg);
extern "C" int __wrap_ioctl(int fd, unsigned long request, void *arg) {
    const int i = issuedCount.fetch_add(1);
    if (i < kMaxIssued) issuedLog[i] = {fd, request};
    return __real_ioctl(fd, request, arg);
}

namespace {

[[noreturn]] void violated(const char *call, const std::string &why) {
    std::fprintf(stderr, "fuzz_api: after %s: %s\n", call, why.c_str());
    std::abort();
}

// ---------------------------------------------------------------------------
// Reading the input: every read succeeds, with zeros once it is used up.

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
    std::uint32_t word() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
    // Mostly small values around the valid range, sometimes any 32-bit value.
    int around(int lo, int hi) {
        const std::uint8_t b = byte();
        if (b == 0xFF) return static_cast<int>(word());
        if (b == 0xFE) return byte() & 1 ? INT32_MIN : INT32_MAX;
        return lo - 2 + b % (hi - lo + 5);
    }

private:
    const std::uint8_t *p_, *end_;
};

// ---------------------------------------------------------------------------
// Receive-event handlers: one counts, one drains its port of card 0 from
// within the signal, as applications do.

std::atomic<int> signalsSeen{0};
void counting(int) { ++signalsSeen; }
void draining(int sig) {
    const int handle = sig == PCI5C3A_SIG_PORT0 ? 0 : 1;
    CAN_PACKET p;
    for (int n = CanGetRcvCnt(handle); n > 0; --n) CanRcvMsg(handle, &p);
}

// ---------------------------------------------------------------------------
// One process's life

int maxDescriptor = 0;  // highest card descriptor the library held

void newProcess(Input &in) {
    // The last life's card descriptors go, as at process exit.
    for (int fd = 3; fd <= maxDescriptor; ++fd)
        if (vcard::descriptor_card(fd) >= 0) close(fd);
    maxDescriptor = 0;

    vcard::Config cfg;
    const std::uint8_t setup = in.byte();
    cfg.cards = setup % 5;
    cfg.wiring = static_cast<vcard::Wiring>(setup / 5 % 3);
    if (setup & 0x80) {
        static const unsigned kRates[] = {125000, 250000, 500000, 1000000, 100000, 800000};
        const std::uint8_t r = in.byte();
        cfg.remote = vcard::RemoteNode{kRates[r % 6], r / 6u % 21u};  // period 0: back to back
    }
    const std::uint8_t tamper = in.byte();
    if (tamper & 0x80) {
        vcard::Tamper t;
        t.handle = tamper % PCI5C3A_MAX_HANDLES;
        t.every_frame = tamper & 0x40;
        t.index = in.byte() % 8;
        t.kind = static_cast<vcard::Tamper::Kind>(tamper / 8 % 4);
        t.byte = in.byte() % 8;
        t.value = t.kind == vcard::Tamper::Kind::id          ? in.word() & 0x1FFFFFFF
                  : t.kind == vcard::Tamper::Kind::duplicate ? 1u + in.byte() % 4
                                                             : in.byte();
        cfg.tamper.push_back(t);
    }
    vcard::reset(cfg);  // joins the last remote node: no signal of its is still pending
    test::resetLibrary();
    signal(PCI5C3A_SIG_PORT0, SIG_DFL);
    signal(PCI5C3A_SIG_PORT1, SIG_DFL);
    vcard::trace_clear();
}

// ---------------------------------------------------------------------------
// Checking a call

bool validHandle(int h) { return h >= 0 && h < PCI5C3A_MAX_HANDLES; }
bool validCard(int c) { return c >= 0 && c < PCI5C3A_MAX_CARDS; }

// A card record as installation leaves it: a descriptor of the virtual card
// for this card, and the signal actions cleared or set to ignore.
std::string freshInstall(const test::Snapshot &s, int card) {
    const PCI_INFO &i = s.info[card];
    if (i.magic != test::kInstalled) return "card not installed";
    if (vcard::descriptor_card(i.fd) != card) return "descriptor is not the card's";
    struct sigaction cleared;
    std::memset(&cleared, 0, sizeof cleared);
    struct sigaction ignoring = cleared;
    ignoring.sa_handler = SIG_IGN;
    const struct sigaction &want = i.sigReady ? ignoring : cleared;
    if (!test::sameAction(i.act0, want) || !test::sameAction(i.act1, want))
        return "signal actions of a new installation";
    return "";
}

// The requests of the call just made: each on an installed card's own
// descriptor, in the library's record and in the virtual card's trace.
void checkRequests(const char *call, const test::Snapshot &after) {
    const int n = std::min(issuedCount.load(), kMaxIssued);
    for (int i = 0; i < n; ++i) {
        const int card = vcard::descriptor_card(issuedLog[i].fd);
        if (!validCard(card) || !test::installed(after, card) || after.info[card].fd != issuedLog[i].fd) {
            char why[96];
            std::snprintf(why, sizeof why, "request 0x%lx on descriptor %d (card %d)", issuedLog[i].code,
                          issuedLog[i].fd, card);
            violated(call, why);
        }
    }
    for (const vcard::Request &r : vcard::trace())
        if (!validCard(r.card) || !test::installed(after, r.card) || after.info[r.card].fd != r.fd)
            violated(call, "traced request off an installed card: " + vcard::describe(r));
    issuedCount = 0;
    vcard::trace_clear();
    for (int c = 0; c < PCI5C3A_MAX_CARDS; ++c)
        if (test::installed(after, c)) maxDescriptor = std::max(maxDescriptor, after.info[c].fd);
}

void expect(const char *call, bool ok, const char *what) {
    if (!ok) violated(call, what);
}

// Installation of a card by the call: accept the record it made (checked on
// its own), or none.
void acceptInstall(const char *call, test::Snapshot &want, const test::Snapshot &after, int card) {
    if (!validCard(card) || test::installed(want, card) || after.info[card].magic == 0) return;
    const std::string why = freshInstall(after, card);
    if (!why.empty()) violated(call, why);
    want.info[card] = after.info[card];
}

// ---------------------------------------------------------------------------
// The operations

PORT_STRUCT config(Input &in) {
    PORT_STRUCT c;
    std::memset(&c, 0, sizeof c);
    const std::uint8_t shape = in.byte();
    c.mode = shape & 0x80 ? in.word() : shape % 3;
    c.baudrate = shape & 0x40 ? in.word() : shape / 3 % 6;
    c.accCode = in.word();
    c.accMask = in.word();
    c.brp = in.byte();
    c.tseg1 = in.byte();
    c.tseg2 = in.byte();
    c.sjw = in.byte();
    c.reserved[0] = in.byte();
    return c;
}

CAN_PACKET packetFrom(Input &in) {
    CAN_PACKET p;
    std::memset(&p, 0, sizeof p);
    p.id = in.word();
    p.rtr = in.byte() % 3;
    p.len = in.byte() % 12;
    for (auto &d : p.data) d = in.byte();
    return p;
}

unsigned long requestCode(Input &in) {
    static const unsigned long kCodes[] = {REQ_REG_READ,   REQ_REG_WRITE, REQ_SET_MODE,    REQ_SEND,
                                           REQ_RECEIVE,    REQ_RCV_COUNT, REQ_EVENT_PORT0, REQ_EVENT_PORT1,
                                           REQ_PORT_CLOSE, REQ_LAST_CLOSE};
    return kCodes[in.byte() % 10];
}

constexpr int kMaxSends = 4;  // each send waits 1 ms

void step(Input &in, int &sends) {
    const test::Snapshot before = test::take();
    test::Snapshot want = before;
    const char *call = "?";
    issuedCount = 0;

    const std::uint8_t op = in.byte() % 37;
    switch (op) {
    case 0: {
        call = "CanOpenDriver";
        const int card = in.around(0, 3), port = in.around(0, 1);
        const int r = CanOpenDriver(card, port);
        const test::Snapshot after = test::take();
        acceptInstall(call, want, after, card);
        if (r == PCI5C3A_ERROR) {
            // A card whose signals could not be set up stays installed, uncounted.
            if (validCard(card) && !test::installed(before, card) && test::installed(after, card))
                expect(call, after.info[card].sigReady == 1, "failed installation left without sigReady");
        } else {
            expect(call, validCard(card) && port >= 0 && port < 2 && r == card * 2 + port, "handle");
            if (!test::installed(before, card)) ++want.totalCards;
            want.installRef[r] = 1;
            want.ports[r] = {PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M, 0, 0, 0, 0, {0, 0, 0, 0}};
        }
        break;
    }
    case 1: {
        call = "CanCloseDriver";
        const int h = in.around(0, 7);
        const int r = CanCloseDriver(h);
        expect(call, r == (validHandle(h) && before.installRef[h] == 1 ? PCI5C3A_OK : PCI5C3A_ERROR),
               "result");
        if (r == PCI5C3A_OK) want.installRef[h] = 0;
        break;
    }
    case 2: {
        call = "_5C3A_InstallPCI";
        const int card = in.around(0, 3);
        const int r = _5C3A_InstallPCI(card);
        expect(call,
               r == PCI5C3A_OK || r == PCI5C3A_INSTALL_NO_CARD || r == PCI5C3A_INSTALL_NO_DEVICE ||
                   r == PCI5C3A_INSTALL_SIGACTION,
               "result");
        expect(call, (r == PCI5C3A_INSTALL_NO_CARD) == !validCard(card), "card range");
        const test::Snapshot after = test::take();
        if (r == PCI5C3A_OK || r == PCI5C3A_INSTALL_SIGACTION) {
            const std::string why = freshInstall(after, card);
            if (!why.empty()) violated(call, why);
            want.info[card] = after.info[card];
        }
        break;
    }
    case 3:
        call = "GetDriverVersion";
        expect(call, GetDriverVersion() == 4, "version");
        break;
    case 4: {
        call = "_5C3A_Read";
        const int h = in.around(0, 7);
        _5C3A_Read(h, in.around(0, 31));
        break;
    }
    case 5: {
        call = "_5C3A_Write";
        const int h = in.around(0, 7), reg = in.around(0, 31);
        _5C3A_Write(h, reg, static_cast<int>(in.word()));
        break;
    }
    case 6: {
        call = "CanConfigPort";
        const int h = in.around(0, 7);
        const bool null = in.byte() % 8 == 0;
        const PORT_STRUCT c = config(in);
        const int r = CanConfigPort(h, null ? nullptr : &c);
        const bool acceptable = validHandle(h) && before.installRef[h] == 1 && !null &&
                                c.mode <= PCI5C3A_ID_EXTENDED && c.baudrate <= PCI5C3A_BAUD_USER;
        expect(call, r == (acceptable ? PCI5C3A_OK : PCI5C3A_ERROR), "result");
        if (r == 0) want.ports[h] = c;
        break;
    }
    case 7: {
        call = "CanGetPortStatus";
        const int h = in.around(0, 7);
        PORT_STATUS st;
        const int r = CanGetPortStatus(h, in.byte() % 8 == 0 ? nullptr : &st);
        expect(call, r == PCI5C3A_OK || r == PCI5C3A_ERROR, "result");
        if (r == 0) expect(call, std::memcmp(&st, &portStruct[h], sizeof(PORT_STRUCT)) == 0, "record");
        break;
    }
    case 8: {
        call = "CanSendMsg";
        const int h = in.around(0, 7);
        const bool null = in.byte() % 8 == 0;
        const CAN_PACKET p = packetFrom(in);
        if (sends++ >= kMaxSends) break;
        const int r = CanSendMsg(h, null ? nullptr : &p);
        expect(call, r == PCI5C3A_OK || r == PCI5C3A_ERROR, "result");
        break;
    }
    case 9: {
        call = "CanRcvMsg";
        const int h = in.around(0, 7);
        CAN_PACKET p;
        std::memset(&p, 0xEE, sizeof p);
        const bool null = in.byte() % 8 == 0;
        const int r = CanRcvMsg(h, null ? nullptr : &p);
        expect(call, r == PCI5C3A_OK || r == PCI5C3A_ERROR, "result");
        expect(call, null || r == 0 || (validHandle(h) && before.installRef[h] == 1) || p.id == 0xEEEEEEEE,
               "record written for a refused call");
        if (r == 0) expect(call, p.len <= 8 && p.rtr <= 1, "received packet");
        break;
    }
    case 10: {
        call = "CanGetRcvCnt";
        const int r = CanGetRcvCnt(in.around(0, 7));
        expect(call, r >= PCI5C3A_ERROR && r <= 65535, "result");
        break;
    }
    case 11:
        call = "CanEnableReceive";
        CanEnableReceive(in.around(0, 7));
        break;
    case 12:
        call = "CanDisableReceive";
        CanDisableReceive(in.around(0, 7));
        break;
    case 13:
        call = "CanClearOverrun";
        CanClearOverrun(in.around(0, 7));
        break;
    case 14:
        call = "CanClearRxBuffer";
        CanClearRxBuffer(in.around(0, 7));
        break;
    case 15:
        call = "CanClearTxBuffer";
        CanClearTxBuffer(in.around(0, 7));
        break;
    case 16:
    case 17:
    case 18:
    case 20:
    case 21: {
        static int (*const kGetters[])(int) = {CanGetArbitrationLostBit, CanGetErrorCode,
                                               CanGetErrorWarningLimit,  nullptr,
                                               CanGetRxErrorCount,       CanGetTxErrorCount};
        call = "a register getter";
        const int h = in.around(0, 7);
        const int r = kGetters[op - 16](h);
        expect(call, r >= PCI5C3A_ERROR && r <= 255, "result");
        expect(call, (r == PCI5C3A_ERROR) == !(validHandle(h) && before.installRef[h] == 1), "refusal");
        break;
    }
    case 19:
        call = "CanSetErrorWarningLimit";
        CanSetErrorWarningLimit(in.around(0, 7), in.byte());
        break;
    case 22:
        call = "CanSetTxErrorCount";
        CanSetTxErrorCount(in.around(0, 7), in.byte());
        break;
    case 23: {
        call = "CanGetIntStatusReg";
        const int h = in.around(0, 7);
        expect(call, CanGetIntStatusReg(h) == (validHandle(h) ? before.intStatus[h] : PCI5C3A_ERROR),
               "result");
        break;
    }
    case 24: {
        call = "CanGetLedStatus";
        const int card = in.around(0, 3), led = in.around(0, 31);
        const int r = CanGetLedStatus(card, led);
        const bool valid = validCard(card) && led >= 0 && led < 32;
        expect(call, r == (valid ? led < 8 ? before.leds[card] >> led & 1 : 0 : PCI5C3A_ERROR), "result");
        break;
    }
    case 25: {
        call = "CanSetLedStatus";
        const int card = in.around(0, 3), led = in.around(0, 31), state = in.around(0, 1);
        CanSetLedStatus(card, led, state);
        if (validCard(card) && led >= 0 && led < 8 && test::installed(before, card)) {
            if (state == 1) want.leds[card] |= 1 << led;
            if (state == 0) want.leds[card] &= ~(1 << led);
        }
        break;
    }
    case 26: {
        call = "CanGetReceiveEvent";
        const int h = in.around(0, 7);
        const std::uint8_t which = in.byte() % 3;
        void (*handler)(int) = which == 0 ? nullptr : which == 1 ? counting : draining;
        const int r = CanGetReceiveEvent(h, handler);
        expect(call, r == PCI5C3A_OK || (r >= PCI5C3A_EVENT_SIGACTION && r <= PCI5C3A_EVENT_NOT_OPEN),
               "result");
        if (r == PCI5C3A_OK || r == PCI5C3A_EVENT_DRIVER_REFUSED || r == PCI5C3A_EVENT_SIGACTION) {
            struct sigaction &a = h % 2 == 0 ? want.info[h / 2].act0 : want.info[h / 2].act1;
            a.sa_handler = handler;
            a.sa_flags |= SA_RESTART;
        }
        break;
    }
    case 27: {
        call = "CanStopReceiveEvent";
        const int h = in.around(0, 7);
        const int r = CanStopReceiveEvent(h);
        expect(call,
               r == PCI5C3A_OK || r == PCI5C3A_EVENT_NOT_OPEN || r == PCI5C3A_EVENT_DRIVER_REFUSED ||
                   r == PCI5C3A_EVENT_SIGACTION,
               "result");
        if (r != PCI5C3A_EVENT_NOT_OPEN)
            (h % 2 == 0 ? want.info[h / 2].act0 : want.info[h / 2].act1).sa_handler = SIG_IGN;
        break;
    }
    case 28: {
        call = "CanDetectBaudrate";
        const int h = in.around(0, 7);
        const int timeout = -static_cast<int>(in.byte() % 3);
        const int r = CanDetectBaudrate(h, timeout);
        expect(call, r >= PCI5C3A_BAUD_NONE && r <= PCI5C3A_BAUD_1M, "result");
        if (validHandle(h)) want.intStatus[h] = canIntStatus[h];
        break;
    }

    // Faults of the driver and the system
    case 29: {
        call = "answer";
        const unsigned long code = requestCode(in);
        const std::uint8_t kind = in.byte();
        if (kind % 4 == 0) vcard::answer(code, -1, kind & 4 ? EIO : EINVAL);
        else vcard::answer(code, kind % 4 == 1 ? 1 : static_cast<int>(in.word()), 0);
        break;
    }
    case 30:
        call = "clear_answer";
        vcard::clear_answer(requestCode(in));
        break;
    case 31: {
        call = "force_read";
        const int card = in.byte() % 4;
        const std::uint32_t addr = in.byte();
        std::vector<std::uint8_t> values(1 + in.byte() % 4);
        for (auto &v : values) v = in.byte();
        vcard::force_read(card, addr, values, in.byte() & 1);
        break;
    }
    case 32:
        call = "clear_forced_reads";
        vcard::clear_forced_reads();
        break;
    case 33: {
        call = "set_node_missing";
        const std::uint8_t b = in.byte();
        vcard::set_node_missing(b % 4, b & 4);
        break;
    }
    case 34:
        call = "fail_setown";
        vcard::fail_setown(in.byte() & 1);
        break;
    case 35: {
        call = "fail_sigaction";
        const std::uint8_t b = in.byte();
        vcard::fail_sigaction(b & 1 ? PCI5C3A_SIG_PORT0 : PCI5C3A_SIG_PORT1, b & 2);
        break;
    }
    case 36: {
        call = "remote_send";
        const std::uint8_t b = in.byte();
        vcard::Frame f;
        f.id = in.word();
        f.extended = b & 1;
        f.rtr = b & 2;
        f.len = in.byte() % 16;
        for (auto &d : f.data) d = in.byte();
        static const unsigned kRates[] = {125000, 250000, 500000, 1000000};
        const unsigned rate = b & 0x80 ? in.word() % 3000000 : kRates[b / 4 % 4];
        // A frame may raise a receive signal whose handler calls the library.
        vcard::remote_send(b / 16 % 4, b / 64 % 2, f, rate);
        break;
    }
    }

    const test::Snapshot after = test::take();
    std::string why = test::sane(after);
    if (why.empty()) why = test::difference(want, after);
    if (!why.empty()) violated(call, why);
    checkRequests(call, after);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The library's two messages would only bury libFuzzer's own output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    vcard::reset();
    vcard::trace_start(1u << 14);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    newProcess(in);
    int sends = 0;
    for (int ops = 0; ops < 64 && !in.empty(); ++ops) step(in, sends);
    return 0;
}
