/* SPDX-License-Identifier: MIT */
// The card's driver seen through its device node only: raw requests on
// /dev/PCI5C3AW<n>, a port programmed register by register, bounded waits,
// and a record buffer with unmapped pages around it. Shared by the driver's
// request tests, its signal tests, its fuzzer and its benchmark, which run
// unchanged on the virtual card (preloaded), on the kernel driver in a QEMU
// guest and on a real card.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <memory>
#include <string>

#include "pci_5C3A.h"
#include "pci_5C3A_ioctl.h"
#include "sja1000.h"
#include "test_loop.h"

namespace drv {

// ---------------------------------------------------------------------------
// Where the tests run

// PCI5C3A_TEST_TARGET=qemu: the kernel driver on QEMU's SJA1000 boards,
// which model no bus timing, error counters or captures, complete every
// transmission at once and have no LED register. The tests that need those
// skip there.
inline bool onQemu() {
    const char *t = std::getenv("PCI5C3A_TEST_TARGET");
    return t != nullptr && std::strcmp(t, "qemu") == 0;
}

inline void devicePath(int card, char *path, std::size_t size) {
    std::snprintf(path, size, PCI5C3A_DEVICE_FORMAT, card);
}

// The virtual card lives inside the process: open() reaches it, the file
// system does not know its nodes. A kernel driver's node is a real file.
inline bool inProcessCard(int card) {
    char path[32];
    devicePath(card, path, sizeof path);
    struct stat st {};
    return stat(path, &st) != 0;
}

// ---------------------------------------------------------------------------
// Requests

struct Answer {
    int result;
    int error;  // errno after a -1, else 0
    bool ok() const { return result == 0; }
    bool failedWith(int e) const { return result == -1 && error == e; }
};

inline Answer request(int fd, unsigned long code, void *record) {
    errno = 0;
    const int result = ioctl(fd, code, record);
    return {result, result == -1 ? errno : 0};
}

// Bus timing for the card's 16 MHz clock: quantum = 2 x (BRP + 1) clock
// periods, bit = 1 + (TSEG1 + 1) + (TSEG2 + 1) quanta.
struct BusTiming {
    std::uint8_t btr0, btr1;
};
// 1 Mbit/s: BRP 0 (125 ns quanta), TSEG1 4, TSEG2 1: 8 quanta.
constexpr BusTiming kFast = {0x00, (1 << BTR1_TSEG2_SHIFT) | 4};
// 125 kbit/s: BRP 3 (500 ns quanta), TSEG1 12, TSEG2 1: 16 quanta.
constexpr BusTiming kSlow = {0x03, (1 << BTR1_TSEG2_SHIFT) | 12};

inline unsigned portAddr(int port, unsigned reg) {
    return static_cast<unsigned>(port) * PCI5C3A_PORT_WINDOW + reg;
}

// One card's device node, opened by the test itself.
class Card {
public:
    explicit Card(int card) : card_(card) {
        char path[32];
        devicePath(card, path, sizeof path);
        fd_ = open(path, O_RDWR | O_CLOEXEC);
        error_ = fd_ < 0 ? errno : 0;
    }
    ~Card() { closeNow(); }
    Card(const Card &) = delete;
    Card &operator=(const Card &) = delete;

    bool ok() const { return fd_ >= 0; }
    int openError() const { return error_; }
    int fd() const { return fd_; }
    int number() const { return card_; }
    int handle(int port) const { return card_ * PCI5C3A_PORTS_PER_CARD + port; }
    void closeNow() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    Answer ask(unsigned long code, void *record) const { return request(fd_, code, record); }

    Answer write(unsigned addr, std::uint8_t value) const {
        REG_ACCESS r{};
        r.addr = addr;
        r.data = value;
        return ask(REQ_REG_WRITE, &r);
    }
    Answer read(unsigned addr, std::uint8_t *value) const {
        REG_ACCESS r{};
        r.addr = addr;
        const Answer a = ask(REQ_REG_READ, &r);
        *value = r.data;
        return a;
    }
    // A controller register; 0 when the read fails (the caller checks
    // values, a failed read shows as a wrong one).
    std::uint8_t reg(int port, unsigned reg) const {
        std::uint8_t v = 0;
        read(portAddr(port, reg), &v);
        return v;
    }
    bool setReg(int port, unsigned reg, std::uint8_t value) const {
        return write(portAddr(port, reg), value).ok();
    }

    Answer setMode(int handle, unsigned mode) const {
        MODE_SET m{};
        m.handle = handle;
        m.mode = mode;
        return ask(REQ_SET_MODE, &m);
    }
    Answer send(int handle, const CAN_PACKET &p) const {
        MSG_XFER x{};
        x.handle = handle;
        x.packet = p;
        return ask(REQ_SEND, &x);
    }
    Answer receive(int handle, CAN_PACKET *p) const {
        MSG_XFER x{};
        x.handle = handle;
        const Answer a = ask(REQ_RECEIVE, &x);
        *p = x.packet;
        return a;
    }
    // The queue's length, or -1 when the request fails.
    int count(int handle) const {
        RCV_COUNT c{};
        c.handle = handle;
        return ask(REQ_RCV_COUNT, &c).ok() ? c.count : -1;
    }
    Answer events(int port, unsigned short flag) const {
        return ask(port == 0 ? REQ_EVENT_PORT0 : REQ_EVENT_PORT1, &flag);
    }
    Answer portClose(unsigned addr) const {
        REG_ACCESS r{};
        r.addr = addr;
        r.data = 1;
        return ask(REQ_PORT_CLOSE, &r);
    }
    Answer lastClose(unsigned addr, std::uint8_t data) const {
        REG_ACCESS r{};
        r.addr = addr;
        r.data = data;
        return ask(REQ_LAST_CLOSE, &r);
    }

    // Programs a port as the library would, but with the dual acceptance
    // filter open to every frame: QEMU's single filter compares identifier
    // bits 2-0 of standard frames whatever the mask says.
    bool configure(int port, unsigned mode, BusTiming timing = kFast) const {
        bool ok =
            setReg(port, REG_IER, 0) && setReg(port, REG_MOD, MOD_RM) && setReg(port, REG_CDR, CDR_CARD);
        for (unsigned i = 0; i < 4; ++i)
            ok = ok && setReg(port, REG_ACR0 + i, 0) && setReg(port, REG_AMR0 + i, 0xFF);
        ok = ok && setReg(port, REG_BTR0, timing.btr0) && setReg(port, REG_BTR1, timing.btr1) &&
             setReg(port, REG_OCR, OCR_CARD) && setMode(handle(port), mode).ok();
        // Operating mode, dual filter; then receive and transmit interrupts.
        return ok && setReg(port, REG_MOD, 0) && setReg(port, REG_IER, IRQ_RI | IRQ_TI);
    }
    bool enterReset(int port) const { return setReg(port, REG_MOD, MOD_RM); }

    // Waits until the port's transmit buffer is free again (the previous
    // frame acknowledged or aborted); false when it stays busy.
    bool waitTransmitBuffer(int port, std::chrono::milliseconds limit = std::chrono::seconds(2)) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if ((reg(port, REG_SR) & SR_TBS) != 0) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::yield();
        }
    }
    // Waits until a queue holds at least n messages; returns the last count.
    int waitCount(int handle, int n, std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const int c = count(handle);
            if (c >= n || c < 0 || std::chrono::steady_clock::now() > end) return c;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    // Empties a queue; returns the number of messages taken.
    int drain(int handle) const {
        int taken = 0;
        CAN_PACKET p;
        while (taken < 4 * 1024 && receive(handle, &p).ok()) ++taken;
        return taken;
    }

private:
    int card_;
    int fd_ = -1;
    int error_ = 0;
};

// A port the card has answers its controller's registers; one the board
// does not have (a one-channel board's port 1) is refused with ENXIO.
inline bool hasPort(const Card &c, int port) {
    std::uint8_t v = 0;
    return !c.read(portAddr(port, REG_SR), &v).failedWith(ENXIO);
}

// One port of a card: an end of the test cable.
class Port {
public:
    Port(const Card &card, int port) : card_(&card), port_(port) {}

    const Card &card() const { return *card_; }
    int port() const { return port_; }
    int handle() const { return card_->handle(port_); }
    unsigned addr(unsigned reg) const { return portAddr(port_, reg); }

    bool configure(unsigned mode, BusTiming timing = kFast) const {
        return card_->configure(port_, mode, timing);
    }
    bool enterReset() const { return card_->enterReset(port_); }
    std::uint8_t reg(unsigned reg) const { return card_->reg(port_, reg); }
    bool setReg(unsigned reg, std::uint8_t value) const { return card_->setReg(port_, reg, value); }
    Answer setMode(unsigned mode) const { return card_->setMode(handle(), mode); }
    Answer send(const CAN_PACKET &p) const { return card_->send(handle(), p); }
    Answer receive(CAN_PACKET *p) const { return card_->receive(handle(), p); }
    int count() const { return card_->count(handle()); }
    int waitCount(int n, std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        return card_->waitCount(handle(), n, limit);
    }
    int drain() const { return card_->drain(handle()); }
    bool waitTransmitBuffer(std::chrono::milliseconds limit = std::chrono::seconds(2)) const {
        return card_->waitTransmitBuffer(port_, limit);
    }
    Answer events(unsigned short flag) const { return card_->events(port_, flag); }
    Answer portClose() const { return card_->portClose(portAddr(port_, 0)); }
    // The notification signal of this port.
    int signal() const { return port_ == 0 ? PCI5C3A_SIG_PORT0 : PCI5C3A_SIG_PORT1; }

private:
    const Card *card_;
    int port_;
};

// The two ends of PCI5C3A_TEST_LOOP (test_loop.h), each on a descriptor of
// its card: one descriptor when both are ports of one card.
class LoopCards {
public:
    LoopCards() : loop_(test::testLoop()), first_(loop_.a.card) {
        if (!loop_.oneCard()) second_ = std::make_unique<Card>(loop_.b.card);
    }

    bool oneCard() const { return loop_.oneCard(); }
    const Card &first() const { return first_; }
    const Card &second() const { return second_ ? *second_ : first_; }
    Card &second() { return second_ ? *second_ : first_; }
    Port a() const { return Port(first_, loop_.a.port); }
    Port b() const { return Port(second(), loop_.b.port); }
    // Both descriptors open; otherwise what failed.
    bool ok() const { return first_.ok() && second().ok(); }
    std::string error() const {
        const Card &bad = first_.ok() ? second() : first_;
        char path[32];
        devicePath(bad.number(), path, sizeof path);
        return std::string("open ") + path + ": " + std::strerror(bad.openError());
    }

private:
    const test::Loop &loop_;
    Card first_;
    std::unique_ptr<Card> second_;
};

// ---------------------------------------------------------------------------
// Records with nothing mapped after (and before) them

// Three pages: inaccessible, usable, inaccessible. A record placed at the
// end of the usable page is exactly as long as the driver may read; one
// byte further is the guard. The kernel answers a record in the guard with
// EFAULT; the in-process virtual card cannot, and must not be given one.
class GuardedPage {
public:
    GuardedPage() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void *m = mmap(nullptr, 3 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return;
        base_ = static_cast<unsigned char *>(m);
        if (mprotect(base_ + page_, page_, PROT_READ | PROT_WRITE) != 0) {
            munmap(base_, 3 * page_);
            base_ = nullptr;
        }
    }
    ~GuardedPage() {
        if (base_ != nullptr) munmap(base_, 3 * page_);
    }
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;

    bool ok() const { return base_ != nullptr; }
    unsigned char *usable() const { return base_ + page_; }
    std::size_t pageSize() const { return page_; }
    // `size` bytes ending at the end of the usable page.
    void *atEnd(std::size_t size) const { return usable() + page_ - size; }
    // The first byte of the guard after the usable page.
    void *guard() const { return usable() + page_; }
    // A record whose last `outside` bytes lie in the guard.
    void *straddling(std::size_t size, std::size_t outside) const {
        return usable() + page_ - (size - outside);
    }

private:
    std::size_t page_ = 0;
    unsigned char *base_ = nullptr;
};

// Every request of the driver, its name and the size of its record.
struct Known {
    unsigned long code;
    const char *name;
    std::size_t size;
};
constexpr Known kKnown[] = {
    {REQ_EVENT_PORT0, "REQ_EVENT_PORT0", sizeof(unsigned short)},
    {REQ_EVENT_PORT1, "REQ_EVENT_PORT1", sizeof(unsigned short)},
    {REQ_PORT_CLOSE, "REQ_PORT_CLOSE", sizeof(REG_ACCESS)},
    {REQ_LAST_CLOSE, "REQ_LAST_CLOSE", sizeof(REG_ACCESS)},
    {REQ_SET_MODE, "REQ_SET_MODE", sizeof(MODE_SET)},
    {REQ_REG_READ, "REQ_REG_READ", sizeof(REG_ACCESS)},
    {REQ_REG_WRITE, "REQ_REG_WRITE", sizeof(REG_ACCESS)},
    {REQ_SEND, "REQ_SEND", sizeof(MSG_XFER)},
    {REQ_RECEIVE, "REQ_RECEIVE", sizeof(MSG_XFER)},
    {REQ_RCV_COUNT, "REQ_RCV_COUNT", sizeof(RCV_COUNT)},
};

inline bool isKnown(unsigned long code) {
    for (const Known &k : kKnown)
        if (k.code == code) return true;
    return false;
}

}  // namespace drv
