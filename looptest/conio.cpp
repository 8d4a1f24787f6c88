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

int getch(void)
{
    static struct termio ttysave;
    struct termio tty;
    char key;

    // Current settings; not a terminal ends here with nothing changed.
    if (ioctl(0, TCGETA, &tty) == -1) {
        perror("ioctl");
        exit(1);
    }
    ttysave = tty;

    // Wait for exactly one byte, with no time limit.
    tty.c_lflag &= RAW_LFLAG;
    tty.c_cc[VMIN] = 1;
    tty.c_cc[VTIME] = 0;
    if (ioctl(0, TCSETAF, &tty) == -1) {
        restore(&ttysave);
        perror("ioctl");
        exit(2);
    }

    // One read; an interrupted read is a failure, not retried.
    ssize_t n = read(0, &key, 1);
    if (n == -1) {
        restore(&ttysave);
        perror("read");
        exit(3);
    }
    if (n == 0) {
        restore(&ttysave);
        fwrite("EOF error!", 1, 10, stderr);
        exit(4);
    }
    restore(&ttysave);
    return static_cast<signed char>(key);
}

int kb_hit(char *key)
{
    static struct termio ttysave;
    struct termio tty;
    char byte;
    int result = 0;

    if (ioctl(0, TCGETA, &tty) == -1) {
        perror("ioctl");
        exit(1);
    }
    ttysave = tty;

    // VMIN 0, VTIME 1: the read returns with the first byte, or with none
    // after a tenth of a second.
    tty.c_lflag &= RAW_LFLAG;
    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 1;
    if (ioctl(0, TCSETAF, &tty) == -1) {
        restore(&ttysave);
        perror("ioctl");
        exit(2);
    }

    ssize_t n = read(0, &byte, 1);
    if (n == -1) {
        restore(&ttysave);
        perror("read");
        exit(3);
    }
    if (n > 0) {
        *key = byte;
        result = 1;
    }
    restore(&ttysave);
    return result;
}
