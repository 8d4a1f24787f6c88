/* SPDX-License-Identifier: MIT */
// A port's fault confinement state, as the SJA1000 shows it, and the
// SocketCAN error frame that reports a change of it.
#ifndef PCI5C3A_GATEWAY_CONTROLLER_STATE_H
#define PCI5C3A_GATEWAY_CONTROLLER_STATE_H

#include <linux/can.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace gateway {

enum class ErrorState { Active, Warning, Passive, BusOff };

const char *state_name(ErrorState state);

// What the gateway reads from a controller at each status poll.
struct ControllerReading {
    std::uint8_t status = 0;     // status register
    std::uint8_t rx_errors = 0;  // receive error counter
    std::uint8_t tx_errors = 0;  // transmit error counter
};

// The state from the status register and the counters: bus-off from BS;
// passive when a counter is above 127 (the controller's error passive
// limit); warning from ES, which follows the programmable warning limit.
ErrorState classify(const ControllerReading &reading);

// The error frame for a change from `from` to `to` (nothing when equal), in
// the layout of linux/can/error.h as Linux's own CAN drivers send it:
// CAN_ERR_CRTL with the warning/passive bit of the counter that is the
// higher one (both on a tie), CAN_ERR_CRTL_ACTIVE on the way back,
// CAN_ERR_BUSOFF, CAN_ERR_RESTARTED when leaving bus-off, and the counters
// in data[6] (transmit) and data[7] (receive).
std::optional<can_frame> state_change_frame(ErrorState from, ErrorState to, const ControllerReading &reading);

// The frames for what the controller went through between two readings.
// Counters only grow one error at a time, so a controller found error
// passive that was active at the last reading passed error warning on its
// way (with the power-up warning limit of 96): a rise reports each state in
// between, with the counters of the reading. A fall reports only where the
// controller ended up.
std::vector<can_frame> state_change_frames(ErrorState from, ErrorState to, const ControllerReading &reading);

}  // namespace gateway

#endif
