// SPDX-License-Identifier: MIT
// The driver's receive notifications through its device node: signal 63
// for port 0 and 62 for port 1, one per message queued, to the owner of the
// device (F_SETOWN) only, started, stopped and ended with the descriptor;
// per open file: each file with notification on signals its own owner;
// with two cards and several processes. Runs like test_driver: on the
// virtual card through with-virtual-card, as it is in a QEMU guest or on a
// machine with the card. The virtual card lives in each process, so the
// test of two processes sharing one card skips there.
//
// Frames go between the two ends of PCI5C3A_TEST_LOOP (test_loop.h), "a"
// and "b" below. When both ends are port 0 (of two cards) they raise the
// same signal, and the checks count the two ends' signals together.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "can_messages.h"
#include "driver_device.h"

using drv::Card;
using drv::Port;
using test::packet;

namespace {

// Signals received, by number: 63 (a port 0's), 62 (a port 1's).
std::atomic<int> g_port0{0}, g_port1{0};
// When set, the handler of signal g_receiveSig takes a message itself from
// this device and handle.
std::atomic<int> g_receiveFd{-1};
std::atomic<int> g_receiveHandle{-1};
std::atomic<int> g_receiveSig{0};
std::atomic<int> g_takenByHandler{0};
std::atomic<int> g_takenOutOfOrder{0};

void onSignal(int sig) {
    if (sig == PCI5C3A_SIG_PORT0) ++g_port0;
    if (sig == PCI5C3A_SIG_PORT1) ++g_port1;
    const int fd = g_receiveFd.load();
    if (fd < 0 || sig != g_receiveSig.load()) return;
    // Only async-signal-safe calls: ioctl is one.
    MSG_XFER x{};
    x.handle = g_receiveHandle.load();
    if (drv::request(fd, REQ_RECEIVE, &x).ok()) {
        if (x.packet.data[0] != g_takenByHandler.load()) ++g_takenOutOfOrder;
        ++g_takenByHandler;
    }
}

void handleSignals(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(PCI5C3A_SIG_PORT0, &sa, nullptr);
    sigaction(PCI5C3A_SIG_PORT1, &sa, nullptr);
}

void resetCounts() {
    g_port0 = 0;
    g_port1 = 0;
    g_receiveFd = -1;
    g_receiveHandle = -1;
    g_receiveSig = 0;
    g_takenByHandler = 0;
    g_takenOutOfOrder = 0;
}

// The counter of the signal a port raises.
std::atomic<int> &signalsOf(const Port &p) { return p.port() == 0 ? g_port0 : g_port1; }

// Waits until the counter reaches n, then a little longer for any signal
// too many; returns the final count (to compare with n).
int settle(const std::atomic<int> &counter, int n) {
    test::eventually([&] { return counter.load() >= n; }, std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return counter.load();
}

bool prepare(const Port &p) {
    if (!p.events(0).ok() || !p.configure(PCI5C3A_ID_STANDARD)) return false;
    p.drain();
    return true;
}
bool prepare(const Card &c) { return prepare(Port(c, 0)) && prepare(Port(c, 1)); }

bool own(const Card &c) { return fcntl(c.fd(), F_SETOWN, getpid()) == 0; }

// Sends n frames from `from` to the other end, tagged in data byte 0 from
// `first` on; false when a send fails.
bool sendFrames(const Port &from, int n, int first = 0) {
    for (int i = 0; i < n; ++i) {
        if (!from.waitTransmitBuffer()) return false;
        if (!from.send(packet(0x100 + 8 * std::uint32_t(i), 1, std::uint8_t(first + i))).ok()) return false;
    }
    return from.waitTransmitBuffer();
}
bool sendFrames(const Card &c, int from, int n, int first = 0) { return sendFrames(Port(c, from), n, first); }

class Signals : public ::testing::Test {
protected:
    void SetUp() override {
        resetCounts();
        handleSignals(onSignal);
        ASSERT_TRUE(loop_.ok()) << loop_.error();
        ASSERT_TRUE(prepare(a_));
        ASSERT_TRUE(prepare(b_));
        ASSERT_TRUE(own(loop_.first()));
        ASSERT_TRUE(own(loop_.second()));
    }
    void TearDown() override {
        for (const Port &p : {a_, b_})
            if (p.card().ok()) p.events(0);
        g_receiveFd = -1;
    }
    bool oneSignal() const { return a_.signal() == b_.signal(); }
    // The signals owed to each end so far, forA for a_'s notification and
    // forB for b_'s, and no more (their sum where both raise one signal).
    void expectSignals(int forA, int forB) {
        if (oneSignal()) {
            EXPECT_EQ(settle(signalsOf(a_), forA + forB), forA + forB) << "signals of both ends together";
            return;
        }
        EXPECT_EQ(settle(signalsOf(a_), forA), forA) << "signals of end a";
        EXPECT_EQ(settle(signalsOf(b_), forB), forB) << "signals of end b";
    }

    drv::LoopCards loop_;
    const Port a_ = loop_.a(), b_ = loop_.b();
};

TEST_F(Signals, OneSignalPerMessageQueuedOnANotifiedPort) {
    ASSERT_TRUE(b_.events(1).ok());
    ASSERT_TRUE(sendFrames(a_, 5));
    expectSignals(0, 5);
    EXPECT_EQ(b_.count(), 5);
    // a's notification is off: its messages queue silently.
    ASSERT_TRUE(sendFrames(b_, 3));
    EXPECT_EQ(a_.waitCount(3), 3);
    expectSignals(0, 5);
    // Turning it on signals what comes next, not what waits already.
    ASSERT_TRUE(a_.events(1).ok());
    ASSERT_TRUE(sendFrames(b_, 3));
    expectSignals(3, 5);
    EXPECT_EQ(a_.count(), 6);
}

TEST_F(Signals, NotificationsStopAndStartAgain) {
    ASSERT_TRUE(b_.events(1).ok());
    ASSERT_TRUE(sendFrames(a_, 2));
    expectSignals(0, 2);
    ASSERT_TRUE(b_.events(0).ok());
    ASSERT_TRUE(sendFrames(a_, 2));
    expectSignals(0, 2);
    // Any non-zero flag starts them.
    ASSERT_TRUE(b_.events(0x100).ok());
    ASSERT_TRUE(sendFrames(a_, 2));
    expectSignals(0, 4);
    // REQ_PORT_CLOSE of b's port stops them; that of a's does not.
    ASSERT_TRUE(a_.portClose().ok());
    ASSERT_TRUE(sendFrames(a_, 1));
    expectSignals(0, 5);
    ASSERT_TRUE(b_.portClose().ok());
    ASSERT_TRUE(sendFrames(a_, 2));
    expectSignals(0, 5);
    EXPECT_EQ(b_.count(), 9);
}

TEST_F(Signals, WithoutAnOwnerNobodyIsSignalled) {
    ASSERT_EQ(fcntl(b_.card().fd(), F_SETOWN, 0), 0);
    ASSERT_TRUE(b_.events(1).ok());
    ASSERT_TRUE(sendFrames(a_, 3));
    EXPECT_EQ(b_.waitCount(3), 3);
    expectSignals(0, 0);
    ASSERT_TRUE(own(b_.card()));
    ASSERT_TRUE(sendFrames(a_, 1));
    expectSignals(0, 1);
}

TEST_F(Signals, TheHandlerMayCallTheDriver) {
    // The signal is raised with no lock of the driver held: the handler's
    // own request must not wait for one.
    g_receiveHandle = b_.handle();
    g_receiveSig = b_.signal();
    g_receiveFd = b_.card().fd();
    ASSERT_TRUE(b_.events(1).ok());
    ASSERT_TRUE(sendFrames(a_, 10));
    expectSignals(0, 10);
    EXPECT_EQ(g_takenByHandler.load(), 10);
    EXPECT_EQ(g_takenOutOfOrder.load(), 0);
    EXPECT_EQ(b_.count(), 0);
}

TEST_F(Signals, ClosingTheOwnersDescriptorEndsItsSignals) {
    Card other(b_.card().number());  // no owner of its own
    ASSERT_TRUE(other.ok());
    // The sender's descriptor stays open: b's own when a is on b's card.
    const Port from = loop_.oneCard() ? Port(other, a_.port()) : a_, to(other, b_.port());
    ASSERT_TRUE(b_.events(1).ok());
    ASSERT_TRUE(sendFrames(from, 1));
    expectSignals(0, 1);
    loop_.second().closeNow();
    ASSERT_TRUE(sendFrames(from, 3));
    EXPECT_EQ(to.waitCount(4), 4);
    expectSignals(0, 1);
    to.events(0);
}

TEST_F(Signals, TwoCardsSignalTheirOwner) {
    if (!loop_.oneCard()) GTEST_SKIP() << "the loop spans two cards: neither has a cable of its own";
    const Card &first = loop_.first();
    Card second(first.number() + 1);
    if (!second.ok()) GTEST_SKIP() << "no second card (/dev/PCI5C3AW" << first.number() + 1 << ")";
    ASSERT_TRUE(prepare(second));
    ASSERT_TRUE(own(second));
    ASSERT_TRUE(first.events(1, 1).ok());
    ASSERT_TRUE(second.events(0, 1).ok());
    ASSERT_TRUE(sendFrames(first, 0, 2));
    ASSERT_TRUE(sendFrames(second, 1, 3));
    EXPECT_EQ(settle(g_port1, 2), 2);
    EXPECT_EQ(settle(g_port0, 3), 3);
    EXPECT_EQ(first.count(first.handle(1)), 2);
    EXPECT_EQ(second.count(second.handle(0)), 3);
    EXPECT_EQ(first.count(first.handle(0)), 0);
    EXPECT_EQ(second.count(second.handle(1)), 0);
    second.events(0, 0);
}

// ---------------------------------------------------------------------------
// Several processes. Each child reports through its exit status; the parent
// holds every child at barriers (one byte up, one byte down a pipe pair),
// so that what one child does falls in a window where the others watch.

constexpr int kBarrierTimeoutMs = 20000;

struct Child {
    pid_t pid = -1;
    int up = -1;    // child -> parent
    int down = -1;  // parent -> child
};

// In the child: arrive at the barrier and wait to be let through. The
// notification signals arrive while it waits: poll is never restarted
// after a handler (SA_RESTART or not), so an interrupted wait goes on until
// the deadline.
int g_up = -1, g_down = -1;
bool barrier() {
    const char b = 'b';
    ssize_t n;
    while ((n = write(g_up, &b, 1)) < 0 && errno == EINTR) {}
    if (n != 1) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBarrierTimeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{g_down, POLLIN, 0};
        const int r = poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r != 1) return false;
        char got = 0;
        while ((n = read(g_down, &got, 1)) < 0 && errno == EINTR) {}
        return n == 1;
    }
}

template <class Body>
Child spawn(Body body) {
    int up[2], down[2];
    if (pipe(up) != 0) return {};
    if (pipe(down) != 0) {
        close(up[0]);
        close(up[1]);
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(up[0]);
        close(down[1]);
        g_up = up[1];
        g_down = down[0];
        resetCounts();
        handleSignals(onSignal);
        alarm(60);  // a stuck child ends
        _exit(body());
    }
    close(up[1]);
    close(down[0]);
    return {pid, up[0], down[1]};
}

// In the parent: lets the children through their barriers until they all
// end; returns each child's exit status (or 128 + its signal).
std::vector<int> run(const std::vector<Child> &children) {
    for (;;) {
        bool allArrived = true, anyEnded = false;
        for (const Child &c : children) {
            pollfd p{c.up, POLLIN, 0};
            char b = 0;
            if (poll(&p, 1, kBarrierTimeoutMs) != 1) {
                allArrived = false;
                break;
            }
            if (read(c.up, &b, 1) != 1) anyEnded = true;
        }
        if (!allArrived || anyEnded) break;
        for (const Child &c : children) {
            const char b = 'g';
            if (write(c.down, &b, 1) != 1) break;
        }
    }
    std::vector<int> status;
    for (const Child &c : children) {
        close(c.up);
        close(c.down);
        int s = 0;
        for (int tries = 0; waitpid(c.pid, &s, WNOHANG) == 0; ++tries) {
            if (tries == 2000) kill(c.pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        status.push_back(WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s));
    }
    return status;
}

#define CHILD_CHECK(condition, code)                                                                      \
    do {                                                                                                  \
        if (!(condition)) {                                                                               \
            std::fprintf(stderr, "child %d: %s failed (line %d)\n", int(getpid()), #condition, __LINE__); \
            return (code);                                                                                \
        }                                                                                                 \
    } while (0)

// A child that owns one card: sends `n` frames tagged with the card number
// from its port 0 to its port 1 while the other children do the same on
// theirs, and must get exactly its own signals and messages.
int ownCard(int cardNumber, int n) {
    Card c(cardNumber);
    CHILD_CHECK(c.ok(), 10);
    CHILD_CHECK(prepare(c), 11);
    CHILD_CHECK(own(c), 12);
    CHILD_CHECK(c.events(0, 1).ok() && c.events(1, 1).ok(), 13);
    CHILD_CHECK(barrier(), 14);
    CHILD_CHECK(sendFrames(c, 0, n, 0x40 * cardNumber), 15);
    test::eventually([&] { return g_port1.load() >= n; }, std::chrono::seconds(5));
    CHILD_CHECK(barrier(), 16);  // everyone has sent
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CHILD_CHECK(g_port1.load() == n, 17);
    CHILD_CHECK(g_port0.load() == 0, 18);
    CHILD_CHECK(c.count(c.handle(1)) == n, 19);
    CHILD_CHECK(c.count(c.handle(0)) == 0, 20);
    for (int i = 0; i < n; ++i) {
        CAN_PACKET p;
        CHILD_CHECK(c.receive(c.handle(1), &p).ok(), 21);
        CHILD_CHECK(p.data[0] == 0x40 * cardNumber + i, 22);
    }
    c.events(0, 0);
    c.events(1, 0);
    return 0;
}

TEST(Processes, EachOwnerOfACardGetsItsOwnSignalsAndMessages) {
    if (!test::testLoop().oneCard())
        GTEST_SKIP() << "the loop spans two cards: neither has a cable of its own";
    {
        Card second(1);
        if (!second.ok()) GTEST_SKIP() << "no second card (/dev/PCI5C3AW1)";
    }
    const std::vector<int> status =
        run({spawn([] { return ownCard(0, 3); }), spawn([] { return ownCard(1, 5); })});
    EXPECT_EQ(status, (std::vector<int>{0, 0}));
}

// Two processes on one card. Notification is per open file: each file with
// a port's notification on signals its own owner (F_SETOWN) once per message
// queued, whoever sent it; a file with it off signals nobody. Whoever
// receives takes the message from the card's one queue.
//
//   1. A has the receiving port's (the loop's end b) notification on, B has
//      it off: B sends 4 (from end a), only A is signalled; A takes them.
//   2. Once A has taken them, B owns its file and turns it on: A sends 3,
//      both are signalled 3 times; B takes them.
//   3. A turns its notification off: B sends 2, only B is signalled; B
//      takes them.
// Each child has descriptors of its own (drv::LoopCards); "port 1" of the
// checks below is end b's signal, "port 0" end a's, which is not checked
// where the two are one signal.
int sharedFirst() {
    drv::LoopCards loop;
    const Port a = loop.a(), b = loop.b();
    CHILD_CHECK(loop.ok(), 30);
    CHILD_CHECK(prepare(a) && prepare(b), 31);
    CHILD_CHECK(own(b.card()), 32);
    CHILD_CHECK(b.events(1).ok(), 33);
    CHILD_CHECK(barrier(), 34);  // 1: set up
    CHILD_CHECK(barrier(), 35);  // 2: the other has sent 4
    CHILD_CHECK(settle(signalsOf(b), 4) == 4, 36);
    CHILD_CHECK(b.count() == 4, 37);
    for (int i = 0; i < 4; ++i) {
        CAN_PACKET p;
        CHILD_CHECK(b.receive(&p).ok() && p.data[0] == 0x10 + i, 38);
    }
    CHILD_CHECK(barrier(), 39);  // 3: taken, every one of the 4 handled
    CHILD_CHECK(barrier(), 48);  // 3b: the other's notification is on
    CHILD_CHECK(sendFrames(a, 3, 0x20), 40);
    CHILD_CHECK(barrier(), 41);  // 4: sent
    CHILD_CHECK(settle(signalsOf(b), 7) == 7, 42);
    CHILD_CHECK(b.events(0).ok(), 43);
    CHILD_CHECK(barrier(), 44);  // 5: the other has taken them; ours is off
    CHILD_CHECK(barrier(), 45);  // 6: the other has sent 2
    CHILD_CHECK(settle(signalsOf(b), 7) == 7, 46);
    CHILD_CHECK(a.signal() == b.signal() || signalsOf(a).load() == 0, 47);
    return 0;
}

int sharedSecond() {
    drv::LoopCards loop;
    const Port a = loop.a(), b = loop.b();
    CHILD_CHECK(loop.ok(), 50);
    CHILD_CHECK(barrier(), 51);  // 1: the other has set up
    CHILD_CHECK(sendFrames(a, 4, 0x10), 52);
    CHILD_CHECK(barrier(), 53);  // 2: sent
    // A frame is queued when the driver's interrupt handler takes it, which
    // on an emulated machine may be well after the send returned: switch
    // notification on only once the other has been signalled for all 4.
    CHILD_CHECK(barrier(), 57);  // 3: the other has taken them
    CHILD_CHECK(own(b.card()), 54);
    CHILD_CHECK(b.events(1).ok(), 55);
    CHILD_CHECK(signalsOf(b).load() == 0, 56);  // its file had notification off
    CHILD_CHECK(barrier(), 69);                 // 3b: ours is on
    CHILD_CHECK(barrier(), 58);                 // 4: the other has sent 3
    CHILD_CHECK(settle(signalsOf(b), 3) == 3, 59);
    CHILD_CHECK(b.count() == 3, 60);
    for (int i = 0; i < 3; ++i) {
        CAN_PACKET p;
        CHILD_CHECK(b.receive(&p).ok() && p.data[0] == 0x20 + i, 61);
    }
    CHILD_CHECK(barrier(), 62);  // 5: taken; the other's is off
    CHILD_CHECK(sendFrames(a, 2, 0x30), 63);
    CHILD_CHECK(settle(signalsOf(b), 5) == 5, 64);
    CHILD_CHECK(b.count() == 2, 65);
    for (int i = 0; i < 2; ++i) {
        CAN_PACKET p;
        CHILD_CHECK(b.receive(&p).ok() && p.data[0] == 0x30 + i, 66);
    }
    CHILD_CHECK(barrier(), 67);  // 6: sent
    CHILD_CHECK(a.signal() == b.signal() || signalsOf(a).load() == 0, 68);
    b.events(0);
    return 0;
}

TEST(Processes, TwoProcessesSharingACardEachFileSignalsItsOwnOwner) {
    if (drv::inProcessCard(test::testLoop().b.card))
        GTEST_SKIP() << "the virtual card lives in each process: processes share no card";
    const std::vector<int> status = run({spawn(sharedFirst), spawn(sharedSecond)});
    EXPECT_EQ(status, (std::vector<int>{0, 0}));
}

// ---------------------------------------------------------------------------
// Owners as F_SETOWN_EX names them, signalled as the kernel signals SIGIO: a
// thread (F_OWNER_TID) on that thread; a process (F_OWNER_PID, F_SETOWN with
// a pid) process-wide, taken by any of its threads that does not block the
// signal; a process group (F_OWNER_PGRP, F_SETOWN with a negative number)
// in every member process, process-wide. Only on the kernel driver: the
// virtual card follows F_SETOWN alone.

std::atomic<pid_t> g_takenOn{0};
std::atomic<int> g_taken{0};
void onSignalNoteThread(int) {
    g_takenOn = pid_t(syscall(SYS_gettid));
    ++g_taken;
}

// Blocks (or unblocks) sig in the calling thread.
void blockHere(int sig, bool block) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// A second thread that sleeps until it is stopped, with sig blocked or not
// (unblock() lets it in later).
class Sleeper {
public:
    Sleeper(int sig, bool blocked)
        : thread_([this, sig, blocked] {
              blockHere(sig, blocked);
              tid_ = pid_t(syscall(SYS_gettid));
              while (!stop_) {
                  if (unblock_.exchange(false)) blockHere(sig, false);
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {
        test::eventually([&] { return tid_.load() != 0; }, std::chrono::seconds(5));
    }
    ~Sleeper() {
        stop_ = true;
        thread_.join();
    }
    pid_t tid() const { return tid_; }
    void unblock() { unblock_ = true; }

private:
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> stop_{false}, unblock_{false};
    std::thread thread_;
};

bool setOwner(const Card &c, int type, pid_t pid) {
    f_owner_ex o{};
    o.type = static_cast<decltype(o.type)>(type);
    o.pid = pid;
    return fcntl(c.fd(), F_SETOWN_EX, &o) == 0;
}

class Owners : public Signals {
protected:
    void SetUp() override {
        if (drv::inProcessCard(test::testLoop().b.card))
            GTEST_SKIP() << "the virtual card knows no F_SETOWN_EX owners";
        Signals::SetUp();
        handleSignals(onSignalNoteThread);
        g_takenOn = 0;
        g_taken = 0;
    }
    void TearDown() override {
        blockHere(b_.signal(), false);
        Signals::TearDown();
    }
    // Sends one frame to b_ and waits for its signal: the thread that took
    // it, 0 when none came within 5 s.
    pid_t oneFrameTakenOn() {
        const int before = g_taken.load();
        g_takenOn = 0;
        if (!sendFrames(a_, 1)) return -1;
        test::eventually([&] { return g_taken.load() > before; }, std::chrono::seconds(5));
        return g_takenOn.load();
    }
};

TEST_F(Owners, AThreadOwnerIsSignalledOnThatThread) {
    const pid_t self = pid_t(syscall(SYS_gettid));
    Sleeper owner(b_.signal(), false);
    ASSERT_TRUE(setOwner(b_.card(), F_OWNER_TID, owner.tid()));
    ASSERT_TRUE(b_.events(1).ok());
    // Here the main thread does not block the signal either: a signal to
    // the whole process would most often be taken here.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(oneFrameTakenOn(), owner.tid()) << "frame " << i << " (main thread " << self << ")";
    // With every other thread blocking it, still on the owner.
    blockHere(b_.signal(), true);
    EXPECT_EQ(oneFrameTakenOn(), owner.tid());
}

TEST_F(Owners, AThreadOwnerThatBlocksTheSignalGetsItOnceItUnblocks) {
    // The signal is the owner thread's: while it blocks it, it waits for
    // that thread, and the main thread, which does not block it, must not
    // take it.
    Sleeper owner(b_.signal(), true);
    ASSERT_TRUE(setOwner(b_.card(), F_OWNER_TID, owner.tid()));
    ASSERT_TRUE(b_.events(1).ok());
    ASSERT_TRUE(sendFrames(a_, 1));
    ASSERT_EQ(b_.waitCount(1), 1);
    EXPECT_EQ(settle(g_taken, 0), 0) << "taken on thread " << g_takenOn.load() << ", not the owner "
                                     << owner.tid() << " that blocks it";
    owner.unblock();
    EXPECT_EQ(settle(g_taken, 1), 1);
    EXPECT_EQ(g_takenOn.load(), owner.tid());
}

TEST_F(Owners, AProcessOwnerIsSignalledOnAnyThreadThatDoesNotBlockIt) {
    Sleeper other(b_.signal(), false);
    blockHere(b_.signal(), true);  // the main thread, which F_SETOWN names
    ASSERT_TRUE(b_.events(1).ok());
    EXPECT_EQ(oneFrameTakenOn(), other.tid()) << "F_SETOWN pid";
    ASSERT_TRUE(setOwner(b_.card(), F_OWNER_PID, getpid()));
    EXPECT_EQ(oneFrameTakenOn(), other.tid()) << "F_OWNER_PID";
}

// A member of the owner group: the leader thread blocks the signal when
// `leaderBlocks`, a second thread never does. Reports on `up`: 'r' when
// set up, then 'y' once the signal came (on the second thread where the
// leader blocks it) or 'n' after 10 s, in capitals for the group's leader.
int groupMember(pid_t group, bool leaderBlocks, int up) {
    handleSignals(onSignalNoteThread);
    if (setpgid(0, group) != 0) return 1;
    Sleeper other(PCI5C3A_SIG_PORT0, false);  // blocks neither signal
    if (leaderBlocks) {
        blockHere(PCI5C3A_SIG_PORT0, true);
        blockHere(PCI5C3A_SIG_PORT1, true);
    }
    if (write(up, "r", 1) != 1) return 1;
    const bool got = test::eventually([] { return g_taken.load() > 0; }, std::chrono::seconds(10)) &&
                     (!leaderBlocks || g_takenOn.load() == other.tid());
    const char *report = group == 0 ? (got ? "Y" : "N") : (got ? "y" : "n");
    return write(up, report, 1) == 1 ? 0 : 1;
}

TEST_F(Owners, AProcessGroupOwnerSignalsEveryMemberProcessWide) {
    int up[2];
    ASSERT_EQ(pipe(up), 0);
    // The first child leads a group of its own, the second joins it.
    const pid_t leader = fork();
    if (leader == 0) {
        alarm(60);
        _exit(groupMember(0, true, up[1]));
    }
    ASSERT_GT(leader, 0);
    setpgid(leader, leader);  // either side may do it first
    const pid_t member = fork();
    if (member == 0) {
        alarm(60);
        _exit(groupMember(leader, false, up[1]));
    }
    ASSERT_GT(member, 0);
    close(up[1]);
    std::string got;
    auto readReport = [&] {
        pollfd p{up[0], POLLIN, 0};
        char c = 0;
        if (poll(&p, 1, 15000) == 1 && read(up[0], &c, 1) == 1) got += c;
    };
    readReport();
    readReport();
    EXPECT_EQ(got, "rr") << "the group's two processes set up";
    ASSERT_EQ(fcntl(b_.card().fd(), F_SETOWN, -leader), 0);
    ASSERT_TRUE(b_.events(1).ok());
    ASSERT_TRUE(sendFrames(a_, 1));
    got.clear();
    readReport();
    readReport();
    std::sort(got.begin(), got.end());
    // "N": the group leader's signal went to its blocking leader thread
    // alone; "n": the other member was not signalled.
    EXPECT_EQ(got, "Yy")
        << "both members signalled, the leader whose leader thread blocks it on its other thread";
    close(up[0]);
    for (pid_t pid : {leader, member}) {
        int st = 0;
        for (int tries = 0; waitpid(pid, &st, WNOHANG) == 0; ++tries) {
            if (tries == 2000) kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "member " << pid << " status " << st;
    }
    fcntl(b_.card().fd(), F_SETOWN, getpid());
}

// The uid rule of SIGIO: a file's owner is signalled only when its real or
// saved uid matches the real or effective uid of whoever did F_SETOWN, or
// that one was root. The setter here is a child that opened the cards as
// root and then became uid 1000; the target another child, uid 2000 (its
// signals must not come), and then the setter itself (they must).
int uidTarget() {
    CHILD_CHECK(setresuid(2000, 2000, 2000) == 0, 80);
    const std::atomic<int> &mine = test::testLoop().b.port == 0 ? g_port0 : g_port1;
    CHILD_CHECK(barrier(), 81);  // A: the setter named this process the owner
    CHILD_CHECK(barrier(), 82);  // B: a frame is queued
    CHILD_CHECK(settle(mine, 0) == 0, 83);
    CHILD_CHECK(barrier(), 84);  // C: the setter is the owner now
    CHILD_CHECK(barrier(), 85);  // D: its frame is queued
    CHILD_CHECK(settle(mine, 0) == 0, 86);
    return 0;
}

int uidSetter(pid_t target) {
    drv::LoopCards loop;
    CHILD_CHECK(loop.ok(), 90);
    const Port a = loop.a(), b = loop.b();
    CHILD_CHECK(prepare(a) && prepare(b), 91);
    CHILD_CHECK(b.events(1).ok(), 92);
    CHILD_CHECK(setresuid(1000, 1000, 1000) == 0, 93);
    CHILD_CHECK(fcntl(b.card().fd(), F_SETOWN, target) == 0, 94);
    CHILD_CHECK(barrier(), 95);  // A
    CHILD_CHECK(sendFrames(a, 1), 96);
    CHILD_CHECK(b.waitCount(1) == 1, 97);
    CHILD_CHECK(barrier(), 98);  // B
    CHILD_CHECK(fcntl(b.card().fd(), F_SETOWN, getpid()) == 0, 99);
    CHILD_CHECK(barrier(), 100);  // C
    CHILD_CHECK(sendFrames(a, 1), 101);
    CHILD_CHECK(b.waitCount(2) == 2, 102);
    // The owner is read when the signal work runs: the first frame's signal
    // may come here too when that work ran after the owner changed.
    CHILD_CHECK(settle(signalsOf(b), 1) >= 1, 103);
    CHILD_CHECK(barrier(), 104);  // D
    b.events(0);
    return 0;
}

TEST(Processes, AnOwnerOfAnotherUserIsNotSignalled) {
    if (drv::inProcessCard(test::testLoop().b.card))
        GTEST_SKIP() << "the virtual card lives in each process: processes share no card";
    if (geteuid() != 0) GTEST_SKIP() << "needs root (to run two children as other users)";
    const Child target = spawn(uidTarget);
    const pid_t pid = target.pid;
    const std::vector<int> status = run({target, spawn([pid] { return uidSetter(pid); })});
    // 83: the other user's process was signalled.
    EXPECT_EQ(status, (std::vector<int>{0, 0}));
}

}  // namespace
