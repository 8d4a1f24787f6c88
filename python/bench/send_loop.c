// SPDX-License-Identifier: MIT
/* send_loop.c - the baseline for the python-can send rate: N messages sent
 * with CanSendMsg from C on port 0 of card 0 (port 1 open, to acknowledge),
 * timed. Prints "messages seconds".
 *
 *   cc -O2 -o send_loop send_loop.c -I lib -L build/default/lib -lpci_5C3A
 *   with-virtual-card ./send_loop 2000
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "pci_5C3A.h"

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    int count = argc > 1 ? atoi(argv[1]) : 2000;
    int tx = CanOpenDriver(0, 0);
    int rx = CanOpenDriver(0, 1);
    if (tx < 0 || rx < 0) return 1;
    CAN_PACKET packet;
    memset(&packet, 0, sizeof packet);
    packet.id = 0x123;
    packet.len = 8;
    CAN_PACKET drop;
    double start = now();
    for (int i = 0; i < count; i++) {
        packet.data[0] = (unsigned char)i;
        CanSendMsg(tx, &packet);
        /* keep the receiving queue short, as the python side's reader does */
        for (int n = CanGetRcvCnt(rx); n > 0; n--) CanRcvMsg(rx, &drop);
    }
    printf("%d %.6f\n", count, now() - start);
    CanCloseDriver(rx);
    CanCloseDriver(tx);
    return 0;
}
