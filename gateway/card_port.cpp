// SPDX-License-Identifier: MIT
#include "card_port.h"

#include <linux/can.h>

#include "sja1000.h"

namespace gateway {

namespace {

using std::chrono::milliseconds;

PORT_STRUCT config_for(const PortBridge &bridge, bool extended) {
    PORT_STRUCT cfg{};
    cfg.mode = extended ? PCI5C3A_ID_EXTENDED : PCI5C3A_ID_STANDARD;
    cfg.accCode = 0;
    cfg.accMask = extended ? CAN_EFF_MASK : CAN_SFF_MASK;  // every identifier
    cfg.baudrate = bridge.timing.index;
    if (bridge.timing.index == PCI5C3A_BAUD_USER) {
        cfg.brp = bridge.timing.brp;
        cfg.tseg1 = bridge.timing.tseg1;
        cfg.tseg2 = bridge.timing.tseg2;
        cfg.sjw = bridge.timing.sjw;
    }
    return cfg;
}

std::string port_text(const PortBridge &bridge) {
    return "card " + std::to_string(bridge.card) + " port " + std::to_string(bridge.port);
}

// Longest wait for a frame still in the transmit buffer: three frames of
// the longest kind (about 160 bits) at the port's rate, at least 2 ms.
milliseconds transmit_wait(const PortBridge &bridge) {
    const auto ms = (3 * 160 * 1000) / static_cast<long long>(bridge.timing.bitrate) + 1;
    return milliseconds{ms < 2 ? 2 : ms};
}

// The sender thread of one port: interface frames to the card, one at a
// time. The driver refuses a frame while the previous one is still in the
// controller's transmit buffer, and CanSendMsg does not report that, so the
// buffer is checked first (only this thread sends on the port, so a
// released buffer stays released until the send).
void sender(CardPort &port) {
    const milliseconds wait = transmit_wait(port.bridge);
    while (auto packet = port.queue.pop()) {
        std::lock_guard lock(port.controller);
        const auto deadline = Clock::now() + wait;
        bool ready = false;
        for (;;) {
            const unsigned status = _5C3A_Read(port.handle, REG_SR);
            if ((status & SR_BS) != 0) break;
            if ((status & SR_TBS) != 0) {
                ready = true;
                break;
            }
            if (Clock::now() >= deadline) break;
            std::this_thread::sleep_for(milliseconds{1});
        }
        if (!ready) {
            ++port.counters.busy;
            continue;
        }
        CanSendMsg(port.handle, &*packet);
        ++port.counters.to_card;
    }
}

}  // namespace

bool open_card_port(CardPort &port, std::string &error) {
    const std::string what = port_text(port.bridge);
    port.handle = CanOpenDriver(port.bridge.card, port.bridge.port);
    if (port.handle < 0) {
        error = what + ": cannot open (no card " + std::to_string(port.bridge.card) +
                ", or its device /dev/PCI5C3AW" + std::to_string(port.bridge.card) + " is not accessible)";
        return false;
    }
    port.open = true;
    port.config = config_for(port.bridge, port.extended);
    if (CanConfigPort(port.handle, &port.config) != PCI5C3A_OK) {
        error = what + ": the configuration was refused";
        return false;
    }
    // Configuring ends by leaving reset mode; a controller still in it
    // neither receives nor sends.
    if ((_5C3A_Read(port.handle, REG_MOD) & MOD_RM) != 0) {
        error = what + ": the controller stays in reset mode";
        return false;
    }
    port.warning_limit = CanGetErrorWarningLimit(port.handle);
    return true;
}

bool start_receive_events(CardPort &port, void (*handler)(int), std::string &error) {
    const int result = CanGetReceiveEvent(port.handle, handler);
    if (result == PCI5C3A_OK) return true;
    const std::string what = port_text(port.bridge);
    switch (result) {
    case PCI5C3A_EVENT_NOT_OPEN: error = what + ": the port is not open for receive notification"; break;
    case PCI5C3A_EVENT_DRIVER_REFUSED: error = what + ": the driver refused receive notification"; break;
    case PCI5C3A_EVENT_NO_OWNER:
        error = what + ": the driver does not signal this process (F_SETOWN refused)";
        break;
    case PCI5C3A_EVENT_NO_HANDLER: error = what + ": no receive signal handler was given"; break;
    case PCI5C3A_EVENT_SIGACTION: error = what + ": cannot install the receive signal handler"; break;
    default: error = what + ": receive notification failed (" + std::to_string(result) + ")"; break;
    }
    return false;
}

// With a warning limit up to 128 a controller without ES has both counters
// below it, so it is error active and the counters need not be read (an
// idle gateway then makes one driver request per port and reading).
ControllerReading read_controller(const CardPort &port) {
    PORT_STATUS status{};
    CanGetPortStatus(port.handle, &status);
    ControllerReading reading{status.status, 0, 0};
    if ((status.status & (SR_ES | SR_BS)) != 0 || port.warning_limit > 128 ||
        port.state != ErrorState::Active) {
        reading.rx_errors = static_cast<std::uint8_t>(CanGetRxErrorCount(port.handle));
        reading.tx_errors = static_cast<std::uint8_t>(CanGetTxErrorCount(port.handle));
    }
    return reading;
}

void start_sender(CardPort &port) { port.sender = std::thread(sender, std::ref(port)); }

void close_card_port(CardPort &port) {
    if (!port.open) return;
    CanStopReceiveEvent(port.handle);
    CanCloseDriver(port.handle);
    port.open = false;
}

}  // namespace gateway
