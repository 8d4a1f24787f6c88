/* SPDX-License-Identifier: MIT */
// process_socketcan.h - wires joined to SocketCAN interfaces: a raw CAN
// socket per joined wire (the wire's ExternalBus), and the thread that
// services what arrives on those sockets while the program issues no
// request. Part of the process glue; private to vcard/.
//
// A frame a controller sends is written to the interface on the request
// path, under the driver's lock: no allocation there. The service thread
// reads the sockets, puts their frames on the wires and runs the driver's
// interrupt handler, all under the lock (Locked), and raises the driver's
// signals once the lock is released; every signal is blocked on it, so no
// application handler ever runs there.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hw_types.h"
#include "hw_wire.h"
#include "vcard.h"

namespace vcard::detail {

struct State;  // process.h

// How long a frame written to an interface that reports its transmissions
// (IFF_ECHO: the echo of one's own frame, MSG_CONFIRM) may wait for that
// report before it counts as one acknowledge error; the wait then goes on.
constexpr std::chrono::milliseconds kConfirmationWait{100};

// What went wrong opening a wire's socket: the call (or socket option) and
// its errno. With a socket, an option refused that costs only the trace of
// ignored frames.
struct SocketTrouble {
    const char *call = nullptr;
    int error = 0;
};

// One wire's socket on its interface.
class SocketCanPort : public ExternalBus {
public:
    Sent send(const Frame &frame, BitTime bit_time) override;

    State *state = nullptr;
    int wire_index = 0;
    Wire *wire = nullptr;
    int fd = -1;
    unsigned ifindex = 0;
    char name[16] = {};               // the interface's name, for the trace
    bool reports_sent = false;        // IFF_ECHO: acknowledged on the echo, not on the write
    std::optional<BitTime> bit_time;  // of the interface's frames (@BITRATE)
    std::uint64_t written = 0;        // frames written, and echoes of them read:
    std::uint64_t echoed = 0;         // a frame is confirmed when all are back
    std::chrono::steady_clock::time_point deadline{};
    int wake_fd = -1;       // the service thread's, to look at the new deadline
    SocketTrouble trouble;  // of the socket's opening, reported once the wire is joined
};

// The sockets of one configuration and their service thread.
struct SocketCanLinks {
    std::vector<std::unique_ptr<SocketCanPort>> ports;
    int wake_fd = -1;                     // eventfd: stop, or a new deadline
    std::unique_ptr<std::thread> thread;  // released, never joined, in a child after fork
    bool stop = false;                    // under State::mutex
};

// Opens a socket on every interface cfg names and checks it (CAN sockets
// exist, the interface exists and is a CAN interface). Call without the
// lock. Returns null when cfg names none; on failure null with *error the
// one-line message, quoting `shown` as the variable's value.
std::unique_ptr<SocketCanLinks> open_socketcan(const Config &cfg, const std::string &shown,
                                               std::string *error);
// PCI5C3A_VCARD_SOCKETCAN's value for cfg's entries (for messages of reset()).
std::string socketcan_text(const std::vector<SocketCanWire> &wires);
// Under the lock, once s.hardware is built: joins the wires to s.socketcan's
// sockets and starts the service thread.
void start_socketcan(State &s);
// Asks the service thread to stop (under the lock)...
void stop_socketcan(SocketCanLinks &links);
// ...then, without the lock, joins it and closes the sockets.
void close_socketcan(std::unique_ptr<SocketCanLinks> links);
// In the child after fork, under the lock: the sockets were the parent's
// (reading them would take the parent's frames) and the thread did not come
// along; the child gets sockets of its own on the same interfaces and a
// service thread of its own.
void socketcan_after_fork_in_child(State &s);

}  // namespace vcard::detail
