// What one simulator connection of the soak is told to send, and which of
// its frames must, may or must not reach the application given its fault.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Link { TcpClient, TcpServer, Udp };

const char* linkName(Link link);

struct RunPlan {
    Link link = Link::TcpClient;
    std::uint32_t id = 0x100;  // the only identifier it sends: tells its frames apart
    int count = 100;           // frames generated, frame s with timestamp s
    int rate = 0;              // frames per second, 0 at once
    std::vector<int> channels{0};
    std::string record = "fd";  // classic, fd or mixed
    int recordsPerPacket = 1;
    int dataLength = 8;
    std::string fault = "none";
    int faultAt = 1;  // the packet, from 1, that the fault acts on
    std::uint32_t seed = 1;
    bool clearMidway = false;  // the application clears the handle's queues once

    // The simulator's traffic options (the mode is the lane's).
    std::vector<std::string> simArgs() const;
    std::string describe() const;

    int packetOf(int s) const { return s / recordsPerPacket + 1; }
    // A frame that arrives although it may not is a fault of the library.
    bool mayArrive(int s) const;
    // Frames that must arrive unless a drop line, a clear or a kernel drop explains their loss.
    bool mustArrive(int s) const;
    // What the simulator counts as sent: the frames of the packets it wrote intact.
    int intactFrames() const;
};
