// SPDX-License-Identifier: MIT
// Wires joined to SocketCAN interfaces (PCI5C3A_VCARD_SOCKETCAN): what the
// configuration accepts and refuses, the message and status 2 when CAN
// sockets or the interface are missing, and, where the kernel has CAN
// sockets and vcan0 exists (the kernel suites' guest), frames through the
// kernel between two wires, what a raw socket sees, sockets closed on
// reset, the fork child, an interface down when joined, and no allocation on
// the request path.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>

#include "alloc_counter.h"
#include "support.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

void allocationSeen() {
    if (counting) ++allocations;
}

using namespace test;

namespace {

bool canSockets() {
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool haveVcan0() { return canSockets() && if_nametoindex("vcan0") != 0; }

std::optional<vcard::Config> fromEnvironment(const char *wiring, const char *value, std::string *error) {
    unsetenv("PCI5C3A_VCARD_CARDS");
    if (wiring) setenv("PCI5C3A_VCARD_WIRING", wiring, 1);
    setenv("PCI5C3A_VCARD_SOCKETCAN", value, 1);
    auto cfg = vcard::config_from_environment(error);
    unsetenv("PCI5C3A_VCARD_SOCKETCAN");
    unsetenv("PCI5C3A_VCARD_WIRING");
    return cfg;
}

TEST(SocketCanConfig, OneEntryPerWireInWireOrder) {
    std::string error;
    auto cfg = fromEnvironment(nullptr, "vcan0", &error);
    ASSERT_TRUE(cfg) << error;
    EXPECT_EQ(cfg->socketcan, (std::vector<vcard::SocketCanWire>{{"vcan0", std::nullopt}}));

    cfg = fromEnvironment("separate", "vcan0@500k,can1@125000", &error);
    ASSERT_TRUE(cfg) << error;
    EXPECT_EQ(cfg->socketcan, (std::vector<vcard::SocketCanWire>{{"vcan0", 500000}, {"can1", 125000}}));

    // An empty entry leaves its wire local.
    cfg = fromEnvironment("separate", ",vcan1", &error);
    ASSERT_TRUE(cfg) << error;
    EXPECT_EQ(cfg->socketcan,
              (std::vector<vcard::SocketCanWire>{{"", std::nullopt}, {"vcan1", std::nullopt}}));

    cfg = fromEnvironment("shared", "a-15-chars-name@1M", &error);
    ASSERT_TRUE(cfg) << error;
    EXPECT_EQ(cfg->socketcan[0].bitrate, 1000000u);
}

TEST(SocketCanConfig, MalformedValuesAreRefusedOnOneLine) {
    struct Bad {
        const char *wiring;
        const char *value;
    };
    for (const Bad &b : {Bad{nullptr, "vcan0@300k"}, Bad{nullptr, "@500k"}, Bad{nullptr, "vcan0@"},
                         Bad{nullptr, "vcan0@500k@1M"}, Bad{nullptr, "a/b"}, Bad{nullptr, "can:0"},
                         Bad{nullptr, "vcan0 "}, Bad{nullptr, "sixteen-chars-xx"}, Bad{nullptr, ".."},
                         Bad{nullptr, "vcan0,vcan1"},  // loopback, one card: one wire
                         Bad{"shared", "vcan0,"}, Bad{"separate", "a,b,c"}}) {
        std::string error;
        EXPECT_FALSE(fromEnvironment(b.wiring, b.value, &error)) << b.value;
        EXPECT_EQ(error.rfind(std::string("virtual card: PCI5C3A_VCARD_SOCKETCAN=\""), 0), 0u) << error;
        EXPECT_NE(error.find("expected IFACE[@BITRATE] per wire"), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(SocketCanConfig, ResetRefusesWhatTheEnvironmentWould) {
    vcard::Config cfg;
    cfg.socketcan = {{"vcan0", std::nullopt}, {"vcan1", std::nullopt}};
    EXPECT_THROW(vcard::reset(cfg), std::invalid_argument);  // two entries, one wire
    cfg.socketcan = {{"a/b", std::nullopt}};
    EXPECT_THROW(vcard::reset(cfg), std::invalid_argument);
    cfg.socketcan = {{"vcan0", 300000}};
    EXPECT_THROW(vcard::reset(cfg), std::invalid_argument);
    cfg.socketcan = {{"", 500000}};
    EXPECT_THROW(vcard::reset(cfg), std::invalid_argument);
}

// The interface is checked at the first open of a device node: a program
// learns at once that it cannot run as configured.
TEST(SocketCanOpen, UnusableInterfaceEndsTheProgramWithStatus2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!canSockets()) {
        // This machine's kernel has no CAN sockets at all.
        setenv("PCI5C3A_VCARD_SOCKETCAN", "vcan0", 1);
        EXPECT_EXIT(open("/dev/PCI5C3AW0", O_RDWR), testing::ExitedWithCode(2),
                    "^virtual card: PCI5C3A_VCARD_SOCKETCAN=\"vcan0\" cannot be used: this kernel has no CAN "
                    "sockets \\(socket\\(AF_CAN\\): Address family not supported by protocol\\); expected a "
                    "kernel with CAN sockets \\(modules can and can-raw\\)\n$");
        unsetenv("PCI5C3A_VCARD_SOCKETCAN");
        vcard::Config cfg;
        cfg.socketcan = {{"vcan0", std::nullopt}};
        EXPECT_THROW(vcard::reset(cfg), std::invalid_argument);
        return;
    }
    setenv("PCI5C3A_VCARD_SOCKETCAN", "nosuch0", 1);
    EXPECT_EXIT(open("/dev/PCI5C3AW0", O_RDWR), testing::ExitedWithCode(2),
                "^virtual card: PCI5C3A_VCARD_SOCKETCAN=\"nosuch0\" cannot be used: there is no interface "
                "nosuch0; expected existing CAN interfaces\n$");
    setenv("PCI5C3A_VCARD_SOCKETCAN", "lo", 1);
    EXPECT_EXIT(open("/dev/PCI5C3AW0", O_RDWR), testing::ExitedWithCode(2),
                "cannot be used: lo is not a CAN interface; expected existing CAN interfaces\n$");
    unsetenv("PCI5C3A_VCARD_SOCKETCAN");
}

// ---------------------------------------------------------------------------
// On a kernel with CAN sockets and vcan0

// A raw socket on vcan0: what candump would see.
class Listener {
public:
    Listener() {
        fd_ = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = int(if_nametoindex("vcan0"));
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
        timeval tv{2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Listener() { close(fd_); }
    bool read(can_frame *f) { return ::read(fd_, f, sizeof *f) == ssize_t(sizeof *f); }
    bool write(const can_frame &f) { return ::write(fd_, &f, sizeof f) == ssize_t(sizeof f); }

private:
    int fd_ = -1;
};

class OnVcan0 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveVcan0()) GTEST_SKIP() << "needs CAN sockets and vcan0 (the kernel suites' guest)";
        resetLibrary();
        vcard::Config c;
        c.wiring = vcard::Wiring::separate;
        c.socketcan = {{"vcan0", std::nullopt}, {"vcan0", std::nullopt}};
        vcard::reset(c);
        ASSERT_EQ(CanOpenDriver(0, 0), 0);
        ASSERT_EQ(CanOpenDriver(0, 1), 1);
        const PORT_STRUCT c0 = config(PCI5C3A_ID_STANDARD, 0, 0xFFFFFFFF, PCI5C3A_BAUD_1M);
        ASSERT_EQ(CanConfigPort(0, &c0), 0);
        ASSERT_EQ(CanConfigPort(1, &c0), 0);
    }
    void TearDown() override { resetLibrary(); }
};

// Two wires of one process on one interface: raw sockets see the other
// sockets' frames, not their own, so each port hears only the other.
TEST_F(OnVcan0, TwoWiresExchangeFramesThroughTheKernelAsARawSocketSeesThem) {
    Listener dump;
    CAN_PACKET sent = packet(0x123, 8, 0xA0);
    ASSERT_EQ(CanSendMsg(0, &sent), 0);
    ASSERT_EQ(waitForCount(1, 1), 1);
    EXPECT_EQ(CanGetRcvCnt(0), 0);  // not its own frame back
    CAN_PACKET got;
    ASSERT_EQ(CanRcvMsg(1, &got), 0);
    EXPECT_EQ(got.id, 0x123u);
    EXPECT_EQ(got.len, 8);
    EXPECT_EQ(std::memcmp(got.data, sent.data, 8), 0);
    // Acknowledged by the kernel: the transmitter is done, no error counted.
    EXPECT_EQ(CanGetTxErrorCount(0), 0);

    can_frame f{};
    ASSERT_TRUE(dump.read(&f));
    EXPECT_EQ(f.can_id, 0x123u);
    EXPECT_EQ(f.len, 8);
    EXPECT_EQ(f.data[7], 0xA7);

    // A remote frame with a length code; and a 29-bit port.
    CAN_PACKET remote = packet(0x7FF, 3, 0, 1);
    ASSERT_EQ(CanSendMsg(1, &remote), 0);
    ASSERT_TRUE(dump.read(&f));
    EXPECT_EQ(f.can_id, 0x7FFu | CAN_RTR_FLAG);
    EXPECT_EQ(f.len, 3);
    const PORT_STRUCT ext = config(PCI5C3A_ID_EXTENDED, 0, 0xFFFFFFFF, PCI5C3A_BAUD_1M);
    ASSERT_EQ(CanConfigPort(0, &ext), 0);
    CAN_PACKET big = packet(0x1ABCDEF0, 1, 0x55);
    ASSERT_EQ(CanSendMsg(0, &big), 0);
    ASSERT_TRUE(dump.read(&f));
    EXPECT_EQ(f.can_id, 0x1ABCDEF0u | CAN_EFF_FLAG);
    EXPECT_EQ(f.data[0], 0x55);
}

TEST_F(OnVcan0, FramesFromOutsideAreServicedWithoutARequest) {
    Listener other;
    can_frame f{};
    f.can_id = 0x321;
    f.len = 2;
    f.data[0] = 0xBE;
    f.data[1] = 0xEF;
    ASSERT_TRUE(other.write(f));
    // Nothing but queue counts asked for: the service thread put the frame
    // into both ports' queues.
    EXPECT_TRUE(eventually([] { return vcard::queued(0, 0) == 1 && vcard::queued(0, 1) == 1; }));
}

TEST_F(OnVcan0, NothingOnTheRequestPathAllocates) {
    Listener other;
    CAN_PACKET p = packet(0x100, 8);
    ASSERT_TRUE(installAllocationCounter());
    counting = true;
    for (int round = 0; round < 20; ++round) {
        CanSendMsg(0, &p);
        CanSendMsg(1, &p);
        can_frame f{};
        f.can_id = 0x200 + unsigned(round);
        other.write(f);
        CanGetRcvCnt(1);
        while (CanRcvMsg(1, &p) == 0) {}
        while (CanRcvMsg(0, &p) == 0) {}
    }
    usleep(20000);  // the service thread's frames too
    counting = false;
    EXPECT_EQ(allocations, 0);
}

int openDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

TEST_F(OnVcan0, ResetClosesTheSockets) {
    resetLibrary();
    vcard::reset({});
    const int before = openDescriptors();
    vcard::Config c;
    c.wiring = vcard::Wiring::separate;
    c.socketcan = {{"vcan0", std::nullopt}, {"vcan0", 500000}};
    for (int i = 0; i < 5; ++i) vcard::reset(c);
    EXPECT_EQ(openDescriptors(), before + 3);  // two sockets and the thread's wake-up
    vcard::reset({});
    EXPECT_EQ(openDescriptors(), before);
}

// The child after fork gets sockets of its own on the same interface (it
// must not read the parent's) and a service thread of its own.
TEST_F(OnVcan0, AForkedChildIsANodeOfItsOwnOnTheInterface) {
    const pid_t child = fork();
    if (child == 0) {
        CAN_PACKET p = packet(0x4C1, 1, 0x11);
        const bool sent = CanSendMsg(0, &p) == 0;
        // Its own thread: the parent's answer reaches it without a request.
        const bool answered = eventually([] { return vcard::queued(0, 0) > 0; }, std::chrono::seconds(5));
        _exit(sent && answered ? 0 : 1);
    }
    ASSERT_EQ(waitForCount(1, 1), 1);  // the child's port 0 to our port 1, through the kernel
    CAN_PACKET got;
    ASSERT_EQ(CanRcvMsg(1, &got), 0);
    EXPECT_EQ(got.id, 0x4C1u);
    CAN_PACKET answer = packet(0x4C2, 0);
    ASSERT_EQ(CanSendMsg(1, &answer), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// An interface set down (SIOCSIFFLAGS: root, as in the guest), up again on
// destruction whatever the test's outcome.
class InterfaceDown {
public:
    explicit InterfaceDown(const char *name) : name_(name) { ok_ = set(false); }
    ~InterfaceDown() { set(true); }
    bool ok() const { return ok_; }

private:
    bool set(bool up) {
        const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (fd < 0) return false;
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, name_, IFNAMSIZ - 1);
        bool done = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
        ifr.ifr_flags = short(up ? ifr.ifr_flags | IFF_UP : ifr.ifr_flags & ~IFF_UP);
        done = done && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
        close(fd);
        return done;
    }
    const char *name_;
    bool ok_ = false;
};

int linesWith(const std::string &path, const std::string &text) {
    std::ifstream in(path);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
    return n;
}

// A socket bound while its interface is down holds the error ENETDOWN,
// which poll reports until it is read: the service thread reads it (once,
// in the trace) instead of going round its loop at once again and again,
// and the wire receives once the interface is up.
TEST_F(OnVcan0, AnInterfaceDownWhenJoinedIsTracedOnceAndServedOnceUp) {
    char path[] = "/tmp/vcard-socketcan-trace-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string note = "vcard: wire=0 vcan0 socket error (ENETDOWN): the interface is down";
    {
        InterfaceDown down("vcan0");
        ASSERT_TRUE(down.ok()) << strerror(errno);
        resetLibrary();
        vcard::Config c;
        c.wiring = vcard::Wiring::separate;
        c.socketcan = {{"vcan0", std::nullopt}};
        c.trace_path = path;
        vcard::reset(c);
        ASSERT_EQ(CanOpenDriver(0, 0), 0);
        const PORT_STRUCT c0 = config(PCI5C3A_ID_STANDARD, 0, 0xFFFFFFFF, PCI5C3A_BAUD_1M);
        ASSERT_EQ(CanConfigPort(0, &c0), 0);
        EXPECT_TRUE(eventually([&] { return linesWith(path, note) > 0; }));
    }
    Listener other;
    can_frame f{};
    f.can_id = 0x5D0;
    ASSERT_TRUE(other.write(f));
    EXPECT_EQ(waitForCount(0, 1), 1);
    vcard::reset({});  // the trace file closed
    EXPECT_EQ(linesWith(path, note), 1);
    EXPECT_EQ(linesWith(path, "socket error"), 1);
    unlink(path);
}

}  // namespace
