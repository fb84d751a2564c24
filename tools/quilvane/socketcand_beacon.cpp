#include "socketcand_beacon.h"

#include "command_line.h"
#include "tool_sockets.h"

namespace socketcand {

namespace {

std::string xmlEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
        }
    }
    return out;
}

std::string addressText(std::uint32_t address) {
    const std::string withPort = toolnet::formatEndpoint({address, 0});
    return withPort.substr(0, withPort.rfind(':'));
}

}  // namespace

std::string beaconText(const std::string& host, const std::string& description, const std::string& url,
                       const std::vector<std::string>& buses) {
    std::string text = "<CANBeacon name=\"" + xmlEscaped(host) + "\" type=\"adapter\" description=\"" +
                       xmlEscaped(description) + "\"><URL>" + xmlEscaped(url) + "</URL>";
    for (const std::string& bus : buses)
        text += "<Bus name=\"" + xmlEscaped(bus) + "\"/>";
    return text + "</CANBeacon>";
}

Beacon::Beacon(std::uint32_t listenAddress, std::uint16_t port, std::string description,
               std::vector<std::string> buses)
    : listenAddress_(listenAddress),
      port_(port),
      description_(std::move(description)),
      buses_(std::move(buses)),
      host_(toolnet::hostName()) {}

void Beacon::sendIfDue(std::chrono::steady_clock::time_point now) {
    if (now < next_)
        return;
    next_ = now + kBeaconPeriod;
    std::string error;
    // Listed each time: adapters come and go while the server runs.
    const std::vector<toolnet::Subnet> subnets = toolnet::broadcastSubnets(error);
    if (!error.empty()) {
        problem("beacon: " + error);
        return;
    }
    bool any = false;
    for (const toolnet::Subnet& subnet : subnets) {
        if (listenAddress_ != 0 && subnet.address != listenAddress_)
            continue;
        any = true;
        const std::string url = "can://" + addressText(subnet.address) + ":" + std::to_string(port_);
        const toolnet::Socket socket = toolnet::broadcastSender(subnet.address, error);
        if (socket.valid() && toolnet::sendDatagram(socket, {subnet.broadcast, kBeaconPort},
                                                    beaconText(host_, description_, url, buses_), error)) {
            ++sent_;
        } else {
            problem("beacon: " + error);
        }
    }
    if (!any)
        problem("beacon: no subnet with a broadcast address to announce the server on");
}

void Beacon::problem(const std::string& text) {
    if (reported_.insert(text).second)
        report("serve", text);
}

}  // namespace socketcand
