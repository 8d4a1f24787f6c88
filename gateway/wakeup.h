/* SPDX-License-Identifier: MIT */
// Signals to the poll loop: the handlers of the card's receive signals and of
// SIGINT, SIGTERM and SIGUSR1 only write one byte to a self-pipe, which the
// loop polls with the sockets.
#ifndef PCI5C3A_GATEWAY_WAKEUP_H
#define PCI5C3A_GATEWAY_WAKEUP_H

#include <string>

namespace gateway {

// Bytes the signal handlers write to the self-pipe.
inline constexpr char kWakePort0 = '0';     // receive signal of port 0 (any card)
inline constexpr char kWakePort1 = '1';     // receive signal of port 1 (any card)
inline constexpr char kWakeStop = 'T';      // SIGINT, SIGTERM
inline constexpr char kWakeCounters = 'U';  // SIGUSR1

// Creates the self-pipe and installs the handlers of SIGINT, SIGTERM and
// SIGUSR1. Returns the pipe's read end (non-blocking), or -1 with `error`
// set. A stop signal from then on is kept in the pipe until the loop reads
// it.
int open_wakeup(std::string &error);

// The handler to give CanGetReceiveEvent: it wakes the loop with kWakePort0
// or kWakePort1 by the signal's number.
void on_receive_signal(int sig);

}  // namespace gateway

#endif
