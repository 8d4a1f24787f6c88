/* SPDX-License-Identifier: MIT */
// Signals to the poll loop. The card's receive signals (one per frame the
// driver queues) are blocked in every thread and read in bulk from a
// signalfd, so no handler runs per frame; SIGINT, SIGTERM and SIGUSR1 have
// handlers that write one byte to a self-pipe. The loop polls both with the
// sockets.
#ifndef PCI5C3A_GATEWAY_WAKEUP_H
#define PCI5C3A_GATEWAY_WAKEUP_H

#include <string>

namespace gateway {

// Bytes the signal handlers write to the self-pipe.
inline constexpr char kWakePort0 = '0';     // receive signal of port 0 (any card), see on_receive_signal
inline constexpr char kWakePort1 = '1';     // receive signal of port 1 (any card)
inline constexpr char kWakeStop = 'T';      // SIGINT, SIGTERM
inline constexpr char kWakeCounters = 'U';  // SIGUSR1

// Creates the self-pipe and installs the handlers of SIGINT, SIGTERM and
// SIGUSR1. Returns the pipe's read end (non-blocking), or -1 with `error`
// set. A stop signal from then on is kept in the pipe until the loop reads
// it.
int open_wakeup(std::string &error);

// Blocks the card's receive signals in the calling thread and returns a
// signalfd (non-blocking) that reads them, or -1 with `error` set. Called
// before any thread starts, so that every thread inherits the mask: a
// process-directed signal then stays pending until the loop reads it.
int open_receive_signals(std::string &error);

// Which port numbers the receive signals waiting in `fd` name; reads all of
// them (many per read) and reports whether any was read.
struct ReceiveSignals {
    bool port0 = false;
    bool port1 = false;
};
bool read_receive_signals(int fd, ReceiveSignals &seen);

// The handler to give CanGetReceiveEvent, which wants one to switch the
// driver's notification on. While the receive signals are blocked it never
// runs; should one run (a thread that did not inherit the mask), it wakes
// the loop through the self-pipe with kWakePort0 or kWakePort1.
void on_receive_signal(int sig);

}  // namespace gateway

#endif
