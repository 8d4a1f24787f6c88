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

namespace vcard {

// ---------------------------------------------------------------------------
// Configuration

enum class Wiring {
    loopback,  // each card's two ports on one cable
    separate,  // every port on a wire of its own
    shared     // all ports of all cards on one bus
};

// A node outside the card, present on every wire, that transmits a data
// frame every period_ms at bitrate bit/s and acknowledges frames sent at
// its bit rate.
struct RemoteNode {
    unsigned bitrate = 0;      // bit/s; 16 MHz / bitrate must be a whole number
    unsigned period_ms = 10;
};

// Changes applied to the frames a port's driver queue receives, so that the
// loop-back test's failure situations can be produced without a special build.
// index counts the frames queued for the handle's port since reset, from 0;
// every_frame applies the rule to all of them.
struct Tamper {
    enum class Kind {
        id,         // replace the identifier by value
        data,       // replace data byte `byte` (0..7) by value
        drop,       // do not queue the frame
        duplicate   // queue the frame value more times
    };
    int handle = 0;            // card * 2 + port
    unsigned index = 0;
    bool every_frame = false;
    Kind kind = Kind::drop;
    unsigned byte = 0;
    std::uint32_t value = 0;
};

struct Config {
    int cards = 1;                     // cards 0..cards-1 are present, 0..4
    Wiring wiring = Wiring::loopback;
    std::optional<RemoteNode> remote;
    std::vector<Tamper> tamper;
    std::string trace_path;            // "" off, "-" standard error, else a file
};

// Reads the PCI5C3A_VCARD_* environment variables. On a malformed value
// returns nullopt and sets *error to the one-line message naming the variable
// and the accepted forms (no trailing newline).
std::optional<Config> config_from_environment(std::string *error);

// Replaces all virtual cards by fresh ones in their power-up state, built
// from cfg: descriptors handed out before no longer reach the virtual card,
// the remote node restarts, faults, forced values and the trace are cleared.
// After the first reset() the environment is no longer read.
void reset(const Config &cfg = {});

// ---------------------------------------------------------------------------
// Request trace (off until started; bounded, oldest entries dropped)

struct Request {
    int card = -1;                    // card of the descriptor
    int fd = -1;
    unsigned long code = 0;           // the ioctl request code
    std::vector<std::uint8_t> in;     // the record's bytes as passed in (empty: null pointer)
    std::vector<std::uint8_t> out;    // the record's bytes after the driver answered
    int result = 0;                   // what ioctl returned
    int error = 0;                    // errno when result is -1

    // Decoding helpers for the common records.
    std::uint32_t addr() const;       // REG_ACCESS addr
    std::uint8_t data() const;        // REG_ACCESS data (in for writes, out for reads)
    int handle() const;               // MODE_SET / MSG_XFER / RCV_COUNT handle
};

void trace_start(std::size_t capacity = 1u << 20);
void trace_stop();
void trace_clear();
std::vector<Request> trace();                // oldest first
std::string describe(const Request &r);      // the decoded line PCI5C3A_VCARD_TRACE prints (no newline)

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

void set_node_missing(int card, bool missing = true);   // open() fails with ENOENT
void fail_setown(bool fail = true);                     // fcntl(F_SETOWN) fails with EINVAL
void fail_sigaction(int signal, bool fail = true);      // sigaction(signal, ...) fails with EINVAL
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

struct Frame {
    std::uint32_t id = 0;
    bool extended = false;
    bool rtr = false;
    std::uint8_t len = 0;                 // data length code 0..8
    std::array<std::uint8_t, 8> data{};
    bool operator==(const Frame &) const = default;
};

// A node outside the card transmits one frame at bitrate on the wire of
// card/port: every controller on that wire reacts as to any frame on the bus.
// Returns true when some controller acknowledged it.
bool remote_send(int card, int port, const Frame &frame, unsigned bitrate);

// Frames the remote node of the configuration has sent so far.
std::uint64_t remote_frames_sent();

// Messages waiting in a port's driver queue, and messages lost because the
// queue (1024 messages) was full.
std::size_t queued(int card, int port);
std::uint64_t queue_dropped(int card, int port);

// Whether the driver's receive notification of a port is on.
bool notification_on(int card, int port);

// The owner set by fcntl(F_SETOWN) on the card's most recent descriptor, 0 if none.
int owner(int card);

}  // namespace vcard
