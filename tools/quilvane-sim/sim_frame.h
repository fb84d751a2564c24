// The frame and packet as the simulator handles them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

struct SimFrame {
    uint64_t timestamp = 0;
    uint32_t id = 0;
    uint16_t flags = 0;
    uint8_t channel = 0;
    uint8_t dataLength = 0;  // bytes, 0 to 64
    std::array<uint8_t, 64> data{};
};

// One encoded packet and how many frames it carries.
struct Packet {
    std::vector<uint8_t> bytes;
    unsigned frames = 0;
};

}  // namespace sim
