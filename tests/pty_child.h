/* SPDX-License-Identifier: MIT */
// A program run under a pseudo-terminal of its own, for the tests of the
// loop-back program and its console key input: what the terminal shows is
// read from the master side, keys are typed into it, and the terminal's modes
// are read back through the master.
//
// The terminal starts in the kernel's default modes (canonical input, echo,
// signal characters) except that output post-processing is off, so the
// program's bytes arrive exactly as written ("\n" is not turned into "\r\n").
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test {

struct Options {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> env;  // set on top of ours
    bool stdinFromDevNull = false;                         // standard input not a terminal
    bool separateStderr = false;                           // standard error to a pipe, read apart
};

inline long long nowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

class PtyChild {
public:
    explicit PtyChild(const Options &o) {
        std::vector<std::string> env;
        for (char **e = environ; *e; e++) env.emplace_back(*e);
        for (const auto &[name, value] : o.env) {
            std::string prefix = name + "=";
            std::erase_if(env, [&](const std::string &s) { return s.rfind(prefix, 0) == 0; });
            env.push_back(prefix + value);
        }
        std::vector<char *> argv, envp;
        for (const auto &a : o.argv) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);

        int errPipe[2] = {-1, -1};
        if (o.separateStderr && pipe2(errPipe, O_CLOEXEC) != 0) return;
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            termios t;
            if (tcgetattr(0, &t) == 0) {
                t.c_oflag &= ~OPOST;
                tcsetattr(0, TCSANOW, &t);
            }
            if (o.stdinFromDevNull) {
                int fd = open("/dev/null", O_RDONLY);
                if (fd < 0 || dup2(fd, 0) < 0) _exit(126);
            }
            if (o.separateStderr && dup2(errPipe[1], 2) < 0) _exit(126);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (o.separateStderr) {
            close(errPipe[1]);
            errFd_ = errPipe[0];
        }
        if (pid_ < 0) return;
        fcntl(master_, F_SETFD, FD_CLOEXEC);
    }

    ~PtyChild() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
        if (errFd_ >= 0) close(errFd_);
    }

    PtyChild(const PtyChild &) = delete;
    PtyChild &operator=(const PtyChild &) = delete;

    bool started() const { return pid_ > 0; }

    // Whether the program is still running (reaps it when it has ended).
    bool running() {
        if (reaped_) return false;
        int status;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    pid_t pid() const { return pid_; }
    int master() const { return master_; }

    // Everything the terminal has shown, and what went to the separate
    // standard error, so far.
    const std::string &output() const { return out_; }
    const std::string &errors() const { return err_; }

    // Reads until the terminal has shown `text` (from offset `from` on);
    // false when the program ended or the time ran out first.
    bool waitFor(std::string_view text, int timeoutMs = 60000, std::size_t from = 0) {
        long long end = nowMs() + timeoutMs;
        while (out_.find(text, from) == std::string::npos) {
            long long left = end - nowMs();
            if (left <= 0 || !pump(int(left))) return out_.find(text, from) != std::string::npos;
        }
        return true;
    }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = write(master_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            bytes.remove_prefix(std::size_t(n));
        }
    }

    // Closes the terminal's master side: the program's terminal hangs up.
    void closeMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
        masterOpen_ = false;
    }

    // The terminal's local modes, as the program on the other side sees them.
    tcflag_t lflag() const {
        termios t{};
        tcgetattr(master_, &t);
        return t.c_lflag;
    }

    // Waits until the program has put the terminal into non-canonical
    // (single-key) input, reading its output meanwhile.
    bool waitKeyMode(int timeoutMs = 60000) {
        long long end = nowMs() + timeoutMs;
        while (lflag() & ICANON) {
            if (nowMs() >= end || reaped_) return false;
            pump(5);
        }
        return true;
    }

    // Waits until the program sleeps in the read system call (for a signal
    // that must interrupt the read, not land just before it). The kernel
    // names the call a task sleeps in by its number in /proc/PID/syscall;
    // where that file cannot be read, a sleeping task is taken as the sign.
    bool waitSleepingInRead(int timeoutMs = 60000) {
        const std::string dir = "/proc/" + std::to_string(pid_);
        long long end = nowMs() + timeoutMs;
        while (!reaped_) {
            std::ifstream call(dir + "/syscall");
            long nr = -1;
            if (call >> nr) {
                if (nr == SYS_read) return true;
            } else {
                std::ifstream stat(dir + "/stat");
                std::string line;
                std::getline(stat, line);
                std::size_t paren = line.rfind(')');  // the name may hold spaces
                if (paren != std::string::npos && line.compare(paren, 3, ") S") == 0) return true;
            }
            if (nowMs() >= end) return false;
            pump(5);
        }
        return false;
    }

    // Reads the rest of the output and waits for the program to end. Returns
    // its exit status, 128 + signal when a signal ended it, or -1 when it did
    // not end in time (it is then killed).
    int finish(int timeoutMs = 60000) {
        long long end = nowMs() + timeoutMs;
        while (!reaped_) {
            int status;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (nowMs() >= end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                reaped_ = true;
                return -1;
            }
            pump(20);
        }
        // The program is gone: its side of the terminal closes, so the rest
        // of the output is already there.
        long long drainEnd = nowMs() + 5000;
        while (pump(20) && nowMs() < drainEnd) {}
        return status_;
    }

    // Reads what is available within timeoutMs. False when nothing more
    // will come (both outputs at end).
    bool pump(int timeoutMs) {
        pollfd p[2] = {{master_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        int n = poll(p, errFd_ >= 0 ? 2 : 1, timeoutMs);
        if (n < 0) return errno == EINTR;
        bool more = false;
        more |= drain(p[0], master_, out_, masterOpen_);
        if (errFd_ >= 0) more |= drain(p[1], errFd_, err_, errOpen_);
        return more || masterOpen_ || (errFd_ >= 0 && errOpen_);
    }

private:
    static bool drain(const pollfd &p, int fd, std::string &into, bool &open) {
        if (!open || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return false;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, std::size_t(n));
            return true;
        }
        if (n < 0 && errno == EINTR) return true;
        open = false;  // end of file, or EIO once the program's side is closed
        return false;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    int errFd_ = -1;
    bool masterOpen_ = true;
    bool errOpen_ = true;
    bool reaped_ = false;
    int status_ = -1;
    std::string out_, err_;
};

}  // namespace test
