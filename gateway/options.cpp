// SPDX-License-Identifier: MIT
#include "options.h"

#include <getopt.h>
#include <net/if.h>

#include <charconv>
#include <set>
#include <utility>

#include "gateway.h"

namespace gateway {

namespace {

constexpr int kMaxCard = 3;
constexpr int kMaxPort = 1;

// A whole decimal number, nothing around it.
template <typename T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    if (text.empty()) return std::nullopt;
    const auto *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

// The rate of a --bitrate value or an @RATE suffix, or the message why not.
std::pair<std::optional<BitTiming>, std::string> timing_of(std::string_view text) {
    const auto bitrate = parse_bitrate(text);
    if (!bitrate) {
        return {std::nullopt, "bit rate \"" + std::string(text) +
                                  "\" is not valid; expected bit/s with an optional k or M, e.g. 500k"};
    }
    auto timing = timing_for(*bitrate);
    if (!timing) return {std::nullopt, unreachable_bitrate_message(text, *bitrate)};
    return {timing, ""};
}

ParseResult failure(std::string message) { return {std::nullopt, std::move(message)}; }

ParseResult unknown_option(std::string_view arg) {
    return failure("unknown option \"" + std::string(arg) + "\" (see --help)");
}

std::string queue_message() {
    return "option --queue needs a number of frames 1.." + std::to_string(kMaxQueueLength);
}

std::string restart_message() {
    return "option --restart-ms needs milliseconds 0.." + std::to_string(kMaxRestartMs);
}

// getopt_long's values of the options without a short form.
constexpr int kOptVersion = 256;
constexpr int kOptRestartMs = 257;

const char *long_name(const option *options, int value) {
    for (; options->name != nullptr; ++options) {
        if (options->val == value) return options->name;
    }
    return "?";
}

// CARD:PORT=IFACE[@RATE]; the rate, when given, replaces the common one.
std::optional<PortBridge> parse_port(std::string_view arg, const BitTiming &common, std::string &error) {
    const auto colon = arg.find(':');
    const auto equals = arg.find('=');
    if (colon == std::string_view::npos || equals == std::string_view::npos || colon > equals) {
        error = "\"" + std::string(arg) + "\" is not CARD:PORT=INTERFACE";
        return std::nullopt;
    }
    PortBridge bridge;
    const auto card = parse_number<int>(arg.substr(0, colon));
    const auto port = parse_number<int>(arg.substr(colon + 1, equals - colon - 1));
    if (!card || *card < 0 || *card > kMaxCard) {
        error = "\"" + std::string(arg) + "\": card must be 0..3";
        return std::nullopt;
    }
    if (!port || *port < 0 || *port > kMaxPort) {
        error = "\"" + std::string(arg) + "\": port must be 0 or 1";
        return std::nullopt;
    }
    bridge.card = *card;
    bridge.port = *port;
    std::string_view iface = arg.substr(equals + 1);
    bridge.timing = common;
    if (const auto at = iface.find('@'); at != std::string_view::npos) {
        auto [timing, message] = timing_of(iface.substr(at + 1));
        if (!timing) {
            error = "\"" + std::string(arg) + "\": " + message;
            return std::nullopt;
        }
        bridge.timing = *timing;
        iface = iface.substr(0, at);
    }
    // IFNAMSIZ counts the terminating NUL; '/' and blanks never name one.
    if (iface.empty() || iface.size() >= IFNAMSIZ ||
        iface.find_first_of("/ \t\n:") != std::string_view::npos) {
        error = "\"" + std::string(arg) + "\": interface name must be 1.." + std::to_string(IFNAMSIZ - 1) +
                " characters, without '/', ':' or blanks";
        return std::nullopt;
    }
    bridge.iface = std::string(iface);
    return bridge;
}

}  // namespace

std::string PortBridge::name() const {
    return std::to_string(card) + ":" + std::to_string(port) + "=" + iface;
}

std::optional<std::uint32_t> parse_bitrate(std::string_view text) {
    std::uint64_t scale = 1;
    if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) {
        scale = 1'000;
        text.remove_suffix(1);
    } else if (!text.empty() && text.back() == 'M') {
        scale = 1'000'000;
        text.remove_suffix(1);
    }
    const auto value = parse_number<std::uint64_t>(text);
    if (!value || *value == 0 || *value > UINT32_MAX / scale) return std::nullopt;
    return static_cast<std::uint32_t>(*value * scale);
}

std::string unreachable_bitrate_message(std::string_view text, std::uint32_t bitrate) {
    std::string message = "bit rate " + std::string(text) + " cannot be programmed (16 MHz crystal, ";
    message += format_bitrate(kMinBitrate) + ".." + format_bitrate(kMaxBitrate) + ")";
    const auto nearest = nearest_rates(bitrate);
    if (nearest.below != 0 && nearest.above != 0) {
        message += "; nearest: " + format_bitrate(nearest.below) + " or " + format_bitrate(nearest.above);
    } else if (nearest.below != 0) {
        message += "; nearest: " + format_bitrate(nearest.below);
    } else if (nearest.above != 0) {
        message += "; nearest: " + format_bitrate(nearest.above);
    }
    return message;
}

ParseResult parse_arguments(std::span<const std::string_view> args) {
    Options options;
    BitTiming common = *timing_for(kDefaultBitrate);
    std::vector<std::string_view> port_args;

    // getopt_long wants a C argument vector of its own.
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back(kProgram);
    for (const auto arg : args) storage.emplace_back(arg);
    std::vector<char *> argv;
    argv.reserve(storage.size() + 1);
    for (auto &arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    // "-" first: the ports come back in order as argument 1, among the
    // options (the ports take the common bit rate, so they are parsed once
    // all options are in); ":" next: a missing value is told apart.
    static constexpr char kShort[] = "-:hb:eq:";
    static constexpr option kLong[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kOptVersion},
        {"extended", no_argument, nullptr, 'e'},
        {"bitrate", required_argument, nullptr, 'b'},
        {"queue", required_argument, nullptr, 'q'},
        {"restart-ms", required_argument, nullptr, kOptRestartMs},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 0;  // start afresh: the state is getopt's, kept between calls
    for (;;) {
        const int before = optind == 0 ? 1 : optind;  // 0 only until the first call
        const int opt = getopt_long(argc, argv.data(), kShort, kLong, nullptr);
        if (opt == -1) break;
        // The argument getopt is at: it steps past one once it is done with it.
        const int at = optind > before ? optind - 1 : optind;
        const std::string_view current = at < argc ? std::string_view(argv[at]) : std::string_view();
        switch (opt) {
        case 1:
            if (optarg[0] == '-') return unknown_option(optarg);  // a lone "-"
            port_args.push_back(args[static_cast<std::size_t>(at - 1)]);
            break;
        case 'h': options.help = true; break;
        case kOptVersion: options.version = true; break;
        case 'e': options.extended = true; break;
        case 'b': {
            auto [timing, message] = timing_of(optarg);
            if (!timing) return failure(message);
            common = *timing;
            break;
        }
        case 'q': {
            const auto n = parse_number<std::size_t>(optarg);
            if (!n || *n == 0 || *n > kMaxQueueLength) return failure(queue_message());
            options.queue_length = *n;
            break;
        }
        case kOptRestartMs: {
            const auto n = parse_number<unsigned>(optarg);
            if (!n || *n > kMaxRestartMs) return failure(restart_message());
            options.restart_ms = *n;
            break;
        }
        case ':':  // the last argument, without its value
            switch (optopt) {
            case 'b': return failure("option --bitrate needs a value, e.g. --bitrate 500k");
            case 'q': return failure(queue_message());
            default: return failure(restart_message());
            }
        default:  // '?'
            // --help=VALUE and the like: getopt names the option it refused.
            if (optopt != 0 && current.starts_with("--") && current.find('=') != std::string_view::npos) {
                return failure("option --" + std::string(long_name(kLong, optopt)) + " takes no value");
            }
            return unknown_option(current);
        }
    }
    for (int i = optind; i < argc; ++i) port_args.push_back(args[static_cast<std::size_t>(i - 1)]);
    if (options.help || options.version) return {options, ""};
    if (port_args.empty()) return failure("no port given: CARD:PORT=INTERFACE, e.g. 0:0=vcan0 (see --help)");

    std::set<int> handles;
    std::set<std::string> ifaces;
    for (const auto arg : port_args) {
        std::string error;
        auto bridge = parse_port(arg, common, error);
        if (!bridge) return failure(error);
        if (!handles.insert(bridge->handle()).second) {
            return failure("port " + std::to_string(bridge->card) + ":" + std::to_string(bridge->port) +
                           " is given twice");
        }
        // Two ports on one interface would hand each other's frames back
        // and forth.
        if (!ifaces.insert(bridge->iface).second)
            return failure("interface " + bridge->iface + " is given twice");
        options.ports.push_back(std::move(*bridge));
    }
    return {options, ""};
}

std::string usage() {
    return R"(Usage: pci5c3a-gateway [OPTION]... CARD:PORT=INTERFACE[@RATE]...
Mirror ports of 5C3A CAN cards onto SocketCAN interfaces, both directions.

  CARD:PORT=INTERFACE  card 0..3, port 0..1, a CAN interface that is up
                       (e.g. 0:0=vcan0); @RATE sets this port's bit rate
  -b, --bitrate RATE   bit rate of the ports: 125k, 250k, 500k, 1M or any
                       rate the 16 MHz controller can be programmed to
                       (default 500k)
  -e, --extended       ports use 29-bit identifiers (default 11-bit); frames
                       of the other kind are not sent to the card
  -q, --queue N        frames waiting for each card port (default 256); when
                       full, frames from the interface are dropped and counted
      --restart-ms MS  restart a bus-off port after MS ms (default 100; 0 =
                       stay bus-off)
  -h, --help           this help
      --version        the version

The card sends at most about 1000 frames/s per port (the library pauses 1 ms
per frame). Controller state changes appear on the interface as error frames
(candump -e). SIGUSR1 prints the counters on standard error; SIGINT and
SIGTERM close the ports and end the program.

Exit status: 0 after SIGINT/SIGTERM, 1 when a port, card or interface is not
usable, 2 for bad arguments.
)";
}

}  // namespace gateway
