// SPDX-License-Identifier: MIT
// vcard_trace.cpp - the record of driver requests: an in-memory ring for
// tests and a decoded text line per request for people (PCI5C3A_VCARD_TRACE).
// Names, record sizes and layouts come from the driver's request table.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "vcard_trace.h"

#include "pci_5C3A_ioctl.h"
#include "vcard_config.h"

namespace vcard::detail {

namespace {

// A line built in a caller's buffer: no allocation, usable on the request
// path that signal handlers reach.
class Line {
public:
    Line(char *out, std::size_t size) : out_(out), size_(size) { out_[0] = '\0'; }
    template <class... Args>
    void add(const char *fmt, Args... args) {
        if (len_ + 1 >= size_) return;
        const int n = std::snprintf(out_ + len_, size_ - len_, fmt, args...);
        if (n > 0) len_ = std::min(len_ + std::size_t(n), size_ - 1);
    }
    // Plain text, never taken as a format.
    void add(const char *text) { add("%s", text); }
    std::size_t length() const { return len_; }

private:
    char *out_;
    std::size_t size_, len_ = 0;
};

// Little-endian fields of a record image; bytes past its end read as 0.
std::uint32_t u32(const std::uint8_t *bytes, std::size_t len, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        if (at + i < len) v |= std::uint32_t(bytes[at + i]) << (8 * i);
    return v;
}
unsigned u16(const std::uint8_t *bytes, std::size_t len, std::size_t at) {
    return u32(bytes, std::min(len, at + 2), at);
}
unsigned u8(const std::uint8_t *bytes, std::size_t len, std::size_t at) { return at < len ? bytes[at] : 0; }

// The CAN_PACKET inside a MSG_XFER image.
void add_packet(Line &line, const std::uint8_t *b, std::size_t len) {
    const std::size_t at = offsetof(MSG_XFER, packet);
    const unsigned dlc = u8(b, len, at + offsetof(CAN_PACKET, len));
    line.add(" id=0x%X rtr=%u len=%u data=", u32(b, len, at + offsetof(CAN_PACKET, id)),
             u8(b, len, at + offsetof(CAN_PACKET, rtr)), dlc);
    const unsigned shown = std::min(dlc, 8u);
    if (shown == 0) line.add("-");
    for (unsigned i = 0; i < shown; ++i) line.add("%02x", u8(b, len, at + offsetof(CAN_PACKET, data) + i));
}

}  // namespace

// One line: "vcard: card=C fd=F NAME fields -> RESULT [ERRNO]". The fields
// show what the driver was given and, for reads, what it handed back.
std::size_t format_entry(const TraceEntry &e, char *out, std::size_t size) {
    Line line(out, size);
    line.add("vcard: card=%d fd=%d ", e.card, e.fd);
    const RequestType *type = find_request(e.code);
    if (type != nullptr) line.add(type->name);
    else line.add("0x%08lX", e.code);

    const std::uint8_t *in = e.in.data(), *out_ = e.out.data();
    const std::size_t in_len = e.in_len, out_len = e.out_len;
    const bool ok = e.result != -1;
    if (type != nullptr && in_len == 0) {
        line.add(" record=null");
    } else if (type != nullptr) {
        switch (type->record) {
        case Record::register_read:
            line.add(" addr=%u data=0x%02x", u32(in, in_len, offsetof(REG_ACCESS, addr)),
                     u8(out_, out_len, offsetof(REG_ACCESS, data)));
            break;
        case Record::register_write:
            line.add(" addr=%u data=0x%02x", u32(in, in_len, offsetof(REG_ACCESS, addr)),
                     u8(in, in_len, offsetof(REG_ACCESS, data)));
            break;
        case Record::identifier_mode:
            line.add(" handle=%d mode=%u", int(u32(in, in_len, offsetof(MODE_SET, handle))),
                     u32(in, in_len, offsetof(MODE_SET, mode)));
            break;
        case Record::message_sent:
            line.add(" handle=%d", int(u32(in, in_len, offsetof(MSG_XFER, handle))));
            add_packet(line, in, in_len);
            break;
        case Record::message_taken:
            line.add(" handle=%d", int(u32(in, in_len, offsetof(MSG_XFER, handle))));
            if (ok) add_packet(line, out_, out_len);
            break;
        case Record::queue_count:
            line.add(" handle=%d count=%u", int(u32(in, in_len, offsetof(RCV_COUNT, handle))),
                     u16(out_, out_len, offsetof(RCV_COUNT, count)));
            break;
        case Record::flag: line.add(" flag=%u", u16(in, in_len, 0)); break;
        }
    }
    line.add(" -> %d", e.result);
    if (!ok) {
        if (const char *name = strerrorname_np(e.error)) line.add(" %s", name);
        else line.add(" errno=%d", e.error);
    }
    return line.length();
}

std::string describe_entry(const TraceEntry &e) {
    char text[kMaxTraceLine];
    return std::string(text, format_entry(e, text, sizeof text));
}

TraceEntry to_entry(const Request &r) {
    TraceEntry e;
    e.card = r.card;
    e.fd = r.fd;
    e.code = r.code;
    e.result = r.result;
    e.error = r.error;
    e.in_len = std::uint8_t(std::min(r.in.size(), kMaxRecord));
    std::copy_n(r.in.begin(), e.in_len, e.in.begin());
    e.out_len = std::uint8_t(std::min(r.out.size(), kMaxRecord));
    std::copy_n(r.out.begin(), e.out_len, e.out.begin());
    return e;
}

Request to_request(const TraceEntry &e) {
    Request r;
    r.card = e.card;
    r.fd = e.fd;
    r.code = e.code;
    r.in.assign(e.in.begin(), e.in.begin() + e.in_len);
    r.out.assign(e.out.begin(), e.out.begin() + e.out_len);
    r.result = e.result;
    r.error = e.error;
    return r;
}

// ---------------------------------------------------------------------------
// The ring

void TraceLog::start(std::size_t capacity) {
    capacity = std::max<std::size_t>(capacity, 1);
    if (capacity != capacity_ || ring_.capacity() < capacity) {
        // Keep the newest entries that fit, oldest first, in a ring that
        // will not grow (and so allocate) while requests are recorded.
        std::vector<TraceEntry> kept;
        kept.reserve(capacity);
        const std::size_t n = ring_.size(), keep = std::min(n, capacity);
        for (std::size_t i = n - keep; i < n; ++i) kept.push_back(ring_[(head_ + i) % n]);
        ring_ = std::move(kept);
        head_ = 0;
        capacity_ = capacity;
    }
    on_ = true;
}

void TraceLog::clear() {
    ring_.clear();
    head_ = 0;
}

void TraceLog::add(const TraceEntry &e) {
    if (ring_.size() < capacity_) {
        ring_.push_back(e);
        return;
    }
    ring_[head_] = e;
    head_ = (head_ + 1) % capacity_;
}

std::vector<Request> TraceLog::snapshot() const {
    std::vector<Request> out;
    const std::size_t n = ring_.size();
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(to_request(ring_[(head_ + i) % n]));
    return out;
}

int TraceLog::set_file(int fd, bool owned) {
    const int replaced = owned_ ? fd_ : -1;
    fd_ = fd;
    owned_ = owned;
    return replaced;
}

// One write per line: lines of several processes appending to one file do
// not interleave.
void TraceLog::print(const TraceEntry &e) const {
    char text[kMaxTraceLine + 1];
    const std::size_t n = format_entry(e, text, kMaxTraceLine);
    print_line(text, n);
}

void TraceLog::print_line(const char *text, std::size_t length) const {
    char line[kMaxTraceLine + 1];
    std::size_t n = std::min(length, kMaxTraceLine);
    std::memcpy(line, text, n);
    line[n++] = '\n';
    const int saved_errno = errno;
    for (std::size_t done = 0; done < n;) {
        const ssize_t w = ::write(fd_, line + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += std::size_t(w);
    }
    errno = saved_errno;
}

int open_trace_file(const std::string &path, bool *owned, std::string *error) {
    *owned = false;
    if (path == "-") return STDERR_FILENO;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = "virtual card: PCI5C3A_VCARD_TRACE=" + quote(path) + " cannot be opened for appending (" +
                 std::strerror(errno) + "); expected - for standard error or the path of a writable file";
        return -1;
    }
    *owned = true;
    return fd;
}

}  // namespace vcard::detail
