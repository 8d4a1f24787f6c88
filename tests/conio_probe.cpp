// SPDX-License-Identifier: MIT
// conio_probe ACTION... - runs the console key-input functions as the
// arguments say, for test_conio under a pseudo-terminal.
//
// Prints "lflag N" (standard input's local modes, or "lflag none" when it is
// not a terminal) before the first and after the last action, and one line
// per action:
//   getch            "getch N", N the value returned
//   kbhit            one kb_hit call: "kbhit R key K" (K starts as 'Z', 90)
//   kbhit-until-key  kb_hit until it returns 1 (at most 600 calls): "kbhit R key K"
//   wait-input       waits until a typed line is pending: "input pending"
//   pending          "pending N", the bytes waiting to be read
//   eof              from now on a read of standard input finds end of file
//   sigusr1          from now on SIGUSR1 interrupts a read (handler without SA_RESTART)
//   ignore-hup       SIGHUP ignored, so a hangup shows as the calls' failures
// Every line is flushed at once, so the test sees each step as it happens.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termio.h>
#include <unistd.h>

#include "conio.h"

namespace {
bool endOfFile = false;

void say(const char *format, int a, int b = 0, int c = 0) {
    printf(format, a, b, c);
    fflush(stdout);
}

void showLflag() {
    struct termio t;
    if (ioctl(0, TCGETA, &t) == -1) {
        printf("lflag none\n");
        fflush(stdout);
    } else {
        say("lflag %d\n", t.c_lflag);
    }
}

void onUsr1(int) {}
}  // namespace

// A terminal cannot be made to report end of file while staying usable: a
// hangup makes the read return 0 but also fails every later ioctl. The
// "eof" action stands in for that read here, in front of the C library's.
extern "C" ssize_t read(int fd, void *buf, size_t count) {
    if (fd == 0 && endOfFile) return 0;
    return syscall(SYS_read, fd, buf, count);
}

int main(int argc, char **argv) {
    showLflag();
    for (int i = 1; i < argc; i++) {
        const char *action = argv[i];
        if (strcmp(action, "getch") == 0) {
            say("getch %d\n", getch());
        } else if (strcmp(action, "kbhit") == 0 || strcmp(action, "kbhit-until-key") == 0) {
            bool untilKey = strcmp(action, "kbhit-until-key") == 0;
            char key = 'Z';
            int r = kb_hit(&key);
            for (int calls = 1; untilKey && r == 0 && calls < 600; calls++) r = kb_hit(&key);
            say("kbhit %d key %d\n", r, key);
        } else if (strcmp(action, "wait-input") == 0) {
            int n = 0;
            for (int tries = 0; tries < 3000 && n == 0; tries++) {
                if (ioctl(0, FIONREAD, &n) == -1) n = 0;
                if (n == 0) usleep(10000);
            }
            printf(n > 0 ? "input pending\n" : "no input\n");
            fflush(stdout);
        } else if (strcmp(action, "pending") == 0) {
            int n = -1;
            ioctl(0, FIONREAD, &n);
            say("pending %d\n", n);
        } else if (strcmp(action, "eof") == 0) {
            endOfFile = true;
        } else if (strcmp(action, "sigusr1") == 0) {
            struct sigaction sa;
            memset(&sa, 0, sizeof sa);
            sa.sa_handler = onUsr1;
            sigaction(SIGUSR1, &sa, nullptr);
        } else if (strcmp(action, "ignore-hup") == 0) {
            signal(SIGHUP, SIG_IGN);
        } else {
            fprintf(stderr, "conio_probe: unknown action %s\n", action);
            return 64;
        }
    }
    showLflag();
    return 0;
}
