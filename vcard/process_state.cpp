// SPDX-License-Identifier: MIT
// process_state.cpp - the virtual card's one state object, its lock (and the
// signals raised as it is released), fork handling, the (re)building of the
// cards from a configuration, and the remote node's thread.

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "process.h"

namespace vcard::detail {

namespace {

std::atomic<State *> g_state{nullptr};

// fork() while another thread (the remote node, or an application thread
// inside the driver) holds the lock would leave the child's copy locked
// forever. The handlers take the lock around fork, as every library with a
// process-wide lock must.
sigset_t g_fork_saved_mask;
bool g_fork_locked = false;

void before_fork() {
    State *s = existing_state();
    if (s == nullptr) return;
    block_all_signals(&g_fork_saved_mask);
    s->mutex.lock();
    g_fork_locked = true;
}

void after_fork_in_parent() {
    if (!g_fork_locked) return;
    g_fork_locked = false;
    g_state.load()->mutex.unlock();
    pthread_sigmask(SIG_SETMASK, &g_fork_saved_mask, nullptr);
}

void after_fork_in_child() {
    if (!g_fork_locked) return;
    g_fork_locked = false;
    State *s = g_state.load();
    // The remote node's thread did not come along; its handle refers to a
    // thread of the parent and must be neither joined nor destroyed.
    (void)s->remote_thread.release();
    socketcan_after_fork_in_child(*s);
    s->mutex.unlock();
    pthread_sigmask(SIG_SETMASK, &g_fork_saved_mask, nullptr);
}

}  // namespace

void block_all_signals(sigset_t *saved) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, saved);
}

State &state() {
    static State *const s = [] {
        State *created = new State;  // never deleted, see state() in process.h
        g_state.store(created, std::memory_order_release);
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return created;
    }();
    return *s;
}

State *existing_state() { return g_state.load(std::memory_order_acquire); }

Locked::Locked(State &s, bool priority) : s_(s) {
    block_all_signals(&saved_);
    if (priority) {
        ++s_.priority_waiters;
        s_.mutex.lock();
        --s_.priority_waiters;
        return;
    }
    while (s_.priority_waiters.load(std::memory_order_acquire) != 0) sched_yield();
    s_.mutex.lock();
}

// The notification signals the driver decided on under the lock go out
// here, after the unlock and with the caller's mask back: a handler that
// runs at once on this thread may call the library, and so the driver.
Locked::~Locked() {
    s_.mutex.unlock();
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    signals_.raise_all();
}

void PendingSignals::raise_all() {
    const int saved_errno = errno;
    for (std::size_t i = 0; i < n_; ++i)
        for (unsigned k = 0; k < e_[i].count; ++k) kill(e_[i].pid, e_[i].number);
    n_ = 0;
    errno = saved_errno;
}

// ---------------------------------------------------------------------------
// The remote node's thread: once per period, or back to back, the
// hardware's remote node sends a frame on every wire (hw_remote_node.h).
//
// Interrupt latency: a frame the node sent waits in the controllers for
// kInterruptLatency before the thread runs the driver's interrupt handler
// (unless a driver request came first and ran it), as a real driver's
// handler runs some microseconds after the frame. A program polling the
// status register (bit-rate detection) sees the receive buffer status
// meanwhile; serviced at once, it never would. A program waiting for the
// receive signal gets it that long after the frame. The thread sleeps
// through the latency, so that the program polling has the processor then
// (awake, on a loaded machine the node took it for the whole window); its
// short slice (request_short_slice) wakes it on time.

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::microseconds kInterruptLatency{100};

// The node's next frame on every wire, its time noted (under the lock).
void send_frame(State &s, RemoteNodeThread &self) {
    RemoteNodeModel &node = *s.hardware->remote_node();
    const std::uint64_t sequence = node.frames_sent();
    node.send_next(s.hardware->wires());
    self.sent_ns[sequence % RemoteNodeThread::kSentTimes] =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The kernel's struct sched_attr as first published (<linux/sched/types.h>
// cannot be included beside the C library's <sched.h>).
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;
    std::uint64_t deadline;
    std::uint64_t period;
};
static_assert(sizeof(SchedAttr) == 48, "SCHED_ATTR_SIZE_VER0");

// The node stands in for hardware, which runs when its time comes whatever
// the machine's load. Its thread asks for a short slice (policy and nice
// value kept): kernels that take a slice request for normal threads (6.12
// on) then let it preempt a busy thread when it wakes, instead of making it
// wait for that thread's slice to end. Older kernels ignore the request.
void request_short_slice() {
    SchedAttr attr{};
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0) return;
    if (attr.policy != SCHED_OTHER && attr.policy != SCHED_BATCH) return;
    attr.size = sizeof attr;
    attr.flags = 0;
    attr.runtime = kRemoteNodeSliceNs;
    (void)syscall(SYS_sched_setattr, 0, &attr, 0);
}

// Sleeps, without the state's lock, until `next` or until the interrupt
// handler is due (`service`, when set), whichever comes first, and runs the
// handler when it is due. False when the thread is asked to stop.
bool sleep_and_service(State *s, RemoteNodeThread *self, Clock::time_point next,
                       std::optional<Clock::time_point> &service) {
    for (;;) {
        const Clock::time_point until = service ? std::min(*service, next) : next;
        {
            std::unique_lock<std::mutex> sleep(self->mutex);
            if (self->wake.wait_until(sleep, until, [self] { return self->stop.load(); })) return false;
        }
        if (!service || Clock::now() < *service) return true;  // next has come
        service.reset();
        Locked lock(*s, true);  // the driver's signals go out as it is released
        if (self->stop) return false;
        service_interrupts(*s, lock.signals());
        if (Clock::now() >= next) return true;
    }
}

void run_remote_node(State *s, RemoteNodeThread *self, std::chrono::milliseconds period) {
    // Inherited already from the creator, which holds the lock; kept explicit
    // because no application signal handler may ever run on this thread.
    block_all_signals();
    request_short_slice();
    pthread_setname_np(pthread_self(), kRemoteNodeThreadName);  // once it has its slice

    auto next = Clock::now() + period;
    std::optional<Clock::time_point> service;
    while (sleep_and_service(s, self, next, service)) {
        Locked lock(*s, true);
        if (self->stop) return;
        // What arrived with the previous frame is serviced by now, unless
        // the thread overslept: then here, so that the FIFO never fills.
        service_interrupts(*s, lock.signals());
        send_frame(*s, *self);
        const auto now = Clock::now();
        service = now + kInterruptLatency;

        // A period missed (a slow machine, a stopped debugger) is skipped,
        // not made up for with a burst.
        next += period;
        if (next < now) next = now + period;
    }
}

// Back to back (period 0): the node saturates the bus, each frame starting
// when the previous one and its interframe space have ended. The thread
// wakes every millisecond and sends the frames whose start has come on the
// node's time line, servicing the interrupts before each, so the receive
// FIFO drains between frames as under a real interrupt handler; the last
// one is serviced kInterruptLatency later. A frame therefore reaches the
// driver's queue at most a tick after it ended. A stretch of more than
// kBackToBackCatchUp in which the thread did not run (a stopped debugger)
// is skipped, not made up for with a burst.
constexpr std::chrono::milliseconds kBackToBackTick{1};
constexpr std::chrono::milliseconds kBackToBackCatchUp{20};

void run_back_to_back(State *s, RemoteNodeThread *self) {
    block_all_signals();
    pthread_setname_np(pthread_self(), kRemoteNodeThreadName);

    using Periods = std::chrono::duration<std::uint64_t, std::ratio<1, kCrystalHz>>;
    const auto since_start = [start = Clock::now()] {
        return std::chrono::duration_cast<Periods>(Clock::now() - start).count();
    };
    constexpr std::uint64_t catch_up = std::chrono::duration_cast<Periods>(kBackToBackCatchUp).count();

    std::optional<Clock::time_point> service;
    Clock::time_point woke;
    do {
        Locked lock(*s, true);
        if (self->stop) return;
        RemoteNodeModel &node = *s->hardware->remote_node();
        const std::uint64_t now = since_start();
        if (node.next_start() + catch_up < now) node.restart_at(now);
        bool sent = false;
        while (node.next_start() <= now) {
            service_interrupts(*s, lock.signals());
            send_frame(*s, *self);
            sent = true;
        }
        woke = Clock::now();
        if (sent) service = woke + kInterruptLatency;
    } while (sleep_and_service(s, self, woke + kBackToBackTick, service));
}

void start_remote_node(State &s) {
    auto remote = std::make_unique<RemoteNodeThread>();
    const std::chrono::milliseconds period(s.config.remote->period_ms);
    if (period.count() == 0) remote->thread = std::thread(run_back_to_back, &s, remote.get());
    else remote->thread = std::thread(run_remote_node, &s, remote.get(), period);
    s.remote_thread = std::move(remote);
}

}  // namespace

void ensure_configured(State &s) {
    if (s.configured.load(std::memory_order_acquire)) return;

    std::string error;
    const std::optional<Config> cfg = config_from_environment(&error);
    int trace_fd = -1;
    bool owned = false;
    if (cfg && !cfg->trace_path.empty()) trace_fd = open_trace_file(cfg->trace_path, &owned, &error);
    // The interfaces are checked here, so that a program learns of one it
    // cannot use at its first open, not later on its own.
    std::unique_ptr<SocketCanLinks> links;
    const bool traced = !cfg || cfg->trace_path.empty() || trace_fd >= 0;
    if (cfg && traced && !cfg->socketcan.empty()) {
        const char *shown = std::getenv("PCI5C3A_VCARD_SOCKETCAN");
        links = open_socketcan(*cfg, shown != nullptr ? shown : "", &error);
        if (!links && !error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(2);
        }
    }
    if (!cfg || !traced) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(2);
    }

    Replaced old;
    {
        Locked lock(s);
        if (!s.configured.load()) old = rebuild(s, *cfg, trace_fd, owned, std::move(links));
        else {  // another thread was first
            if (owned) old.trace_fd = trace_fd;
            old.socketcan = std::move(links);
        }
    }
    finish(std::move(old));
}

Replaced rebuild(State &s, const Config &cfg, int trace_fd, bool owned,
                 std::unique_ptr<SocketCanLinks> links) {
    Replaced old;
    old.socketcan = std::move(s.socketcan);
    if (old.socketcan) stop_socketcan(*old.socketcan);
    old.remote_thread = std::move(s.remote_thread);
    if (old.remote_thread) {
        {
            std::lock_guard<std::mutex> sleep(old.remote_thread->mutex);
            old.remote_thread->stop = true;
        }
        old.remote_thread->wake.notify_all();
    }

    std::optional<BitTime> remote;
    if (cfg.remote) remote = kCrystalHz / cfg.remote->bitrate;
    s.hardware.reset();
    if (cfg.cards > 0) s.hardware = std::make_unique<Hardware>(cfg.cards, cfg.wiring, remote);
    s.config = cfg;
    s.cards = {};
    s.descriptors.clear();
    s.descriptor_count = 0;
    s.faults = Faults{};
    s.any_sigaction_fault = false;
    s.trace.clear();
    old.trace_fd = s.trace.set_file(trace_fd, owned);
    s.configured.store(true, std::memory_order_release);

    if (s.hardware && s.hardware->remote_node() != nullptr) start_remote_node(s);
    s.socketcan = std::move(links);
    start_socketcan(s);
    return old;
}

void finish(Replaced old) {
    if (old.remote_thread && old.remote_thread->thread.joinable()) old.remote_thread->thread.join();
    close_socketcan(std::move(old.socketcan));
    if (old.trace_fd >= 0) next_close(old.trace_fd);
}

}  // namespace vcard::detail
