// SPDX-License-Identifier: MIT
#include "wakeup.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>

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

int open_receive_signals(std::string &error) {
    sigset_t receive;
    sigemptyset(&receive);
    sigaddset(&receive, PCI5C3A_SIG_PORT0);
    sigaddset(&receive, PCI5C3A_SIG_PORT1);
    if (const int err = pthread_sigmask(SIG_BLOCK, &receive, nullptr); err != 0) {
        error = std::string("cannot block the receive signals: ") + std::strerror(err);
        return -1;
    }
    const int fd = signalfd(-1, &receive, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) error = std::string("signalfd: ") + std::strerror(errno);
    return fd;
}

bool read_receive_signals(int fd, ReceiveSignals &seen) {
    // At saturation a signal comes per frame; a read takes many at once.
    signalfd_siginfo infos[64];
    bool any = false;
    ssize_t n;
    while ((n = read(fd, infos, sizeof infos)) > 0) {
        const auto count = static_cast<std::size_t>(n) / sizeof infos[0];
        for (std::size_t i = 0; i < count; ++i) {
            const auto sig = static_cast<int>(infos[i].ssi_signo);
            if (sig == PCI5C3A_SIG_PORT0) seen.port0 = true;
            if (sig == PCI5C3A_SIG_PORT1) seen.port1 = true;
        }
        any = true;
        if (count < std::size(infos)) break;  // nothing more waiting
    }
    return any;
}

}  // namespace gateway
