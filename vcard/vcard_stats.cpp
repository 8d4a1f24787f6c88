// SPDX-License-Identifier: MIT
// vcard_stats.cpp - the counters of every place a received frame can end
// up, as text lines (vcard::stats()) and, with PCI5C3A_VCARD_STATS, written
// once when the program exits: what the remote node sent, and per port what
// the controller made of the frames on its wire and where the driver's
// messages went. Part of the test interface; benchmarks read it to account
// for every frame.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "process.h"
#include "vcard_config.h"
#include "vcard_trace.h"

namespace vcard::detail {

namespace {

void append(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string &out, const char *format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0) out.append(line, std::min<std::size_t>(std::size_t(n), sizeof line - 1));
}

}  // namespace

std::string stats_text(const State &s) {
    std::string out;
    if (!s.hardware) return out;
    const long pid = static_cast<long>(getpid());
    if (const RemoteNodeModel *node = s.hardware->remote_node()) {
        // Bus time skipped by catching up, in whole microseconds.
        const std::uint64_t skipped_us = node->skipped_periods() / (kCrystalHz / 1000000);
        append(out,
               "vcard: stats pid=%ld remote sent=%" PRIu64 " unacknowledged=%" PRIu64 " restarts=%" PRIu64
               " skipped-us=%" PRIu64 "\n",
               pid, node->frames_sent(), node->frames_unacknowledged(), node->restarts(), skipped_us);
    }
    for (int card = 0; card < s.hardware->cards(); ++card)
        for (int port = 0; port < kPortsPerCard; ++port) {
            const Sja1000 &c = s.hardware->controller(card, port);
            const ReceiveCounters r = c.receive_counters();
            const PortDriver &p = s.cards[card].ports[port];
            append(out,
                   "vcard: stats pid=%ld card=%d port=%d not-received=%" PRIu64 " filtered=%" PRIu64
                   " overrun=%" PRIu64 " stored=%" PRIu64 " flushed=%" PRIu64 " fifo=%u taken=%" PRIu64
                   " tamper-dropped=%" PRIu64 " tamper-copies=%" PRIu64 " queue-dropped=%" PRIu64
                   " handed-out=%" PRIu64 " queued=%zu\n",
                   pid, card, port, r.not_received, r.filtered, r.overrun, r.stored, r.flushed,
                   c.fifo_frames(), p.arrivals, p.tamper_dropped, p.tamper_copies, p.dropped, p.handed_out,
                   p.queue.size());
        }
    return out;
}

namespace {

// Where the lines go at exit: "-" standard error, else a file appended to.
// Read when the library is loaded, so that it holds for the whole program.
const char *g_stats_path = nullptr;

void write_stats_at_exit() {
    State *s = existing_state();
    if (s == nullptr || !s->configured.load(std::memory_order_acquire)) return;  // no card was used
    std::string text;
    {
        Locked lock(*s);
        text = stats_text(*s);
    }
    if (text.empty()) return;
    int fd = STDERR_FILENO;
    if (std::strcmp(g_stats_path, "-") != 0) {
        fd = ::open(g_stats_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int err = errno;
            std::fprintf(stderr,
                         "virtual card: PCI5C3A_VCARD_STATS=%s cannot be opened for appending (%s); "
                         "expected - for standard error or the path of a writable file\n",
                         quote(g_stats_path).c_str(), std::strerror(err));
            return;
        }
    }
    // One write: lines of several processes appending to one file stay whole.
    [[maybe_unused]] const ssize_t n = write(fd, text.data(), text.size());
    if (fd != STDERR_FILENO) next_close(fd);
}

__attribute__((constructor)) void register_stats() {
    const char *path = std::getenv("PCI5C3A_VCARD_STATS");
    if (path == nullptr || *path == '\0') return;
    g_stats_path = strdup(path);
    if (g_stats_path != nullptr) std::atexit(write_stats_at_exit);
}

}  // namespace

}  // namespace vcard::detail
