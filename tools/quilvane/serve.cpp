// quilvane serve --socketcand: a device offered to socketcand clients.
#include <set>
#include <vector>

#include "command_line.h"
#include "connection.h"
#include "socketcand_reader.h"
#include "socketcand_server.h"
#include "text_format.h"

namespace {

const char kUsage[] = R"(Usage: quilvane serve --socketcand [ADDRESS:]PORT CONNECTION [options]

Offers the device on CONNECTION to any number of socketcand clients (the
ASCII protocol of socketcand over TCP, as python-can's "socketcand"
interface speaks it). Each client opens one bus: it gets the device's frames
of that bus's channel, and the frames it sends go to the device on that
channel. BCM mode (send, cyclic add/update/delete, subscribe, unsubscribe,
filter, echo), RAW mode (every frame of the bus) and CONTROL mode
(statistics) are served.

Options:
  --socketcand [ADDRESS:]PORT
                    where clients connect: an IPv4 address of this host
                    (default: every address) and a TCP port (0: one the
                    system picks; the line "socketcand server on" tells)
  --bus NAME=CHANNEL
                    offer device channel CHANNEL (0 to 255) as bus NAME (up
                    to 16 letters, digits, '_', '-' or '.'); repeat for more
                    buses. Default: can0 to can7 for channels 0 to 7
  --beacon          broadcast socketcand's discovery beacon every 3 s to UDP
                    port 42000 on each subnet the server listens on (off
                    unless given)
  --help            this text

CONNECTION: tcp://ADDRESS:PORT, tcp-listen://[ADDRESS]:PORT or
udp://REMOTE:PORT[?local=ADDRESS:PORT] (see quilvane --help).

Timestamps are the device's (its timestamp field read as microseconds) when
it stamps its frames, and the host's clock when it read them for frames
whose field is 0. CAN FD frames (flag 0x4, or more than 8 data bytes) are
not forwarded: socketcand's frame message cannot carry them. They are
counted, and a line tells when a client first misses one.
A client that reads too slowly never holds up the device or the other
clients: each has a queue of 8,192 frames, and what does not fit is dropped
and counted; a line tells when drops begin for a client, and each client's
count is told when it leaves.

The run ends with Ctrl-C, with a summary on standard error, or when the
device closes a tcp:// connection.
Exit status: 0 stopped by Ctrl-C, 1 no connection, the port cannot be
listened on or the device went away, 2 bad arguments.
)";

toolnet::Endpoint listenArgument(const std::string& text) {
    const std::string what = "[ADDRESS:]PORT, like 29536 or 127.0.0.1:29536";
    const std::size_t colon = text.rfind(':');
    toolnet::Endpoint endpoint;
    if (colon != std::string::npos) {
        std::uint8_t bytes[4];
        if (!parseIpv4(text.substr(0, colon), bytes)) {
            throw UsageError{"--socketcand: expected " + what + ", got \"" + text + "\""};
        }
        endpoint.address = static_cast<std::uint32_t>(bytes[0]) << 24 |
                           static_cast<std::uint32_t>(bytes[1]) << 16 |
                           static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    }
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    endpoint.port = static_cast<std::uint16_t>(parseUnsigned("--socketcand", port, 0, 65535, what.c_str()));
    return endpoint;
}

socketcand::Bus busArgument(const std::string& text) {
    const std::size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const std::string what = "NAME=CHANNEL, a name of 1 to 16 letters, digits, '_', '-' or '.', like can0=0";
    // The name must read back from "< open NAME >".
    const socketcand::Command open = socketcand::parseMessage("open " + name);
    if (eq == std::string::npos || open.kind != socketcand::CommandKind::Open) {
        throw UsageError{"--bus: expected " + what + ", got \"" + text + "\""};
    }
    const auto channel =
        parseUnsigned("--bus", text.substr(eq + 1), 0, 255, "a channel from 0 to 255 after '='");
    return {name, static_cast<int>(channel)};
}

}  // namespace

int runServe(const Words& words, LibraryOutput& output) {
    Arguments args(words);
    socketcand::ServerOptions options;
    bool protocolGiven = false;
    std::vector<std::string> positional;
    std::set<std::string> names;
    while (args.next()) {
        if (args.is("--help") || args.is("-h")) {
            std::fputs(kUsage, output.data());
            return kExitOk;
        } else if (args.is("--socketcand")) {
            options.listen = listenArgument(args.value());
            protocolGiven = true;
        } else if (args.is("--bus")) {
            const socketcand::Bus bus = busArgument(args.value());
            if (!names.insert(bus.name).second) {
                throw UsageError{"--bus: \"" + bus.name + "\" is given twice"};
            }
            options.buses.push_back(bus);
        } else if (args.is("--beacon")) {
            args.flag();
            options.beacon = true;
        } else if (!args.isOption() && positional.empty()) {
            positional.push_back(args.word());
        } else {
            args.unknown();
        }
    }
    if (!protocolGiven) {
        throw UsageError{"missing --socketcand [ADDRESS:]PORT, the protocol and where clients connect"};
    }
    if (positional.empty()) {
        throw UsageError{"missing CONNECTION, like tcp://192.0.2.10:4001"};
    }
    if (options.buses.empty()) {
        for (int channel = 0; channel < 8; ++channel)
            options.buses.push_back({"can" + std::to_string(channel), channel});
    }
    options.deviceUrl = positional[0];
    LinkSession link("serve", connectionArgument(positional[0]), output);
    if (!link.open()) {
        link.end();
        return kExitFailed;
    }
    RunClock clock;
    int status = kExitOk;
    socketcand::ServerTotals totals;
    {
        socketcand::Server server(link, options);
        if (!server.start()) {
            link.end();
            return kExitFailed;
        }
        status = server.run();
        totals = server.totals();
    }
    const bool interrupted = stopRequested();
    const double seconds = clock.seconds();
    link.end();
    std::fprintf(
        stderr,
        "quilvane serve: %llu clients served in %.3f s; %llu frames from the device, %llu sent to it "
        "(%llu refused by the library); %llu dropped for slow clients, %llu CAN FD frames not "
        "forwarded, %llu on channels no bus offers, %llu cyclic sends late by more than their "
        "period%s\n",
        static_cast<unsigned long long>(totals.clients), seconds,
        static_cast<unsigned long long>(totals.framesFromDevice),
        static_cast<unsigned long long>(totals.framesToDevice),
        static_cast<unsigned long long>(totals.refused), static_cast<unsigned long long>(totals.dropped),
        static_cast<unsigned long long>(totals.fdSkipped),
        static_cast<unsigned long long>(totals.otherChannels),
        static_cast<unsigned long long>(totals.lateCycles), interrupted ? "; interrupted" : "");
    return status;
}
