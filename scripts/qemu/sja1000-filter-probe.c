// SPDX-License-Identifier: MIT
/*
 * sja1000-filter-probe.c - raw check of an emulated two-channel SJA1000 PCI
 * board's acceptance filter, run as a static program in a test guest with
 * both channels on one CAN bus and no driver bound to the board.
 *
 *   sja1000-filter-probe pcm3680|mioe3680
 *
 * It finds the board's two I/O BARs (one controller each) in sysfs, enables
 * the device, programs both controllers the way the library's CanConfigPort
 * programs a port for its default filter (standard identifiers, code 0, mask
 * 0x7FF: accept every identifier) at 500 kbit/s, sends standard data frames
 * with identifiers 1..8 from channel 0 and counts what channel 1 receives.
 * Prints "received N of 8 (ids: ...)"; a controller model whose filter is
 * right passes all 8. Polls only: interrupts stay unhandled.
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>
#include <time.h>

#include "sja1000-board-probe.h"
#include "sja1000.h"

#define FRAMES 8

/* The writes CanConfigPort makes for standard identifiers, acceptance code
 * CODE and mask MASK (a 1 is "don't care") and the 500 kbit/s bus timing. */
static int configure(int ch, unsigned int code, unsigned int mask) {
    wr(ch, REG_IER, 0x00);
    wr(ch, REG_MOD, MOD_RM);
    wr(ch, REG_CDR, CDR_CARD);
    if (!(rd(ch, REG_MOD) & MOD_RM)) {
        fprintf(stderr, "channel %d: no SJA1000 in reset mode\n", ch);
        return -1;
    }
    wr(ch, REG_ACR2, 0x00);
    wr(ch, REG_ACR3, 0x00);
    wr(ch, REG_AMR2, 0xFF);
    wr(ch, REG_AMR3, 0xFF);
    wr(ch, REG_ACR0, (code >> 3) & 0xFF);
    wr(ch, REG_ACR1, ((code << 5) | AF_SFF_RTR) & 0xFF);
    wr(ch, REG_AMR0, (mask >> 3) & 0xFF);
    wr(ch, REG_AMR1, ((mask << 5) | AF_SFF_RTR) & 0xFF);
    wr(ch, REG_BTR0, 0x00);
    wr(ch, REG_BTR1, 0x1C);
    wr(ch, REG_OCR, OCR_CARD);
    /* Leaving reset mode in the same write selects the single filter. */
    wr(ch, REG_MOD, MOD_AFM);
    wr(ch, REG_IER, IRQ_RI | IRQ_TI);
    if (rd(ch, REG_MOD) & MOD_RM) {
        fprintf(stderr, "channel %d: stays in reset mode\n", ch);
        return -1;
    }
    return 0;
}

static double now(void) {
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

/* Waits, at most a second, until all of BITS are set in channel CH's status. */
static int wait_status(int ch, unsigned int bits) {
    double limit = now() + 1.0;

    while ((rd(ch, REG_SR) & bits) != bits)
        if (now() > limit) return -1;
    return 0;
}

static int send_std(int ch, unsigned int id) {
    if (wait_status(ch, SR_TBS) < 0) {
        fprintf(stderr, "channel %d: transmit buffer never released\n", ch);
        return -1;
    }
    wr(ch, REG_FRAME, 1); /* standard data frame, 1 data byte */
    wr(ch, REG_FRAME + 1, (id >> 3) & 0xFF);
    wr(ch, REG_FRAME + 2, (id << STD_ID_SHIFT) & 0xE0);
    wr(ch, REG_FRAME + 3, id & 0xFF);
    wr(ch, REG_CMR, CMD_TR);
    return wait_status(ch, SR_TBS | SR_TCS);
}

/* Reads and releases every frame waiting on channel CH; notes identifiers. */
static int drain(int ch, unsigned int *ids, int max) {
    int n = 0, guard;

    for (guard = 0; guard < 64 && (rd(ch, REG_SR) & SR_RBS); guard++) {
        unsigned int fi = rd(ch, REG_FRAME);
        unsigned int id;

        if (fi & FI_FF)
            id = (rd(ch, REG_FRAME + 1) << 21) | (rd(ch, REG_FRAME + 2) << 13) |
                 (rd(ch, REG_FRAME + 3) << 5) | (rd(ch, REG_FRAME + 4) >> 3);
        else id = (rd(ch, REG_FRAME + 1) << 3) | (rd(ch, REG_FRAME + 2) >> STD_ID_SHIFT);
        wr(ch, REG_CMR, CMD_RRB);
        if (n < max) ids[n] = id;
        n++;
    }
    return n;
}

int main(int argc, char **argv) {
    unsigned int ids[64];
    unsigned int i;
    int ch, n;
    int status = open_board(argc, argv);

    if (status) return status;
    for (ch = 0; ch < 2; ch++)
        if (configure(ch, 0, SJA1000_STD_ID_MASK) < 0) return 1;
    drain(1, ids, 0);
    for (i = 1; i <= FRAMES; i++)
        if (send_std(0, i) < 0) {
            fprintf(stderr, "channel 0: frame %u not sent\n", i);
            return 1;
        }
    n = drain(1, ids, (int)(sizeof(ids) / sizeof(ids[0])));
    printf("received %d of %d (ids:", n, FRAMES);
    for (i = 0; i < (unsigned int)n && i < sizeof(ids) / sizeof(ids[0]); i++) printf(" %u", ids[i]);
    printf(")\n");
    return 0;
}
