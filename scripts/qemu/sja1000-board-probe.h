// SPDX-License-Identifier: MIT
/*
 * sja1000-board-probe.h - what the raw probes of QEMU's direct-decode
 * SJA1000 boards (pcm3680_pci, mioe3680_pci) share: the two boards, finding
 * one in sysfs with its two I/O BARs (one controller each), and register
 * access by channel. For static probe programs run in a test guest with no
 * driver bound to the board; each includes it once.
 */
#ifndef SJA1000_BOARD_PROBE_H
#define SJA1000_BOARD_PROBE_H

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/io.h>

#include "sja1000.h"

#define IORESOURCE_IO 0x100UL

struct board {
    const char *name;
    unsigned int device; /* PCI device ID, vendor 0x13fe */
    unsigned int stride; /* bytes between registers */
};

static const struct board boards[] = {
    {"pcm3680", 0xc002, 1},
    {"mioe3680", 0xc302, 4},
};

static unsigned long base[2];
static unsigned int stride;

static void wr(int ch, unsigned int reg, unsigned int val) {
    outb((unsigned char)val, (unsigned short)(base[ch] + reg * stride));
}

static unsigned int rd(int ch, unsigned int reg) { return inb((unsigned short)(base[ch] + reg * stride)); }

static unsigned long read_hex(const char *dir, const char *file) {
    char path[512];
    unsigned long v = 0;
    FILE *f;

    snprintf(path, sizeof(path), "%s/%s", dir, file);
    f = fopen(path, "r");
    if (!f) return 0;
    if (fscanf(f, "%lx", &v) != 1) v = 0;
    fclose(f);
    return v;
}

/* Finds the board and its two I/O BARs; enables its I/O decoding. */
static int find_board(const struct board *b, unsigned long *len) {
    DIR *d = opendir("/sys/bus/pci/devices");
    struct dirent *e;
    char dir[300], path[320];
    int found = 0;

    if (!d) {
        perror("/sys/bus/pci/devices");
        return -1;
    }
    while (!found && (e = readdir(d))) {
        unsigned long start, end, flags;
        FILE *f;
        int bar;

        if (e->d_name[0] == '.') continue;
        snprintf(dir, sizeof(dir), "/sys/bus/pci/devices/%s", e->d_name);
        if (read_hex(dir, "vendor") != 0x13fe || read_hex(dir, "device") != b->device) continue;
        snprintf(path, sizeof(path), "%s/resource", dir);
        f = fopen(path, "r");
        if (!f) {
            perror(path);
            break;
        }
        for (bar = 0; bar < 2; bar++) {
            if (fscanf(f, "%lx %lx %lx", &start, &end, &flags) != 3 || !(flags & IORESOURCE_IO) ||
                start == 0 || end < start)
                break;
            base[bar] = start;
            len[bar] = end - start + 1;
        }
        fclose(f);
        if (bar < 2) {
            fprintf(stderr, "%s: BAR%d is no assigned I/O BAR\n", dir, bar);
            break;
        }
        snprintf(path, sizeof(path), "%s/enable", dir);
        f = fopen(path, "w");
        if (!f || fputs("1", f) < 0 || fclose(f) != 0) {
            perror(path);
            break;
        }
        printf("board %s at %s, BARs 0x%lx 0x%lx\n", b->name, e->d_name, base[0], base[1]);
        found = 1;
    }
    closedir(d);
    return found ? 0 : -1;
}

/* The board the command line names (pcm3680 or mioe3680) found, its
 * registers reachable: 0, or the exit status (2 usage, 1 no board). */
static int open_board(int argc, char **argv) {
    const struct board *b = NULL;
    unsigned long len[2] = {0, 0};
    unsigned int i;
    int ch;

    for (i = 0; argc == 2 && i < sizeof(boards) / sizeof(boards[0]); i++)
        if (strcmp(argv[1], boards[i].name) == 0) b = &boards[i];
    if (!b) {
        fprintf(stderr, "usage: %s pcm3680|mioe3680\n", argv[0]);
        return 2;
    }
    stride = b->stride;
    if (find_board(b, len) < 0) {
        fprintf(stderr, "no %s board (13fe:%04x) with two I/O BARs\n", b->name, b->device);
        return 1;
    }
    for (ch = 0; ch < 2; ch++) {
        if (len[ch] < REG_COUNT * stride || ioperm(base[ch], REG_COUNT * stride, 1) < 0) {
            perror("ioperm");
            return 1;
        }
    }
    return 0;
}

#endif /* SJA1000_BOARD_PROBE_H */
