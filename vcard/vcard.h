/* SPDX-License-Identifier: MIT */
// vcard.h - the virtual 5C3A card's C++ interface for tests.
//
// The virtual card stands in for the card's kernel driver and its two SJA1000
// controllers inside the process. Programs reach it through the C library
// entry points it defines (open, ioctl, fcntl, close on "/dev/PCI5C3AW<n>");
// tests link it directly (before libc) and drive it through this interface:
// reset it to a configuration, read the trace of driver requests, inject
// faults and frames, and read or force register values.
//
// Every function here is safe to call from any thread; none may be called
// from a signal handler.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hw_types.h"

namespace vcard {

// ---------------------------------------------------------------------------
// Configuration

// Wiring (how the ports are cabled), Frame and the remote node's frame are
// the hardware's own types: hw_types.h.

// A node outside the card, present on every wire, that transmits a data
// frame every period_ms at bitrate bit/s and acknowledges frames sent at
// its bit rate.
struct RemoteNode {
    unsigned bitrate = 0;     // bit/s; 16 MHz / bitrate must be a whole number
    unsigned period_ms = 10;  // 1..60000; 0: back to back, saturating the bus
};

// Messages a port's driver queue holds; further ones are dropped and counted.
constexpr std::size_t kDriverQueueLimit = 1024;

// Changes applied to the frames a port's driver queue receives, so that the
// loop-back test's failure situations can be produced without a special build.
// index counts the frames the driver took from the handle's port's controller
// since reset, from 0 (dropped ones included, duplicates not); every_frame
// applies the rule to all of them. Several rules may match one frame: the
// identifier and data changes are made, then the frame is dropped if any
// drop rule matched, else queued once plus the sum of the duplicate counts.
struct Tamper {
    enum class Kind {
        id,        // replace the identifier by value
        data,      // replace data byte `byte` (0..7) by value
        drop,      // do not queue the frame
        duplicate  // queue the frame value more times
    };
    int handle = 0;  // card * 2 + port
    unsigned index = 0;
    bool every_frame = false;
    Kind kind = Kind::drop;
    unsigned byte = 0;
    std::uint32_t value = 0;
};

// A wire joined to a SocketCAN interface: the frames its controllers send
// are written to the interface, the frames read from it are on the wire.
struct SocketCanWire {
    std::string interface;  // e.g. "vcan0"; empty: the wire stays local
    // The bit rate (bit/s) the interface's frames are sent at; without one
    // they count as sent at the rate of each receiving controller.
    std::optional<unsigned> bitrate;
    bool operator==(const SocketCanWire &) const = default;
};

struct Config {
    int cards = 1;  // cards 0..cards-1 are present, 0..kMaxCards
    Wiring wiring = Wiring::loopback;
    std::optional<RemoteNode> remote;
    std::vector<Tamper> tamper;
    std::string trace_path;  // "" off, "-" standard error, else a file
    // One entry per wire, in wire order (loopback: card 0's cable, card 1's,
    // ...; separate: handle 0, 1, ...; shared: the one bus); wires beyond
    // the entries stay local. At most as many entries as wires.
    std::vector<SocketCanWire> socketcan;
    // Handles (card * 2 + port) of the ports the driver has made network
    // interfaces, as its netdev= parameter does: every request that names
    // such a port (its registers, its handle, its notification, its close)
    // fails with EADDRINUSE; the LED register and REQ_LAST_CLOSE still work.
    std::vector<int> netdev;
};

// Reads the PCI5C3A_VCARD_* environment variables. On a malformed value
// returns nullopt and sets *error to the one-line message naming the variable
// and the accepted forms (no trailing newline).
std::optional<Config> config_from_environment(std::string *error);

// Replaces all virtual cards by fresh ones in their power-up state, built
// from cfg: descriptors handed out before no longer reach the virtual card,
// the remote node restarts, the SocketCAN interfaces' sockets are closed and
// cfg's opened, faults, forced values and the trace's entries are
// cleared (whether the trace is on stays as it was). After the first reset()
// the environment is no longer read. Throws std::invalid_argument, changing
// nothing, for values outside the forms the environment accepts and for a
// SocketCAN interface that cannot be used (the message the environment's
// check prints).
void reset(const Config &cfg = {});

// ---------------------------------------------------------------------------
// Request trace (off until started; bounded, oldest entries dropped)

struct Request {
    int card = -1;  // card of the descriptor
    int fd = -1;
    unsigned long code = 0;         // the ioctl request code
    std::vector<std::uint8_t> in;   // the record's bytes as passed in (empty: null pointer)
    std::vector<std::uint8_t> out;  // the record's bytes after the driver answered
    int result = 0;                 // what ioctl returned
    int error = 0;                  // errno when result is -1

    // Decoding helpers for the common records.
    std::uint32_t addr() const;  // REG_ACCESS addr
    std::uint8_t data() const;   // REG_ACCESS data (in for writes, out for reads)
    int handle() const;          // MODE_SET / MSG_XFER / RCV_COUNT handle
};

// Starts (or resumes) recording, keeping at most capacity entries; entries
// recorded before stay unless they no longer fit. Room for capacity entries
// (about 100 bytes each) is reserved at once, so that recording never
// allocates: a signal handler may issue requests at any moment.
void trace_start(std::size_t capacity = 1u << 20);
void trace_stop();
void trace_clear();
std::vector<Request> trace();            // oldest first
std::string describe(const Request &r);  // the decoded line PCI5C3A_VCARD_TRACE prints (no newline)

// Register accesses (REQ_REG_READ / REQ_REG_WRITE) from the trace, in order.
struct RegisterAccess {
    int card;
    bool write;
    std::uint32_t addr;
    std::uint8_t data;
    int result;
    bool operator==(const RegisterAccess &) const = default;
};
std::vector<RegisterAccess> register_accesses();

// ---------------------------------------------------------------------------
// Fault injection (cleared by reset)

void set_node_missing(int card, bool missing = true);  // open() fails with ENOENT
void fail_setown(bool fail = true);                    // fcntl(F_SETOWN) fails with EINVAL
void fail_sigaction(int signal, bool fail = true);     // sigaction(signal, ...) fails with EINVAL
// Requests with this code answer result (and errno err when result is -1)
// without reaching the driver. They are still traced.
void answer(unsigned long code, int result, int err = 0);
void clear_answer(unsigned long code);
// Reads of addr on card return these values in turn; after the last one the
// model's own value again, or the last value forever when sticky.
void force_read(int card, std::uint32_t addr, std::vector<std::uint8_t> values, bool sticky = false);
void clear_forced_reads();

// ---------------------------------------------------------------------------
// Looking at and feeding the model

// A register or the LED register (addr 64) without any side effect.
std::uint8_t peek(int card, std::uint32_t addr);

// Frames (Frame, remote_node_frame(sequence): the frame the configuration's
// remote node sends as its sequence-th) are declared in hw_types.h.

// A node outside the card transmits one frame at bitrate on the wire of
// card/port: every controller on that wire reacts as to any frame on the bus.
// Returns true when some controller acknowledged it.
bool remote_send(int card, int port, const Frame &frame, unsigned bitrate);

// The name of the remote node's thread (ps -L, top -H and gdb show it). In
// a periodic configuration it asks the scheduler for a 0.1 ms slice, its
// policy and nice value kept: on kernels that take such a request (6.12 on)
// it then sends and raises its signals on time on a busy machine.
inline constexpr char kRemoteNodeThreadName[] = "vcard-remote";
inline constexpr std::uint64_t kRemoteNodeSliceNs = 100000;

// Frames the remote node of the configuration has sent so far.
std::uint64_t remote_frames_sent();
// When the remote node sent its sequence-th frame, as CLOCK_MONOTONIC
// nanoseconds; -1 when it has not sent it, or too long ago (the latest
// 1024 are kept): a program's receive delay and the gaps of the bus itself
// are measured from there.
std::int64_t remote_frame_sent_ns(std::uint64_t sequence);

// Messages waiting in a port's driver queue, and messages lost because the
// queue (kDriverQueueLimit messages) was full.
std::size_t queued(int card, int port);
std::uint64_t queue_dropped(int card, int port);

// Every counter of the receive path, one line per remote node and port,
// each ending in a newline: the lines PCI5C3A_VCARD_STATS writes at exit.
std::string stats();

// Whether the driver's receive notification of a port is on.
bool notification_on(int card, int port);

// The process the driver signals for a card: the owner given by the most
// recent fcntl(F_SETOWN) on any of the card's open descriptors, 0 if none.
int owner(int card);

// The card a descriptor was handed out for, -1 when it is not the virtual
// card's (never handed out, closed, or from before the last reset()).
int descriptor_card(int fd);

}  // namespace vcard
