// SPDX-License-Identifier: MIT
/*
 * error_counters.c - read a port's error counters, warning limit and error
 * code capture, and bring the transmit counter back to 0.
 *
 * Only port 0 of card 0 is opened. Port 1 stays in reset mode, so nothing on
 * the cable acknowledges port 0's message: the controller counts an
 * acknowledgement error per attempt (8 each) until it is error passive
 * (counter 128), and keeps the message pending.
 *
 *     with-virtual-card ./error_counters
 */
#include <stdio.h>
#include <unistd.h>

#include <pci_5C3A.h>

/* Error code capture (SJA1000 register 12): bits 7-6 the error type, bit 5
 * the direction, bits 4-0 where in the frame the error occurred. */
static const char *error_type(int code)
{
    static const char *const types[] = { "bit error", "form error", "stuff error", "other error" };
    return types[(code >> 6) & 3];
}

static const char *frame_segment(int code)
{
    switch (code & 0x1F) {
    case 0x03: return "start of frame";
    case 0x02: return "ID.28 to ID.21";
    case 0x06: return "ID.20 to ID.18";
    case 0x04: return "bit SRTR";
    case 0x05: return "bit IDE";
    case 0x07: return "ID.17 to ID.13";
    case 0x0F: return "ID.12 to ID.5";
    case 0x0E: return "ID.4 to ID.0";
    case 0x0C: return "bit RTR";
    case 0x0D: return "reserved bit 1";
    case 0x09: return "reserved bit 0";
    case 0x0B: return "data length code";
    case 0x0A: return "data field";
    case 0x08: return "CRC sequence";
    case 0x18: return "CRC delimiter";
    case 0x19: return "acknowledge slot";
    case 0x1B: return "acknowledge delimiter";
    case 0x1A: return "end of frame";
    case 0x12: return "intermission";
    case 0x11: return "active error flag";
    case 0x16: return "passive error flag";
    case 0x13: return "tolerate dominant bits";
    case 0x17: return "error delimiter";
    case 0x1C: return "overload flag";
    default: return "unknown segment";
    }
}

static void show(const char *when, int port)
{
    PORT_STATUS status;

    CanGetPortStatus(port, &status);
    printf("%-22s tx errors %3d, rx errors %3d, warning limit %3d, status 0x%02X%s%s\n", when,
           CanGetTxErrorCount(port), CanGetRxErrorCount(port), CanGetErrorWarningLimit(port), status.status,
           (status.status & 0x40) ? " (error warning)" : "", (status.status & 0x80) ? " (bus-off)" : "");
}

int main(void)
{
    CAN_PACKET msg = { 0 };
    int port, code;

    port = CanOpenDriver(0, 0);
    if (port < 0) {
        fprintf(stderr, "cannot open port 0 of card 0\n");
        return 1;
    }
    show("after open:", port);

    /* A lower warning limit: the status register's error bit (0x40) comes
     * on when a counter reaches it. */
    CanSetErrorWarningLimit(port, 64);

    /* One message that nobody acknowledges. */
    msg.id = 0x55;
    msg.len = 1;
    CanSendMsg(port, &msg);
    usleep(100000);
    show("unacknowledged send:", port);

    /* The controller captured the last error; reading re-arms the capture. */
    code = CanGetErrorCode(port);
    printf("error code 0x%02X: %s in the %s, while %s\n", code, error_type(code), frame_segment(code),
           (code & 0x20) ? "receiving" : "transmitting");

    /* Abort the pending message and set the transmit counter back to 0 (both
     * take effect through reset mode). */
    CanClearTxBuffer(port);
    CanSetTxErrorCount(port, 0);
    show("after reset of count:", port);

    CanCloseDriver(port);
    return 0;
}
