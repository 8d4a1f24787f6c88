// SPDX-License-Identifier: MIT
// conio.cpp - single-key input from the console.
//
// The System V terminal record (struct termio, TCGETA/TCSETAF) is used on
// descriptor 0. Every switch, into raw mode and back, goes through TCSETAF:
// the line discipline first drains the output already written and then
// discards input received but not yet read, so a key typed before the call
// never answers it and the rest of a multi-byte key sequence is dropped.
#include "conio.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Raw mode: no signals from the interrupt/quit/suspend characters, no line
// editing, no echo; every other local-mode bit kept.
static const unsigned short RAW_LFLAG = static_cast<unsigned short>(~(ISIG | ICANON | ECHO));
static_assert(RAW_LFLAG == 0xFFF4, "ISIG, ICANON and ECHO are bits 0, 1 and 3");
static_assert(sizeof(struct termio) == 18, "the System V terminal record");

void restore(const struct termio *saved)
{
    if (ioctl(0, TCSETAF, saved) == -1) {
        perror("ioctl");
        exit(5);
    }
}

// One byte from standard input in raw mode: the current settings into
// *saved (not a terminal ends here with nothing changed), raw mode with the
// given VMIN and VTIME, then one read; an interrupted read is a failure, not
// retried. Returns what read returned, 0 or 1, with raw mode still on: the
// caller puts *saved back.
static ssize_t read_raw(cc_t vmin, cc_t vtime, char *byte, struct termio *saved)
{
    struct termio tty;
    if (ioctl(0, TCGETA, &tty) == -1) {
        perror("ioctl");
        exit(1);
    }
    *saved = tty;

    tty.c_lflag &= RAW_LFLAG;
    tty.c_cc[VMIN] = vmin;
    tty.c_cc[VTIME] = vtime;
    if (ioctl(0, TCSETAF, &tty) == -1) {
        restore(saved);
        perror("ioctl");
        exit(2);
    }

    ssize_t n = read(0, byte, 1);
    if (n == -1) {
        restore(saved);
        perror("read");
        exit(3);
    }
    return n;
}

int getch(void)
{
    struct termio saved;
    char key;

    // VMIN 1, VTIME 0: wait for exactly one byte, with no time limit.
    if (read_raw(1, 0, &key, &saved) == 0) {
        restore(&saved);
        fwrite("EOF error!", 1, 10, stderr);
        exit(4);
    }
    restore(&saved);
    return static_cast<signed char>(key);
}

int kb_hit(char *key)
{
    struct termio saved;
    char byte;

    // VMIN 0, VTIME 1: the read returns with the first byte, or with none
    // after a tenth of a second.
    const ssize_t n = read_raw(0, 1, &byte, &saved);
    if (n > 0)
        *key = byte;
    restore(&saved);
    return n > 0 ? 1 : 0;
}
