#include "connection_url.h"

#include <algorithm>
#include <cstring>

#include "ipv4_text.h"
#include "usage_error.h"

namespace {

const char kForms[] =
    "tcp://ADDRESS:PORT, tcp-listen://[ADDRESS]:PORT or udp://REMOTE:PORT[?local=ADDRESS:PORT]";

[[noreturn]] void fail(const std::string& text, const std::string& why) {
    throw UsageError{"CONNECTION \"" + text + "\": " + why};
}

struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};

// "ADDRESS:PORT"; an empty ADDRESS only where `hostOptional`; the port from
// `minPort` to 65535.
HostPort splitHostPort(const std::string& text, const std::string& part, bool hostOptional, unsigned minPort,
                       const char* portRule) {
    const size_t colon = part.rfind(':');
    if (colon == std::string::npos) {
        fail(text, "expected " + std::string(hostOptional ? "[ADDRESS]:PORT" : "ADDRESS:PORT") + ", got \"" +
                       part + "\"");
    }
    HostPort result{part.substr(0, colon), 0};
    const std::string port = part.substr(colon + 1);
    if (!(result.host.empty() && hostOptional) && !isIpv4(result.host)) {
        fail(text, "\"" + result.host + "\" is not an IPv4 address like 192.0.2.10");
    }
    const auto value = parsePort(port, minPort);
    if (!value) {
        fail(text, "port \"" + port + "\": expected " + portRule);
    }
    result.port = *value;
    return result;
}

void copyText(char (&field)[16], const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

}  // namespace

ConnectionUrl parseConnectionUrl(const std::string& text) {
    ConnectionUrl url;
    if (text.rfind("tcp://", 0) == 0) {
        const HostPort remote = splitHostPort(text, text.substr(6), false, 1, "a number from 1 to 65535");
        url.type = QUILVANE_TCP_CLIENT;
        url.remoteIp = remote.host;
        url.remotePort = remote.port;
    } else if (text.rfind("tcp-listen://", 0) == 0) {
        // Port 0 would let the system choose, and nothing would tell which.
        const HostPort local =
            splitHostPort(text, text.substr(13), true, 1,
                          "a number from 1 to 65535 (the library cannot tell which port the "
                          "system would pick for 0)");
        url.type = QUILVANE_TCP_SERVER;
        url.localPort = local.port;
        url.listenAddress = local.host;
    } else if (text.rfind("udp://", 0) == 0) {
        const std::string rest = text.substr(6);
        const size_t query = rest.find('?');
        const HostPort remote =
            splitHostPort(text, rest.substr(0, query), false, 1, "a number from 1 to 65535");
        url.type = QUILVANE_UDP;
        url.remoteIp = remote.host;
        url.remotePort = remote.port;
        if (query != std::string::npos) {
            const std::string option = rest.substr(query + 1);
            if (option.rfind("local=", 0) != 0) {
                fail(text, "expected ?local=ADDRESS:PORT after the remote port, got \"?" + option + "\"");
            }
            std::string local = option.substr(6);
            if (local.find(':') == std::string::npos) {
                local += ":0";  // an address alone: the system picks the port
            }
            const HostPort bound = splitHostPort(text, local, true, 0, "a number from 0 to 65535");
            url.localIp = bound.host;
            url.localPort = bound.port;
        }
    } else {
        throw UsageError{std::string("CONNECTION: expected ") + kForms + ", got \"" + text + "\""};
    }
    return url;
}

OpenParams toOpenParams(const ConnectionUrl& url) {
    OpenParams params{};
    params.type = url.type;
    copyText(params.localIp, url.localIp);
    params.localPort = url.localPort;
    copyText(params.remoteIp, url.remoteIp);
    params.remotePort = url.remotePort;
    return params;
}
