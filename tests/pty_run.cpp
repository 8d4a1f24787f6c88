// SPDX-License-Identifier: MIT
// pty_run - runs a program under a pseudo-terminal of its own and presses a
// key when it asks for one, for machines without a terminal (the kernel
// suites' guest): test5C3A waits for a key at its end.
//
//   pty_run SECONDS PROGRAM [ARGS...]
//
// What the program writes to the terminal is copied to standard output. The
// exit status is the program's (128 + signal when a signal ended it), or 124
// when it did not end within SECONDS (it is killed then).
#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

double now_s() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: pty_run SECONDS PROGRAM [ARGS...]\n");
        return 2;
    }
    const double end = now_s() + atof(argv[1]);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        perror("pty_run: forkpty");
        return 125;
    }
    if (pid == 0) {
        termios t;
        if (tcgetattr(0, &t) == 0) {
            t.c_oflag &= ~tcflag_t(OPOST);  // the program's bytes exactly as written
            tcsetattr(0, TCSANOW, &t);
        }
        execvp(argv[2], argv + 2);
        perror("pty_run: exec");
        _exit(127);
    }

    // The key goes in once the program has switched the terminal to
    // single-key input (canonical mode off): typed earlier it would be
    // discarded.
    std::string shown;
    bool pressed = false;
    for (;;) {
        if (!pressed && shown.find("Press any key") != std::string::npos) {
            termios t;
            if (tcgetattr(master, &t) == 0 && !(t.c_lflag & ICANON)) {
                (void)!write(master, "x", 1);
                pressed = true;
            }
        }
        if (now_s() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            fprintf(stderr, "pty_run: %s did not end in time\n", argv[2]);
            return 124;
        }
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 5) > 0) {
            char buf[4096];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                shown.append(buf, size_t(n));
                fwrite(buf, 1, size_t(n), stdout);
                fflush(stdout);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;  // the program's side closed
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
