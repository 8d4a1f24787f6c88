// drv_internal.h - the virtual card's process-wide state and the pieces of
// the emulated driver that its source files share. Private to vcard/.
//
// An application's signal handler may call the library and so the driver,
// on any thread and at any moment outside the driver's lock, even inside
// malloc. The request path therefore allocates nothing: queues are fixed
// rings, signals to raise a fixed table, the trace ring is reserved when
// started and the text trace is formatted on the stack and written with one
// write(2). (Test set-up calls such as force_read may allocate.)
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

#include "hardware.h"
#include "pci_5C3A_ioctl.h"
#include "vcard.h"

namespace vcard::detail {

// ---------------------------------------------------------------------------
// Request trace

// One traced request, compact: bit-rate detection can fill the ring with a
// million of these. Records are at most 32 bytes (MSG_XFER).
constexpr std::size_t kMaxRecord = 32;

struct TraceEntry {
    int card = -1;
    int fd = -1;
    unsigned long code = 0;
    int result = 0;
    int error = 0;
    std::uint8_t in_len = 0;  // 0: null record, or a request without a known record
    std::uint8_t out_len = 0;
    std::array<std::uint8_t, kMaxRecord> in{};
    std::array<std::uint8_t, kMaxRecord> out{};
};

// Size of the record a request code carries; 0 for codes the driver does
// not know (their argument is not looked at).
std::size_t record_size(unsigned long code);
std::string describe_entry(const TraceEntry &e);
TraceEntry to_entry(const Request &r);
Request to_request(const TraceEntry &e);

// Formats the trace line of e into out (always terminated); returns its length.
std::size_t format_entry(const TraceEntry &e, char *out, std::size_t size);
constexpr std::size_t kMaxTraceLine = 320;

class TraceLog {
public:
    void start(std::size_t capacity);  // may throw std::bad_alloc, changing nothing
    void stop() { on_ = false; }
    void clear();
    bool on() const { return on_; }
    void add(const TraceEntry &e);
    std::vector<Request> snapshot() const;
    // The text trace: a descriptor, -1 off. Returns the descriptor it
    // replaces if that one was owned (for the caller to close), else -1.
    int set_file(int fd, bool owned);
    bool file_on() const { return fd_ >= 0; }
    void print(const TraceEntry &e) const;

private:
    std::vector<TraceEntry> ring_;  // grows up to capacity_, then wraps
    std::size_t head_ = 0;          // oldest entry once the ring is full
    std::size_t capacity_ = 0;
    bool on_ = false;
    int fd_ = -1;
    bool owned_ = false;
};

// ---------------------------------------------------------------------------
// Driver state

constexpr std::size_t kQueueLimit = kDriverQueueLimit;

// A port's message queue: a ring of kQueueLimit frames allocated up front.
class FrameQueue {
public:
    FrameQueue() : frames_(new Frame[kQueueLimit]) {}
    std::size_t size() const { return count_; }
    bool push(const Frame &f) {
        if (count_ == kQueueLimit) return false;
        frames_[(head_ + count_++) % kQueueLimit] = f;
        return true;
    }
    bool pop(Frame *f) {
        if (count_ == 0) return false;
        *f = frames_[head_];
        head_ = (head_ + 1) % kQueueLimit;
        --count_;
        return true;
    }

private:
    std::unique_ptr<Frame[]> frames_;
    std::size_t head_ = 0, count_ = 0;
};

struct PortDriver {
    bool extended = false;  // REQ_SET_MODE: 29-bit identifiers
    FrameQueue queue;
    std::uint64_t dropped = 0;
    bool notify = false;         // REQ_EVENT_PORTn on
    std::uint64_t arrivals = 0;  // frames taken from the controller, for tamper indices
};

struct CardDriver {
    bool missing = false;  // device node made absent by a test
    std::array<PortDriver, PCI5C3A_PORTS_PER_CARD> ports;
};

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

// Signals the driver decided to raise, counted per owner and signal number:
// at most one entry per port of every card.
class PendingSignals {
public:
    void add(pid_t pid, int number) {
        for (std::size_t i = 0; i < n_; ++i)
            if (e_[i].pid == pid && e_[i].number == number) {
                ++e_[i].count;
                return;
            }
        if (n_ < e_.size()) e_[n_++] = {pid, number, 1};
    }
    // Raises them all; keeps errno.
    void raise_all();
    bool empty() const { return n_ == 0; }

private:
    struct Entry {
        pid_t pid;
        int number;
        unsigned count;
    };
    std::array<Entry, PCI5C3A_MAX_HANDLES> e_{};
    std::size_t n_ = 0;
};

struct Remote {
    std::thread thread;
    bool stop = false;  // under State::mutex
};

struct State {
    std::mutex mutex;
    std::condition_variable wake_remote;

    std::atomic<bool> configured{false};
    Config config;
    std::unique_ptr<Hardware> hardware;
    std::array<CardDriver, PCI5C3A_MAX_CARDS> cards;
    std::map<int, Descriptor> descriptors;
    std::atomic<std::size_t> descriptor_count{0};  // descriptors.size(), read without the lock
    std::uint64_t setown_sequence = 0;

    bool fail_setown = false;
    std::set<int> fail_sigaction;
    std::atomic<bool> any_sigaction_fault{false};
    std::map<unsigned long, Answer> answers;
    std::map<std::pair<int, std::uint32_t>, ForcedReads> forced;

    TraceLog trace;

    std::unique_ptr<Remote> remote;
    std::uint64_t remote_sent = 0;
    std::uint64_t remote_sequence = 0;
};

// The one state object: created on first use, never destroyed, so nothing
// races an exit-time destructor (the remote node's thread may still run).
State &state();
// The state if something has created it already, else nullptr. Lets the
// entry points pass foreign calls through without building anything.
State *existing_state();

// Holds the state's mutex with every signal blocked on this thread, so that
// no signal handler (which may call the library and so ioctl) runs on a
// thread that holds the lock. Signals the driver decides to raise are
// collected here and raised once the lock is released and the mask restored.
class Locked {
public:
    explicit Locked(State &s);
    ~Locked();
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
// Builds fresh cards from cfg (under the lock); the old remote node, if any,
// is handed back to be joined once the lock is released.
// The previous text trace file, if it must be closed, is handed back too.
struct Replaced {
    std::unique_ptr<Remote> remote;
    int trace_fd = -1;
};
Replaced rebuild(State &s, const Config &cfg, int trace_fd, bool owned);
// Joins the old remote node and closes the old trace file; without the lock.
void finish(Replaced old);
// Opens a trace destination: "-" standard error, else a file for appending.
// -1 with *error set when the file cannot be opened.
int open_trace_file(const std::string &path, bool *owned, std::string *error);
// The C library's close, bypassing the virtual card's.
int next_close(int fd);

// The driver: one request on a descriptor of `card`. Returns the result and
// sets *error when it is -1. Traces the request.
int driver_request(State &s, Locked &lock, int card, int fd, unsigned long code, void *arg, int *error);
// The driver's interrupt handler over every controller.
void service_interrupts(State &s, PendingSignals &raise);
// The owner the driver signals for a card: the most recent F_SETOWN on any
// of its open descriptors.
int card_owner(const State &s, int card);
void start_remote(State &s);

// Configuration parsing, shared by config_from_environment and its tests.
bool parse_bitrate(const std::string &text, unsigned *bitrate);
bool valid_bitrate(unsigned bitrate);
// A value as it appears in a message: in double quotes, control characters
// escaped, cut short when very long, so that the message stays one line.
std::string quote(const std::string &value);

}  // namespace vcard::detail
