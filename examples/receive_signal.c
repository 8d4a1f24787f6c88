// SPDX-License-Identifier: MIT
/*
 * receive_signal.c - be told of received messages by a signal instead of
 * polling.
 *
 * The driver raises signal 63 for port 0 and 62 for port 1 (of any card)
 * once per received message. The handler only counts; the messages are read
 * in the program's normal flow. Port 0 and port 1 of card 0 must be wired to
 * each other:
 *
 *     with-virtual-card ./receive_signal
 */
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <pci_5C3A.h>

#define MESSAGES 5

static volatile sig_atomic_t arrived;

/* Runs asynchronously, between any two instructions of the program: do as
 * little as possible here. */
static void on_receive(int signal_number)
{
    (void)signal_number; /* 62: port 1 of some card */
    arrived++;
}

static const char *event_failure(int rc)
{
    switch (rc) {
    case PCI5C3A_EVENT_NOT_OPEN: return "the port is not open";
    case PCI5C3A_EVENT_DRIVER_REFUSED: return "the driver refused to switch notification on";
    case PCI5C3A_EVENT_NO_OWNER: return "the driver cannot signal this process (F_SETOWN failed)";
    case PCI5C3A_EVENT_NO_HANDLER: return "no handler given";
    case PCI5C3A_EVENT_SIGACTION: return "the signal handler cannot be installed";
    default: return "unknown result";
    }
}

int main(void)
{
    CAN_PACKET msg;
    int tx, rx, rc, waiting, i;

    tx = CanOpenDriver(0, 0);
    rx = CanOpenDriver(0, 1);
    if (tx < 0 || rx < 0) {
        fprintf(stderr, "cannot open the ports of card 0\n");
        return 1;
    }

    /* Install the handler for port 1's signal and switch the driver's
     * notification on. Opening a further card afterwards would set the
     * signals back to ignored. */
    rc = CanGetReceiveEvent(rx, on_receive);
    if (rc != PCI5C3A_OK) {
        fprintf(stderr, "CanGetReceiveEvent failed (%d): %s\n", rc, event_failure(rc));
        return 1;
    }

    /* Send a few messages from port 0 to port 1. */
    for (i = 0; i < MESSAGES; i++) {
        msg = (CAN_PACKET){ 0 };
        msg.id = 0x300 + i;
        msg.len = 1;
        msg.data[0] = (unsigned char)(0xA0 + i);
        CanSendMsg(tx, &msg);
    }

    /* Wait for the signals, at most two seconds; sleeps end early when a
     * signal arrives. */
    for (i = 0; i < 200 && arrived < MESSAGES; i++)
        usleep(10000);
    printf("%d signals for %d messages sent\n", (int)arrived, MESSAGES);

    /* Switch the notification off before closing the port (a closed port
     * refuses it), then read the messages. */
    CanStopReceiveEvent(rx);
    waiting = CanGetRcvCnt(rx);
    for (i = 0; i < waiting; i++) {
        if (CanRcvMsg(rx, &msg) != 0)
            break;
        printf("received id 0x%03X data %02X\n", msg.id, msg.data[0]);
    }

    CanCloseDriver(tx);
    CanCloseDriver(rx);
    return 0;
}
