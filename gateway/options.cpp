#include "options.h"

#include <net/if.h>

#include <charconv>
#include <set>
#include <utility>

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

// CARD:PORT=IFACE[@RATE]; the rate, when given, replaces the common one.
std::optional<PortSpec> parse_port(std::string_view arg, const BitTiming &common, std::string &error) {
    const auto colon = arg.find(':');
    const auto equals = arg.find('=');
    if (colon == std::string_view::npos || equals == std::string_view::npos || colon > equals) {
        error = "\"" + std::string(arg) + "\" is not CARD:PORT=INTERFACE";
        return std::nullopt;
    }
    PortSpec spec;
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
    spec.card = *card;
    spec.port = *port;
    std::string_view iface = arg.substr(equals + 1);
    spec.timing = common;
    if (const auto at = iface.find('@'); at != std::string_view::npos) {
        auto [timing, message] = timing_of(iface.substr(at + 1));
        if (!timing) {
            error = "\"" + std::string(arg) + "\": " + message;
            return std::nullopt;
        }
        spec.timing = *timing;
        iface = iface.substr(0, at);
    }
    // IFNAMSIZ counts the terminating NUL; '/' and blanks never name one.
    if (iface.empty() || iface.size() >= IFNAMSIZ ||
        iface.find_first_of("/ \t\n:") != std::string_view::npos) {
        error = "\"" + std::string(arg) + "\": interface name must be 1.." + std::to_string(IFNAMSIZ - 1) +
                " characters, without '/', ':' or blanks";
        return std::nullopt;
    }
    spec.iface = std::string(iface);
    return spec;
}

}  // namespace

std::string PortSpec::name() const { return std::to_string(card) + ":" + std::to_string(port) + "=" + iface; }

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

    // Options first (in any order, before or among the ports); the ports
    // take the common bit rate, so they are parsed once all options are in.
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::string_view value;
        bool has_value = false;
        if (arg.starts_with("--")) {
            if (const auto eq = arg.find('='); eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
        }
        const auto take_value = [&]() -> std::optional<std::string_view> {
            if (has_value) return value;
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        const auto no_value = [&]() { return !has_value; };

        if (arg == "-h" || arg == "--help") {
            if (!no_value()) return failure("option --help takes no value");
            options.help = true;
        } else if (arg == "--version") {
            if (!no_value()) return failure("option --version takes no value");
            options.version = true;
        } else if (arg == "-e" || arg == "--extended") {
            if (!no_value()) return failure("option --extended takes no value");
            options.extended = true;
        } else if (arg == "-b" || arg == "--bitrate") {
            const auto text = take_value();
            if (!text) return failure("option --bitrate needs a value, e.g. --bitrate 500k");
            auto [timing, message] = timing_of(*text);
            if (!timing) return failure(message);
            common = *timing;
        } else if (arg == "-q" || arg == "--queue") {
            const auto text = take_value();
            const auto n = text ? parse_number<std::size_t>(*text) : std::nullopt;
            if (!n || *n == 0 || *n > kMaxQueueLength) {
                return failure("option --queue needs a number of frames 1.." +
                               std::to_string(kMaxQueueLength));
            }
            options.queue_length = *n;
        } else if (arg == "--restart-ms") {
            const auto text = take_value();
            const auto n = text ? parse_number<unsigned>(*text) : std::nullopt;
            if (!n || *n > kMaxRestartMs) {
                return failure("option --restart-ms needs milliseconds 0.." + std::to_string(kMaxRestartMs));
            }
            options.restart_ms = *n;
        } else if (arg == "--") {
            for (++i; i < args.size(); ++i) port_args.push_back(args[i]);
        } else if (arg.starts_with("-")) {
            return failure("unknown option \"" + std::string(args[i]) + "\" (see --help)");
        } else {
            port_args.push_back(arg);
        }
    }
    if (options.help || options.version) return {options, ""};
    if (port_args.empty()) return failure("no port given: CARD:PORT=INTERFACE, e.g. 0:0=vcan0 (see --help)");

    std::set<int> handles;
    std::set<std::string> ifaces;
    for (const auto arg : port_args) {
        std::string error;
        auto spec = parse_port(arg, common, error);
        if (!spec) return failure(error);
        if (!handles.insert(spec->handle()).second) {
            return failure("port " + std::to_string(spec->card) + ":" + std::to_string(spec->port) +
                           " is given twice");
        }
        // Two ports on one interface would hand each other's frames back
        // and forth.
        if (!ifaces.insert(spec->iface).second)
            return failure("interface " + spec->iface + " is given twice");
        options.ports.push_back(std::move(*spec));
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
