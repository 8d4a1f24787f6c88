// SPDX-License-Identifier: MIT
// process_entry_points.cpp - the C library entry points the virtual card
// takes over: the door through which a program's calls reach the driver.
//
// Calls on the device nodes of present cards, and on descriptors the virtual
// card handed out, are served here; every other call goes on to the next
// definition, normally the C library's, found with dlsym(RTLD_NEXT). These
// functions may be called before any constructor has run (by the dynamic
// loader's clients, sanitizer runtimes, other libraries' constructors), so
// they rely on nothing but zero-initialised statics until a device node is
// opened.

// The definitions below must carry the plain names: no redirection to the
// 64-bit-offset or 64-bit-time variants, and no fortified inline wrappers.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "pci_5C3A_ioctl.h"
#include "process.h"

namespace {

using namespace vcard::detail;

// ---------------------------------------------------------------------------
// The next definitions, resolved on first use.

template <class F>
F next(std::atomic<void *> &slot, const char *name, const char *fallback = nullptr) {
    void *f = slot.load(std::memory_order_acquire);
    if (f == nullptr) {
        f = dlsym(RTLD_NEXT, name);
        if (f == nullptr && fallback != nullptr) f = dlsym(RTLD_NEXT, fallback);
        slot.store(f, std::memory_order_release);
    }
    return reinterpret_cast<F>(f);
}

using OpenFn = int (*)(const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using FcntlFn = int (*)(int, int, ...);
using SigactionFn = int (*)(int, const struct sigaction *, struct sigaction *);

std::atomic<void *> g_open, g_open64, g_open2, g_open64_2, g_close, g_ioctl, g_fcntl, g_fcntl64, g_sigaction;
#if defined(__i386__)
std::atomic<void *> g_ioctl64;
#endif

int unavailable() {
    errno = ENOSYS;
    return -1;
}

int real_open(const char *path, int flags, int mode) {
    const OpenFn f = next<OpenFn>(g_open, "open");
    return f != nullptr ? f(path, flags, mode) : unavailable();
}

// ---------------------------------------------------------------------------
// Device nodes and descriptors

// The card number of "/dev/PCI5C3AW0".."/dev/PCI5C3AW3", else -1.
int device_card(const char *path) {
    static constexpr char kPrefix[] = "/dev/PCI5C3AW";
    constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
    if (path == nullptr || std::strncmp(path, kPrefix, kPrefixLength) != 0) return -1;
    const char digit = path[kPrefixLength];
    if (digit < '0' || digit >= '0' + PCI5C3A_MAX_CARDS || path[kPrefixLength + 1] != '\0') return -1;
    return digit - '0';
}

// Opens a card's device node: a real descriptor (on /dev/null, so that
// numbers stay unique and the descriptor behaves as one everywhere else)
// remembered as the card's.
int open_device(int card, int flags) {
    State &s = state();
    ensure_configured(s);
    int fd = -1, error = 0;
    {
        Locked lock(s);
        if (card >= s.config.cards || s.faults.node_missing[card]) {
            error = ENOENT;
        } else {
            fd = real_open("/dev/null", O_RDWR | (flags & (O_CLOEXEC | O_NONBLOCK)), 0);
            if (fd < 0) {
                error = errno;
            } else {
                s.descriptors[fd] = Descriptor{card, 0, 0};
                s.descriptor_count = s.descriptors.size();
            }
        }
    }
    if (fd < 0) errno = error;
    return fd;
}

// The state when descriptors of the virtual card exist, so that a program
// that never opens a card pays nothing but an atomic load per call.
State *with_descriptors() {
    State *s = existing_state();
    return s != nullptr && s->descriptor_count.load(std::memory_order_acquire) != 0 ? s : nullptr;
}

void forget(int fd) {
    State *s = with_descriptors();
    if (s == nullptr) return;
    Locked lock(*s);
    s->descriptors.erase(fd);
    s->descriptor_count = s->descriptors.size();
}

// A driver request on a card's descriptor; false when fd is not one.
bool device_ioctl(int fd, unsigned long request, void *arg, int *result) {
    State *s = with_descriptors();
    if (s == nullptr) return false;
    int error = 0;
    {
        Locked lock(*s);
        const auto d = s->descriptors.find(fd);
        if (d == s->descriptors.end()) return false;
        *result = driver_request(*s, d->second.card, fd, request, arg, &error, lock.signals());
    }  // ~Locked: the lock released, then the notification signals raised
    // errno last: a signal handler run meanwhile may have changed it.
    if (*result == -1) errno = error;
    return true;
}

// F_SETOWN / F_GETOWN on a card's descriptor; false when fd is not one.
// The owner is what the driver signals (the most recent F_SETOWN on any of
// the card's descriptors); other commands reach /dev/null's descriptor.
bool device_fcntl(int fd, int cmd, void *arg, int *result) {
    if (cmd != F_SETOWN && cmd != F_GETOWN) return false;
    State *s = with_descriptors();
    if (s == nullptr) return false;
    bool refused = false;
    {
        Locked lock(*s);
        const auto d = s->descriptors.find(fd);
        if (d == s->descriptors.end()) return false;
        if (cmd == F_GETOWN) {
            *result = d->second.owner;
        } else if (s->faults.fail_setown) {
            refused = true;
            *result = -1;
        } else {
            d->second.owner = static_cast<int>(reinterpret_cast<intptr_t>(arg));
            d->second.owner_set = ++s->setown_sequence;
            *result = 0;
        }
    }
    if (refused) errno = EINVAL;
    return true;
}

bool sigaction_refused(int sig) {
    State *s = existing_state();
    if (s == nullptr || !s->any_sigaction_fault.load(std::memory_order_acquire)) return false;
    Locked lock(*s);
    return s->faults.fail_sigaction.count(sig) != 0;
}

int fcntl_common(std::atomic<void *> &slot, const char *name, int fd, int cmd, void *arg) {
    int result = 0;
    if (device_fcntl(fd, cmd, arg, &result)) return result;
    const FcntlFn f = next<FcntlFn>(slot, name, "fcntl");
    return f != nullptr ? f(fd, cmd, arg) : unavailable();
}

int ioctl_common(std::atomic<void *> &slot, const char *name, int fd, unsigned long request, void *arg) {
    int result = 0;
    if (device_ioctl(fd, request, arg, &result)) return result;
    const IoctlFn f = next<IoctlFn>(slot, name, "ioctl");
    return f != nullptr ? f(fd, request, arg) : unavailable();
}

}  // namespace

int vcard::detail::next_close(int fd) {
    const CloseFn f = next<CloseFn>(g_close, "close");
    return f != nullptr ? f(fd) : unavailable();
}

int vcard::detail::next_ioctl(int fd, unsigned long request, void *arg) {
    const IoctlFn f = next<IoctlFn>(g_ioctl, "ioctl");
    return f != nullptr ? f(fd, request, arg) : unavailable();
}

// ---------------------------------------------------------------------------
// The entry points. The optional argument of open (the mode) and of fcntl
// and ioctl (an int or a pointer) is taken as the C library itself takes it
// and passed on unchanged.

extern "C" {

int open(const char *path, int flags, ...) {
    int mode = 0;
    if (__OPEN_NEEDS_MODE(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, int);
        va_end(ap);
    }
    if (const int card = device_card(path); card >= 0) return open_device(card, flags);
    return real_open(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    int mode = 0;
    if (__OPEN_NEEDS_MODE(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, int);
        va_end(ap);
    }
    if (const int card = device_card(path); card >= 0) return open_device(card, flags);
    const OpenFn f = next<OpenFn>(g_open64, "open64", "open");
    return f != nullptr ? f(path, flags, mode) : unavailable();
}

// The fortified forms, called by programs built with _FORTIFY_SOURCE when
// the compiler cannot see the flags.
int __open_2(const char *path, int flags) {
    if (const int card = device_card(path); card >= 0) return open_device(card, flags);
    const Open2Fn f = next<Open2Fn>(g_open2, "__open_2");
    return f != nullptr ? f(path, flags) : real_open(path, flags, 0);
}

int __open64_2(const char *path, int flags) {
    if (const int card = device_card(path); card >= 0) return open_device(card, flags);
    const Open2Fn f = next<Open2Fn>(g_open64_2, "__open64_2", "__open_2");
    return f != nullptr ? f(path, flags) : real_open(path, flags, 0);
}

int close(int fd) {
    // Forgotten first: until the real close the number cannot be handed
    // out again, so no other thread's new descriptor is forgotten instead.
    forget(fd);
    return next_close(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return ioctl_common(g_ioctl, "ioctl", fd, request, arg);
}

#if defined(__i386__)
// Programs built with 64-bit time_t on i386 call this instead of ioctl.
int __ioctl_time64(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return ioctl_common(g_ioctl64, "__ioctl_time64", fd, request, arg);
}
#endif

int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_common(g_fcntl, "fcntl", fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_common(g_fcntl64, "fcntl64", fd, cmd, arg);
}

// Installing an action for a signal a test made fail is refused; asking for
// the current action always works.
int sigaction(int sig, const struct sigaction *act, struct sigaction *old) noexcept {
    if (act != nullptr && sigaction_refused(sig)) {
        errno = EINVAL;
        return -1;
    }
    const SigactionFn f = next<SigactionFn>(g_sigaction, "sigaction");
    return f != nullptr ? f(sig, act, old) : unavailable();
}

}  // extern "C"
