// SPDX-License-Identifier: MIT
// The virtual card's entry points, its driver's answers to each request, the
// request trace and the test interface's faults and forced reads.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "pci_5C3A.h"
#include "vcard_support.h"

extern "C" int __open_2(const char *, int);
extern "C" int __open64_2(const char *, int);

using namespace test;

namespace {

// ---------------------------------------------------------------------------
// Entry points

class VcardEntry : public Device {};

TEST_F(VcardEntry, DeviceNodesOfPresentCardsOnly) {
    EXPECT_EQ(vcard::descriptor_card(fd), 0);
    const int second = ::open("/dev/PCI5C3AW1", O_RDWR);
    ASSERT_GE(second, 0);
    EXPECT_NE(second, fd);
    EXPECT_EQ(vcard::descriptor_card(second), 1);

    for (const char *absent : {"/dev/PCI5C3AW2", "/dev/PCI5C3AW3"}) {
        errno = 0;
        EXPECT_EQ(::open(absent, O_RDWR), -1) << absent;
        EXPECT_EQ(errno, ENOENT) << absent;
    }

    // A node made missing is absent however it is opened; the others stay.
    vcard::set_node_missing(1);
    errno = 0;
    EXPECT_EQ(::open("/dev/PCI5C3AW1", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(__open_2("/dev/PCI5C3AW1", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(vcard::descriptor_card(second), 1);  // opened before: still the card's
    vcard::set_node_missing(1, false);

    // Every form of open serves the nodes, with the caller's flags.
    const int viaOpen64 = ::open64("/dev/PCI5C3AW1", O_RDWR | O_CLOEXEC);
    const int viaOpen2 = __open_2("/dev/PCI5C3AW0", O_RDWR | O_NONBLOCK);
    const int viaOpen64_2 = __open64_2("/dev/PCI5C3AW0", O_RDWR);
    EXPECT_EQ(vcard::descriptor_card(viaOpen64), 1);
    EXPECT_EQ(vcard::descriptor_card(viaOpen2), 0);
    EXPECT_EQ(vcard::descriptor_card(viaOpen64_2), 0);
    EXPECT_EQ(fcntl(viaOpen64, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(viaOpen2, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    for (int d : {second, viaOpen64, viaOpen2, viaOpen64_2}) EXPECT_EQ(::close(d), 0);
}

TEST_F(VcardEntry, NoCardsMeansNoNodes) {
    vcard::reset(cards(0));
    errno = 0;
    EXPECT_EQ(::open("/dev/PCI5C3AW0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(vcard::peek(0, REG_SR), 0);
}

TEST_F(VcardEntry, OtherPathsAndDescriptorsPassThroughUntouched) {
    vcard::trace_start();
    // Not a node of the virtual card: the real file system answers.
    for (const char *other : {"/dev/PCI5C3AW4", "/dev/PCI5C3AW0x", "/dev/PCI5C3AW", "/dev/pci5c3aw0"}) {
        errno = 0;
        EXPECT_EQ(::open(other, O_RDWR), -1) << other;
        EXPECT_EQ(errno, ENOENT) << other;
    }

    // open with O_CREAT passes its mode on.
    std::string tmpl = ::testing::TempDir() + "vcard-entryXXXXXX";  // TMPDIR, else /tmp
    char *path = tmpl.data();
    const int tmp = mkstemp(path);
    ASSERT_GE(tmp, 0);
    ::close(tmp);
    ::unlink(path);
    const mode_t oldMask = umask(0);
    const int created = ::open(path, O_RDWR | O_CREAT | O_EXCL, 0640);
    umask(oldMask);
    ASSERT_GE(created, 0);
    struct stat st {};
    ASSERT_EQ(fstat(created, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(vcard::descriptor_card(created), -1);
    ASSERT_EQ(write(created, "abc", 3), 3);

    // ioctl, fcntl and close on it are the kernel's.
    int pending = -1;
    EXPECT_EQ(ioctl(created, FIONREAD, &pending), 0);
    EXPECT_EQ(lseek(created, 0, SEEK_SET), 0);
    EXPECT_EQ(ioctl(created, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 3);
    REG_ACCESS a{};
    errno = 0;
    EXPECT_EQ(ioctl(created, REQ_REG_READ, &a), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(fcntl(created, F_SETFD, FD_CLOEXEC), 0);
    EXPECT_EQ(fcntl64(created, F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(::close(created), 0);
    errno = 0;
    EXPECT_EQ(::close(created), -1);
    EXPECT_EQ(errno, EBADF);
    ::unlink(path);

    // F_SETOWN on a socket is the kernel's too.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(fcntl(pair[0], F_SETOWN, getpid()), 0);
    EXPECT_EQ(fcntl(pair[0], F_GETOWN), getpid());
    EXPECT_EQ(vcard::owner(0), 0);
    ::close(pair[0]);
    ::close(pair[1]);

    EXPECT_TRUE(vcard::trace().empty());
}

TEST_F(VcardEntry, CloseAndResetForgetTheDescriptor) {
    vcard::trace_start();
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(vcard::descriptor_card(fd), -1);

    // The number comes back for a pipe, which is not the card's.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    EXPECT_EQ(pipeFds[0], fd);
    REG_ACCESS a{};
    EXPECT_EQ(request(pipeFds[0], REQ_REG_READ, &a), failed(ENOTTY));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);

    fd = ::open("/dev/PCI5C3AW0", O_RDWR);
    ASSERT_GE(fd, 0);
    vcard::reset(cards(1));
    EXPECT_EQ(vcard::descriptor_card(fd), -1);
    EXPECT_EQ(request(fd, REQ_REG_READ, &a), failed(ENOTTY));  // /dev/null's own answer
    EXPECT_TRUE(vcard::trace().empty());
}

TEST_F(VcardEntry, OwnerIsTheMostRecentSetOwnOnTheCard) {
    EXPECT_EQ(fcntl(fd, F_GETOWN), 0);
    EXPECT_EQ(vcard::owner(0), 0);
    EXPECT_EQ(fcntl(fd, F_SETOWN, getpid()), 0);
    EXPECT_EQ(fcntl(fd, F_GETOWN), getpid());
    EXPECT_EQ(vcard::owner(0), getpid());
    EXPECT_EQ(vcard::owner(1), 0);

    // A later F_SETOWN on another descriptor of the card wins; each
    // descriptor reports its own.
    const int other = ::open("/dev/PCI5C3AW0", O_RDWR);
    const pid_t parent = getppid();
    EXPECT_EQ(fcntl64(other, F_SETOWN, parent), 0);
    EXPECT_EQ(vcard::owner(0), parent);
    EXPECT_EQ(fcntl64(other, F_GETOWN), parent);
    EXPECT_EQ(fcntl(fd, F_GETOWN), getpid());
    ::close(other);
    EXPECT_EQ(vcard::owner(0), getpid());  // the closed one no longer counts

    vcard::fail_setown();
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_SETOWN, parent), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vcard::owner(0), getpid());
    vcard::fail_setown(false);
    EXPECT_EQ(fcntl(fd, F_SETOWN, 0), 0);
    EXPECT_EQ(vcard::owner(0), 0);
}

TEST_F(VcardEntry, SigactionFailsOnlyForTheChosenSignalAndOnlyWhenSetting) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    vcard::fail_sigaction(SIGUSR1);
    errno = 0;
    EXPECT_EQ(sigaction(SIGUSR1, &ignore, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    struct sigaction now {};
    EXPECT_EQ(sigaction(SIGUSR1, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);  // unchanged
    EXPECT_EQ(sigaction(SIGUSR2, &ignore, nullptr), 0);

    vcard::fail_sigaction(SIGUSR1, false);
    EXPECT_EQ(sigaction(SIGUSR1, &ignore, nullptr), 0);
    EXPECT_EQ(sigaction(SIGUSR1, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);

    vcard::fail_sigaction(SIGUSR2);
    vcard::reset(cards(1));  // faults do not outlive a reset
    EXPECT_EQ(sigaction(SIGUSR2, &ignore, nullptr), 0);
}

// ---------------------------------------------------------------------------
// The driver's answers

class VcardDriver : public Device {};

constexpr unsigned long kKnownCodes[] = {REQ_EVENT_PORT0, REQ_EVENT_PORT1, REQ_PORT_CLOSE, REQ_LAST_CLOSE,
                                         REQ_SET_MODE,    REQ_REG_READ,    REQ_REG_WRITE,  REQ_SEND,
                                         REQ_RECEIVE,     REQ_RCV_COUNT};

TEST_F(VcardDriver, UnknownCodesAndNullRecords) {
    for (unsigned long code : kKnownCodes)
        EXPECT_EQ(request(fd, code, nullptr), failed(EFAULT)) << std::hex << code;

    // Codes differing from known ones only in direction, size or number.
    unsigned char record[64] = {};
    for (unsigned long code : {0x5300UL, 0x5307UL, 0x800C5313UL, 0x400C5316UL, 0x40105318UL,
                               static_cast<unsigned long>(TCGETS), 0UL})
        EXPECT_EQ(request(fd, code, record), failed(ENOTTY)) << std::hex << code;
    EXPECT_EQ(request(fd, 0x5307UL, nullptr), failed(ENOTTY));
}

TEST_F(VcardDriver, RegisterAddressRange) {
    EXPECT_EQ(regWrite(fd, 255, 0x12), kOk);
    EXPECT_EQ(regRead(fd, 255), 0);  // outside the controller's 32 registers: nothing there
    EXPECT_EQ(regRead(fd, 100), 0);
    for (std::uint32_t addr : {256u, 0x1000u, 0xFFFFFFFFu}) {
        REG_ACCESS a{};
        a.addr = addr;
        a.data = 0x77;
        EXPECT_EQ(request(fd, REQ_REG_READ, &a), failed(EINVAL)) << addr;
        EXPECT_EQ(a.data, 0x77) << addr;
        EXPECT_EQ(request(fd, REQ_REG_WRITE, &a), failed(EINVAL)) << addr;
    }

    // Port 1's registers are at 128 + reg, each controller its own.
    EXPECT_EQ(regRead(fd, REG_SR), 0x3C);
    EXPECT_EQ(regRead(fd, PCI5C3A_PORT_WINDOW + REG_SR), 0x3C);
    EXPECT_EQ(regWrite(fd, PCI5C3A_PORT_WINDOW + REG_EWLR, 50), kOk);
    EXPECT_EQ(regRead(fd, PCI5C3A_PORT_WINDOW + REG_EWLR), 50);
    EXPECT_EQ(regRead(fd, REG_EWLR), 96);
    EXPECT_EQ(vcard::peek(0, PCI5C3A_PORT_WINDOW + REG_EWLR), 50);
}

TEST_F(VcardDriver, HandlesMustBelongToTheDescriptorsCard) {
    const int card1 = ::open("/dev/PCI5C3AW1", O_RDWR);
    ASSERT_GE(card1, 0);
    setUpPort(fd, 0);
    const CAN_PACKET p = packet(1, 1);
    for (int handle : {-1, 2, 3, 8, 1000}) {
        EXPECT_EQ(setMode(fd, handle, 0), failed(EINVAL)) << handle;
        EXPECT_EQ(send(fd, handle, p), failed(EINVAL)) << handle;
        CAN_PACKET got;
        EXPECT_EQ(receive(fd, handle, &got), failed(EINVAL)) << handle;
        RCV_COUNT c{};
        c.handle = handle;
        EXPECT_EQ(request(fd, REQ_RCV_COUNT, &c), failed(EINVAL)) << handle;
    }
    EXPECT_EQ(setMode(fd, 1, 1), kOk);
    EXPECT_EQ(setMode(card1, 2, 1), kOk);
    EXPECT_EQ(setMode(card1, 3, 0), kOk);
    EXPECT_EQ(setMode(card1, 0, 0), failed(EINVAL));
    EXPECT_EQ(setMode(card1, 3, 2), failed(EINVAL));
    EXPECT_EQ(count(card1, 3), 0);
    ::close(card1);
}

TEST_F(VcardDriver, ReceiveOnAnEmptyQueue) {
    EXPECT_EQ(count(fd, 0), 0);
    CAN_PACKET p;
    EXPECT_EQ(receive(fd, 1, &p), failed(EAGAIN));
}

TEST_F(VcardDriver, SendRefusals) {
    // Power-up: reset mode.
    EXPECT_EQ(send(fd, 0, packet(1, 8)), failed(EIO));
    EXPECT_EQ(send(fd, 0, packet(1, 9)), failed(EINVAL));

    setUpPort(fd, 0, k1M, IRQ_RI, MOD_LOM);
    EXPECT_EQ(send(fd, 0, packet(1, 8)), failed(EIO));  // listening only
    setUpPort(fd, 0, k1M);
    EXPECT_EQ(send(fd, 0, packet(1, 255)), failed(EINVAL));

    // Port 1 is still in reset mode: nobody acknowledges, the frame stays
    // pending and the transmit buffer locked until it is aborted.
    EXPECT_EQ(send(fd, 0, packet(1, 8)), kOk);
    EXPECT_EQ(vcard::peek(0, REG_SR) & SR_TBS, 0);
    EXPECT_EQ(send(fd, 0, packet(2, 8)), failed(EBUSY));
    EXPECT_EQ(regWrite(fd, REG_CMR, CMD_AT), kOk);
    EXPECT_EQ(vcard::peek(0, REG_SR) & SR_TBS, SR_TBS);
    EXPECT_EQ(send(fd, 0, packet(3, 8)), kOk);
    regWrite(fd, REG_CMR, CMD_AT);

    // Bus-off: a transmit error counter of 255 takes effect when reset
    // mode is left.
    regWrite(fd, REG_MOD, MOD_RM);
    regWrite(fd, REG_TXERR, 255);
    regWrite(fd, REG_MOD, MOD_AFM);
    ASSERT_EQ(vcard::peek(0, REG_SR) & SR_BS, SR_BS);
    EXPECT_EQ(send(fd, 0, packet(4, 8)), failed(EIO));
}

TEST_F(VcardDriver, FramesCrossTheLoopbackCableIntact) {
    setUpPort(fd, 0);
    setUpPort(fd, 1);

    CAN_PACKET sent = packet(0x123, 8, 0x10);
    EXPECT_EQ(send(fd, 0, sent), kOk);
    EXPECT_EQ(count(fd, 1), 1);
    EXPECT_EQ(count(fd, 0), 0);  // a controller does not receive its own frame
    CAN_PACKET got;
    ASSERT_EQ(receive(fd, 1, &got), kOk);
    EXPECT_EQ(std::memcmp(&got, &sent, sizeof got), 0);  // reserved bytes 0 too

    // Identifier bits beyond the port's format are not sent.
    EXPECT_EQ(send(fd, 1, packet(0xFFFF, 2, 0xA0)), kOk);
    ASSERT_EQ(receive(fd, 0, &got), kOk);
    EXPECT_EQ(got.id, 0x7FFu);
    EXPECT_EQ(got.len, 2);
    EXPECT_EQ(got.data[0], 0xA0);
    EXPECT_EQ(got.data[1], 0xA1);
    EXPECT_EQ(got.data[2], 0);  // only len bytes travel

    // 29-bit identifiers once both ports are in extended mode.
    ASSERT_EQ(setMode(fd, 0, 1), kOk);
    ASSERT_EQ(setMode(fd, 1, 1), kOk);
    EXPECT_EQ(send(fd, 0, packet(0x1ABCDEF5, 0)), kOk);
    ASSERT_EQ(receive(fd, 1, &got), kOk);
    EXPECT_EQ(got.id, 0x1ABCDEF5u);
    EXPECT_EQ(got.len, 0);

    // A remote frame: a length code, no data.
    EXPECT_EQ(send(fd, 0, packet(0x55, 4, 0x30, 1)), kOk);
    ASSERT_EQ(receive(fd, 1, &got), kOk);
    EXPECT_EQ(got.id, 0x55u);
    EXPECT_EQ(got.rtr, 1);
    EXPECT_EQ(got.len, 4);
    EXPECT_EQ(got.data[0], 0);
}

TEST_F(VcardDriver, PortCloseAndEvents) {
    EXPECT_EQ(event(fd, REQ_EVENT_PORT0, 1), kOk);
    EXPECT_EQ(event(fd, REQ_EVENT_PORT1, 0x100), kOk);  // any non-zero flag
    EXPECT_TRUE(vcard::notification_on(0, 0));
    EXPECT_TRUE(vcard::notification_on(0, 1));
    EXPECT_FALSE(vcard::notification_on(1, 0));

    REG_ACCESS closing{};
    for (std::uint32_t bad : {1u, 64u, 127u, 256u, 129u}) {
        closing.addr = bad;
        EXPECT_EQ(request(fd, REQ_PORT_CLOSE, &closing), failed(EINVAL)) << bad;
    }
    EXPECT_TRUE(vcard::notification_on(0, 0));
    closing.addr = PCI5C3A_PORT_WINDOW;
    closing.data = 1;
    EXPECT_EQ(request(fd, REQ_PORT_CLOSE, &closing), kOk);
    EXPECT_TRUE(vcard::notification_on(0, 0));
    EXPECT_FALSE(vcard::notification_on(0, 1));
    closing.addr = 0;
    EXPECT_EQ(request(fd, REQ_PORT_CLOSE, &closing), kOk);
    EXPECT_FALSE(vcard::notification_on(0, 0));

    EXPECT_EQ(event(fd, REQ_EVENT_PORT1, 1), kOk);
    EXPECT_EQ(event(fd, REQ_EVENT_PORT1, 0), kOk);
    EXPECT_FALSE(vcard::notification_on(0, 1));
}

TEST_F(VcardDriver, LedRegister) {
    const int card1 = ::open("/dev/PCI5C3AW1", O_RDWR);
    EXPECT_EQ(vcard::peek(0, PCI5C3A_LED_ADDR), 0);
    EXPECT_EQ(regWrite(fd, PCI5C3A_LED_ADDR, 0x05), kOk);
    EXPECT_EQ(regRead(fd, PCI5C3A_LED_ADDR), 0x05);
    EXPECT_EQ(vcard::peek(0, PCI5C3A_LED_ADDR), 0x05);
    EXPECT_EQ(vcard::peek(1, PCI5C3A_LED_ADDR), 0);
    // It is no controller register: port 0's registers are untouched.
    EXPECT_EQ(regRead(fd, REG_SR), 0x3C);

    REG_ACCESS last{};
    last.addr = PCI5C3A_LED_ADDR;
    last.data = LED_AT_LAST_CLOSE;
    EXPECT_EQ(request(card1, REQ_LAST_CLOSE, &last), kOk);
    EXPECT_EQ(vcard::peek(1, PCI5C3A_LED_ADDR), LED_AT_LAST_CLOSE);
    EXPECT_EQ(vcard::peek(0, PCI5C3A_LED_ADDR), 0x05);
    // Port 1's window has no LED register at its offset 64.
    EXPECT_EQ(regWrite(fd, PCI5C3A_PORT_WINDOW + PCI5C3A_LED_ADDR, 0x33), kOk);
    EXPECT_EQ(vcard::peek(0, PCI5C3A_LED_ADDR), 0x05);
    ::close(card1);
}

// Port 1 of card 0 made a network interface (PCI5C3A_VCARD_NETDEV=0:1):
// every request that names it fails with EADDRINUSE and changes nothing;
// the card's own requests and its other port are served as before. A record
// that names no port of the card, or none at all, keeps its own answer.
class VcardInterfacePort : public Device {
protected:
    vcard::Config configuration() override {
        vcard::Config c = cards(2);
        c.netdev = {1};
        return c;
    }
};

TEST_F(VcardInterfacePort, RequestsNamingThePortAreRefused) {
    constexpr std::uint32_t kPort1 = PCI5C3A_PORT_WINDOW;
    setUpPort(fd, 0);
    const std::uint8_t ewlr = vcard::peek(0, kPort1 + REG_EWLR);
    for (std::uint32_t reg : {0u, unsigned(REG_EWLR), 31u, 100u}) {
        REG_ACCESS a{};
        a.addr = kPort1 + reg;
        a.data = 0x5A;
        EXPECT_EQ(request(fd, REQ_REG_WRITE, &a), failed(EADDRINUSE)) << reg;
        EXPECT_EQ(request(fd, REQ_REG_READ, &a), failed(EADDRINUSE)) << reg;
        EXPECT_EQ(a.data, 0x5A) << reg;  // nothing read into the record
    }
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_EWLR), ewlr);
    EXPECT_EQ(vcard::peek(0, kPort1 + REG_MOD), MOD_RM);

    EXPECT_EQ(setMode(fd, 1, 1), failed(EADDRINUSE));
    EXPECT_EQ(send(fd, 1, packet(1, 8)), failed(EADDRINUSE));
    CAN_PACKET got;
    EXPECT_EQ(receive(fd, 1, &got), failed(EADDRINUSE));
    RCV_COUNT c{};
    c.handle = 1;
    EXPECT_EQ(request(fd, REQ_RCV_COUNT, &c), failed(EADDRINUSE));
    EXPECT_EQ(event(fd, REQ_EVENT_PORT1, 1), failed(EADDRINUSE));
    EXPECT_FALSE(vcard::notification_on(0, 1));
    REG_ACCESS closing{};
    closing.addr = kPort1;
    closing.data = 1;
    EXPECT_EQ(request(fd, REQ_PORT_CLOSE, &closing), failed(EADDRINUSE));

    // Refusals of their own come first: no port of this card named, no
    // record, an unknown code.
    closing.addr = kPort1 + 1;
    EXPECT_EQ(request(fd, REQ_PORT_CLOSE, &closing), failed(EINVAL));
    EXPECT_EQ(setMode(fd, 3, 0), failed(EINVAL));
    EXPECT_EQ(request(fd, REQ_EVENT_PORT1, nullptr), failed(EFAULT));
    EXPECT_EQ(request(fd, 0x5307UL, &closing), failed(ENOTTY));

    // Port 0, the LED register and the last close are served.
    EXPECT_EQ(setMode(fd, 0, 1), kOk);
    EXPECT_EQ(event(fd, REQ_EVENT_PORT0, 1), kOk);
    EXPECT_EQ(count(fd, 0), 0);
    EXPECT_EQ(regWrite(fd, PCI5C3A_LED_ADDR, 0x03), kOk);
    EXPECT_EQ(regRead(fd, PCI5C3A_LED_ADDR), 0x03);
    REG_ACCESS last{};
    last.addr = PCI5C3A_LED_ADDR;
    last.data = LED_AT_LAST_CLOSE;
    EXPECT_EQ(request(fd, REQ_LAST_CLOSE, &last), kOk);
    EXPECT_EQ(vcard::peek(0, PCI5C3A_LED_ADDR), LED_AT_LAST_CLOSE);

    // Only the configured port: card 1's port 1 is an ordinary one.
    const int card1 = ::open("/dev/PCI5C3AW1", O_RDWR);
    ASSERT_GE(card1, 0);
    EXPECT_EQ(setMode(card1, 3, 1), kOk);
    EXPECT_EQ(regRead(card1, kPort1 + REG_EWLR), 96);
    ::close(card1);

    // The trace names the answer.
    vcard::trace_start();
    setMode(fd, 1, 0);
    const auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(vcard::describe(trace[0]).substr(vcard::describe(trace[0]).find(" -> ")), " -> -1 EADDRINUSE");
}

// ---------------------------------------------------------------------------
// The trace

class VcardTrace : public Device {};

TEST_F(VcardTrace, RecordsEachRequestWithItsRecordBeforeAndAfter) {
    EXPECT_EQ(regWrite(fd, PCI5C3A_PORT_WINDOW + REG_EWLR, 0x42), kOk);  // not traced yet
    vcard::trace_start();
    EXPECT_EQ(regRead(fd, PCI5C3A_PORT_WINDOW + REG_EWLR), 0x42);
    EXPECT_EQ(setMode(fd, 3, 0), failed(EINVAL));
    EXPECT_EQ(request(fd, REQ_RECEIVE, nullptr), failed(EFAULT));

    const auto t = vcard::trace();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].card, 0);
    EXPECT_EQ(t[0].fd, fd);
    EXPECT_EQ(t[0].code, REQ_REG_READ);
    EXPECT_EQ(t[0].in, (std::vector<std::uint8_t>{0, 0, 0, 0, 141, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(t[0].out, (std::vector<std::uint8_t>{0, 0, 0, 0, 141, 0, 0, 0, 0x42, 0, 0, 0}));
    EXPECT_EQ(t[0].addr(), 141u);
    EXPECT_EQ(t[0].data(), 0x42);
    EXPECT_EQ(t[0].result, 0);
    EXPECT_EQ(t[1].code, REQ_SET_MODE);
    EXPECT_EQ(t[1].handle(), 3);
    EXPECT_EQ(t[1].result, -1);
    EXPECT_EQ(t[1].error, EINVAL);
    EXPECT_TRUE(t[2].in.empty());
    EXPECT_EQ(t[2].error, EFAULT);

    EXPECT_EQ(vcard::register_accesses(),
              (std::vector<vcard::RegisterAccess>{{0, false, PCI5C3A_PORT_WINDOW + REG_EWLR, 0x42, 0}}));
}

TEST_F(VcardTrace, DescribesEachRequestOnOneLine) {
    const int card1 = ::open("/dev/PCI5C3AW1", O_RDWR);
    setUpPort(fd, 0);
    setUpPort(fd, 1);
    vcard::trace_start();
    regWrite(fd, REG_IER, 0x03);
    regRead(fd, PCI5C3A_PORT_WINDOW + REG_EWLR);
    REG_ACCESS far{};
    far.addr = 300;
    request(fd, REQ_REG_READ, &far);
    setMode(fd, 1, 1);
    setMode(fd, 1, 0);
    send(fd, 0, packet(0x5, 3, 0xA0));
    CAN_PACKET p;
    receive(fd, 1, &p);
    receive(fd, 1, &p);
    count(card1, 2);
    event(fd, REQ_EVENT_PORT1, 1);
    REG_ACCESS a{};
    a.addr = 128;
    a.data = 1;
    request(fd, REQ_PORT_CLOSE, &a);
    a.addr = 64;
    a.data = 0xFF;
    request(fd, REQ_LAST_CLOSE, &a);
    request(fd, REQ_SEND, nullptr);
    request(fd, 0x5399, &a);
    send(fd, 0, packet(0x1FFF, 9));

    std::vector<std::string> lines;
    for (const auto &r : vcard::trace()) lines.push_back(vcard::describe(r));
    const std::string f0 = "vcard: card=0 fd=" + std::to_string(fd) + " ";
    const std::string f1 = "vcard: card=1 fd=" + std::to_string(card1) + " ";
    EXPECT_EQ(lines, (std::vector<std::string>{
                         f0 + "REQ_REG_WRITE addr=4 data=0x03 -> 0",
                         f0 + "REQ_REG_READ addr=141 data=0x60 -> 0",
                         f0 + "REQ_REG_READ addr=300 data=0x00 -> -1 EINVAL",
                         f0 + "REQ_SET_MODE handle=1 mode=1 -> 0",
                         f0 + "REQ_SET_MODE handle=1 mode=0 -> 0",
                         f0 + "REQ_SEND handle=0 id=0x5 rtr=0 len=3 data=a0a1a2 -> 0",
                         f0 + "REQ_RECEIVE handle=1 id=0x5 rtr=0 len=3 data=a0a1a2 -> 0",
                         f0 + "REQ_RECEIVE handle=1 -> -1 EAGAIN",
                         f1 + "REQ_RCV_COUNT handle=2 count=0 -> 0",
                         f0 + "REQ_EVENT_PORT1 flag=1 -> 0",
                         f0 + "REQ_PORT_CLOSE addr=128 data=0x01 -> 0",
                         f0 + "REQ_LAST_CLOSE addr=64 data=0xff -> 0",
                         f0 + "REQ_SEND record=null -> -1 EFAULT",
                         f0 + "0x00005399 -> -1 ENOTTY",
                         f0 + "REQ_SEND handle=0 id=0x1FFF rtr=0 len=9 data=0001020304050607 -> -1 EINVAL",
                     }));
    ::close(card1);
}

TEST_F(VcardTrace, KeepsOnlyTheNewestEntriesAndOnlyWhileOn) {
    vcard::trace_start(4);
    for (std::uint32_t addr = 0; addr < 10; ++addr) regRead(fd, addr);
    auto t = vcard::trace();
    ASSERT_EQ(t.size(), 4u);
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(t[i].addr(), 6 + i);

    vcard::trace_stop();
    regRead(fd, 20);
    EXPECT_EQ(vcard::trace().size(), 4u);

    // Resuming with a smaller bound keeps the newest of what is there.
    vcard::trace_start(2);
    t = vcard::trace();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].addr(), 8u);
    regRead(fd, 21);
    t = vcard::trace();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].addr(), 9u);
    EXPECT_EQ(t[1].addr(), 21u);

    vcard::trace_clear();
    EXPECT_TRUE(vcard::trace().empty());
    regRead(fd, 22);
    EXPECT_EQ(vcard::trace().size(), 1u);
    vcard::reset(cards(1));
    EXPECT_TRUE(vcard::trace().empty());
}

TEST_F(VcardTrace, ABoundedRingSurvivesAFlood) {
    vcard::trace_start(1000);
    for (int i = 0; i < 200000; ++i) regRead(fd, REG_SR);
    regRead(fd, REG_EWLR);
    const auto t = vcard::trace();
    ASSERT_EQ(t.size(), 1000u);
    EXPECT_EQ(t.back().addr(), std::uint32_t(REG_EWLR));
    EXPECT_EQ(t.front().addr(), std::uint32_t(REG_SR));
}

TEST_F(VcardTrace, TextTraceAppendsTheSameLinesToAFile) {
    std::string tmpl = ::testing::TempDir() + "vcard-traceXXXXXX";  // TMPDIR, else /tmp
    char *path = tmpl.data();
    const int tmp = mkstemp(path);
    ASSERT_GE(tmp, 0);
    ASSERT_EQ(write(tmp, "earlier\n", 8), 8);
    ::close(tmp);

    vcard::Config c = cards(1);
    c.trace_path = path;
    vcard::reset(c);
    vcard::trace_start();
    const int dev = ::open("/dev/PCI5C3AW0", O_RDWR);
    regWrite(dev, REG_IER, 1);
    REG_ACCESS far{};
    far.addr = 999;
    request(dev, REQ_REG_READ, &far);
    event(dev, REQ_EVENT_PORT0, 1);

    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::vector<std::string> expected = {"earlier"};
    for (const auto &r : vcard::trace()) expected.push_back(vcard::describe(r));
    EXPECT_EQ(lines, expected);
    ::close(dev);
    vcard::reset(cards(1));  // closes the file
    ::unlink(path);

    c.trace_path = "/nonexistent-dir/trace";
    EXPECT_THROW(vcard::reset(c), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Faults and forced values

class VcardFaults : public Device {};

TEST_F(VcardFaults, ForcedReadsComeInTurnThenTheModelAgain) {
    vcard::force_read(0, REG_RMC, {3, 2, 1, 0});
    EXPECT_EQ(regRead(fd, REG_RMC), 3);
    EXPECT_EQ(regRead(fd, REG_RMC), 2);
    EXPECT_EQ(regRead(fd, REG_RMC), 1);
    EXPECT_EQ(regRead(fd, REG_RMC), 0);
    EXPECT_EQ(regRead(fd, REG_SR), 0x3C);  // other registers are the model's
    EXPECT_EQ(regWrite(fd, REG_EWLR, 7), kOk);
    vcard::force_read(0, REG_EWLR, {1, 2});
    EXPECT_EQ(regRead(fd, REG_EWLR), 1);
    EXPECT_EQ(regRead(fd, REG_EWLR), 2);
    EXPECT_EQ(regRead(fd, REG_EWLR), 7);
    EXPECT_EQ(regRead(fd, REG_EWLR), 7);

    // Per card and address: card 0's port 1 and card 1 are unaffected.
    vcard::force_read(1, REG_SR, {0xAA}, true);
    EXPECT_EQ(regRead(fd, REG_SR), 0x3C);
    const int card1 = ::open("/dev/PCI5C3AW1", O_RDWR);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(regRead(card1, REG_SR), 0xAA);
    EXPECT_EQ(vcard::peek(1, REG_SR), 0x3C);  // peek shows the model
    vcard::clear_forced_reads();
    EXPECT_EQ(regRead(card1, REG_SR), 0x3C);

    vcard::force_read(0, PCI5C3A_LED_ADDR, {9}, true);
    EXPECT_EQ(regRead(fd, PCI5C3A_LED_ADDR), 9);
    EXPECT_EQ(regRead(fd, PCI5C3A_LED_ADDR), 9);
    vcard::force_read(0, PCI5C3A_LED_ADDR, {});
    EXPECT_EQ(regRead(fd, PCI5C3A_LED_ADDR), 0);
    ::close(card1);
}

TEST_F(VcardFaults, ForcedReadsHaveNoReadSideEffects) {
    // A bus error at another bit rate is captured in the error code capture
    // register, which holds it until it is read.
    setUpPort(fd, 0, k1M, 0);
    vcard::remote_send(0, 0, vcard::Frame{0x10, false, false, 1, {}}, 125000);
    const std::uint8_t captured = vcard::peek(0, REG_ECC);
    ASSERT_NE(captured, 0);
    vcard::force_read(0, REG_ECC, {0x00});
    EXPECT_EQ(regRead(fd, REG_ECC), 0x00);
    EXPECT_EQ(vcard::peek(0, REG_ECC), captured);
    EXPECT_EQ(regRead(fd, REG_ECC), captured);
}

TEST_F(VcardFaults, AnswersReplaceTheDriverButAreTraced) {
    vcard::trace_start();
    vcard::answer(REQ_RCV_COUNT, -1, EIO);
    RCV_COUNT c{};
    c.handle = 0;
    c.count = 77;
    EXPECT_EQ(request(fd, REQ_RCV_COUNT, &c), failed(EIO));
    EXPECT_EQ(c.count, 77);  // the driver never saw it

    // A success answer: the controller in reset mode would refuse the send.
    vcard::answer(REQ_SEND, 0);
    EXPECT_EQ(send(fd, 0, packet(1, 1)), kOk);
    EXPECT_EQ(vcard::peek(0, REG_SR) & SR_TBS, SR_TBS);  // nothing pending
    vcard::answer(REQ_REG_READ, 5);
    REG_ACCESS a{};
    EXPECT_EQ(request(fd, REQ_REG_READ, &a), (Answer{5, 0}));
    EXPECT_EQ(request(fd, REQ_REG_READ, nullptr), (Answer{5, 0}));

    const auto t = vcard::trace();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].result, -1);
    EXPECT_EQ(t[0].error, EIO);
    EXPECT_EQ(t[1].result, 0);
    EXPECT_EQ(t[2].result, 5);

    vcard::clear_answer(REQ_SEND);
    vcard::clear_answer(REQ_REG_READ);
    EXPECT_EQ(send(fd, 0, packet(1, 1)), failed(EIO));
    EXPECT_EQ(request(fd, REQ_RCV_COUNT, &c), failed(EIO));  // still answered
    vcard::reset(cards(1));
    const int dev = ::open("/dev/PCI5C3AW0", O_RDWR);
    EXPECT_EQ(request(dev, REQ_RCV_COUNT, &c), kOk);  // reset clears answers
    ::close(dev);
}

TEST_F(VcardFaults, ResetRefusesConfigurationsTheEnvironmentWouldRefuse) {
    vcard::Config c;
    c.cards = 5;
    EXPECT_THROW(vcard::reset(c), std::invalid_argument);
    c.cards = 1;
    c.remote = vcard::RemoteNode{300000, 10};  // 53.3 clock periods per bit
    EXPECT_THROW(vcard::reset(c), std::invalid_argument);
    c.remote = vcard::RemoteNode{125000, 60001};
    EXPECT_THROW(vcard::reset(c), std::invalid_argument);
    c.remote.reset();
    c.tamper = {vcard::Tamper{8}};
    EXPECT_THROW(vcard::reset(c), std::invalid_argument);
    c.tamper.clear();
    for (int handle : {-1, 8}) {
        c.netdev = {0, handle};
        EXPECT_THROW(vcard::reset(c), std::invalid_argument) << handle;
    }
    // Nothing changed: card 1 of the fixture's configuration is still there.
    EXPECT_EQ(vcard::descriptor_card(fd), 0);
    const int card1 = ::open("/dev/PCI5C3AW1", O_RDWR);
    EXPECT_GE(card1, 0);
    ::close(card1);
}

}  // namespace
