// --respond: answers searches and probes on their UDP ports, to the
// request's source or by broadcast (--reply-to). Kinds that share a port
// share a socket; all sockets are served by one poll loop.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "modes.h"
#include "net.h"
#include "packet_codec.h"

namespace sim {
namespace {

// What a device answers to searches and probes, byte for byte, and how it
// recognises the requests. Search replies travel with every byte rotated
// left by 2 bits; receivers rotate them back to the right.
uint8_t rotateLeft2(uint8_t byte) {
    return static_cast<uint8_t>((byte << 2) | (byte >> 6));
}

uint8_t rotateRight2(uint8_t byte) {
    return static_cast<uint8_t>((byte >> 2) | (byte << 6));
}

// CRC-8, polynomial 0x07, initial value 0, not reflected, final XOR 0x55.
uint8_t vciCrc8(const uint8_t* bytes, size_t count) {
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc ^ 0x55;
}

constexpr std::array<uint8_t, 10> kSearchRequest{0x86, 0x54, 0x08, 0x00, 0x00, 0xFF, 0x64, 0x9E, 0xD6, 0x33};
constexpr std::array<uint8_t, 4> kPelixMagic{0x00, 0x02, 0x00, 0x02};
constexpr size_t kPelixRecordSize = 29;
constexpr size_t kVciMinimum = 20;
constexpr size_t kJsonTextRoom = 1024;  // a receiver's text buffer holds one byte less

std::vector<uint8_t> rotatedLeft(std::vector<uint8_t> bytes) {
    std::transform(bytes.begin(), bytes.end(), bytes.begin(), rotateLeft2);
    return bytes;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonText(const Options& options) {
    const std::pair<const char*, const std::string*> fields[] = {{"ProMod", &options.model},
                                                                 {"KerVers", &options.kernelVersion},
                                                                 {"SoftVers", &options.softwareVersion},
                                                                 {"HardVers", &options.hardwareVersion},
                                                                 {"SerialNum", &options.serial},
                                                                 {"ProName", &options.name},
                                                                 {"IPv4", &options.ipv4},
                                                                 {"MAC", &options.mac}};
    std::string text = "{";
    for (const auto& [key, value] : fields) {
        // Piece by piece: GCC 12 at -O2 warns falsely (-Wrestrict) on "," + std::string.
        text += text.size() > 1 ? "," : "";
        text += jsonString(key);
        text += ':';
        text += jsonString(*value);
    }
    text += "}";
    if (options.replyFault == ReplyFault::MalformedJson) {
        text.pop_back();  // an object that never closes
    } else if (options.replyFault == ReplyFault::OversizedJson && text.size() < kJsonTextRoom) {
        text.append(kJsonTextRoom - text.size(), ' ');  // still valid JSON, too long to take
    }
    return text;
}

bool isSearchRequest(const std::vector<uint8_t>& request) {
    return std::equal(request.begin(), request.end(), kSearchRequest.begin(), kSearchRequest.end());
}

bool isPelixProbe(const std::vector<uint8_t>& request, const Options& options) {
    if (request.size() < 10) {
        return false;
    }
    std::vector<uint8_t> plain(request.begin(), request.begin() + 10);
    std::transform(plain.begin(), plain.end(), plain.begin(), rotateRight2);
    return std::equal(kPelixMagic.begin(), kPelixMagic.end(), plain.begin()) &&
           std::equal(options.deviceId.begin(), options.deviceId.end(), plain.begin() + 4);
}

bool isVciRequest(const std::vector<uint8_t>& request, const Options& options) {
    const size_t n = request.size();
    const uint8_t* r = request.data();
    return n >= kVciMinimum && r[0] == 0xAA && r[1] == 0x04 &&
           std::equal(options.deviceId.begin(), options.deviceId.end(), r + 2) && r[8] == 0xAA &&
           r[9] == 0xFE && xorOf(r + 8, n - 10) == r[n - 2] && vciCrc8(r, n - 1) == r[n - 1];
}

std::vector<uint8_t> searchJsonReply(const Options& options) {
    const std::string text = jsonText(options);
    // 4 leading bytes, the text's length, the text, 4 trailing bytes.
    std::vector<uint8_t> reply{0x00, 0x01, 0x00, 0x01};
    reply.push_back(static_cast<uint8_t>(text.size() >> 8));
    reply.push_back(static_cast<uint8_t>(text.size()));
    reply.insert(reply.end(), text.begin(), text.end());
    reply.insert(reply.end(), {0x00, 0x00, 0x00, 0x00});
    return rotatedLeft(std::move(reply));
}

std::vector<uint8_t> pelixRecordReply(const Options& options) {
    std::vector<uint8_t> record(kPelixMagic.begin(), kPelixMagic.end());
    if (options.hasPelixBytes) {
        record.insert(record.end(), options.pelixBytes.begin(), options.pelixBytes.end());
    } else {
        record.insert(record.end(), options.deviceId.begin(), options.deviceId.end());
        for (uint8_t i = 1; record.size() < kPelixRecordSize; ++i) {
            record.push_back(i);
        }
    }
    if (options.replyFault == ReplyFault::Short) {
        record.pop_back();
    }
    return rotatedLeft(std::move(record));
}

std::vector<uint8_t> vciReply(const Options& options) {
    // In one list: GCC 12 at -O2 warns falsely (-Warray-bounds) on inserting
    // the identifier after two bytes.
    const auto& id = options.deviceId;
    std::vector<uint8_t> reply{0xAA, 0x84, id[0], id[1], id[2], id[3], id[4], id[5]};
    if (options.replyFault == ReplyFault::WrongId) {
        reply[7] ^= 0xFF;
    }
    // Inner block: AA FE, body length, body; a short reply drops the body's last byte.
    std::vector<uint8_t> body{0x01, 0x00, 0x02, 0x00, 0x00, 0x10};
    if (options.replyFault == ReplyFault::Short) {
        body.pop_back();
    }
    reply.insert(reply.end(), {0xAA, 0xFE, static_cast<uint8_t>(body.size()), 0x00});
    reply.insert(reply.end(), body.begin(), body.end());
    uint8_t inner = xorOf(reply.data() + 8, reply.size() - 8);
    reply.push_back(options.replyFault == ReplyFault::BadXor ? inner ^ 0xFF : inner);
    uint8_t crc = vciCrc8(reply.data(), reply.size());
    reply.push_back(options.replyFault == ReplyFault::BadCrc ? crc ^ 0xFF : crc);
    return reply;
}

// The reply of `kind` to `request`, or nothing when the request is not for
// this device. --reply-fault is applied where it means something for the kind.
std::optional<std::vector<uint8_t>> replyTo(ResponderKind kind, const std::vector<uint8_t>& request,
                                            const Options& options) {
    switch (kind) {
        case ResponderKind::SearchJson:
            return isSearchRequest(request) ? std::optional(searchJsonReply(options)) : std::nullopt;
        case ResponderKind::SearchPelix:
            return isSearchRequest(request) ? std::optional(pelixRecordReply(options)) : std::nullopt;
        case ResponderKind::ProbePelix:
            return isPelixProbe(request, options) ? std::optional(pelixRecordReply(options)) : std::nullopt;
        case ResponderKind::ProbeVci:
            return isVciRequest(request, options) ? std::optional(vciReply(options)) : std::nullopt;
    }
    return std::nullopt;
}

// --reply-to: where a responder's reply goes. Broadcast replies leave by the
// interface the request came in on, so that each reaches only the network
// the request came from.
struct ReplyDestination {
    Address to;
    unsigned interfaceIndex = 0;  // the interface to leave by; 0: as routed
};

// The subnet's broadcast address of the interface's first IPv4 address,
// from its netmask as a device computes it: Linux reports an address added
// without "brd" as its own broadcast address. None for /31 and /32.
std::optional<uint32_t> broadcastAddressOf(const std::vector<Adapter>& adapters, unsigned interfaceIndex) {
    for (const Adapter& adapter : adapters) {
        if (adapter.index != interfaceIndex || interfaceIndex == 0 || !adapter.broadcasts) {
            continue;
        }
        for (const Adapter::Ipv4& ipv4 : adapter.ipv4) {
            if (const uint32_t hosts = ~ipv4.netmask; hosts >= 3) {
                return ipv4.address | hosts;
            }
        }
    }
    return std::nullopt;
}

// Nothing, with `error` set, when a broadcast reply is asked for and the
// request's interface has no broadcast address (loopback has none).
std::optional<ReplyDestination> replyDestination(ReplyTo replyTo, const Address& source,
                                                 unsigned interfaceIndex, std::string& error) {
    if (replyTo == ReplyTo::Unicast) {
        return ReplyDestination{source, 0};
    }
    // The limited broadcast too needs an interface that broadcasts: it must
    // never leave by a route the request did not come from.
    const std::vector<Adapter> adapters = listAdapters();
    const std::optional<uint32_t> subnet = broadcastAddressOf(adapters, interfaceIndex);
    if (!subnet) {
        std::string name = "?";
        for (const Adapter& adapter : adapters) {
            name = adapter.index == interfaceIndex ? adapter.name : name;
        }
        error = "no broadcast reply: interface " + name + " has no broadcast address";
        return std::nullopt;
    }
    ReplyDestination destination{source, interfaceIndex};
    destination.to.ip = replyTo == ReplyTo::Broadcast ? 0xFFFFFFFF : *subnet;
    return destination;
}

struct Listener {
    Socket socket;
    uint16_t port = 0;
    std::vector<ResponderKind> kinds;
};

struct PendingReply {
    RunControl::Clock::time_point due;
    size_t listener = 0;
    ReplyDestination destination;
    std::vector<uint8_t> bytes;
};

const char* kindName(ResponderKind kind) {
    switch (kind) {
        case ResponderKind::SearchJson:
            return "search-json";
        case ResponderKind::SearchPelix:
            return "search-pelix";
        case ResponderKind::ProbePelix:
            return "probe-pelix";
        case ResponderKind::ProbeVci:
            return "probe-vci";
    }
    return "?";
}

uint16_t portOf(ResponderKind kind, const Options& options) {
    switch (kind) {
        case ResponderKind::SearchJson:
        case ResponderKind::SearchPelix:
            return options.searchPort;
        case ResponderKind::ProbePelix:
            return options.pelixPort;
        case ResponderKind::ProbeVci:
            return options.vciPort;
    }
    return 0;
}

// One socket per distinct port; port 0 always gets a socket of its own.
bool openListeners(const Options& options, std::vector<Listener>& listeners) {
    for (ResponderKind kind : options.respond) {
        const uint16_t port = portOf(kind, options);
        Listener* shared = nullptr;
        for (Listener& listener : listeners) {
            shared = port != 0 && listener.port == port ? &listener : shared;
        }
        if (shared != nullptr) {
            shared->kinds.push_back(kind);
            continue;
        }
        std::string error;
        // Several devices of a test network share one host: each listens on
        // its own interface only (--device), so a broadcast reaches each once.
        Socket socket = bindUdp({options.bindAddress, port}, options.device, error);
        if (!socket.valid()) {
            std::fprintf(stderr, "quilvane-sim: %s\n", error.c_str());
            return false;
        }
        enableArrivalInterface(socket);
        if (options.replyTo != ReplyTo::Unicast) {
            allowBroadcast(socket);
        }
        listeners.push_back({std::move(socket), port, {kind}});
    }
    return true;
}

}  // namespace

int runResponders(const Options& options, RunControl& control, Stats& stats) {
    std::vector<Listener> listeners;
    if (!openListeners(options, listeners)) {
        return 1;
    }
    std::string ready = "respond";
    for (const Listener& listener : listeners) {
        for (ResponderKind kind : listener.kinds) {
            ready += std::string(" ") + kindName(kind) + "=" + localAddress(listener.socket);
        }
    }
    printReady(ready);

    // Replies wait here for --reply-delay-ms; every reply has the same delay,
    // so the queue stays in order of due time.
    std::deque<PendingReply> pending;
    std::vector<uint8_t> buffer(65536);
    auto giveUp = [&control] { return control.shouldStop(); };
    while (!control.shouldStop()) {
        int waitMs = 50;
        if (!pending.empty()) {
            auto until = pending.front().due - RunControl::Clock::now();
            waitMs = static_cast<int>(std::clamp<int64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(until).count(), 0, 50));
        }
        std::vector<const Socket*> sockets;
        for (const Listener& listener : listeners) {
            sockets.push_back(&listener.socket);
        }
        const std::vector<bool> readable = waitReadable(sockets, waitMs);
        for (size_t i = 0; i < listeners.size(); ++i) {
            if (!readable[i]) {
                continue;
            }
            Address source;
            unsigned arrival = 0;
            const long n = receiveDatagram(listeners[i].socket, buffer, source, arrival);
            if (n < 0) {
                continue;
            }
            control.noteTraffic();
            ++stats.receivedPackets;
            const std::vector<uint8_t> request(buffer.begin(), buffer.begin() + n);
            std::vector<std::vector<uint8_t>> replies;
            for (ResponderKind kind : listeners[i].kinds) {
                if (auto reply = replyTo(kind, request, options)) {
                    replies.push_back(std::move(*reply));
                }
            }
            std::string error;
            std::optional<ReplyDestination> destination;
            if (!replies.empty() &&
                !(destination = replyDestination(options.replyTo, source, arrival, error))) {
                std::fprintf(stderr, "quilvane-sim: %s\n", error.c_str());
                continue;
            }
            const auto due = RunControl::Clock::now() + std::chrono::milliseconds(options.replyDelayMs);
            for (const auto& reply : replies) {
                for (unsigned copy = 0; copy < options.replyCount; ++copy) {
                    pending.push_back({due, i, *destination, reply});
                }
            }
        }
        while (!pending.empty() && pending.front().due <= RunControl::Clock::now()) {
            const PendingReply& reply = pending.front();
            if (sendDatagram(listeners[reply.listener].socket, reply.bytes.data(), reply.bytes.size(),
                             reply.destination.to, giveUp, reply.destination.interfaceIndex)) {
                ++stats.replies;
            }
            pending.pop_front();
        }
    }
    return 0;
}

}  // namespace sim
