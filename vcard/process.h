/* SPDX-License-Identifier: MIT */
// process.h - the process glue: the virtual card's one process-wide state
// (hardware, driver, descriptors, test faults, trace), its lock, fork
// handling, building the cards from a configuration, and the remote node's
// thread. Private to vcard/.
//
// The request path allocates nothing (driver.h says why); test set-up calls
// such as force_read may allocate.
#pragma once

#include <sys/types.h>

#include <signal.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "hw_cards.h"
#include "process_socketcan.h"
#include "vcard.h"
#include "vcard_trace.h"

namespace vcard::detail {

// ---------------------------------------------------------------------------
// Process state

struct Descriptor {
    int card = 0;
    int owner = 0;                // F_SETOWN, 0 none
    std::uint64_t owner_set = 0;  // when F_SETOWN was last called (sequence)
};

// Values forced on reads of one card address; once used up, reads reach the
// model again (entries are not erased on the request path: no free there).
struct ForcedReads {
    std::vector<std::uint8_t> values;
    std::size_t next = 0;
    bool sticky = false;
};

struct Answer {
    int result = 0;
    int error = 0;
};

// What a test made the driver and the entry points do wrong (vcard.h's
// faults, answers and forced reads), under the lock; a configuration starts
// without any (rebuild).
struct Faults {
    std::array<bool, kMaxCards> node_missing{};  // open fails with ENOENT
    bool fail_setown = false;
    std::set<int> fail_sigaction;
    std::map<unsigned long, Answer> answers;
    std::map<std::pair<int, std::uint32_t>, ForcedReads> forced;
};

// The thread that makes the hardware's remote node send once per period.
// It sleeps on a lock of its own and takes the state's lock only to send
// and to service the interrupts, as an interrupt handler with priority
// (Locked): a program issuing requests in a tight loop does not starve it.
struct RemoteNodeThread {
    // When the node sent its latest kSentTimes frames (steady_clock, in
    // nanoseconds), by sequence number modulo kSentTimes, 0 for none yet:
    // how long a frame took to reach a program is measured from there.
    // Under the state's lock.
    static constexpr std::size_t kSentTimes = 1024;
    std::array<std::int64_t, kSentTimes> sent_ns{};

    std::thread thread;
    std::mutex mutex;  // guards the sleep; never held while taking State::mutex
    std::condition_variable wake;
    std::atomic<bool> stop{false};  // set under both locks
};

struct State {
    std::mutex mutex;
    // Threads servicing frames from outside that wait for the mutex (the
    // remote node's, the SocketCAN wires'): as an interrupt handler comes
    // before the requests, they go first (Locked).
    std::atomic<int> priority_waiters{0};

    std::atomic<bool> configured{false};
    Config config;
    std::unique_ptr<Hardware> hardware;
    std::array<CardDriver, kMaxCards> cards;
    std::map<int, Descriptor> descriptors;
    std::atomic<std::size_t> descriptor_count{0};  // descriptors.size(), read without the lock
    std::uint64_t setown_sequence = 0;

    Faults faults;
    // !faults.fail_sigaction.empty(), for every sigaction() of the program
    // to read without the lock.
    std::atomic<bool> any_sigaction_fault{false};

    TraceLog trace;

    std::unique_ptr<RemoteNodeThread> remote_thread;
    std::unique_ptr<SocketCanLinks> socketcan;  // the wires' sockets, null when none is joined
};

// The one state object: created on first use, never destroyed, so nothing
// races an exit-time destructor (the remote node's thread may still run).
State &state();
// The state if something has created it already, else nullptr. Lets the
// entry points pass foreign calls through without building anything.
State *existing_state();

// Blocks every signal on the calling thread; the previous mask goes to
// *saved unless it is null. A thread of the virtual card calls it first, so
// that no application signal handler ever runs there.
void block_all_signals(sigset_t *saved = nullptr);

// Holds the state's mutex with every signal blocked on this thread, so that
// no signal handler (which may call the library and so ioctl) runs on a
// thread that holds the lock. Signals the driver decides to raise are
// collected in signals() and raised by the destructor, once the lock is
// released and the mask restored: a handler may call the library at once.
class Locked {
public:
    // `priority`: the remote node's and the SocketCAN service thread, which
    // a program polling in a tight loop of requests would otherwise starve
    // of the (unfair) mutex.
    explicit Locked(State &s, bool priority = false);
    ~Locked();  // unlock, restore the mask, then raise signals()
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
    PendingSignals &signals() { return signals_; }

private:
    State &s_;
    sigset_t saved_;
    PendingSignals signals_;
};

// Reads the environment on first use (unless reset() came first). A
// malformed value ends the process with status 2. Call without the lock.
void ensure_configured(State &s);
// Builds fresh cards from cfg (under the lock), their wires joined to the
// sockets of `links` (open_socketcan, opened before the lock was taken); the
// old remote node and sockets, if any, are handed back to be joined and
// closed once the lock is released.
// The previous text trace file, if it must be closed, is handed back too.
struct Replaced {
    std::unique_ptr<RemoteNodeThread> remote_thread;
    std::unique_ptr<SocketCanLinks> socketcan;
    int trace_fd = -1;
};
Replaced rebuild(State &s, const Config &cfg, int trace_fd, bool owned,
                 std::unique_ptr<SocketCanLinks> links);
// Joins the old threads, closes the old sockets and trace file; without the lock.
void finish(Replaced old);
// The C library's close and ioctl, bypassing the virtual card's (which take
// the lock once the card has descriptors).
int next_close(int fd);
int next_ioctl(int fd, unsigned long request, void *arg);

}  // namespace vcard::detail
