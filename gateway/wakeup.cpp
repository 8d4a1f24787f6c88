// SPDX-License-Identifier: MIT
#include "wakeup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pci_5C3A_ioctl.h"

namespace gateway {

namespace {

int wake_fd = -1;  // write end of the self-pipe, for the handlers

// Async-signal-safe: one write(2), errno kept for the code it interrupted.
void wake(char byte) {
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = write(wake_fd, &byte, 1);
    errno = saved;
}
void on_stop_signal(int /*sig*/) { wake(kWakeStop); }
void on_counters_signal(int /*sig*/) { wake(kWakeCounters); }

bool install_handler(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(sig, &action, nullptr) == 0;
}

}  // namespace

void on_receive_signal(int sig) { wake(sig == PCI5C3A_SIG_PORT0 ? kWakePort0 : kWakePort1); }

int open_wakeup(std::string &error) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) < 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    wake_fd = pipe_fds[1];
    if (!install_handler(SIGINT, on_stop_signal) || !install_handler(SIGTERM, on_stop_signal) ||
        !install_handler(SIGUSR1, on_counters_signal)) {
        error = std::string("cannot install signal handlers: ") + std::strerror(errno);
        return -1;
    }
    return pipe_fds[0];
}

}  // namespace gateway
