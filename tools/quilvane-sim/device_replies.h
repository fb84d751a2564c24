// What a device answers to searches and probes, byte for byte, and how it
// recognises the requests. Search replies travel with every byte rotated
// left by 2 bits; receivers rotate them back to the right.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "options.h"

namespace sim {

uint8_t rotateLeft2(uint8_t byte);
uint8_t rotateRight2(uint8_t byte);
// CRC-8, polynomial 0x07, initial value 0, not reflected, final XOR 0x55.
uint8_t vciCrc8(const uint8_t* bytes, size_t count);

// The reply of `kind` to `request`, or nothing when the request is not for
// this device. --reply-fault is applied where it means something for the kind.
std::optional<std::vector<uint8_t>> replyTo(ResponderKind kind, const std::vector<uint8_t>& request,
                                            const Options& options);

}  // namespace sim
