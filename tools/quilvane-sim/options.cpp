#include "options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>

#include "net.h"

namespace sim {
namespace {

// Thrown with the message that ends up after "quilvane-sim: ".
struct OptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& option, const std::string& what) {
    throw OptionError(option + ": " + what);
}

uint64_t parseUnsigned(const std::string& option, const std::string& text, uint64_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        fail(option, "not a number: '" + text + "'");
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);  // 0x... allowed
    if (errno != 0 || *end != '\0') {
        fail(option, "not a number: '" + text + "'");
    }
    if (value > max) {
        fail(option, "at most " + std::to_string(max) + ", got " + text);
    }
    return value;
}

double parseNonNegative(const std::string& option, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0) {
        fail(option, "not a non-negative number: '" + text + "'");
    }
    return value;
}

std::vector<std::string> splitList(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

void requireIpv4(const std::string& option, const std::string& text) {
    uint32_t address = 0;
    if (!parseIpv4(text, address)) {
        fail(option, "not a dotted IPv4 address: '" + text + "'");
    }
}

Endpoint parseEndpoint(const std::string& option, const std::string& text) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        fail(option, "expected ADDR:PORT, got '" + text + "'");
    }
    Endpoint endpoint;
    endpoint.host = text.substr(0, colon);
    requireIpv4(option, endpoint.host);
    endpoint.port = static_cast<uint16_t>(parseUnsigned(option, text.substr(colon + 1), 65535));
    return endpoint;
}

template <size_t N>
std::array<uint8_t, N> parseHex(const std::string& option, const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c != ':' && c != '-' && c != ' ') {
            digits += c;
        }
    }
    if (digits.size() != 2 * N) {
        fail(option, "expected " + std::to_string(2 * N) + " hex digits, got '" + text + "'");
    }
    std::array<uint8_t, N> bytes{};
    for (size_t i = 0; i < N; ++i) {
        std::string pair = digits.substr(2 * i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
            fail(option, "not hexadecimal: '" + text + "'");
        }
        bytes[i] = static_cast<uint8_t>(std::strtoul(pair.c_str(), nullptr, 16));
    }
    return bytes;
}

template <typename E>
E parseName(const std::string& option, const std::string& text, const std::map<std::string, E>& names) {
    auto it = names.find(text);
    if (it == names.end()) {
        std::string known;
        for (const auto& [name, value] : names) {
            known += (known.empty() ? "" : ", ") + name;
        }
        fail(option, "unknown value '" + text + "' (one of: " + known + ")");
    }
    return it->second;
}

void setMode(Options& options, Mode mode, const std::string& option) {
    if (options.mode != Mode::None) {
        fail(option, "only one of --tcp-listen, --tcp-connect, --udp, --respond may be given");
    }
    options.mode = mode;
}

void parseIds(Options& options, const std::string& option, const std::string& text) {
    size_t dash = text.find('-');
    options.firstId = static_cast<uint32_t>(parseUnsigned(option, text.substr(0, dash), 0xFFFFFFFF));
    options.lastId = options.firstId;
    if (dash != std::string::npos) {
        options.lastId = static_cast<uint32_t>(parseUnsigned(option, text.substr(dash + 1), 0xFFFFFFFF));
    }
    if (options.lastId < options.firstId) {
        fail(option, "LAST is below FIRST in '" + text + "'");
    }
}

// Checks that only make sense once every option is known.
void validate(const Options& options) {
    if (options.mode == Mode::None) {
        fail("mode", "give one of --tcp-listen, --tcp-connect, --udp, --respond (see --help)");
    }
    bool traffic = options.mode != Mode::Respond;
    if (!traffic && (options.echo || options.generate > 0 || options.fault != Fault::None)) {
        fail("--respond", "--echo, --generate and --fault need --tcp-listen, --tcp-connect or --udp");
    }
    if (traffic && options.replyTo != ReplyTo::Unicast) {
        fail("--reply-to", "only with --respond");
    }
    if (traffic && !options.respond.empty()) {
        fail("--respond", "cannot be combined with another mode");
    }
    if (options.hasPeer && options.mode != Mode::Udp) {
        fail("--peer", "only with --udp");
    }
    if (options.mode == Mode::Udp && (options.fault == Fault::Reset || options.fault == Fault::Close)) {
        fail("--fault", "reset and close need a TCP mode");
    }
    if (options.mode == Mode::TcpConnect && options.endpoint.port == 0) {
        fail("--tcp-connect", "port 0 cannot be connected to");
    }
}

}  // namespace

ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error) {
    using Handler = std::function<void(const std::string& option, const std::string& value)>;
    const std::map<std::string, Fault> faults{{"none", Fault::None},
                                              {"cut", Fault::Cut},
                                              {"byte-at-a-time", Fault::ByteAtATime},
                                              {"bad-checksum", Fault::BadChecksum},
                                              {"bad-sync", Fault::BadSync},
                                              {"reset", Fault::Reset},
                                              {"close", Fault::Close},
                                              {"flood", Fault::Flood}};
    const std::map<std::string, ReplyFault> replyFaults{{"none", ReplyFault::None},
                                                        {"wrong-id", ReplyFault::WrongId},
                                                        {"bad-crc", ReplyFault::BadCrc},
                                                        {"bad-xor", ReplyFault::BadXor},
                                                        {"short", ReplyFault::Short},
                                                        {"malformed-json", ReplyFault::MalformedJson},
                                                        {"oversized-json", ReplyFault::OversizedJson}};
    const std::map<std::string, ResponderKind> kinds{{"search-json", ResponderKind::SearchJson},
                                                     {"search-pelix", ResponderKind::SearchPelix},
                                                     {"probe-pelix", ResponderKind::ProbePelix},
                                                     {"probe-vci", ResponderKind::ProbeVci}};
    const std::map<std::string, ReplyTo> replyTos{{"unicast", ReplyTo::Unicast},
                                                  {"subnet-broadcast", ReplyTo::SubnetBroadcast},
                                                  {"broadcast", ReplyTo::Broadcast}};
    const std::map<std::string, RecordKind> records{
        {"classic", RecordKind::Classic}, {"fd", RecordKind::Fd}, {"mixed", RecordKind::Mixed}};

    auto port = [](const std::string& o, const std::string& v) {
        return static_cast<uint16_t>(parseUnsigned(o, v, 65535));
    };
    Options& s = options;
    const std::map<std::string, Handler> withValue{
        {"--tcp-listen",
         [&](auto& o, auto& v) {
             setMode(s, Mode::TcpListen, o);
             s.endpoint = parseEndpoint(o, v);
         }},
        {"--tcp-connect",
         [&](auto& o, auto& v) {
             setMode(s, Mode::TcpConnect, o);
             s.endpoint = parseEndpoint(o, v);
         }},
        {"--udp",
         [&](auto& o, auto& v) {
             setMode(s, Mode::Udp, o);
             s.endpoint = parseEndpoint(o, v);
         }},
        {"--peer",
         [&](auto& o, auto& v) {
             s.peer = parseEndpoint(o, v);
             s.hasPeer = true;
         }},
        {"--connections",
         [&](auto& o, auto& v) {
             s.connections = static_cast<unsigned>(parseUnsigned(o, v, 1024));
             if (s.connections == 0) {
                 fail(o, "at least 1");
             }
         }},
        {"--generate", [&](auto& o, auto& v) { s.generate = parseUnsigned(o, v, UINT64_MAX); }},
        {"--rate", [&](auto& o, auto& v) { s.rate = parseNonNegative(o, v); }},
        {"--channels",
         [&](auto& o, auto& v) {
             s.channels.clear();
             for (const auto& part : splitList(v, ',')) {
                 s.channels.push_back(static_cast<uint8_t>(parseUnsigned(o, part, 255)));
             }
         }},
        {"--ids", [&](auto& o, auto& v) { parseIds(s, o, v); }},
        {"--record", [&](auto& o, auto& v) { s.record = parseName(o, v, records); }},
        {"--records-per-packet",
         [&](auto& o, auto& v) {
             // 819 FD records is the most that a 16-bit payload length can announce.
             s.recordsPerPacket = static_cast<unsigned>(parseUnsigned(o, v, 819));
             if (s.recordsPerPacket == 0) {
                 fail(o, "at least 1");
             }
         }},
        {"--data-length",
         [&](auto& o, auto& v) { s.dataLength = static_cast<unsigned>(parseUnsigned(o, v, 64)); }},
        {"--fault", [&](auto& o, auto& v) { s.fault = parseName(o, v, faults); }},
        {"--fault-at",
         [&](auto& o, auto& v) {
             s.faultAt = parseUnsigned(o, v, UINT64_MAX);
             if (s.faultAt == 0) {
                 fail(o, "packets are counted from 1");
             }
         }},
        {"--seed",
         [&](auto& o, auto& v) { s.seed = static_cast<uint32_t>(parseUnsigned(o, v, 0xFFFFFFFF)); }},
        {"--duration",
         [&](auto& o, auto& v) {
             s.durationSeconds = parseNonNegative(o, v);
             if (s.durationSeconds <= 0) {
                 fail(o, "must be above 0");
             }
         }},
        {"--count", [&](auto& o, auto& v) { s.count = parseUnsigned(o, v, UINT64_MAX); }},
        {"--expect", [&](auto& o, auto& v) { s.expect = parseUnsigned(o, v, UINT64_MAX); }},
        {"--idle-ms", [&](auto& o, auto& v) { s.idleMs = parseUnsigned(o, v, UINT32_MAX); }},
        {"--respond",
         [&](auto& o, auto& v) {
             setMode(s, Mode::Respond, o);
             for (const auto& part : splitList(v, ',')) {
                 s.respond.push_back(parseName(o, part, kinds));
             }
         }},
        {"--device", [&](auto&, auto& v) { s.device = v; }},
        {"--bind",
         [&](auto& o, auto& v) {
             requireIpv4(o, v);
             s.bindAddress = v;
         }},
        {"--search-port", [&](auto& o, auto& v) { s.searchPort = port(o, v); }},
        {"--pelix-port", [&](auto& o, auto& v) { s.pelixPort = port(o, v); }},
        {"--vci-port", [&](auto& o, auto& v) { s.vciPort = port(o, v); }},
        {"--model", [&](auto&, auto& v) { s.model = v; }},
        {"--kernel-version", [&](auto&, auto& v) { s.kernelVersion = v; }},
        {"--software-version", [&](auto&, auto& v) { s.softwareVersion = v; }},
        {"--hardware-version", [&](auto&, auto& v) { s.hardwareVersion = v; }},
        {"--serial", [&](auto&, auto& v) { s.serial = v; }},
        {"--name", [&](auto&, auto& v) { s.name = v; }},
        {"--ipv4", [&](auto&, auto& v) { s.ipv4 = v; }},
        {"--mac", [&](auto&, auto& v) { s.mac = v; }},
        {"--device-id", [&](auto& o, auto& v) { s.deviceId = parseHex<6>(o, v); }},
        {"--pelix-hex",
         [&](auto& o, auto& v) {
             s.pelixBytes = parseHex<25>(o, v);
             s.hasPelixBytes = true;
         }},
        {"--reply-fault", [&](auto& o, auto& v) { s.replyFault = parseName(o, v, replyFaults); }},
        {"--reply-count",
         [&](auto& o, auto& v) { s.replyCount = static_cast<unsigned>(parseUnsigned(o, v, 1000)); }},
        {"--reply-delay-ms", [&](auto& o, auto& v) { s.replyDelayMs = parseUnsigned(o, v, 60000); }},
        {"--reply-to", [&](auto& o, auto& v) { s.replyTo = parseName(o, v, replyTos); }},
    };

    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "--help" || arg == "-h") {
                return ParseResult::Help;
            }
            if (arg == "--echo") {
                s.echo = true;
                continue;
            }
            if (arg == "--verbose" || arg == "-v") {
                s.verbose = true;
                continue;
            }
            std::string value;
            bool inlineValue = false;
            if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                inlineValue = true;
            }
            auto handler = withValue.find(arg);
            if (handler == withValue.end()) {
                fail(arg, "unknown option");
            }
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    fail(arg, "needs a value");
                }
                value = argv[++i];
            }
            handler->second(arg, value);
        }
        validate(s);
    } catch (const OptionError& e) {
        error = e.what();
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

void printUsage() {
    std::fputs(
        R"(quilvane-sim: plays CAN interface devices against the QUILVANE library.

Modes (exactly one):
  --tcp-listen ADDR:PORT    TCP server; the library connects. PORT 0 picks a free
                            port, shown on the ready line.
  --tcp-connect ADDR:PORT   TCP client to the library's server; retries until the
                            server is there or the run ends.
  --connections N           TCP: clients to accept / connections to make (1).
  --udp ADDR:PORT           UDP; sends to --peer, else to the last sender.
  --peer ADDR:PORT          UDP destination.
  --respond KIND[,KIND...]  answer searches and probes (see --reply-to); kinds:
                            search-json, search-pelix (UDP port 10550),
                            probe-pelix (10551), probe-vci (58121).

Traffic (TCP and UDP modes):
  --echo                    send every received frame back.
  --generate COUNT          send COUNT frames on each connection. Frame s has
                            timestamp s, id FIRST + s % (LAST-FIRST+1), flags
                            s & 0xFFFF, channel CHANNELS[s % n], the data length
                            L (at most 8 in classic records), data[i] = (s+i) & 0xFF.
  --rate FRAMES_PER_S       pace of --generate per connection (0 = at once, default).
  --channels C[,C...]       channels used in turn (0).
  --ids FIRST[-LAST]        identifier range (0x100-0x1FF).
  --record classic|fd|mixed records of 24 bytes (type 0), 80 bytes (type 1), or
                            packets alternating between them (fd). Also for --echo.
  --records-per-packet K    frames per packet, 1 to 819 (1).
  --data-length L           data bytes per frame, 0 to 64 (8).
  --fault F                 cut, byte-at-a-time, bad-checksum, bad-sync, reset,
                            close, flood or none; see below.
  --fault-at K              the packet, counted from 1, that bad-checksum,
                            bad-sync, reset, close and flood act on (1).
  --seed S                  random cut points of --fault cut (1).
  Faults: cut writes each packet in 2 to 4 pieces; byte-at-a-time writes each
  byte alone; bad-checksum spoils packet K's checksum; bad-sync gives packet K
  sync byte 0xAA with a matching checksum; reset writes half of packet K and
  resets the connection; close closes after packet K; flood writes 1 MiB + 1
  bytes that never decode before packet K, then pauses 300 ms. reset and close
  need a TCP mode. Frames of a spoiled packet do not count as sent.

Bounds (the run always ends by itself):
  --duration SECONDS        longest run (10).
  --count N                 stop once N frames were sent in all.
  --expect N                stop once N frames were received in all; exit
                            status 1 if the run ends without them.
  --idle-ms MS              stop after MS without input, once input came.
  A run that only generates ends when every connection has sent its frames.
  Ctrl-C and SIGTERM end the run with the summary.

Responders:
  --bind ADDR               address of the responder sockets (0.0.0.0).
  --device IFNAME           answer only requests that arrive on this interface.
  --search-port P, --pelix-port P, --vci-port P
                            override 10550, 10551, 58121 (0 = any free port).
  --device-id HEX12         this device's 6-byte identifier (001A2B3C4D5E).
  --model, --kernel-version, --software-version, --hardware-version, --serial,
  --name, --ipv4, --mac TEXT
                            values of ProMod, KerVers, SoftVers, HardVers,
                            SerialNum, ProName, IPv4 ("198.51.100.2") and MAC
                            ("0.26.43.60.77.94") in the JSON reply.
  --pelix-hex HEX50         bytes 4 to 28 of the PELIX record (default: the
                            device id, then 01 02 ... 13).
  --reply-fault F           wrong-id, bad-crc, bad-xor, short (VCI reply of 19
                            bytes, PELIX record of 28), malformed-json,
                            oversized-json (JSON text padded to 1024 bytes), none.
  --reply-count K           send each reply K times (1).
  --reply-delay-ms MS       wait before replying (0).
  --reply-to unicast|subnet-broadcast|broadcast
                            where replies go, always to the request's source
                            port: its source address (unicast, default), the
                            broadcast address of the interface it came in on,
                            or 255.255.255.255 out of that interface. An
                            interface without a broadcast address (loopback)
                            gets no broadcast reply, only a line on stderr.

Output:
  stdout: "ready MODE ADDRESS..." once the sockets are up, and at the end
  "summary sent_frames=.. sent_packets=.. received_frames=.. received_packets=..
  bad_packets=.. connections=.. replies=.." (responders count requests as
  received_packets).
  --verbose                 each received frame on stderr, candump log style.
  --help                    this text.
  Exit status: 0, 1 when sockets cannot be set up or --expect was missed,
  2 for bad options.

Examples:
  quilvane-sim --tcp-listen 127.0.0.1:0 --generate 1000 --rate 500 --channels 0,1
  quilvane-sim --tcp-connect 127.0.0.1:8000 --connections 4 --echo --duration 5
  quilvane-sim --udp 127.0.0.1:9001 --peer 127.0.0.1:9000 --generate 100 --record mixed
  quilvane-sim --tcp-listen 127.0.0.1:0 --generate 50 --fault bad-checksum --fault-at 10
  quilvane-sim --respond search-json,probe-vci --bind 127.0.0.1 --device-id 000000000000
)",
        stdout);
}

}  // namespace sim
