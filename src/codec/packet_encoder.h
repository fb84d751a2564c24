// Turns one frame into one packet for a device.
#pragma once

#include <cstdint>

#include "quilvane_sdk.h"

namespace quilvane {

// Writes one packet holding `frame` as a single record of recordSize bytes
// (80: CAN FD record, type 1; 24: classic record, type 0) and returns its
// length, recordSize + 7. `out` must hold that many bytes; every one of them
// is written. The timestamp is not sent (zeros); a dataLength above the data
// room (64 or 8 bytes) is sent as the room's size. Any other recordSize
// writes nothing and returns 0.
std::int32_t encodePacket(std::uint8_t* out, const CanFrame& frame, int recordSize);

}  // namespace quilvane
