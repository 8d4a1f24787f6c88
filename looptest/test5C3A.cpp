// SPDX-License-Identifier: MIT
// test5C3A - loop-back test of a 5C3A card whose two CAN ports are wired to
// each other.
//
// Both ports of card 0 send the same 32 messages; after 5 s each port must
// hold the other's 32 messages, in order and unchanged. The verdict is
// printed, the ports are closed and the program waits for one key.
#include <stdio.h>
#include <unistd.h>

#include "conio.h"
#include "pci_5C3A.h"

static CAN_PACKET sndMsg[32];
static CAN_PACKET rcvMsg0[32];
static CAN_PACKET rcvMsg1[32];
static int rcvPatterns[2];
static int handle[2];

int main(void)
{
    PORT_STRUCT config = {};
    int failed = 0;
    int count0, count1;
    int i, j;

    // Open both ports of card 0.
    handle[0] = CanOpenDriver(0, 0);
    if (handle[0] == PCI5C3A_ERROR) {
        printf("\nOpen Port 0 Failed!!");
        return -1;
    }
    handle[1] = CanOpenDriver(0, 1);
    if (handle[1] == PCI5C3A_ERROR) {
        printf("\nOpen Port 1 Failed!!");
        return -1;
    }

    // Start from empty controller buffers: card 0's ports are handles 0 and 1.
    CanClearRxBuffer(0);
    CanClearTxBuffer(0);
    CanClearRxBuffer(1);
    CanClearTxBuffer(1);

    // Both ports alike: 11-bit identifiers, every identifier accepted, the
    // fastest fixed bit rate.
    config.mode = PCI5C3A_ID_STANDARD;
    config.accCode = 0;
    config.accMask = 0x7FF;
    config.baudrate = PCI5C3A_BAUD_1M;
    CanConfigPort(handle[0], &config);
    CanConfigPort(handle[1], &config);

    rcvPatterns[0] = 0;
    rcvPatterns[1] = 0;

    // Messages 0..31: identifier i, data frame, data bytes 0..7.
    for (i = 0; i < 32; i++) {
        sndMsg[i].id = i;
        sndMsg[i].rtr = 0;
        sndMsg[i].len = 8;
        for (j = 0; j < 8; j++)
            sndMsg[i].data[j] = j;
    }

    printf("Start Transmit %d messages Through PORT1 and PORT2....\n", 32);

    // Each message goes out of port 0, then port 1, then a pause.
    for (i = 0; i < 32; i++) {
        CanSendMsg(handle[0], &sndMsg[i]);
        CanSendMsg(handle[1], &sndMsg[i]);
        usleep(1000);
    }

    // Give the driver time to queue everything; no polling.
    usleep(5000000);

    count0 = CanGetRcvCnt(handle[0]);
    count1 = CanGetRcvCnt(handle[1]);
    printf("Get Receive Message PORT1 %d  PORT2 %d\n", count0, count1);

    // Read back at most 32 messages per port; the rest stay queued.
    for (i = 0; i < count0 && i < 32; i++) {
        CanRcvMsg(handle[0], &rcvMsg0[rcvPatterns[0]]);
        rcvPatterns[0]++;
    }
    for (i = 0; i < count1 && i < 32; i++) {
        CanRcvMsg(handle[1], &rcvMsg1[rcvPatterns[1]]);
        rcvPatterns[1]++;
    }

    // Compare with what was sent. A wrong header (missing, reordered or
    // altered message) ends the examination; a wrong data byte only ends the
    // comparison of that message's data.
    for (i = 0; i < 32; i++) {
        printf("\rexamine %d patterns", i + 1);

        if (rcvMsg0[i].id != sndMsg[i].id || rcvMsg0[i].rtr != sndMsg[i].rtr ||
            rcvMsg0[i].len != sndMsg[i].len) {
            failed = 1;
            break;
        }
        for (j = 0; j < 8; j++) {
            if (rcvMsg0[i].data[j] != sndMsg[i].data[j]) {
                failed = 1;
                break;
            }
        }

        if (rcvMsg1[i].id != sndMsg[i].id || rcvMsg1[i].rtr != sndMsg[i].rtr ||
            rcvMsg1[i].len != sndMsg[i].len) {
            failed = 1;
            break;
        }
        for (j = 0; j < 8; j++) {
            if (rcvMsg1[i].data[j] != sndMsg[i].data[j]) {
                failed = 1;
                break;
            }
        }
    }

    if (failed == 1)
        puts("\ntest failed!!");
    else
        puts("\ntest ok!!");

    CanCloseDriver(handle[0]);
    CanCloseDriver(handle[1]);

    puts("Press any key to exit the program...");
    getch();
    return 0;
}
