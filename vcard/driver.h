/* SPDX-License-Identifier: MIT */
// driver.h - the card's kernel driver as the virtual card emulates it: the
// driver's own state of every card and port, its requests (one table that
// dispatch and trace both read), and its interrupt handler. It sits between
// the process glue, which hands it a request under the lock, and the
// hardware, which it drives through the controllers' registers.
//
// An application's signal handler may call the library and so the driver,
// on any thread and at any moment outside the driver's lock, even inside
// malloc. The request path therefore allocates nothing: queues are fixed
// rings and the signals to raise a fixed table.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "hw_types.h"
#include "pci_5C3A_ioctl.h"

namespace vcard::detail {

static_assert(kPortsPerCard == PCI5C3A_PORTS_PER_CARD && kMaxCards == PCI5C3A_MAX_CARDS &&
              kMaxPorts == PCI5C3A_MAX_HANDLES);

struct State;  // process.h

// ---------------------------------------------------------------------------
// The requests

// A request's record, and which way its fields go: what the trace decodes.
enum class Record {
    register_read,    // REG_ACCESS: addr in, data out
    register_write,   // REG_ACCESS: addr and data in
    identifier_mode,  // MODE_SET
    message_sent,     // MSG_XFER in
    message_taken,    // MSG_XFER: handle in, the message out on success
    queue_count,      // RCV_COUNT: handle in, count out
    flag              // unsigned short
};

// A request the driver knows. serve() answers 0 or the errno of its failure;
// it is called with a record that is not null.
struct RequestType {
    unsigned long code;
    const char *name;  // the code's REQ_ name
    std::size_t record_size;
    Record record;
    int (*serve)(State &s, int card, unsigned long code, void *record);
};

// The driver's entry for a request code; nullptr for a code it does not
// know (its argument is not looked at).
const RequestType *find_request(unsigned long code);

// Records are at most this long (MSG_XFER).
constexpr std::size_t kMaxRecord = sizeof(MSG_XFER);

// ---------------------------------------------------------------------------
// The driver's state

// Messages a port's driver queue holds (vcard::kDriverQueueLimit).
constexpr std::size_t kQueueLimit = 1024;

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
    std::uint64_t dropped = 0;   // the queue was full
    bool notify = false;         // REQ_EVENT_PORTn on
    std::uint64_t arrivals = 0;  // frames taken from the controller, for tamper indices
    // Of the arrivals: dropped by a tamper rule, extra copies queued by
    // one; and the messages REQ_RECEIVE handed out. Every arrival, its
    // copies added, is dropped (either way), handed out or still queued.
    std::uint64_t tamper_dropped = 0;
    std::uint64_t tamper_copies = 0;
    std::uint64_t handed_out = 0;
};

struct CardDriver {
    std::array<PortDriver, kPortsPerCard> ports;
};

// Signals the driver decided to raise, counted per owner and signal number:
// at most one entry per port of every card. The driver only collects them;
// they are raised once its lock is released (process.h, Locked).
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
    // Raises them all; keeps errno. Call without the lock.
    void raise_all();
    bool empty() const { return n_ == 0; }

private:
    struct Entry {
        pid_t pid;
        int number;
        unsigned count;
    };
    std::array<Entry, kMaxPorts> e_{};
    std::size_t n_ = 0;
};

// ---------------------------------------------------------------------------
// The driver's doors, called under the lock

// One request on a descriptor of `card`: answered (a test's canned answer,
// or the request's own), traced, then the interrupt handler runs. Returns
// the result and sets *error when it is -1. Signals to raise go to `raise`.
int driver_request(State &s, int card, int fd, unsigned long code, void *arg, int *error,
                   PendingSignals &raise);
// The driver's interrupt handler over every controller.
void service_interrupts(State &s, PendingSignals &raise);
// The owner the driver signals for a card: the most recent F_SETOWN on any
// of its open descriptors.
int card_owner(const State &s, int card);

}  // namespace vcard::detail
