// SPDX-License-Identifier: MIT
/*
 * open_send_receive.c - open two ports, configure them, send on one and
 * receive on the other.
 *
 * Port 0 and port 1 of card 0 must be wired to each other, as they are on
 * the virtual card by default:
 *
 *     with-virtual-card ./open_send_receive
 */
#include <stdio.h>
#include <unistd.h>

#include <pci_5C3A.h>

int main(void)
{
    static const unsigned ids[] = { 0x123, 0x200, 0x1AB };
    PORT_STRUCT cfg = { 0 };
    CAN_PACKET msg;
    int tx, rx, waiting, i, j;

    /* Open both ports of card 0. A handle is card * 2 + port. */
    tx = CanOpenDriver(0, 0);
    rx = CanOpenDriver(0, 1);
    if (tx < 0 || rx < 0) {
        fprintf(stderr, "cannot open the ports of card 0\n");
        return 1;
    }

    /* Both ports alike: 11-bit identifiers at 500 kbit/s. The
     * filter passes identifiers 0x100 to 0x1FF: a mask bit of 1 means
     * "don't care", so only the bits above the low eight must match. */
    cfg.mode = PCI5C3A_ID_STANDARD;
    cfg.accCode = 0x100;
    cfg.accMask = 0x0FF;
    cfg.baudrate = PCI5C3A_BAUD_500K;
    if (CanConfigPort(tx, &cfg) != 0 || CanConfigPort(rx, &cfg) != 0) {
        fprintf(stderr, "cannot configure the ports\n");
        return 1;
    }

    /* Send three data frames of four bytes; 0x200 does not pass the
     * receiver's filter. Each send pauses 1 ms first. */
    for (i = 0; i < 3; i++) {
        msg = (CAN_PACKET){ 0 };
        msg.id = ids[i];
        msg.len = 4;
        for (j = 0; j < 4; j++)
            msg.data[j] = (unsigned char)(i + j);
        if (CanSendMsg(tx, &msg) != 0) {
            fprintf(stderr, "the driver refused message 0x%03X\n", ids[i]);
            return 1;
        }
        printf("sent     id 0x%03X\n", ids[i]);
    }

    /* Give the frames time to arrive: at most one second. */
    for (i = 0; i < 100 && CanGetRcvCnt(rx) < 2; i++)
        usleep(10000);

    /* Take what the driver holds for the receiving port, oldest first. */
    waiting = CanGetRcvCnt(rx);
    printf("%d messages waiting\n", waiting);
    for (i = 0; i < waiting; i++) {
        if (CanRcvMsg(rx, &msg) != 0)
            break;
        printf("received id 0x%03X, %u bytes:", msg.id, msg.len);
        for (j = 0; j < msg.len && j < 8; j++)
            printf(" %02X", msg.data[j]);
        printf("\n");
    }

    CanCloseDriver(tx);
    CanCloseDriver(rx);
    return 0;
}
