// SPDX-License-Identifier: MIT
#include "controller_state.h"

#include <linux/can/error.h>

#include "sja1000.h"

namespace gateway {

namespace {
// Either error counter above this makes the controller error passive.
constexpr unsigned kPassiveLimit = 127;
}  // namespace

const char *state_name(ErrorState state) {
    switch (state) {
    case ErrorState::Active: return "error-active";
    case ErrorState::Warning: return "error-warning";
    case ErrorState::Passive: return "error-passive";
    case ErrorState::BusOff: return "bus-off";
    }
    return "unknown";
}

ErrorState classify(const ControllerReading &reading) {
    if ((reading.status & SR_BS) != 0) return ErrorState::BusOff;
    if (reading.rx_errors > kPassiveLimit || reading.tx_errors > kPassiveLimit) return ErrorState::Passive;
    if ((reading.status & SR_ES) != 0) return ErrorState::Warning;
    return ErrorState::Active;
}

std::optional<can_frame> state_change_frame(ErrorState from, ErrorState to,
                                            const ControllerReading &reading) {
    if (from == to) return std::nullopt;
    can_frame frame{};
    // No CAN_ERR_CNT: Debian 12's candump (can-utils 2020.11) refuses to
    // decode a frame with a class bit it does not know, and the counters
    // are in data[6]/data[7] all the same.
    frame.can_id = CAN_ERR_FLAG;
    frame.len = CAN_ERR_DLC;
    frame.data[6] = reading.tx_errors;
    frame.data[7] = reading.rx_errors;

    if (from == ErrorState::BusOff) frame.can_id |= CAN_ERR_RESTARTED;
    switch (to) {
    case ErrorState::BusOff: frame.can_id |= CAN_ERR_BUSOFF; break;
    case ErrorState::Active:
        frame.can_id |= CAN_ERR_CRTL;
        frame.data[1] = CAN_ERR_CRTL_ACTIVE;
        break;
    case ErrorState::Warning:
    case ErrorState::Passive: {
        // Like the kernel's can_change_state(): the direction whose counter
        // is the higher one changed state.
        const bool tx = reading.tx_errors >= reading.rx_errors;
        const bool rx = reading.rx_errors >= reading.tx_errors;
        const bool warning = to == ErrorState::Warning;
        frame.can_id |= CAN_ERR_CRTL;
        if (tx) frame.data[1] |= warning ? CAN_ERR_CRTL_TX_WARNING : CAN_ERR_CRTL_TX_PASSIVE;
        if (rx) frame.data[1] |= warning ? CAN_ERR_CRTL_RX_WARNING : CAN_ERR_CRTL_RX_PASSIVE;
        break;
    }
    }
    return frame;
}

std::vector<can_frame> state_change_frames(ErrorState from, ErrorState to, const ControllerReading &reading) {
    std::vector<can_frame> frames;
    ErrorState at = from;
    if (to > from) {
        // Each step up, warning and passive passed on the way to bus-off
        // included. A warning limit above 127 makes passive come first;
        // the status register's ES then tells nothing in between.
        while (at < to) {
            const auto next = static_cast<ErrorState>(static_cast<int>(at) + 1);
            frames.push_back(*state_change_frame(at, next, reading));
            at = next;
        }
    } else if (const auto frame = state_change_frame(from, to, reading)) {
        frames.push_back(*frame);
    }
    return frames;
}

}  // namespace gateway
