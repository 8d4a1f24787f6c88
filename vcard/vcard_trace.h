/* SPDX-License-Identifier: MIT */
// vcard_trace.h - the record of driver requests: an in-memory ring that tests
// read (vcard::trace()), and a decoded text line per request for people
// (PCI5C3A_VCARD_TRACE). Part of the test interface; the driver adds to it.
//
// Recording never allocates (the ring is reserved when started) and the text
// line is formatted on the stack and written with one write(2): signal
// handlers reach the request path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver.h"
#include "vcard.h"

namespace vcard::detail {

// One traced request, compact: bit-rate detection can fill the ring with a
// million of these. Records are at most kMaxRecord (32) bytes (MSG_XFER).
struct TraceEntry {
    int card = -1;
    int fd = -1;
    unsigned long code = 0;
    int result = 0;
    int error = 0;
    std::uint8_t in_len = 0;  // 0: null record, or a request without a known record
    std::uint8_t out_len = 0;
    std::array<std::uint8_t, kMaxRecord> in{};
    std::array<std::uint8_t, kMaxRecord> out{};
};

std::string describe_entry(const TraceEntry &e);
TraceEntry to_entry(const Request &r);
Request to_request(const TraceEntry &e);

// Formats the trace line of e into out (always terminated); returns its length.
std::size_t format_entry(const TraceEntry &e, char *out, std::size_t size);
constexpr std::size_t kMaxTraceLine = 320;

class TraceLog {
public:
    void start(std::size_t capacity);  // may throw std::bad_alloc, changing nothing
    void stop() { on_ = false; }
    void clear();
    bool on() const { return on_; }
    void add(const TraceEntry &e);
    std::vector<Request> snapshot() const;
    // The text trace: a descriptor, -1 off. Returns the descriptor it
    // replaces if that one was owned (for the caller to close), else -1.
    int set_file(int fd, bool owned);
    bool file_on() const { return fd_ >= 0; }
    void print(const TraceEntry &e) const;
    // A line of the text trace that is not a request (a note of the
    // SocketCAN wires); the newline is added.
    void print_line(const char *text, std::size_t length) const;

private:
    std::vector<TraceEntry> ring_;  // grows up to capacity_, then wraps
    std::size_t head_ = 0;          // oldest entry once the ring is full
    std::size_t capacity_ = 0;
    bool on_ = false;
    int fd_ = -1;
    bool owned_ = false;
};

// The counters of the remote node and of every port's receive path, one
// line each ("vcard: stats ..."), as PCI5C3A_VCARD_STATS writes them at exit
// (vcard_stats.cpp); empty without cards. Call under the lock.
std::string stats_text(const State &s);

// Opens a trace destination: "-" standard error, else a file for appending.
// -1 with *error set when the file cannot be opened.
int open_trace_file(const std::string &path, bool *owned, std::string *error);

}  // namespace vcard::detail
