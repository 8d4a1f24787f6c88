// SPDX-License-Identifier: MIT
// vcard_config.cpp - the virtual card's configuration from PCI5C3A_VCARD_*
// environment variables.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "vcard_config.h"

#include "hw_cards.h"
#include "pci_5C3A_ioctl.h"
#include "vcard.h"

namespace vcard {

namespace detail {

namespace {

constexpr unsigned kMaxPeriodMs = 60000;

// Bus timing of an SJA1000: bit = 2 * (BRP + 1) * (3 + TSEG1 + TSEG2) clock
// periods, BRP 0..63, TSEG1 0..15, TSEG2 0..7.
constexpr unsigned kMaxPrescaler = 64;
constexpr unsigned kMinQuanta = 3, kMaxQuanta = 25;

// A decimal number, or hexadecimal after 0x; nothing else, not even blanks.
bool parse_number(const std::string &text, std::uint64_t max, std::uint64_t *out) {
    std::uint64_t base = 10;
    std::size_t at = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    if (at >= text.size()) return false;
    std::uint64_t value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = unsigned(c - 'A' + 10);
        else return false;
        value = value * base + digit;
        if (value > max) return false;
    }
    *out = value;
    return true;
}

bool parse_decimal(const std::string &text, std::uint64_t max, std::uint64_t *out) {
    return text.find_first_not_of("0123456789") == std::string::npos && parse_number(text, max, out);
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

const char *const kCardsForms = "a number of cards 0..4";
const char *const kWiringForms = "loopback, separate or shared";
const char *const kRemoteForms =
    "BITRATE or BITRATE:PERIOD_MS, e.g. 125k, 500000:20, 1M:5 (bit/s with optional k or M suffix, a bit "
    "time of a whole number of 16 MHz clock periods a controller can be programmed to, 5000..2M; period "
    "0..60000 ms, default 10, 0 back to back)";
const char *const kTamperForms =
    "comma-separated rules H:N:id=V, H:N:dataB=V, H:N:drop or H:N:dup=K (H handle 0..7, N frame index "
    "from 0 or *, B byte 0..7, V and K decimal or 0x hex; id V up to 0x1FFFFFFF, data V up to 0xFF, K "
    "1..1024)";

const char *const kSocketCanForms =
    "IFACE[@BITRATE] per wire in wire order, comma-separated, an empty entry for a wire that stays "
    "local, e.g. vcan0, can0@500k or vcan0,vcan0 (IFACE the name of a CAN interface, at most 15 "
    "characters; BITRATE as in PCI5C3A_VCARD_REMOTE; no more entries than wires)";

const char *const kNetdevForms =
    "comma-separated ports CARD:PORT, e.g. 0:1 or 0:0,1:1 (card 0..3, port 0..1), as the driver's "
    "netdev= parameter";

bool parse_netdev(const std::string &text, std::vector<int> *handles) {
    for (const std::string &entry : split(text, ',')) {
        const std::vector<std::string> parts = split(entry, ':');
        std::uint64_t card = 0, port = 0;
        if (parts.size() != 2 || !parse_decimal(parts[0], PCI5C3A_MAX_CARDS - 1, &card) ||
            !parse_decimal(parts[1], PCI5C3A_PORTS_PER_CARD - 1, &port))
            return false;
        handles->push_back(int(card * PCI5C3A_PORTS_PER_CARD + port));
    }
    return true;
}

bool parse_socketcan(const std::string &text, std::vector<SocketCanWire> *wires) {
    for (const std::string &entry : split(text, ',')) {
        SocketCanWire w;
        const std::size_t at = entry.find('@');
        w.interface = entry.substr(0, at);
        if (at != std::string::npos) {
            unsigned bitrate = 0;
            if (w.interface.empty() || !parse_bitrate(entry.substr(at + 1), &bitrate)) return false;
            w.bitrate = bitrate;
        }
        if (!w.interface.empty() && !valid_interface_name(w.interface)) return false;
        wires->push_back(w);
    }
    return true;
}

bool parse_remote(const std::string &text, RemoteNode *remote) {
    const std::vector<std::string> parts = split(text, ':');
    if (parts.size() > 2 || !parse_bitrate(parts[0], &remote->bitrate)) return false;
    remote->period_ms = 10;
    if (parts.size() == 2) {
        std::uint64_t period = 0;
        if (!parse_decimal(parts[1], kMaxPeriodMs, &period)) return false;
        remote->period_ms = unsigned(period);
    }
    return true;
}

bool parse_tamper_rule(const std::string &text, Tamper *t) {
    const std::vector<std::string> parts = split(text, ':');
    if (parts.size() != 3) return false;
    std::uint64_t n = 0;
    if (!parse_decimal(parts[0], PCI5C3A_MAX_HANDLES - 1, &n)) return false;
    t->handle = int(n);
    if (parts[1] == "*") {
        t->every_frame = true;
    } else {
        if (!parse_decimal(parts[1], UINT32_MAX, &n)) return false;
        t->index = unsigned(n);
    }

    const std::string &action = parts[2];
    const std::size_t equals = action.find('=');
    const std::string verb = action.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : action.substr(equals + 1);
    if (verb == "drop") {
        t->kind = Tamper::Kind::drop;
        return equals == std::string::npos;
    }
    if (equals == std::string::npos) return false;
    if (verb == "id") {
        t->kind = Tamper::Kind::id;
        if (!parse_number(value, 0x1FFFFFFF, &n)) return false;
    } else if (verb == "dup") {
        t->kind = Tamper::Kind::duplicate;
        if (!parse_number(value, kDriverQueueLimit, &n) || n == 0) return false;
    } else if (verb.size() == 5 && verb.compare(0, 4, "data") == 0 && verb[4] >= '0' && verb[4] <= '7') {
        t->kind = Tamper::Kind::data;
        t->byte = unsigned(verb[4] - '0');
        if (!parse_number(value, 0xFF, &n)) return false;
    } else {
        return false;
    }
    t->value = std::uint32_t(n);
    return true;
}

bool parse_tamper(const std::string &text, std::vector<Tamper> *rules) {
    for (const std::string &rule : split(text, ',')) {
        Tamper t;
        if (!parse_tamper_rule(rule, &t)) return false;
        rules->push_back(t);
    }
    return true;
}

}  // namespace

// The kernel's rule for a network interface's name: 1..15 bytes, not "."
// or "..", no '/', ':' or white space.
bool valid_interface_name(const std::string &name) {
    constexpr std::size_t kMaxName = 15;  // IFNAMSIZ - 1
    if (name.empty() || name.size() > kMaxName || name == "." || name == "..") return false;
    for (const char c : name)
        if (c == '/' || c == ':' || c == ' ' || (c >= '\t' && c <= '\r')) return false;
    return true;
}

const char *socketcan_forms() { return kSocketCanForms; }

bool valid_bitrate(unsigned bitrate) {
    if (bitrate == 0 || kCrystalHz % bitrate != 0) return false;
    const unsigned periods = kCrystalHz / bitrate;
    if (periods % 2 != 0) return false;
    for (unsigned prescaler = 1; prescaler <= kMaxPrescaler; ++prescaler) {
        if ((periods / 2) % prescaler != 0) continue;
        const unsigned quanta = periods / 2 / prescaler;
        if (quanta >= kMinQuanta && quanta <= kMaxQuanta) return true;
    }
    return false;
}

bool parse_bitrate(const std::string &text, unsigned *bitrate) {
    std::string digits = text;
    std::uint64_t scale = 1;
    if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'M')) {
        scale = digits.back() == 'k' ? 1000 : 1000000;
        digits.pop_back();
    }
    std::uint64_t n = 0;
    if (!parse_decimal(digits, kCrystalHz, &n) || n * scale > kCrystalHz) return false;
    if (!valid_bitrate(unsigned(n * scale))) return false;
    *bitrate = unsigned(n * scale);
    return true;
}

std::string quote(const std::string &value) {
    constexpr std::size_t kShown = 120;
    std::string out = "\"";
    for (std::size_t i = 0; i < value.size() && i < kShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += char(c);
        }
    }
    if (value.size() > kShown) out += "...";
    return out + "\"";
}

}  // namespace detail

std::optional<Config> config_from_environment(std::string *error) {
    using namespace detail;
    Config cfg;
    std::string bad;
    const char *forms = nullptr;
    const char *name = nullptr;

    // An empty value counts as unset, as in "VAR= program".
    auto value = [](const char *variable) -> std::string {
        const char *v = std::getenv(variable);
        return v == nullptr ? std::string() : std::string(v);
    };
    auto fail = [&](const char *variable, const std::string &text, const char *accepted) {
        if (name != nullptr) return;  // the first bad variable is reported
        name = variable;
        bad = text;
        forms = accepted;
    };

    if (const std::string v = value("PCI5C3A_VCARD_CARDS"); !v.empty()) {
        std::uint64_t n = 0;
        if (parse_decimal(v, PCI5C3A_MAX_CARDS, &n)) cfg.cards = int(n);
        else fail("PCI5C3A_VCARD_CARDS", v, kCardsForms);
    }
    if (const std::string v = value("PCI5C3A_VCARD_WIRING"); !v.empty()) {
        if (v == "loopback") cfg.wiring = Wiring::loopback;
        else if (v == "separate") cfg.wiring = Wiring::separate;
        else if (v == "shared") cfg.wiring = Wiring::shared;
        else fail("PCI5C3A_VCARD_WIRING", v, kWiringForms);
    }
    if (const std::string v = value("PCI5C3A_VCARD_REMOTE"); !v.empty()) {
        RemoteNode remote;
        if (parse_remote(v, &remote)) cfg.remote = remote;
        else fail("PCI5C3A_VCARD_REMOTE", v, kRemoteForms);
    }
    if (const std::string v = value("PCI5C3A_VCARD_TAMPER"); !v.empty()) {
        if (!parse_tamper(v, &cfg.tamper)) fail("PCI5C3A_VCARD_TAMPER", v, kTamperForms);
    }
    if (const std::string v = value("PCI5C3A_VCARD_SOCKETCAN"); !v.empty()) {
        if (!parse_socketcan(v, &cfg.socketcan) ||
            (name == nullptr && cfg.socketcan.size() > std::size_t(wire_count(cfg.cards, cfg.wiring))))
            fail("PCI5C3A_VCARD_SOCKETCAN", v, kSocketCanForms);
    }
    if (const std::string v = value("PCI5C3A_VCARD_NETDEV"); !v.empty()) {
        if (!parse_netdev(v, &cfg.netdev)) fail("PCI5C3A_VCARD_NETDEV", v, kNetdevForms);
    }
    cfg.trace_path = value("PCI5C3A_VCARD_TRACE");

    if (name != nullptr) {
        if (error != nullptr)
            *error =
                std::string("virtual card: ") + name + "=" + quote(bad) + " is not valid; expected " + forms;
        return std::nullopt;
    }
    return cfg;
}

}  // namespace vcard
