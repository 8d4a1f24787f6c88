/* SPDX-License-Identifier: MIT */
// The SocketCAN side of a port: one raw CAN socket bound to the interface,
// and what happened to the frames that passed through it.
#ifndef PCI5C3A_GATEWAY_INTERFACE_H
#define PCI5C3A_GATEWAY_INTERFACE_H

#include <linux/can.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace gateway {

// Frames counted at the socket.
struct InterfaceCounters {
    // card -> interface
    std::atomic<std::uint64_t> to_iface{0};
    std::atomic<std::uint64_t> to_iface_lost{0};  // the interface refused them
    std::atomic<std::uint64_t> error_frames{0};   // state changes reported
    // interface -> card, not passed on
    std::atomic<std::uint64_t> other_kind{0};
    std::atomic<std::uint64_t> can_fd{0};
    std::atomic<std::uint64_t> error_in{0};   // error frames from the interface
    std::atomic<std::uint64_t> malformed{0};  // short reads, length codes > 8
    std::atomic<std::uint64_t> overrun{0};    // the socket's buffer overflowed
};

struct Interface {
    int sock = -1;
    std::uint32_t kernel_drops = 0;  // the kernel's count of overflows, as last read
    InterfaceCounters counters;
};

// A raw CAN socket bound to the interface, non-blocking, taking CAN FD and
// error frames too so that they can be counted; or -1 and a message why not.
int open_interface(const std::string &iface, std::string &error);

// Writes one frame; a full transmit queue gets a short wait. False when the
// frame is lost. `gone` is set when the interface no longer exists.
bool write_frame(int sock, const can_frame &frame, bool &gone);

// Writes `count` frames in order, as many per system call as the socket
// takes; a frame it refuses is treated as write_frame() treats it. Returns
// how many were written (the others are lost); `gone` as for write_frame().
std::size_t write_frames(int sock, const can_frame *frames, std::size_t count, bool &gone);

// Reads one frame without waiting. Returns the bytes read, or -1 with
// `err` set (EAGAIN: nothing waiting). Frames the kernel dropped since the
// last read for a full receive buffer are added to counters.overrun.
ssize_t read_frame(Interface &iface, canfd_frame &frame, int &err);

void close_interface(Interface &iface);

}  // namespace gateway

#endif
