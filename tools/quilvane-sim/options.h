// Command line of quilvane-sim: what to play, how long, and which faults.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class Mode { None, TcpListen, TcpConnect, Udp, Respond };

enum class RecordKind { Classic, Fd, Mixed };

enum class Fault { None, Cut, ByteAtATime, BadChecksum, BadSync, Reset, Close, Flood };

enum class ReplyFault { None, WrongId, BadCrc, BadXor, Short, MalformedJson, OversizedJson };

enum class ResponderKind { SearchJson, SearchPelix, ProbePelix, ProbeVci };

enum class ReplyTo { Unicast, SubnetBroadcast, Broadcast };

struct Endpoint {
    std::string host;  // dotted IPv4 text
    uint16_t port = 0;
};

struct Options {
    Mode mode = Mode::None;
    Endpoint endpoint;  // of --tcp-listen, --tcp-connect or --udp
    bool hasPeer = false;
    Endpoint peer;
    unsigned connections = 1;

    // Traffic
    bool echo = false;
    uint64_t generate = 0;  // frames per connection
    double rate = 0;        // frames per second, 0 = unpaced
    std::vector<uint8_t> channels{0};
    uint32_t firstId = 0x100;
    uint32_t lastId = 0x1FF;
    RecordKind record = RecordKind::Fd;
    unsigned recordsPerPacket = 1;
    unsigned dataLength = 8;

    Fault fault = Fault::None;
    uint64_t faultAt = 1;
    uint32_t seed = 1;

    // Bounds
    double durationSeconds = 10;
    uint64_t count = 0;   // total frames to send, 0 = no bound
    uint64_t expect = 0;  // total frames to receive, 0 = no bound
    uint64_t idleMs = 0;  // 0 = no idle bound
    bool verbose = false;

    // Responders
    std::vector<ResponderKind> respond;
    std::string bindAddress = "0.0.0.0";
    std::string device;  // answer only what arrives on this interface
    uint16_t searchPort = 10550;
    uint16_t pelixPort = 10551;
    uint16_t vciPort = 58121;
    std::string model = "QV-CANFD-2";
    std::string kernelVersion = "4.19";
    std::string softwareVersion = "1.4.2";
    std::string hardwareVersion = "2.0";
    std::string serial = "QV1234567";
    std::string name = "quilvane-sim";
    std::string ipv4 = "198.51.100.2";
    std::string mac = "0.26.43.60.77.94";
    std::array<uint8_t, 6> deviceId{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    bool hasPelixBytes = false;
    std::array<uint8_t, 25> pelixBytes{};  // bytes 4-28 of the PELIX record
    ReplyFault replyFault = ReplyFault::None;
    unsigned replyCount = 1;
    uint64_t replyDelayMs = 0;
    ReplyTo replyTo = ReplyTo::Unicast;
};

enum class ParseResult { Run, Help, Error };

// Fills `options` from argv; on Error, `error` names the offending option.
ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error);

void printUsage();

}  // namespace sim
