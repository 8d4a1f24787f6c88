// drv_state.cpp - the virtual card's one state object, its lock, and the
// (re)building of the cards from a configuration.

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "drv_internal.h"

namespace vcard::detail {

namespace {

std::atomic<State *> g_state{nullptr};

// fork() while another thread (the remote node, or an application thread
// inside the driver) holds the lock would leave the child's copy locked
// forever. The handlers take the lock around fork, as every library with a
// process-wide lock must.
sigset_t g_forkSavedMask;
bool g_forkLocked = false;

void blockAll(sigset_t *saved) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, saved);
}

void beforeFork() {
    State *s = existing_state();
    if (s == nullptr) return;
    blockAll(&g_forkSavedMask);
    s->mutex.lock();
    g_forkLocked = true;
}

void afterForkInParent() {
    if (!g_forkLocked) return;
    g_forkLocked = false;
    g_state.load()->mutex.unlock();
    pthread_sigmask(SIG_SETMASK, &g_forkSavedMask, nullptr);
}

void afterForkInChild() {
    if (!g_forkLocked) return;
    g_forkLocked = false;
    State *s = g_state.load();
    // The remote node's thread did not come along; its handle refers to a
    // thread of the parent and must be neither joined nor destroyed.
    (void)s->remote.release();
    s->mutex.unlock();
    pthread_sigmask(SIG_SETMASK, &g_forkSavedMask, nullptr);
}

}  // namespace

State &state() {
    static State *const s = [] {
        State *created = new State;  // never deleted, see drv_internal.h
        g_state.store(created, std::memory_order_release);
        pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
        return created;
    }();
    return *s;
}

State *existing_state() { return g_state.load(std::memory_order_acquire); }

Locked::Locked(State &s) : s_(s) {
    blockAll(&saved_);
    s_.mutex.lock();
}

Locked::~Locked() {
    s_.mutex.unlock();
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    signals_.raise_all();
}

void PendingSignals::raise_all() {
    const int savedErrno = errno;
    for (std::size_t i = 0; i < n_; ++i)
        for (unsigned k = 0; k < e_[i].count; ++k) kill(e_[i].pid, e_[i].number);
    n_ = 0;
    errno = savedErrno;
}

void ensure_configured(State &s) {
    if (s.configured.load(std::memory_order_acquire)) return;

    std::string error;
    const std::optional<Config> cfg = config_from_environment(&error);
    int traceFd = -1;
    bool owned = false;
    if (cfg && !cfg->trace_path.empty()) traceFd = open_trace_file(cfg->trace_path, &owned, &error);
    if (!cfg || (!cfg->trace_path.empty() && traceFd < 0)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(2);
    }

    Replaced old;
    {
        Locked lock(s);
        if (!s.configured.load()) old = rebuild(s, *cfg, traceFd, owned);
        else if (owned) old.trace_fd = traceFd;  // another thread was first
    }
    finish(std::move(old));
}

Replaced rebuild(State &s, const Config &cfg, int trace_fd, bool owned) {
    Replaced old;
    old.remote = std::move(s.remote);
    if (old.remote) {
        old.remote->stop = true;
        s.wake_remote.notify_all();
    }

    std::optional<BitTime> remote;
    if (cfg.remote) remote = kCrystalHz / cfg.remote->bitrate;
    s.hardware.reset();
    if (cfg.cards > 0) s.hardware = std::make_unique<Hardware>(cfg.cards, cfg.wiring, remote);
    s.config = cfg;
    s.cards = {};
    s.descriptors.clear();
    s.descriptor_count = 0;
    s.fail_setown = false;
    s.fail_sigaction.clear();
    s.any_sigaction_fault = false;
    s.answers.clear();
    s.forced.clear();
    s.trace.clear();
    old.trace_fd = s.trace.set_file(trace_fd, owned);
    s.remote_sent = 0;
    s.remote_sequence = 0;
    s.configured.store(true, std::memory_order_release);

    if (cfg.remote && s.hardware) start_remote(s);
    return old;
}

void finish(Replaced old) {
    if (old.remote && old.remote->thread.joinable()) old.remote->thread.join();
    if (old.trace_fd >= 0) next_close(old.trace_fd);
}

}  // namespace vcard::detail
