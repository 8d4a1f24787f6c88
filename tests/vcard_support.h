/* SPDX-License-Identifier: MIT */
// Helpers of the virtual card's own tests: driver requests issued directly
// on a card's descriptor, as the library (or any other driver client) would,
// and port set-up through the controller's registers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "can_messages.h"
#include "pci_5C3A_ioctl.h"
#include "sja1000.h"
#include "vcard.h"

namespace test {

struct Answer {
    int result;
    int error;  // errno when result is -1, else 0
    bool operator==(const Answer &) const = default;
};

inline void PrintTo(const Answer &a, std::ostream *os) {
    *os << a.result;
    if (a.result == -1) *os << " (" << strerrorname_np(a.error) << ")";
}

inline const Answer kOk{0, 0};
inline Answer failed(int error) { return {-1, error}; }

inline Answer request(int fd, unsigned long code, void *record) {
    errno = 0;
    const int r = ioctl(fd, code, record);
    return {r, r == -1 ? errno : 0};
}

inline Answer regWrite(int fd, std::uint32_t addr, std::uint8_t data) {
    REG_ACCESS a{};
    a.addr = addr;
    a.data = data;
    return request(fd, REQ_REG_WRITE, &a);
}

inline std::uint8_t regRead(int fd, std::uint32_t addr) {
    REG_ACCESS a{};
    a.addr = addr;
    EXPECT_EQ(request(fd, REQ_REG_READ, &a), kOk) << "read of " << addr;
    return a.data;
}

inline Answer setMode(int fd, int handle, unsigned mode) {
    MODE_SET m{};
    m.handle = handle;
    m.mode = mode;
    return request(fd, REQ_SET_MODE, &m);
}

inline Answer send(int fd, int handle, const CAN_PACKET &p) {
    MSG_XFER x{};
    x.handle = handle;
    x.packet = p;
    return request(fd, REQ_SEND, &x);
}

// REQ_RECEIVE into a record pre-filled with a pattern, so that what the
// driver leaves alone is visible.
inline Answer receive(int fd, int handle, CAN_PACKET *out) {
    MSG_XFER x;
    std::memset(&x, 0xEE, sizeof x);
    x.handle = handle;
    const Answer a = request(fd, REQ_RECEIVE, &x);
    *out = x.packet;
    return a;
}

inline int count(int fd, int handle) {
    RCV_COUNT c{};
    c.handle = handle;
    EXPECT_EQ(request(fd, REQ_RCV_COUNT, &c), kOk);
    return c.count;
}

inline Answer event(int fd, unsigned long code, unsigned short flag) { return request(fd, code, &flag); }

// Bus timing registers for the card's 16 MHz crystal.
struct Timing {
    std::uint8_t btr0, btr1;
};
constexpr Timing k125k{0x03, 0x1C}, k250k{0x01, 0x1C}, k500k{0x00, 0x1C}, k1M{0x00, 0x14};

// A port as the library sets it up: reset mode, accept every frame, bit
// timing, output control, then operating mode with the single filter, and
// the given interrupt enables.
inline void setUpPort(int fd, int port, Timing t = k1M, std::uint8_t enables = IRQ_RI,
                      std::uint8_t mode = 0) {
    const std::uint32_t base = std::uint32_t(port) * PCI5C3A_PORT_WINDOW;
    ASSERT_EQ(regWrite(fd, base + REG_MOD, MOD_RM), kOk);
    regWrite(fd, base + REG_CDR, CDR_CARD);
    for (unsigned i = 0; i < 4; ++i) {
        regWrite(fd, base + REG_ACR0 + i, 0x00);
        regWrite(fd, base + REG_AMR0 + i, 0xFF);
    }
    regWrite(fd, base + REG_BTR0, t.btr0);
    regWrite(fd, base + REG_BTR1, t.btr1);
    regWrite(fd, base + REG_OCR, OCR_CARD);
    regWrite(fd, base + REG_MOD, std::uint8_t(MOD_AFM | mode));
    regWrite(fd, base + REG_IER, enables);
}

inline vcard::Config cards(int n, vcard::Wiring wiring = vcard::Wiring::loopback) {
    vcard::Config c;
    c.cards = n;
    c.wiring = wiring;
    return c;
}

// A fresh virtual card (two cards, each loop-back wired) with card 0 open.
class Device : public ::testing::Test {
protected:
    void SetUp() override {
        vcard::reset(configuration());
        fd = ::open("/dev/PCI5C3AW0", O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
        vcard::trace_stop();
    }
    virtual vcard::Config configuration() { return cards(2); }

    int fd = -1;
};

}  // namespace test
